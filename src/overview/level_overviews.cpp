// 2D pyramids: condition, cell weights, PA membership and traversal.
#include <cmath>
#include <limits>

#include "common/errors.h"
#include "common/grid_math.h"
#include "common/worker_pool.h"
#include "overview/coarse_geometry.h"
#include "overview/overview.h"

namespace velkan {

using overview_detail::BlockAxis;
using overview_detail::Span;

namespace {

constexpr float kNoData = std::numeric_limits<float>::quiet_NaN();
constexpr const char* kMissingTransform = "Area resampling requires base-level transform information.";
constexpr const char* kMissingFactors = "Area resampling requires row area factors.";

// Summary of one block, accumulated in float32 rows ascending, columns
// ascending, so that the value does not depend on how rows are scheduled.
template <ResampleMode Mode>
float summarise_block(const Raster<float>& base, Span rows, Span cols, const float* factors) {
  float count = 0.0f, sum = 0.0f, area = 0.0f;
  for (std::int64_t r = rows.begin; r < rows.end; ++r) {
    const float* row = base.row_ptr(static_cast<std::size_t>(r));
    for (std::int64_t c = cols.begin; c < cols.end; ++c) {
      const float v = row[c];
      if (!std::isfinite(v)) continue;
      count += 1.0f;
      if constexpr (Mode == ResampleMode::Average) sum += v;
      if constexpr (Mode == ResampleMode::Area) area += factors[r];
    }
  }
  if (count <= 0.0f) return kNoData;
  if constexpr (Mode == ResampleMode::Average) return sum / count;
  if constexpr (Mode == ResampleMode::ValidCount) return count;
  return area;
}

template <ResampleMode Mode>
void fill_coarse_row(const Raster<float>& base, Span rows, const std::vector<Span>& col_blocks, const float* factors,
                     float* out) {
  if (rows.empty()) return;
  for (std::size_t j = 0; j < col_blocks.size(); ++j) {
    if (col_blocks[j].empty()) continue;
    out[j] = summarise_block<Mode>(base, rows, col_blocks[j], factors);
  }
}

void fill_row_dispatch(ResampleMode mode, const Raster<float>& base, Span rows, const std::vector<Span>& col_blocks,
                       const float* factors, float* out) {
  switch (mode) {
    case ResampleMode::Average: return fill_coarse_row<ResampleMode::Average>(base, rows, col_blocks, factors, out);
    case ResampleMode::ValidCount:
      return fill_coarse_row<ResampleMode::ValidCount>(base, rows, col_blocks, factors, out);
    case ResampleMode::Area: return fill_coarse_row<ResampleMode::Area>(base, rows, col_blocks, factors, out);
  }
}

Raster<float> base_level(const Raster<float>& base, ResampleMode mode, const std::vector<float>& factors) {
  if (mode == ResampleMode::Average) return base;
  if (mode == ResampleMode::Area && factors.size() != base.rows()) throw InternalError(kMissingFactors);
  Raster<float> out(base.rows(), base.cols(), kNoData);
  for (std::size_t r = 0; r < base.rows(); ++r) {
    const float present = mode == ResampleMode::Area ? factors[r] : 1.0f;
    const float* in = base.row_ptr(r);
    float* dst = out.row_ptr(r);
    for (std::size_t c = 0; c < base.cols(); ++c) {
      if (std::isfinite(in[c])) dst[c] = present;
    }
  }
  return out;
}

Raster<float> coarse_level(const Raster<float>& base, std::uint64_t level, std::int32_t row_offset,
                           std::int32_t col_offset, ResampleMode mode, const std::vector<float>& factors,
                           WorkerPool& pool) {
  const auto step = static_cast<std::int64_t>(level);
  const BlockAxis rows(row_offset, base.rows(), step);
  const BlockAxis cols(col_offset, base.cols(), step);
  overview_detail::require_splittable(level, cols.count(), 1, col_offset);
  if (mode == ResampleMode::Area && factors.size() != base.rows()) throw InternalError(kMissingFactors);
  const std::vector<Span> col_blocks = overview_detail::column_blocks(cols);
  Raster<float> out(static_cast<std::size_t>(rows.count()), static_cast<std::size_t>(cols.count()), kNoData);
  const float* factor_data = factors.data();
  pool.parallel_for(0, out.rows(), [&](std::size_t i, std::size_t) {
    fill_row_dispatch(mode, base, rows.block(static_cast<std::int64_t>(i)), col_blocks, factor_data, out.row_ptr(i));
  });
  return out;
}

}  // namespace

std::vector<float> row_area_factors(const Affine& t, std::size_t rows) {
  std::vector<float> factors(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    // World Y of the centre of the row's first cell.
    const double latitude = t.world_y(0.5, static_cast<double>(i) + 0.5);
    const auto factor = static_cast<float>(std::cos(latitude * kDegreesToRadians));
    factors[i] = std::isfinite(factor) ? std::fabs(factor) : 0.0f;
  }
  return factors;
}

LevelMap build_level_overviews(const Raster<float>& base, const std::vector<std::uint64_t>& levels,
                               std::int32_t row_offset, std::int32_t col_offset, ResampleMode mode,
                               const Affine* transform, WorkerPool& pool) {
  overview_detail::check_levels(levels);
  std::vector<float> factors;
  if (mode == ResampleMode::Area) {
    if (transform == nullptr) throw InternalError(kMissingTransform);
    factors = row_area_factors(*transform, base.rows());
  }
  LevelMap pyramid;
  for (std::uint64_t level : levels) {
    Raster<float> raster = level == kBaseLevel ? base_level(base, mode, factors)
                                               : coarse_level(base, level, row_offset, col_offset, mode, factors, pool);
    pyramid.insert_or_assign(static_cast<std::int32_t>(level), std::move(raster));
  }
  return pyramid;
}

}  // namespace velkan
