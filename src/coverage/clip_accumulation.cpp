#include "coverage/clip_accumulation.h"

#include <algorithm>

#include "common/worker_pool.h"
#include "coverage/ring_cells.h"

namespace velkan {

namespace {

struct RowJob {
  const std::vector<PixelPoint>& ring;
  float sign;
  CellRange range;
  RasterView<float> raster;
};

void accumulate_row(const RowJob& job, std::uint64_t r, ClipScratch& s) {
  const double g = static_cast<double>(r);
  for (std::vector<PixelPoint>* v : {&s.half, &s.strip, &s.piece_left, &s.piece}) v->reserve(job.ring.size() + 2);
  clip_ring(job.ring, Axis::V, g, Keep::AtLeast, s.half);
  clip_ring(s.half, Axis::V, g + 1.0, Keep::AtMost, s.strip);
  if (s.strip.size() < 3) return;
  const std::uint64_t ncols = job.raster.cols();
  const Bounds b = bounds_of(s.strip);
  const std::uint64_t k0 = std::max(job.range.c0, index_clamp(std::floor(b.min_u), ncols));
  const std::uint64_t k1 = std::min(job.range.c1, index_clamp(std::ceil(b.max_u), ncols));
  float* row = job.raster.row_ptr(r);
  for (std::uint64_t k = k0; k < k1; ++k) {
    const double h = static_cast<double>(k);
    clip_ring(s.strip, Axis::U, h, Keep::AtLeast, s.piece_left);
    clip_ring(s.piece_left, Axis::U, h + 1.0, Keep::AtMost, s.piece);
    if (s.piece.size() < 3) continue;
    add_cell_area(row[k], ring_area(s.piece), job.sign);
  }
}

}  // namespace

void ClippingAccumulator::add(const std::vector<PixelPoint>& ring, float sign, RasterView<float> raster,
                              WorkerPool& pool, RowFinish finish) {
  if (ring.size() < 3) return;
  const RowJob job{ring, sign, cell_range(bounds_of(ring), raster.rows(), raster.cols()), raster};
  if (job.range.empty()) return;
  if (job.range.rows() < kInlineWork / ring.size()) {
    for (std::uint64_t r = job.range.r0; r < job.range.r1; ++r) {
      pool.poll();  // the caller does these rows itself: stay interruptible
      accumulate_row(job, r, scratch_[0]);
      finish(r, raster);
    }
    return;
  }
  pool.parallel_for(job.range.r0, job.range.r1, [&](std::size_t r, std::size_t worker) {
    accumulate_row(job, r, scratch_[worker]);
    finish(r, raster);
  });
}

}  // namespace velkan
