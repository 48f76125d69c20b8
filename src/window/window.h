// Window gathering around one focal cell: which cells of every level take
// part in the search, with their coverage-weighted values and similarities.
#pragma once

#include <cstdint>
#include <vector>

#include "model/engine_inputs.h"
#include "model/pyramids.h"
#include "window/level_cells.h"
#include "window/similarity.h"
#include "window/window_plan.h"

namespace velkan {

// Gathers every level of the plan for one focal cell, ascending, and marks each
// level's edge cells. Reuses the buffers already held by out. Throws the
// plan's InternalError after the levels before the one that failed.
void gather_focal_windows(std::int32_t row, std::int32_t col, const WindowPlan& plan, FocalWindows& out);

// Gathers one planned level's window cells (edge flags are left for
// fill_edge_flags); `base` is the level-1 condition raster. A window reads
// and fills `cache` where its focal phase repeats.
void gather_level_cells(std::int32_t row, std::int32_t col, const LevelPlan& plan, const Raster<float>& base,
                        const std::vector<float>& focal_bands, const ConnectivityParams& params, LevelCells& out,
                        CoverageCache* cache = nullptr);

// The cells of one planned level's window, with their edge flags, as a
// landscape without missing values or edges would give them: every covered
// cell, condition 1, weight its coverage, no traversal or similarities.
// Returns false when the landscape's edges clip the window here.
bool gather_candidate_cells(std::int32_t row, std::int32_t col, const LevelPlan& plan, const Raster<float>& base,
                            const ConnectivityParams& params, LevelCells& out);

// Sets out.edge: circular mode marks the partial cells, square mode the cells
// on the smallest and largest gathered row and column.
void fill_edge_flags(WindowMode mode, LevelCells& cells);

}  // namespace velkan
