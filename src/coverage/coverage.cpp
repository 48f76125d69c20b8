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

namespace velkan {

namespace {

std::vector<PixelPoint> to_pixel_space(const Ring& ring, const Affine& t, double det) {
  std::vector<PixelPoint> out;
  out.reserve(ring.size());
  for (const Vertex& p : ring) {
    double x = p.x - t.c, y = p.y - t.f;
    out.push_back(PixelPoint{(t.e * x - t.b * y) / det, (t.a * y - t.d * x) / det});
  }
  return out;
}

// Every ring goes the edge way unless it has coordinates only the clipping
// way defines (NaN, infinite or beyond 2^53).
class RingAccumulator {
 public:
  RingAccumulator(Raster<float>& raster, WorkerPool& pool)
      : raster_(raster), pool_(pool), by_edges_(pool.size()), by_clipping_(pool.size()) {}

  void add(const std::vector<PixelPoint>& ring, float sign) {
    if (EdgeAccumulator::handles(ring))
      by_edges_.add(ring, sign, raster_, pool_);
    else
      by_clipping_.add(ring, sign, raster_, pool_);
  }

 private:
  Raster<float>& raster_;
  WorkerPool& pool_;
  EdgeAccumulator by_edges_;
  ClippingAccumulator by_clipping_;
};

// Both the cell count and the byte count must fit a signed 64-bit size.
bool size_overflows(std::uint64_t nrows, std::uint64_t ncols) {
  constexpr std::uint64_t kLimit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::uint64_t cells = 0, bytes = 0;
  return __builtin_mul_overflow(nrows, ncols, &cells) || cells > kLimit ||
         __builtin_mul_overflow(cells, sizeof(float), &bytes) || bytes > kLimit;
}

Raster<float> zero_raster(std::uint64_t nrows, std::uint64_t ncols) {
  if (size_overflows(nrows, ncols))
    throw InternalError("Coverage raster size overflow: " + std::to_string(nrows) + " x " + std::to_string(ncols) +
                        " float32 cells exceed a signed 64-bit byte count");
  return Raster<float>(nrows, ncols, 0.0f);
}

}  // namespace

Raster<float> rasterise_coverage(const std::vector<Polygon>& polygons, const Affine& transform,
                                 std::uint64_t nrows, std::uint64_t ncols, WorkerPool& pool) {
  Raster<float> raster = zero_raster(nrows, ncols);
  const double det = transform.a * transform.e - transform.b * transform.d;
  RingAccumulator rings(raster, pool);
  // Rings strictly one after another: each cell sees its contributions in ring order.
  for (const Polygon& polygon : polygons) {
    rings.add(to_pixel_space(polygon.exterior, transform, det), 1.0f);
    for (const Ring& hole : polygon.holes) rings.add(to_pixel_space(hole, transform, det), -1.0f);
  }
  float* cell = raster.data();
  for (std::size_t i = 0; i < raster.size(); ++i) {
    if (cell[i] < 0.0f) cell[i] = 0.0f;
    if (cell[i] > 1.0f) cell[i] = 1.0f;
  }
  return raster;
}

}  // namespace velkan
