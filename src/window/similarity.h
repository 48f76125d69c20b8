// Similarity of gathered cells to the focal cell in the transition grids (OLVI).
#pragma once

#include <cstdint>
#include <vector>

#include "model/pyramids.h"
#include "window/level_cells.h"

namespace velkan {

// Band values of the first transition grid's level-1 raster at the focal cell;
// empty without grids, without a level-1 raster or outside that raster.
void focal_band_vector(std::int32_t row, std::int32_t col, const PreparedEngine& prepared, std::vector<float>& out);

// Fills out.similarity for every grid of `grids` (the level's raster of each,
// nullptr where a grid has no such level): e^-(band distance to `focal`),
// present where every band walked is finite. Throws InternalError when a
// grid does not cover the gathered cells.
void fill_similarities(const std::vector<float>& focal, const std::vector<const Raster<float>*>& grids,
                       std::int32_t level, LevelCells& out);

}  // namespace velkan
