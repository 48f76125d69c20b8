// 3D pyramids of the transition grids, and the PA-membership raster.
#include <cmath>
#include <limits>
#include <string>

#include "common/errors.h"
#include "common/shape_text.h"
#include "common/worker_pool.h"
#include "overview/coarse_geometry.h"
#include "overview/overview.h"

namespace velkan {

using overview_detail::BlockAxis;
using overview_detail::Span;

namespace {

constexpr float kNoData = std::numeric_limits<float>::quiet_NaN();
constexpr float kProtected = 1.0f;
constexpr float kUnprotected = 0.0f;

// Mean of the finite values of one band over the block, bands summarised
// one after another so each band keeps its own float32 visiting order.
float band_mean(const Raster<float>& grid, Span rows, Span cols, std::size_t band) {
  float count = 0.0f, sum = 0.0f;
  for (std::int64_t r = rows.begin; r < rows.end; ++r) {
    for (std::int64_t c = cols.begin; c < cols.end; ++c) {
      const float v = grid.at(static_cast<std::size_t>(r), static_cast<std::size_t>(c), band);
      if (!std::isfinite(v)) continue;
      count += 1.0f;
      sum += v;
    }
  }
  return count > 0.0f ? sum / count : kNoData;
}

// The same for all `Bands` bands in one pass over the block, each band
// keeping its own sums (in registers), so it sees its values in the same
// order as a pass of its own would.
template <std::size_t Bands>
void block_means(const Raster<float>& grid, Span rows, Span cols, float* out) {
  float count[Bands] = {}, sum[Bands] = {};
  for (std::int64_t r = rows.begin; r < rows.end; ++r) {
    for (std::int64_t c = cols.begin; c < cols.end; ++c) {
      const float* values = &grid.at(static_cast<std::size_t>(r), static_cast<std::size_t>(c), 0);
      for (std::size_t k = 0; k < Bands; ++k) {
        if (!std::isfinite(values[k])) continue;
        count[k] += 1.0f;
        sum[k] += values[k];
      }
    }
  }
  for (std::size_t k = 0; k < Bands; ++k) out[k] = count[k] > 0.0f ? sum[k] / count[k] : kNoData;
}

void block_means(const Raster<float>& grid, Span rows, Span cols, float* out) {
  switch (grid.bands()) {
    case 1: block_means<1>(grid, rows, cols, out); break;
    case 2: block_means<2>(grid, rows, cols, out); break;
    case 3: block_means<3>(grid, rows, cols, out); break;
    case 4: block_means<4>(grid, rows, cols, out); break;
    default:
      for (std::size_t k = 0; k < grid.bands(); ++k) out[k] = band_mean(grid, rows, cols, k);
  }
}

void fill_transition_row(const Raster<float>& grid, Span rows, const std::vector<Span>& col_blocks, float* out) {
  if (rows.empty()) return;
  for (std::size_t j = 0; j < col_blocks.size(); ++j) {
    if (!col_blocks[j].empty()) block_means(grid, rows, col_blocks[j], out + j * grid.bands());
  }
}

Raster<float> coarse_transition_level(const Raster<float>& grid, std::uint64_t level, std::int32_t row_offset,
                                      std::int32_t col_offset, WorkerPool& pool) {
  const auto step = static_cast<std::int64_t>(level);
  const BlockAxis rows(row_offset, grid.rows(), step);
  const BlockAxis cols(col_offset, grid.cols(), step);
  overview_detail::require_splittable(level, cols.count(), grid.bands(), col_offset);
  const std::vector<Span> col_blocks = overview_detail::column_blocks(cols);
  Raster<float> out(static_cast<std::size_t>(rows.count()), static_cast<std::size_t>(cols.count()), grid.bands(),
                    kNoData);
  pool.parallel_for(0, out.rows(), [&](std::size_t i, std::size_t) {
    fill_transition_row(grid, rows.block(static_cast<std::int64_t>(i)), col_blocks, out.row_ptr(i));
  });
  return out;
}

}  // namespace

LevelMap build_transition_overviews(const Raster<float>& grid, const std::vector<std::uint64_t>& levels,
                                    std::int32_t row_offset, std::int32_t col_offset, WorkerPool& pool) {
  overview_detail::check_levels(levels);
  LevelMap pyramid;
  for (std::uint64_t level : levels) {
    Raster<float> raster =
        level == kBaseLevel ? grid : coarse_transition_level(grid, level, row_offset, col_offset, pool);
    pyramid.insert_or_assign(static_cast<std::int32_t>(level), std::move(raster));
  }
  return pyramid;
}

Raster<float> build_pa_membership(const Raster<float>& condition, const Raster<std::uint8_t>& mask) {
  if (mask.rows() < condition.rows() || mask.cols() < condition.cols()) {
    throw InternalError("Mask shape " + shape_text(mask.rows(), mask.cols()) + " does not cover condition shape " +
                        shape_text(condition.rows(), condition.cols()));
  }
  Raster<float> out(condition.rows(), condition.cols(), kNoData);
  for (std::size_t r = 0; r < condition.rows(); ++r) {
    const float* in = condition.row_ptr(r);
    float* dst = out.row_ptr(r);
    for (std::size_t c = 0; c < condition.cols(); ++c) {
      // Only a missing condition empties a cell; infinities still count as data.
      if (std::isnan(in[c])) continue;
      dst[c] = mask(r, c) == 0 ? kProtected : kUnprotected;
    }
  }
  return out;
}

}  // namespace velkan
