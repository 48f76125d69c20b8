// Clamping coverage into [0, 1] row by row, as soon as a row is final.
//
// Rings add to the cells strictly in ring order, so once the last ring that
// reaches a row has added it, the row is final. Clamping it right then, while
// it is still in cache, replaces a pass over the whole written part of the
// grid afterwards, which on large grids costs as much as a fifth of the call
// and shares memory bandwidth between the workers. Each cell is clamped the
// same way, so the values are the same.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/raster.h"
#include "coverage/ring_cells.h"

namespace velkan {

class RowClamp {
 public:
  // `ranges[i]` is the cell range of ring i, rings numbered in the order they
  // are added (empty for a ring that adds nothing).
  explicit RowClamp(const std::vector<CellRange>& ranges);

  // Whether clamping by rows pays: its row bookkeeping stays small beside the
  // cells the rings reach. Otherwise nothing is noted and finish does nothing.
  bool active() const { return !rows_.empty(); }

  // After ring `ring` added row r: clamps the row if no later ring reaches it.
  void finish(std::size_t ring, std::uint64_t r, RasterView<float> raster) const {
    if (r < r0_ || r - r0_ >= rows_.size()) return;
    const Row& row = rows_[r - r0_];
    if (row.last != ring) return;
    float* cells = raster.row_ptr(r);
    // below 0 becomes 0, then above 1 becomes 1; NaN would pass unchanged
    for (std::uint64_t k = row.c0; k < row.c1; ++k) cells[k] = std::min(std::max(cells[k], 0.0f), 1.0f);
  }

 private:
  struct Row {
    std::size_t last = SIZE_MAX;            // the last ring reaching the row
    std::uint64_t c0 = UINT64_MAX, c1 = 0;  // the columns any ring reaches there
  };
  std::uint64_t r0_ = 0;  // grid row of rows_[0]
  std::vector<Row> rows_;
};

// Which ring a row job belongs to, for RowClamp::finish; no clamp, no finish.
struct RowFinish {
  const RowClamp* clamp = nullptr;
  std::size_t ring = 0;

  void operator()(std::uint64_t r, RasterView<float> raster) const {
    if (clamp != nullptr) clamp->finish(ring, r, raster);
  }
};

}  // namespace velkan
