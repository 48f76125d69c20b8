#include "coverage/coverage.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "common/errors.h"
#include "common/worker_pool.h"
#include "coverage/clip_accumulation.h"
#include "coverage/edge_accumulation.h"
#include "coverage/grid_box.h"
#include "coverage/ring_cells.h"
#include "coverage/row_clamp.h"

namespace velkan {

namespace {

// Written by index into a sized array, so that the loop vectorises: its
// divisions are most of the time the calling thread spends on a ring.
std::vector<PixelPoint> to_pixel_space(const Ring& ring, const Affine& t, double det) {
  std::vector<PixelPoint> out(ring.size());
  const Vertex* in = ring.data();
  PixelPoint* to = out.data();
  for (std::size_t i = 0; i < ring.size(); ++i) {
    const double x = in[i].x - t.c, y = in[i].y - t.f;
    to[i] = PixelPoint{(t.e * x - t.b * y) / det, (t.a * y - t.d * x) / det};
  }
  return out;
}

// The ring in pixel space, as both accumulations take it: one that reaches
// beyond exact pixel positions is first cut down to the grid.
std::vector<PixelPoint> pixel_ring(const Ring& ring, const Affine& t, double det, RasterView<float> raster) {
  std::vector<PixelPoint> pixels = to_pixel_space(ring, t, det);
  if (pixels.size() >= 3 && reaches_beyond_exact_pixels(pixels))
    return clip_to_grid_box(pixels, raster.rows(), raster.cols());
  return pixels;
}

// The cells a ring can reach; none for a ring of fewer than three vertices.
CellRange ring_range(const std::vector<PixelPoint>& ring, RasterView<float> raster) {
  if (ring.size() < 3) return CellRange{};
  return cell_range(bounds_of(ring), raster.rows(), raster.cols());
}

// Calls visit(ring, sign) for every ring in ring order: each exterior, then its holes.
template <class Visit>
void for_each_ring(const std::vector<Polygon>& polygons, Visit visit) {
  for (const Polygon& polygon : polygons) {
    visit(polygon.exterior, 1.0f);
    for (const Ring& hole : polygon.holes) visit(hole, -1.0f);
  }
}

// Every ring goes the edge way unless it has coordinates only the clipping
// way defines (NaN or infinite). Consecutive small rings wait
// and go together, so their rows can be shared out among the workers; any
// other ring first adds the waiting ones, keeping every cell's ring order.
class RingAccumulator {
 public:
  // `rows` clamps each row once its last ring is in, when it is active.
  RingAccumulator(RasterView<float> raster, WorkerPool& pool, const RowClamp& rows)
      : raster_(raster), pool_(pool), rows_(rows), by_edges_(pool.size()), by_clipping_(pool.size()) {}

  // Adds ring number `index` (in ring order).
  void add(std::vector<PixelPoint> ring, float sign, std::size_t index) {
    const CellRange range = ring_range(ring, raster_);
    if (range.empty()) return;
    written_.r0 = std::min(written_.r0, range.r0);
    written_.r1 = std::max(written_.r1, range.r1);
    written_.c0 = std::min(written_.c0, range.c0);
    written_.c1 = std::max(written_.c1, range.c1);
    const RowFinish finish{rows_.active() ? &rows_ : nullptr, index};
    const bool by_edges = EdgeAccumulator::handles(ring);
    if (by_edges && EdgeAccumulator::is_small(ring, raster_)) {
      waiting_vertices_ += ring.size();
      waiting_.push_back(PendingRing{std::move(ring), sign, finish});
      // Bounds the pixel copies held at once; batches still run in ring order.
      if (waiting_vertices_ >= kMostWaitingVertices) add_waiting();
      return;
    }
    add_waiting();
    if (by_edges)
      by_edges_.add(ring, sign, raster_, pool_, finish);
    else
      by_clipping_.add(ring, sign, raster_, pool_, finish);
  }

  void add_waiting() {
    if (waiting_.empty()) return;
    by_edges_.add_batch(waiting_, raster_, pool_);
    waiting_.clear();
    waiting_vertices_ = 0;
  }

  // Clamps every cell into [0, 1]. Only cells inside some ring's range can
  // have left it, so the rest (often most of a large grid) is not visited.
  void clamp() {
    add_waiting();
    if (written_.empty() || rows_.active()) return;  // every row was clamped as it became final
    constexpr std::uint64_t kBlockRows = 16;
    const std::uint64_t blocks = (written_.rows() + kBlockRows - 1) / kBlockRows;
    auto clamp_block = [&](std::size_t block, std::size_t) {
      const std::uint64_t first = written_.r0 + block * kBlockRows;
      for (std::uint64_t r = first; r < std::min(written_.r1, first + kBlockRows); ++r) {
        float* row = raster_.row_ptr(r);
        for (std::uint64_t k = written_.c0; k < written_.c1; ++k) {
          // below 0 becomes 0, then above 1 becomes 1; NaN would pass unchanged
          row[k] = std::min(std::max(row[k], 0.0f), 1.0f);
        }
      }
    };
    if (written_.rows() * written_.cols() < kInlineWork) {
      for (std::uint64_t b = 0; b < blocks; ++b) clamp_block(b, 0);
    } else {
      pool_.parallel_for(0, blocks, clamp_block);
    }
  }

 private:
  static constexpr std::size_t kMostWaitingVertices = std::size_t{1} << 20;

  RasterView<float> raster_;
  WorkerPool& pool_;
  const RowClamp& rows_;
  EdgeAccumulator by_edges_;
  ClippingAccumulator by_clipping_;
  std::vector<PendingRing> waiting_;
  std::size_t waiting_vertices_ = 0;
  CellRange written_{UINT64_MAX, 0, UINT64_MAX, 0};
};

// Each dimension, the cell count and the byte count must fit a signed 64-bit
// size (an array's dimensions are signed).
bool size_overflows(std::uint64_t nrows, std::uint64_t ncols) {
  constexpr std::uint64_t kLimit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::uint64_t cells = 0, bytes = 0;
  return nrows > kLimit || ncols > kLimit || __builtin_mul_overflow(nrows, ncols, &cells) || cells > kLimit ||
         __builtin_mul_overflow(cells, sizeof(float), &bytes) || bytes > kLimit;
}

}  // namespace

void check_coverage_shape(std::uint64_t nrows, std::uint64_t ncols) {
  if (size_overflows(nrows, ncols))
    throw InternalError("Coverage raster size overflow: " + std::to_string(nrows) + " x " + std::to_string(ncols) +
                        " float32 cells exceed a signed 64-bit byte count");
}

Raster<float> rasterise_coverage(const std::vector<Polygon>& polygons, const Affine& transform, std::uint64_t nrows,
                                 std::uint64_t ncols, WorkerPool& pool) {
  check_coverage_shape(nrows, ncols);
  Raster<float> raster = Raster<float>::zeros(nrows, ncols);
  rasterise_coverage_into(polygons, transform, raster.view(), pool);
  return raster;
}

void rasterise_coverage_into(const std::vector<Polygon>& polygons, const Affine& transform, RasterView<float> raster,
                             WorkerPool& pool, ClampOrder order) {
  const double det = transform.a * transform.e - transform.b * transform.d;
  // A first pass finds the rows each ring reaches (converting again later
  // keeps one ring's pixel copy alive at a time, not all of them).
  std::vector<CellRange> ranges;
  if (order == ClampOrder::ByRows) {
    for_each_ring(polygons, [&](const Ring& ring, float) {
      ranges.push_back(ring_range(pixel_ring(ring, transform, det, raster), raster));
    });
  }
  const RowClamp rows(ranges);
  RingAccumulator rings(raster, pool, rows);
  // Rings strictly one after another: each cell sees its contributions in ring order.
  std::size_t index = 0;
  for_each_ring(polygons, [&](const Ring& ring, float sign) {
    rings.add(pixel_ring(ring, transform, det, raster), sign, index++);
  });
  rings.clamp();
}

}  // namespace velkan
