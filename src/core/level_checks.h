// Agreement of two pyramids level by level, and the shape text used in messages.
#pragma once

#include <cstddef>
#include <string>

#include "common/shape_text.h"
#include "model/pyramids.h"

namespace velkan {

// Throws OrdinaryError when `first` (the pyramid just built) and `second` (the
// condition pyramid) differ in their keys or in the shape of a level.
void check_level_maps_match(const LevelMap& first, const LevelMap& second);

}  // namespace velkan
