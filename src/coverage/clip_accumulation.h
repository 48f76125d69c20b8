// The plain way to accumulate a ring: clip it to each row's strip, then each
// strip to each cell, and measure the piece. Exact for any ring, NaN and
// infinite coordinates included; its cost grows with vertices times rows.
#pragma once

#include <cstddef>
#include <vector>

#include "common/raster.h"
#include "coverage/clip.h"
#include "coverage/row_clamp.h"

namespace velkan {

class WorkerPool;

// One worker's clip buffers; they only grow, so rows and cells allocate
// nothing once warm.
struct ClipScratch {
  std::vector<PixelPoint> half, strip, piece_left, piece;
};

class ClippingAccumulator {
 public:
  explicit ClippingAccumulator(std::size_t workers) : scratch_(workers) {}

  // Adds sign times the overlap area of `ring` with every cell of `raster`.
  // `finish` runs after each of its rows.
  void add(const std::vector<PixelPoint>& ring, float sign, RasterView<float> raster, WorkerPool& pool,
           RowFinish finish = {});

 private:
  std::vector<ClipScratch> scratch_;
};

}  // namespace velkan
