// Window gathering around one focal cell: which cells of every level take
// part in the search, with their coverage-weighted values and similarities.
#pragma once

#include <cstdint>
#include <vector>

#include "model/engine_inputs.h"
#include "model/pyramids.h"
#include "window/level_cells.h"

namespace velkan {

// Band values of the first transition grid's level-1 raster at the focal cell;
// empty without grids, without a level-1 raster or outside that raster.
void focal_band_vector(std::int32_t row, std::int32_t col, const PreparedEngine& prepared,
                       std::vector<float>& out);

// Gathers every level of the sorted level list for one focal cell, ascending,
// and marks each level's edge cells. Reuses the buffers already held by out.
// Throws InternalError on a missing level or an even window width.
void gather_focal_windows(std::int32_t row, std::int32_t col, const PreparedEngine& prepared,
                          const ConnectivityParams& params, FocalWindows& out);

// Gathers one level's window cells (edge flags are left for fill_edge_flags).
// A window reads and fills `cache` where its focal phase repeats.
void gather_level_cells(std::int32_t row, std::int32_t col, std::int32_t level,
                        const std::vector<float>& focal_bands, const PreparedEngine& prepared,
                        const ConnectivityParams& params, LevelCells& out, CoverageCache* cache = nullptr);

// Sets out.edge: circular mode marks the partial cells, square mode the cells
// on the smallest and largest gathered row and column.
void fill_edge_flags(WindowMode mode, LevelCells& cells);

}  // namespace velkan
