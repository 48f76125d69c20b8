// Hand-built pyramids for the window tests: block means and valid counts over
// the global grid, written out plainly so the tests do not depend on the
// overview builders.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/raster.h"
#include "model/pyramids.h"

namespace velkan::testing_landscape {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

inline std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(std::floor(static_cast<double>(a) / static_cast<double>(b)));
}

// Summary of every L x L global block: mean of the finite values (counts=false)
// or their number (counts=true); NaN where a block has none. Level 1 is the
// copy (means) or 1.0 where finite (counts).
inline Raster<float> block_summary(const Raster<float>& base, std::int64_t level, std::int64_t off_r,
                                   std::int64_t off_c, bool counts) {
  const std::int64_t rows = static_cast<std::int64_t>(base.rows());
  const std::int64_t cols = static_cast<std::int64_t>(base.cols());
  const std::int64_t r0 = floor_div(off_r, level), r1 = floor_div(off_r + rows - 1, level);
  const std::int64_t c0 = floor_div(off_c, level), c1 = floor_div(off_c + cols - 1, level);
  Raster<float> out(static_cast<std::size_t>(r1 - r0 + 1), static_cast<std::size_t>(c1 - c0 + 1), kNaN);
  for (std::int64_t r = 0; r < rows; ++r) {
    for (std::int64_t c = 0; c < cols; ++c) {
      const float v = base(r, c);
      if (level == 1 && !counts) {
        out(r, c) = v;
        continue;
      }
      if (!std::isfinite(v)) continue;
      float& cell = out(floor_div(r + off_r, level) - r0, floor_div(c + off_c, level) - c0);
      if (std::isnan(cell)) cell = 0.0f;
      cell += counts ? 1.0f : v;
    }
  }
  if (!counts && level > 1) {
    Raster<float> n = block_summary(base, level, off_r, off_c, true);
    for (std::size_t k = 0; k < out.size(); ++k) out.data()[k] /= n.data()[k];
  }
  return out;
}

inline LevelMap average_pyramid(const Raster<float>& base, const std::vector<std::int32_t>& levels,
                                std::int64_t off_r = 0, std::int64_t off_c = 0) {
  LevelMap map;
  for (std::int32_t level : levels) map[level] = block_summary(base, level, off_r, off_c, false);
  return map;
}

// Condition (means) and weights (valid counts) pyramids; levels ascending.
inline PreparedEngine make_prepared(const Raster<float>& condition, const std::vector<std::int32_t>& levels,
                                    std::int64_t off_r = 0, std::int64_t off_c = 0) {
  PreparedEngine p;
  p.condition = average_pyramid(condition, levels, off_r, off_c);
  for (std::int32_t level : levels) p.weights[level] = block_summary(condition, level, off_r, off_c, true);
  p.sorted_levels = levels;
  p.coarsest = levels.empty() ? 1 : levels.back();
  return p;
}

inline Raster<float> uniform(std::size_t rows, std::size_t cols, float value) {
  return Raster<float>(rows, cols, value);
}

}  // namespace velkan::testing_landscape
