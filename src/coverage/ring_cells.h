// What both ways of accumulating a ring share: its cell range on the grid and
// the rule by which one cell's signed area is added.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "coverage/clip.h"

namespace velkan {

// Areas that round to zero in float32 (|A| <= 2^-150) add nothing; NaN fails too.
inline const double kSmallestArea = std::ldexp(1.0, -150);

// Adds the magnitude of a cell's signed area, rounded to float32, with the ring's sign.
// Rounding in rings vastly larger than the grid can give a piece an area
// beyond float32, which would turn an exterior minus its equal hole into
// inf - inf = NaN; such areas are held at the largest float32 instead. A NaN
// area (from NaN coordinates) adds nothing, so it is tested before the cap,
// which would turn it into the largest float32.
inline void add_cell_area(float& cell, double area, float sign) {
  const double magnitude = std::fabs(area);
  if (!(magnitude > kSmallestArea)) return;
  cell = static_cast<float>(std::fmin(magnitude, std::numeric_limits<float>::max())) * sign + cell;
}

// Clamps an integral float64 to [0, n]; NaN and both infinities give 0.
inline std::uint64_t index_clamp(double w, std::uint64_t n) {
  if (!std::isfinite(w) || w <= 0.0) return 0;
  if (w >= static_cast<double>(n)) return n;
  return static_cast<std::uint64_t>(w);
}

struct Bounds {
  double min_u = INFINITY, max_u = -INFINITY, min_v = INFINITY, max_v = -INFINITY;
};

// Comparisons with NaN are false, so NaN coordinates take no part.
inline Bounds bounds_of(const std::vector<PixelPoint>& ring) {
  Bounds b;
  for (const PixelPoint& p : ring) {
    if (p.u < b.min_u) b.min_u = p.u;
    if (p.u > b.max_u) b.max_u = p.u;
    if (p.v < b.min_v) b.min_v = p.v;
    if (p.v > b.max_v) b.max_v = p.v;
  }
  return b;
}

// The rows [r0, r1) and columns [c0, c1) of the grid a ring's bounding box covers.
struct CellRange {
  std::uint64_t r0 = 0, r1 = 0, c0 = 0, c1 = 0;

  bool empty() const { return r0 >= r1 || c0 >= c1; }
  std::uint64_t rows() const { return r1 - r0; }
  std::uint64_t cols() const { return c1 - c0; }
};

inline CellRange cell_range(const Bounds& b, std::uint64_t nrows, std::uint64_t ncols) {
  return CellRange{index_clamp(std::floor(b.min_v), nrows), index_clamp(std::ceil(b.max_v), nrows),
                   index_clamp(std::floor(b.min_u), ncols), index_clamp(std::ceil(b.max_u), ncols)};
}

// Below this much work (about one step per cell of the range) a ring's rows run
// on the calling thread: waking the pool would cost more. Values are the same.
inline constexpr std::uint64_t kInlineWork = 1 << 15;

// Rows a worker takes at a time out of `rows` rows of `row_bytes` each. A fresh
// result's pages are zeroed by the kernel on first write, 2 MB at once where
// it backs them with huge pages (NumPy asks for that); workers taking single
// rows in turn write into the same page together, and all but the first wait
// while it is zeroed. Blocks of a page's worth of rows let them zero their
// own pages side by side, and still leave several blocks per worker to balance.
inline std::uint64_t rows_per_block(std::uint64_t row_bytes, std::uint64_t rows, std::size_t workers) {
  constexpr std::uint64_t kPageBytes = std::uint64_t{2} << 20;
  constexpr std::uint64_t kBlocksPerWorker = 8;
  const std::uint64_t page_rows = (kPageBytes + row_bytes - 1) / std::max<std::uint64_t>(row_bytes, 1);
  const std::uint64_t balanced = (rows + kBlocksPerWorker * workers - 1) / (kBlocksPerWorker * workers);
  return std::max<std::uint64_t>(1, std::min(page_rows, balanced));
}

}  // namespace velkan
