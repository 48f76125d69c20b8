#include "coverage/coverage.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "common/errors.h"
#include "common/worker_pool.h"
#include "coverage/clip.h"

namespace velkan {

namespace {

// Areas that round to zero in float32 (|A| <= 2^-150) add nothing; NaN fails too.
const double kSmallestArea = std::ldexp(1.0, -150);
// The largest area one pixel's piece can add.
constexpr double kPixelArea = 1.0;

// Below this much work (rows x vertices) a ring's rows run on the calling
// thread: waking the pool would cost more than the rows. Values are the same.
constexpr std::uint64_t kInlineWork = 1 << 14;

// One worker's clip buffers. They start with room for the ring plus two
// crossings and only grow, so rows and cells allocate nothing once warm.
struct RowScratch {
  std::vector<PixelPoint> half, strip, piece_left, piece;

  void reserve(std::size_t room) {
    for (std::vector<PixelPoint>* v : {&half, &strip, &piece_left, &piece}) v->reserve(room);
  }
};

struct Bounds {
  double min_u = INFINITY, max_u = -INFINITY, min_v = INFINITY, max_v = -INFINITY;
};

// Comparisons with NaN are false, so NaN coordinates take no part.
Bounds bounds_of(const std::vector<PixelPoint>& ring) {
  Bounds b;
  for (const PixelPoint& p : ring) {
    if (p.u < b.min_u) b.min_u = p.u;
    if (p.u > b.max_u) b.max_u = p.u;
    if (p.v < b.min_v) b.min_v = p.v;
    if (p.v > b.max_v) b.max_v = p.v;
  }
  return b;
}

// Clamps an integral float64 to [0, n]; NaN and both infinities give 0.
std::uint64_t index_clamp(double w, std::uint64_t n) {
  if (!std::isfinite(w) || w <= 0.0) return 0;
  if (w >= static_cast<double>(n)) return n;
  return static_cast<std::uint64_t>(w);
}

std::vector<PixelPoint> to_pixel_space(const Ring& ring, const Affine& t, double det) {
  std::vector<PixelPoint> out;
  out.reserve(ring.size());
  for (const Vertex& p : ring) {
    double x = p.x - t.c, y = p.y - t.f;
    out.push_back(PixelPoint{(t.e * x - t.b * y) / det, (t.a * y - t.d * x) / det});
  }
  return out;
}

struct RingJob {
  const std::vector<PixelPoint>* ring;
  float sign;
  std::uint64_t c0, c1;
  Raster<float>* raster;
};

void accumulate_row(const RingJob& job, std::uint64_t r, RowScratch& s) {
  const double g = static_cast<double>(r);
  s.reserve(job.ring->size() + 2);
  clip_ring(*job.ring, Axis::V, g, Keep::AtLeast, s.half);
  clip_ring(s.half, Axis::V, g + 1.0, Keep::AtMost, s.strip);
  if (s.strip.size() < 3) return;
  const std::uint64_t ncols = job.raster->cols();
  Bounds b = bounds_of(s.strip);
  std::uint64_t k0 = std::max(job.c0, index_clamp(std::floor(b.min_u), ncols));
  std::uint64_t k1 = std::min(job.c1, index_clamp(std::ceil(b.max_u), ncols));
  float* row = job.raster->row_ptr(r);
  for (std::uint64_t k = k0; k < k1; ++k) {
    const double h = static_cast<double>(k);
    clip_ring(s.strip, Axis::U, h, Keep::AtLeast, s.piece_left);
    clip_ring(s.piece_left, Axis::U, h + 1.0, Keep::AtMost, s.piece);
    if (s.piece.size() < 3) continue;
    // A piece of one pixel never covers more than the pixel. Only rounding in
    // rings vastly larger than the grid gets past 1, up to areas beyond float32
    // that turned exterior minus hole into inf - inf = NaN. (NaN stays NaN.)
    const double area = std::min(std::fabs(ring_area(s.piece)), kPixelArea);
    if (area > kSmallestArea) row[k] = static_cast<float>(area) * job.sign + row[k];
  }
}

void accumulate_ring(const std::vector<PixelPoint>& ring, float sign, Raster<float>& raster, WorkerPool& pool,
                     std::vector<RowScratch>& scratch) {
  if (ring.size() < 3) return;
  Bounds b = bounds_of(ring);
  RingJob job{&ring, sign, index_clamp(std::floor(b.min_u), raster.cols()),
              index_clamp(std::ceil(b.max_u), raster.cols()), &raster};
  std::uint64_t r0 = index_clamp(std::floor(b.min_v), raster.rows());
  std::uint64_t r1 = index_clamp(std::ceil(b.max_v), raster.rows());
  if (job.c0 >= job.c1 || r0 >= r1) return;
  if (r1 - r0 < kInlineWork / ring.size()) {
    for (std::uint64_t r = r0; r < r1; ++r) {
      pool.poll();  // the caller does these rows itself: stay interruptible
      accumulate_row(job, r, scratch[0]);
    }
    return;
  }
  pool.parallel_for(r0, r1, [&](std::size_t r, std::size_t worker) { accumulate_row(job, r, scratch[worker]); });
}

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
  std::vector<RowScratch> scratch(pool.size());
  // Rings strictly one after another: each cell sees its contributions in ring order.
  for (const Polygon& polygon : polygons) {
    accumulate_ring(to_pixel_space(polygon.exterior, transform, det), 1.0f, raster, pool, scratch);
    for (const Ring& hole : polygon.holes)
      accumulate_ring(to_pixel_space(hole, transform, det), -1.0f, raster, pool, scratch);
  }
  float* cell = raster.data();
  for (std::size_t i = 0; i < raster.size(); ++i) {
    if (cell[i] < 0.0f) cell[i] = 0.0f;
    if (cell[i] > 1.0f) cell[i] = 1.0f;
  }
  return raster;
}

}  // namespace velkan
