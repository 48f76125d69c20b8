// The pyramids and level list that the preparation sequence hands the driver.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "common/raster.h"

namespace velkan {

// The level key of the full-resolution rasters, which every coarser level is
// made from and the windows are placed on.
inline constexpr std::int32_t kBaseLevel = 1;

// One raster per level key (the low 32 bits of the level, as a signed value).
// Ordered by key, so iteration is deterministic.
using LevelMap = std::map<std::int32_t, Raster<float>>;

struct PreparedEngine {
  LevelMap condition;
  LevelMap weights;
  std::optional<LevelMap> pa_membership;    // only when pa_to_pa
  std::optional<LevelMap> traversal;        // only when a traversal raster is given
  std::vector<LevelMap> transition;         // one 3D pyramid per transition grid, list order
  std::vector<std::int32_t> sorted_levels;  // ascending, distinct
  std::int32_t coarsest = kBaseLevel;       // last sorted level, or the base level when none
};

}  // namespace velkan
