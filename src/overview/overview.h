// Pyramid builders: coarse levels of a base raster, aligned to the global grid.
//
// A cell of level L summarises the L x L block of base cells whose global rows
// and columns run from a multiple of L to the next multiple. Every level is
// computed straight from the base raster; coarse rows are spread over the pool.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "common/affine.h"
#include "common/raster.h"
#include "model/pyramids.h"

namespace velkan {

class WorkerPool;

// The summary a 2D pyramid keeps per coarse cell.
enum class ResampleMode {
  Average,     // mean of the finite base values
  ValidCount,  // number of finite base values
  Area,        // sum of the row area factors of the finite base values
};

// Builds one raster per entry of `levels` (list order; a repeated level replaces
// the earlier raster). `transform` is the base-level transform, needed by Area.
// Throws InternalError for a bad level, a missing transform and a level that
// cannot be split into coarse rows (the preparation names its step).
LevelMap build_level_overviews(const Raster<float>& base, const std::vector<std::uint64_t>& levels,
                               std::int32_t row_offset, std::int32_t col_offset, ResampleMode mode,
                               const Affine* transform, WorkerPool& pool);

// Per-band Average pyramid of a rows x cols x bands transition grid.
LevelMap build_transition_overviews(const Raster<float>& grid, const std::vector<std::uint64_t>& levels,
                                    std::int32_t row_offset, std::int32_t col_offset, WorkerPool& pool);

// NaN where the condition is NaN, else 1.0 for a protected cell (mask 0), 0.0 otherwise.
// Throws InternalError when the mask does not cover the condition.
Raster<float> build_pa_membership(const Raster<float>& condition, const Raster<std::uint8_t>& mask);

// Area of a cell in each base row relative to an equatorial cell of the same
// angular size; 0.0 where the latitude gives no finite factor.
std::vector<float> row_area_factors(const Affine& transform, std::size_t rows);

}  // namespace velkan
