// Agreement of two pyramids level by level, and the shape text used in messages.
#pragma once

#include <cstddef>
#include <string>

#include "core/prepared.h"

namespace velkan {

// "(rows, cols)".
std::string shape_text(std::size_t rows, std::size_t cols);

// Throws OrdinaryError when `first` (the pyramid just built) and `second` (the
// condition pyramid) differ in their keys or in the shape of a level.
void check_level_maps_match(const LevelMap& first, const LevelMap& second);

}  // namespace velkan
