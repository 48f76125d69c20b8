// Agreement of two pyramids level by level.
#pragma once

#include "model/pyramids.h"

namespace velkan {

// Throws OrdinaryError when `first` (the pyramid just built) and `second` (the
// condition pyramid) differ in their keys or in the shape of a level.
void check_level_maps_match(const LevelMap& first, const LevelMap& second);

}  // namespace velkan
