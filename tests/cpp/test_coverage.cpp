// The rasteriser: clipping and area building blocks, hand-computed coverage
// values, transforms, degenerate input, sizes and thread-count independence.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

#include "common/errors.h"
#include "common/worker_pool.h"
#include "coverage/clip.h"
#include "coverage/coverage.h"

using namespace velkan;

namespace {

const Affine kIdentity{1, 0, 0, 0, 1, 0};
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using Cells = std::map<std::pair<std::size_t, std::size_t>, float>;

Ring square(double x0, double y0, double side = 1.0) {
  return {{x0, y0}, {x0 + side, y0}, {x0 + side, y0 + side}, {x0, y0 + side}};
}

Ring reversed(Ring ring) { return Ring(ring.rbegin(), ring.rend()); }

Ring circle(double cx, double cy, double r, int n) {
  Ring ring;
  for (int i = 0; i < n; ++i) {
    double a = 2.0 * M_PI * i / n;
    ring.push_back({cx + r * std::cos(a), cy + r * std::sin(a)});
  }
  return ring;
}

Raster<float> cover(const std::vector<Polygon>& polygons, std::uint64_t rows, std::uint64_t cols,
                    const Affine& transform = kIdentity, std::size_t workers = 2) {
  WorkerPool pool(workers);
  return rasterise_coverage(polygons, transform, rows, cols, pool);
}

// Every cell equals its entry in `cells` (absent cells 0) within `tolerance`.
void expect_cells(const Raster<float>& raster, const Cells& cells, float tolerance = 0.0f) {
  for (std::size_t r = 0; r < raster.rows(); ++r)
    for (std::size_t k = 0; k < raster.cols(); ++k) {
      auto it = cells.find({r, k});
      float expected = it == cells.end() ? 0.0f : it->second;
      EXPECT_NEAR(raster(r, k), expected, tolerance) << "row " << r << ", column " << k;
    }
}

}  // namespace

// ---- clipping and area -------------------------------------------------------

TEST(CoverageClip, KeepsThePartOnTheKeptSide) {
  std::vector<PixelPoint> sq{{0, 0}, {2, 0}, {2, 2}, {0, 2}}, out;
  clip_ring(sq, Axis::U, 0.5, Keep::AtLeast, out);
  EXPECT_DOUBLE_EQ(std::fabs(ring_area(out)), 3.0);
  for (const PixelPoint& p : out) EXPECT_GE(p.u, 0.5);
  clip_ring(sq, Axis::V, 0.5, Keep::AtMost, out);
  EXPECT_DOUBLE_EQ(std::fabs(ring_area(out)), 1.0);
  for (const PixelPoint& p : out) EXPECT_LE(p.v, 0.5);
}

TEST(CoverageClip, CrossingPointLiesOnTheEdgeAndOrderIsKept) {
  // Triangle (0,0) (4,0) (0,4) cut at u <= 1: the hypotenuse crosses at (1,3).
  std::vector<PixelPoint> tri{{0, 0}, {4, 0}, {0, 4}}, out;
  clip_ring(tri, Axis::U, 1.0, Keep::AtMost, out);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_DOUBLE_EQ(out[0].u, 0.0);  // first vertex inside, emitted as is
  EXPECT_DOUBLE_EQ(out[0].v, 0.0);
  EXPECT_DOUBLE_EQ(out[1].u, 1.0);  // leaving: crossing on the base
  EXPECT_DOUBLE_EQ(out[1].v, 0.0);
  EXPECT_DOUBLE_EQ(out[2].u, 1.0);  // re-entering: crossing on the hypotenuse, then (0,4)
  EXPECT_DOUBLE_EQ(out[2].v, 3.0);
  EXPECT_DOUBLE_EQ(out[3].v, 4.0);
  EXPECT_GT(ring_area(out), 0.0);  // counter-clockwise input stays counter-clockwise
  EXPECT_DOUBLE_EQ(ring_area(out), 3.5);
}

TEST(CoverageClip, PointsOnTheLineAreInsideAndEmptyStaysEmpty) {
  std::vector<PixelPoint> sq{{0, 0}, {1, 0}, {1, 1}, {0, 1}}, out{{9, 9}};
  clip_ring(sq, Axis::U, 1.0, Keep::AtMost, out);
  EXPECT_EQ(out.size(), 4u);
  clip_ring({}, Axis::U, 1.0, Keep::AtMost, out);
  EXPECT_TRUE(out.empty());
  clip_ring(sq, Axis::U, 3.0, Keep::AtLeast, out);
  EXPECT_TRUE(out.empty());
}

TEST(CoverageClip, AVertexTouchingTheLineFromOutsideSurvives) {
  // Only the apex touches u = 0 (or u = 2); inclusive tests keep it, as a
  // degenerate piece of three coincident points.
  std::vector<PixelPoint> left{{0, 0}, {-1, 1}, {-1, -1}}, right{{2, 0}, {3, -1}, {3, 1}}, out;
  for (auto [ring, keep, value] : {std::tuple{&left, Keep::AtLeast, 0.0}, std::tuple{&right, Keep::AtMost, 2.0}}) {
    clip_ring(*ring, Axis::U, value, keep, out);
    ASSERT_EQ(out.size(), 3u);
    for (const PixelPoint& p : out) {
      EXPECT_EQ(p.u, value);
      EXPECT_EQ(p.v, 0.0);
    }
  }
}

TEST(CoverageArea, SignFollowsOrientation) {
  std::vector<PixelPoint> ccw{{0, 0}, {3, 0}, {3, 2}, {0, 2}};
  std::vector<PixelPoint> cw(ccw.rbegin(), ccw.rend());
  EXPECT_DOUBLE_EQ(ring_area(ccw), 6.0);
  EXPECT_DOUBLE_EQ(ring_area(cw), -6.0);
}

// ---- hand-computed values, world = pixel space ------------------------------

struct HandCase {
  std::string name;
  std::vector<Polygon> polygons;
  Cells cells;
};

class CoverageHandValues : public ::testing::TestWithParam<HandCase> {};

TEST_P(CoverageHandValues, OnA3x3Grid) { expect_cells(cover(GetParam().polygons, 3, 3), GetParam().cells); }

INSTANTIATE_TEST_SUITE_P(
    Cases, CoverageHandValues,
    ::testing::Values(
        HandCase{"UnitSquareCounterClockwise", {{square(0, 0), {}}}, {{{0, 0}, 1.0f}}},
        HandCase{"UnitSquareClockwise", {{reversed(square(0, 0)), {}}}, {{{0, 0}, 1.0f}}},
        HandCase{"HalfTriangle", {{{{0, 0}, {1, 0}, {0, 1}}, {}}}, {{{0, 0}, 0.5f}}},
        HandCase{"OffsetSquareQuartersFourPixels",
                 {{square(0.5, 0.5), {}}},
                 {{{0, 0}, 0.25f}, {{0, 1}, 0.25f}, {{1, 0}, 0.25f}, {{1, 1}, 0.25f}}},
        HandCase{"ThinRectangleOverARow",
                 {{{{0, 1.25}, {3, 1.25}, {3, 1.5}, {0, 1.5}}, {}}},
                 {{{1, 0}, 0.25f}, {{1, 1}, 0.25f}, {{1, 2}, 0.25f}}},
        HandCase{"HoleEqualToExteriorCancels", {{square(0, 0, 2), {square(0, 0, 2)}}}, {}},
        HandCase{"HoleSubtractsItsOverlap",
                 {{square(0, 0, 2), {{{0, 0}, {1, 0}, {0, 1}}}}},
                 {{{0, 0}, 0.5f}, {{0, 1}, 1.0f}, {{1, 0}, 1.0f}, {{1, 1}, 1.0f}}},
        HandCase{"HoleOutsideExteriorClampsToZero", {{square(0, 0), {square(1, 0)}}}, {{{0, 0}, 1.0f}}},
        HandCase{"OverlappingSquaresClampToOne", {{square(0, 0), {}}, {square(0, 0), {}}}, {{{0, 0}, 1.0f}}},
        // -1 from the first polygon's stray hole, +1 from the second: the clamp comes only at the end
        HandCase{"ClampOnlyAfterAllRings", {{square(0, 0), {square(1, 0)}}, {square(1, 0), {}}}, {{{0, 0}, 1.0f}}},
        HandCase{"EmptyRing", {{Ring{}, {}}}, {}}, HandCase{"OneVertexRing", {{Ring{{0.5, 0.5}}, {}}}, {}},
        HandCase{"TwoVertexRing", {{Ring{{0, 0}, {2, 2}}, {}}}, {}},
        HandCase{"TwoVertexHoleLeavesExterior", {{square(0, 0), {Ring{{0, 0}, {1, 1}}}}}, {{{0, 0}, 1.0f}}},
        HandCase{"LeftOfTheGrid", {{square(-2, 0, 1.5), {}}}, {}},
        HandCase{"BelowTheLastRow", {{square(0, 3, 2), {}}}, {}},
        HandCase{"StraddlesTheOriginCorner", {{square(-1, -1, 2), {}}}, {{{0, 0}, 1.0f}}},
        HandCase{"StraddlesTheFarCorner", {{square(2, 2, 3), {}}}, {{{2, 2}, 1.0f}}},
        HandCase{"StraddlesTheLeftBorder", {{square(-0.5, 1, 1), {}}}, {{{1, 0}, 0.5f}}}),
    [](const ::testing::TestParamInfo<HandCase>& info) { return info.param.name; });

TEST(CoverageRings, RepeatedClosingVertexKeepsTheAreas) {
  Ring tri{{0.2, 0.3}, {2.7, 0.6}, {1.1, 2.9}};
  Ring closed = tri;
  closed.push_back(tri.front());
  Raster<float> open_ring = cover({{tri, {}}}, 3, 3), closed_ring = cover({{closed, {}}}, 3, 3);
  double total = 0.0;
  for (std::size_t i = 0; i < open_ring.size(); ++i) {
    EXPECT_NEAR(closed_ring.data()[i], open_ring.data()[i], 1e-6) << i;
    total += open_ring.data()[i];
  }
  // shoelace area of the triangle: ((2.5 * 2.6) - (0.3 * 0.9)) / 2
  EXPECT_NEAR(total, (2.5 * 2.6 - 0.3 * 0.9) / 2.0, 1e-5);
}

TEST(CoverageRings, ExactOverlapOfACircleSumsToItsArea) {
  std::vector<Polygon> polygons{{circle(10.3, 9.7, 7.0, 2000), {circle(10.0, 9.0, 2.0, 300)}}};
  Raster<float> out = cover(polygons, 20, 20);
  auto ngon = [](double r, int n) { return 0.5 * n * r * r * std::sin(2.0 * M_PI / n); };
  double total = 0.0;
  for (std::size_t i = 0; i < out.size(); ++i) total += out.data()[i];
  EXPECT_NEAR(total, ngon(7.0, 2000) - ngon(2.0, 300), 1e-3);
  EXPECT_FLOAT_EQ(out(10, 5), 1.0f);  // well inside the annulus
  EXPECT_FLOAT_EQ(out(9, 10), 0.0f);  // inside the hole
}

// ---- transforms ---------------------------------------------------------------

TEST(CoverageTransform, NorthUpMapsWorldYDownwardToRows) {
  const double res = 30.0, x0 = 500000.0, y0 = 4100000.0;
  // The world square of pixel (row 1, column 1); its top-left corner is (x0 + res, y0 - res).
  Ring world{{x0 + res, y0 - res}, {x0 + 2 * res, y0 - res}, {x0 + 2 * res, y0 - 2 * res}, {x0 + res, y0 - 2 * res}};
  expect_cells(cover({{world, {}}}, 3, 3, Affine{res, 0, x0, 0, -res, y0}), {{{1, 1}, 1.0f}}, 1e-6f);
}

TEST(CoverageTransform, ShearedTransformInvertsBothAxes) {
  const Affine t{2.0, 0.5, 10.0, -0.25, -1.5, 20.0};
  // The world image of pixel (row 1, column 2) plus the lower half (triangle) of pixel (row 0, column 0).
  auto world = [&](double u, double v) { return Vertex{t.world_x(u, v), t.world_y(u, v)}; };
  Ring pixel{world(2, 1), world(3, 1), world(3, 2), world(2, 2)};
  Ring triangle{world(0, 0), world(1, 1), world(0, 1)};
  expect_cells(cover({{pixel, {}}, {triangle, {}}}, 3, 4, t), {{{1, 2}, 1.0f}, {{0, 0}, 0.5f}}, 1e-6f);
}

TEST(CoverageTransform, SingularTransformGivesZeros) {
  // a*e == b*d: every pixel coordinate is infinite or NaN
  for (const Affine& t : {Affine{1, 2, 0, 0.5, 1, 0}, Affine{0, 0, 0, 0, 0, 0}})
    expect_cells(cover({{square(0, 0, 2), {}}, {square(-5, -5, 20), {}}}, 3, 3, t), {});
}

TEST(CoverageTransform, NonFiniteCoordinatesStayInRange) {
  // NaN takes no part in the box, so these rings are clipped cell by cell and
  // their NaN crossing points give NaN areas that must be dropped.
  Ring nan_vertex{{0, 0}, {2, 0}, {kNaN, 1}, {2, 2}, {0, 2}};
  Ring nan_hole{{0.5, 0.5}, {kNaN, 0.7}, {1.5, 1.5}, {0.5, kNaN}};
  Ring mixed{{0, 0}, {kNaN, 0.5}, {2, 2}, {kInf, 1}, {0, 2}, {-kInf, kNaN}};
  Ring all_nan{{kNaN, kNaN}, {kNaN, 1}, {1, kNaN}};
  Raster<float> out =
      cover({{nan_vertex, {nan_hole}}, {mixed, {square(0, 0)}}, {square(0.5, 0.5), {}}, {all_nan, {}}}, 3, 3);
  for (std::size_t i = 0; i < out.size(); ++i) {
    EXPECT_TRUE(std::isfinite(out.data()[i])) << i;
    EXPECT_GE(out.data()[i], 0.0f) << i;
    EXPECT_LE(out.data()[i], 1.0f) << i;
  }
}

// A tiny determinant blows a 29-unit ring up to about 1e161 pixels: crossing
// points then carry rounding errors far larger than a pixel, and a cell piece's
// area can exceed the float32 range. A piece never adds more than its pixel,
// so a hole equal to its exterior still cancels it (inf - inf gave NaN).
TEST(CoverageTransform, RoundingBlowUpStaysWithinAPixel) {
  const Affine tiny{1e-160, 0, 0, 0, 1e-160, 0};
  for (int n : {11, 13, 17, 19, 23}) {
    const Ring ring = circle(0.3, -0.2, 14.5, n);
    Raster<float> alone = cover({{ring, {}}}, 1, 1, tiny);
    EXPECT_TRUE(alone(0, 0) >= 0.0f && alone(0, 0) <= 1.0f) << n << ": " << alone(0, 0);
    EXPECT_EQ(cover({{ring, {ring}}}, 1, 1, tiny)(0, 0), 0.0f) << n;
  }
}

TEST(CoverageTransform, PositiveInfinityEmptiesTheBoundingBox) {
  // Row 0 of each ring is a clean unit square; the infinite vertices only
  // reach row 1. +inf clamps to index 0 like NaN, so the box of `plus` is
  // empty and it contributes nothing, not even to row 0; -inf is just far
  // to the left and clamps to 0 as a minimum should.
  Ring plus{{0, 0}, {1, 0}, {1, 1.5}, {kInf, 1.5}, {kInf, 2}, {0, 2}};
  Ring minus{{1, 0}, {2, 0}, {2, 2}, {-kInf, 2}, {-kInf, 1.5}, {1, 1.5}};
  expect_cells(cover({{plus, {}}}, 3, 3), {});
  EXPECT_EQ(cover({{minus, {}}}, 3, 3)(0, 1), 1.0f);
  Ring finite = plus;
  finite[3].x = finite[4].x = 3.0;
  EXPECT_EQ(cover({{finite, {}}}, 3, 3)(0, 0), 1.0f);
}

// ---- sizes --------------------------------------------------------------------

TEST(CoverageSize, EmptyShapesAndNoPolygons) {
  Raster<float> rows_only = cover({{square(0, 0), {}}}, 3, 0), cols_only = cover({{square(0, 0), {}}}, 0, 5);
  EXPECT_EQ(rows_only.rows(), 3u);
  EXPECT_EQ(rows_only.size(), 0u);
  EXPECT_EQ(cols_only.cols(), 5u);
  EXPECT_EQ(cols_only.size(), 0u);
  Raster<float> none = cover({}, 4, 6);
  ASSERT_EQ(none.size(), 24u);
  expect_cells(none, {});
}

TEST(CoverageSize, OverflowOfCellsOrBytesIsAnInternalError) {
  WorkerPool pool(1);
  const std::pair<std::uint64_t, std::uint64_t> shapes[] = {
      {1ull << 62, 1ull << 62},  // cell count wraps 64 bits
      {1ull << 63, 1},           // cell count above the signed limit
      {1ull << 62, 1},           // cells fit, bytes do not
      {1, 1ull << 61},           // bytes exactly 2^63
  };
  for (auto [rows, cols] : shapes) {
    try {
      rasterise_coverage({}, kIdentity, rows, cols, pool);
      ADD_FAILURE() << rows << " x " << cols << " did not throw";
    } catch (const InternalError& error) {
      EXPECT_NE(std::string(error.what()).find("overflow"), std::string::npos) << error.what();
    }
  }
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(CoverageSize, RasterTooLargeForMemoryIsBadAlloc) {
  WorkerPool pool(1);
  // 2^60 cells, 2^62 bytes: representable, but no machine has that memory.
  EXPECT_THROW(rasterise_coverage({}, kIdentity, 1ull << 30, 1ull << 30, pool), std::bad_alloc);
}
#endif

// ---- threads ------------------------------------------------------------------

class CoverageThreads : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CoverageThreads, SameBitsAsOneWorker) {
  // One ring big enough for its rows to be spread over the pool, plus small
  // rings whose rows run inline, overlapping so cells get several contributions.
  std::vector<Polygon> polygons{{circle(100.3, 90.7, 70.0, 5000), {circle(100.0, 90.0, 20.0, 400)}}};
  for (int i = 0; i < 30; ++i)
    polygons.push_back({circle(13.1 + 6.3 * i, 150.2 + (i % 5) * 3.7, 4.4, 37),
                        {circle(13.1 + 6.3 * i, 150.2 + (i % 5) * 3.7, 1.3, 11)}});
  Raster<float> one = cover(polygons, 200, 210, kIdentity, 1);
  Raster<float> many = cover(polygons, 200, 210, kIdentity, GetParam());
  ASSERT_TRUE(one.same_shape(many));
  std::size_t covered = 0;
  for (std::size_t i = 0; i < one.size(); ++i) {
    ASSERT_EQ(std::memcmp(&one.data()[i], &many.data()[i], sizeof(float)), 0) << "cell " << i;
    covered += one.data()[i] > 0.0f;
  }
  EXPECT_GT(covered, 10000u);
}

INSTANTIATE_TEST_SUITE_P(Workers, CoverageThreads, ::testing::Values(1, 2, 7));

// ---- clamping ------------------------------------------------------------------

// Rows clamped as soon as their last ring is in give the bits of clamping the
// whole grid at the end: a big ring with a hole on the pool, overlapping small
// rings in batches (sums above 1 and below 0), a ring the clipping way (a NaN
// vertex), rings partly off the grid, and small rings after the big one.
TEST(CoverageClamp, RowsClampedEarlyEqualOneClampAtTheEnd) {
  std::mt19937 rng(8);
  std::uniform_real_distribution<double> at(-10.0, 230.0), radius(0.5, 9.0);
  std::vector<Polygon> polygons{{circle(100.3, 90.7, 70.0, 5000), {circle(100.0, 90.0, 20.0, 400)}}};
  for (int i = 0; i < 300; ++i) {
    const double x = at(rng), y = at(rng), r = radius(rng);
    polygons.push_back({circle(x, y, r, 23), {circle(x + 0.3, y, r * 0.4, 9)}});
    if (i % 40 == 0) polygons.push_back({reversed(circle(y, x, r, 17)), {}});  // a negative exterior
  }
  Ring with_nan = square(150.5, 20.25, 30.0);
  with_nan.insert(with_nan.begin() + 2, Vertex{kNaN, 35.0});
  polygons.push_back({with_nan, {}});
  polygons.push_back({circle(100.0, 90.0, 75.0, 3000), {}});  // over everything so far: sums reach 2
  for (const std::size_t workers : {1u, 3u}) {
    WorkerPool pool(workers);
    Raster<float> by_rows = Raster<float>::zeros(210, 220), at_end = Raster<float>::zeros(210, 220);
    rasterise_coverage_into(polygons, kIdentity, by_rows.view(), pool, ClampOrder::ByRows);
    rasterise_coverage_into(polygons, kIdentity, at_end.view(), pool, ClampOrder::AtEnd);
    std::size_t partial = 0;
    for (std::size_t i = 0; i < by_rows.size(); ++i) {
      ASSERT_EQ(std::memcmp(&by_rows.data()[i], &at_end.data()[i], sizeof(float)), 0) << "cell " << i;
      ASSERT_GE(by_rows.data()[i], 0.0f);
      ASSERT_LE(by_rows.data()[i], 1.0f);
      partial += by_rows.data()[i] > 0.0f && by_rows.data()[i] < 1.0f;
    }
    EXPECT_GT(partial, 1000u);
  }
}

// ---- interruption ---------------------------------------------------------------

// Whether a ring's rows go to the pool or run on the calling thread, a wait
// hook that throws ends the rasterisation long before it would finish.
class CoverageInterrupt : public ::testing::TestWithParam<bool> {};

TEST_P(CoverageInterrupt, HookStopsTheRasterisation) {
  const bool inline_rows = GetParam();
  // Inline: a four-vertex ring over 1000 rows stays below the pool's threshold.
  // Pooled: a ring of many vertices, whose rows are spread over the workers.
  const std::uint64_t rows = 1000, cols = 3000;
  const Ring ring = inline_rows ? square(0, 0, 3000) : circle(1500, 500, 1600, 5000);
  std::vector<Polygon> polygons(2000, Polygon{ring, {}});
  WorkerPool pool(2);
  int calls = 0;
  pool.set_wait_hook(
      [&] {
        if (++calls == 3) throw std::runtime_error("interrupted");
      },
      20);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(rasterise_coverage(polygons, kIdentity, rows, cols, pool), std::runtime_error);
  EXPECT_EQ(calls, 3);
  // Uninterrupted, the 2000 rings take minutes.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

INSTANTIATE_TEST_SUITE_P(Paths, CoverageInterrupt, ::testing::Values(true, false));
