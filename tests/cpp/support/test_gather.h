// Window gathering for tests that hold pyramids but no call's plan: each
// gathers with a plan made for that one focal cell (or level), which the
// engine makes once per call instead.
#pragma once

#include <cstdint>
#include <vector>

#include "model/engine_inputs.h"
#include "model/pyramids.h"
#include "window/coverage_cache.h"
#include "window/level_cells.h"
#include "window/window.h"  // the engine's own overloads

namespace velkan {

// gather_focal_windows over plan_windows(prepared, params).
void gather_focal_windows(std::int32_t row, std::int32_t col, const PreparedEngine& prepared,
                          const ConnectivityParams& params, FocalWindows& out);

// gather_level_cells over plan_level(prepared, params, level), its
// InternalError included, on the base level's condition raster.
void gather_level_cells(std::int32_t row, std::int32_t col, std::int32_t level, const std::vector<float>& focal_bands,
                        const PreparedEngine& prepared, const ConnectivityParams& params, LevelCells& out,
                        CoverageCache* cache = nullptr);

}  // namespace velkan
