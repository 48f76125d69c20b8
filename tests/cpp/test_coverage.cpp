// The rasteriser's building blocks and thread-count independence.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "common/errors.h"
#include "common/worker_pool.h"
#include "coverage/clip.h"
#include "coverage/coverage.h"

using namespace velkan;

TEST(ClipRing, KeepsThePartOnTheKeptSideAndCrossesBothEdges) {
  std::vector<PixelPoint> square{{0, 0}, {2, 0}, {2, 2}, {0, 2}}, out;
  clip_ring(square, Axis::U, 0.5, Keep::AtLeast, out);
  EXPECT_DOUBLE_EQ(std::fabs(ring_area(out)), 3.0);
  clip_ring(square, Axis::V, 0.5, Keep::AtMost, out);
  EXPECT_DOUBLE_EQ(std::fabs(ring_area(out)), 1.0);
  for (const PixelPoint& p : out) EXPECT_LE(p.v, 0.5);
}

TEST(ClipRing, PointsOnTheLineAreInsideAndEmptyStaysEmpty) {
  std::vector<PixelPoint> square{{0, 0}, {1, 0}, {1, 1}, {0, 1}}, out;
  clip_ring(square, Axis::U, 1.0, Keep::AtMost, out);
  EXPECT_EQ(out.size(), 4u);
  clip_ring({}, Axis::U, 1.0, Keep::AtMost, out);
  EXPECT_TRUE(out.empty());
  clip_ring(square, Axis::U, 3.0, Keep::AtLeast, out);
  EXPECT_TRUE(out.empty());
}

TEST(RingArea, SignFollowsOrientation) {
  std::vector<PixelPoint> ccw{{0, 0}, {3, 0}, {3, 2}, {0, 2}};
  std::vector<PixelPoint> cw(ccw.rbegin(), ccw.rend());
  EXPECT_DOUBLE_EQ(ring_area(ccw), 6.0);
  EXPECT_DOUBLE_EQ(ring_area(cw), -6.0);
}

namespace {
Raster<float> rasterise(const std::vector<Polygon>& polygons, std::size_t workers, std::uint64_t n) {
  WorkerPool pool(workers);
  return rasterise_coverage(polygons, Affine{1, 0, 0, 0, 1, 0}, n, n, pool);
}

Ring circle(double cx, double cy, double r, int n) {
  Ring ring;
  for (int i = 0; i < n; ++i) {
    double a = 2.0 * M_PI * i / n;
    ring.push_back({cx + r * std::cos(a), cy + r * std::sin(a)});
  }
  return ring;
}
}  // namespace

TEST(RasteriseCoverage, AreaIsConservedAndThreadCountDoesNotMatter) {
  // A polygon big enough for its rows to be spread over the pool.
  std::vector<Polygon> polygons{{circle(100.3, 90.7, 70.0, 5000), {circle(100.0, 90.0, 20.0, 400)}}};
  Raster<float> one = rasterise(polygons, 1, 200);
  Raster<float> three = rasterise(polygons, 3, 200);
  double total = 0.0;
  for (std::size_t i = 0; i < one.size(); ++i) {
    ASSERT_EQ(one.data()[i], three.data()[i]) << i;
    total += one.data()[i];
  }
  // polygon area of the inscribed 5000-gon minus the 400-gon hole
  auto ngon = [](double r, int n) { return 0.5 * n * r * r * std::sin(2.0 * M_PI / n); };
  EXPECT_NEAR(total, ngon(70.0, 5000) - ngon(20.0, 400), 1e-2);
}

TEST(RasteriseCoverage, ByteSizeOverflowIsAnInternalError) {
  WorkerPool pool(1);
  EXPECT_THROW(rasterise_coverage({}, Affine{}, 1ull << 62, 1ull << 62, pool), InternalError);
  EXPECT_THROW(rasterise_coverage({}, Affine{}, 1ull << 63, 1, pool), InternalError);
}
