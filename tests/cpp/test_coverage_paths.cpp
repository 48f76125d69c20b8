// The edge path against the clipping path on random rings: the same areas up
// to float64 rounding, whole cells exact, and banding that changes no bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "common/worker_pool.h"
#include "coverage/clip_accumulation.h"
#include "coverage/edge_accumulation.h"

using namespace velkan;

namespace {

using PixelRing = std::vector<PixelPoint>;

constexpr std::size_t kRows = 19, kCols = 23;

struct Paths {
  Raster<float> by_edges{kRows, kCols, 0.0f};
  Raster<float> by_clipping{kRows, kCols, 0.0f};
};

Paths accumulate_both(const std::vector<PixelRing>& rings, std::size_t workers = 2) {
  WorkerPool pool(workers);
  EdgeAccumulator edges(pool.size());
  ClippingAccumulator clipping(pool.size());
  Paths out;
  float sign = 1.0f;
  for (const PixelRing& ring : rings) {
    EXPECT_TRUE(EdgeAccumulator::handles(ring));
    edges.add(ring, sign, out.by_edges.view(), pool);
    clipping.add(ring, sign, out.by_clipping.view(), pool);
    sign = -sign;
  }
  return out;
}

void expect_same_areas(const Paths& paths, double tolerance) {
  for (std::size_t r = 0; r < kRows; ++r)
    for (std::size_t k = 0; k < kCols; ++k)
      ASSERT_NEAR(paths.by_edges(r, k), paths.by_clipping(r, k), tolerance) << "row " << r << ", column " << k;
}

// Kinds of ring that stress different parts of the edge walk.
enum class Shape { Star, Scribble, GridAligned, HalfGrid, Spiky, NearColumnZero };

// A column position on either side of column 0 closer than 1e-290, often
// subnormal, where two positions can lie too close to divide a height by
// their distance; or 0 itself, or one across the grid.
double near_column_zero(std::mt19937& rng) {
  std::uniform_real_distribution<double> unit(0.0, 1.0), exponent(-323.5, -290.0);
  const double pick = unit(rng);
  if (pick < 0.1) return 0.0;
  if (pick < 0.3) return unit(rng) * kCols;
  return (unit(rng) < 0.5 ? -1.0 : 1.0) * std::pow(10.0, exponent(rng));
}

PixelRing random_ring(Shape shape, std::mt19937& rng) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_int_distribution<int> count(3, 40);
  const int n = count(rng);
  PixelRing ring;
  const double cu = -4.0 + unit(rng) * (kCols + 8), cv = -4.0 + unit(rng) * (kRows + 8);
  for (int i = 0; i < n; ++i) {
    switch (shape) {
      case Shape::Star: {  // simple, either orientation, often across the grid's border
        const double angle = 2.0 * M_PI * i / n, radius = 0.3 + unit(rng) * 9.0;
        ring.push_back({cu + radius * std::cos(angle), cv + radius * std::sin(angle)});
        break;
      }
      case Shape::Scribble:  // self-intersecting, anywhere around the grid
        ring.push_back({-3.0 + unit(rng) * (kCols + 6), -3.0 + unit(rng) * (kRows + 6)});
        break;
      case Shape::GridAligned:  // vertices on pixel corners: edges along row and column lines
        ring.push_back({std::floor(-2.0 + unit(rng) * (kCols + 4)), std::floor(-2.0 + unit(rng) * (kRows + 4))});
        break;
      case Shape::HalfGrid:  // vertices on half-pixel positions, repeated ones included
        ring.push_back({std::floor(unit(rng) * 2 * kCols) / 2, std::floor(unit(rng) * 2 * kRows) / 2});
        if (unit(rng) < 0.2) ring.push_back(ring.back());
        break;
      case Shape::Spiky:  // long thin slivers through many rows
        ring.push_back({cu + (i % 2 ? 0.001 : 30.0) * std::cos(i), cv + (i % 2 ? 0.001 : 30.0) * std::sin(i)});
        break;
      case Shape::NearColumnZero:  // steep edges hugging the grid's left edge
        ring.push_back({near_column_zero(rng), -1.0 + unit(rng) * (kRows + 2)});
        break;
    }
  }
  return ring;
}

class CoveragePaths : public ::testing::TestWithParam<Shape> {};

TEST_P(CoveragePaths, EdgesGiveTheClippedAreas) {
  std::mt19937 rng(20261208 + static_cast<int>(GetParam()));
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<PixelRing> rings;
    for (int i = 0; i < 3; ++i) rings.push_back(random_ring(GetParam(), rng));
    SCOPED_TRACE(trial);
    expect_same_areas(accumulate_both(rings), 1e-6);
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, CoveragePaths,
                         ::testing::Values(Shape::Star, Shape::Scribble, Shape::GridAligned, Shape::HalfGrid,
                                           Shape::Spiky, Shape::NearColumnZero));

TEST(CoverageEdges, WholeCellsAreExact) {
  // A U shape: the notch and the outside stay exactly 0, the arms exactly 1.
  const PixelRing u_shape = {{1, 1}, {8, 1}, {8, 9}, {6, 9}, {6, 3}, {3, 3}, {3, 9}, {1, 9}};
  WorkerPool pool(1);
  EdgeAccumulator edges(1);
  Raster<float> raster(kRows, kCols, 0.0f);
  edges.add(u_shape, 1.0f, raster.view(), pool);
  for (std::size_t r = 0; r < kRows; ++r)
    for (std::size_t k = 0; k < kCols; ++k) {
      const bool arm = r >= 1 && r < 9 && ((k >= 1 && k < 3) || (k >= 6 && k < 8));
      const bool base = r >= 1 && r < 3 && k >= 1 && k < 8;
      ASSERT_EQ(raster(r, k), arm || base ? 1.0f : 0.0f) << r << ", " << k;
    }
  // A polygon on a circle with off-grid centre: cells clear of its edges are
  // exactly 0 or 1 although their running sums carry rounding.
  const double cu = 11.37, cv = 9.71, radius = 6.13;
  PixelRing circle;
  for (int i = 0; i < 64; ++i)
    circle.push_back({cu + radius * std::cos(2 * M_PI * i / 64), cv + radius * std::sin(2 * M_PI * i / 64)});
  Raster<float> disc(kRows, kCols, 0.0f);
  edges.add(circle, 1.0f, disc.view(), pool);
  int whole_cells = 0;
  for (std::size_t r = 0; r < kRows; ++r)
    for (std::size_t k = 0; k < kCols; ++k) {
      double nearest = 1e9, farthest = 0.0;
      for (double du : {0.0, 1.0})
        for (double dv : {0.0, 1.0}) {
          const double d = std::hypot(k + du - cu, r + dv - cv);
          nearest = std::min(nearest, d);
          farthest = std::max(farthest, d);
        }
      if (farthest < radius * std::cos(M_PI / 64)) {
        ASSERT_EQ(disc(r, k), 1.0f) << r << ", " << k;
      }
      if (nearest > radius + 1.5) {
        ASSERT_EQ(disc(r, k), 0.0f) << r << ", " << k;
      }
      whole_cells += farthest < radius * std::cos(M_PI / 64) || nearest > radius + 1.5;
    }
  EXPECT_GT(whole_cells, 200);
  // A ring wound twice gives exactly 2 where it covers a cell twice.
  PixelRing twice;
  for (int i = 0; i < 40; ++i) {
    const double angle = 4.0 * M_PI * i / 40;
    twice.push_back({11.5 + 7.3 * std::cos(angle), 9.5 + 7.3 * std::sin(angle)});
  }
  Raster<float> wound(kRows, kCols, 0.0f);
  edges.add(twice, 1.0f, wound.view(), pool);
  EXPECT_EQ(wound(9, 11), 2.0f);
  EXPECT_EQ(wound(0, 0), 0.0f);
}

TEST(CoverageEdges, BandsOfRowsChangeNoBit) {
  std::mt19937 rng(7);
  WorkerPool pool(2);
  for (Shape shape : {Shape::Scribble, Shape::Spiky}) {
    const PixelRing ring = random_ring(shape, rng);
    Raster<float> whole(kRows, kCols, 0.0f), banded(kRows, kCols, 0.0f);
    EdgeAccumulator(pool.size()).add(ring, 1.0f, whole.view(), pool);
    EdgeAccumulator(pool.size(), 5).add(ring, 1.0f, banded.view(), pool);
    for (std::size_t i = 0; i < whole.size(); ++i) ASSERT_EQ(whole.data()[i], banded.data()[i]) << i;
  }
}

// Small rings added as one batch, their rows shared out in bands, give every
// cell the sums of adding them one by one, in order, whatever the pool size.
TEST(CoverageEdges, BatchOfSmallRingsEqualsOneByOne) {
  constexpr std::size_t kTallRows = 70;
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> row(-3.0, kTallRows + 3.0), col(-3.0, kCols + 3.0), radius(0.3, 7.0);
  std::uniform_int_distribution<int> corners(3, 12);
  std::vector<PendingRing> rings;
  for (int k = 0; k < 120; ++k) {
    const double cv = row(rng), cu = col(rng), r = radius(rng);
    PendingRing pending;
    pending.sign = k % 3 == 2 ? -1.0f : 1.0f;
    const int n = corners(rng);
    for (int i = 0; i < n; ++i) {
      const double angle = 2.0 * M_PI * i / n, wobble = 0.6 + 0.4 * std::sin(7.0 * i + k);
      pending.ring.push_back({cu + r * wobble * std::cos(angle), cv + r * wobble * std::sin(angle)});
    }
    rings.push_back(std::move(pending));
  }
  Raster<float> one_by_one(kTallRows, kCols, 0.0f);
  WorkerPool single(1);
  EdgeAccumulator sequential(1);
  for (const PendingRing& p : rings) sequential.add(p.ring, p.sign, one_by_one.view(), single);
  for (std::size_t workers : {1, 3}) {
    WorkerPool pool(workers);
    Raster<float> batched(kTallRows, kCols, 0.0f);
    EdgeAccumulator(pool.size()).add_batch(rings, batched.view(), pool);
    for (std::size_t i = 0; i < batched.size(); ++i)
      ASSERT_EQ(batched.data()[i], one_by_one.data()[i]) << i << " with " << workers << " workers";
  }
  float total = 0.0f;
  for (std::size_t i = 0; i < one_by_one.size(); ++i) total += std::fabs(one_by_one.data()[i]);
  EXPECT_GT(total, 100.0f);
}

// Visiting only the cells a row's edges touched gives every cell the bits of
// visiting them all: ring after ring on the same scratch, alone and batched.
TEST(CoverageEdges, TouchedCellsSweepEqualsEveryCell) {
  std::mt19937 rng(13);
  WorkerPool pool(2);
  EdgeAccumulator touched(pool.size());
  EdgeAccumulator every(pool.size(), EdgeAccumulator::kBandEntries, RowSweep::Every);
  Raster<float> by_touched(kRows, kCols, 0.0f), by_every(kRows, kCols, 0.0f);
  std::vector<PendingRing> batch;
  float sign = 1.0f;
  for (int k = 0; k < 200; ++k) {
    const PixelRing ring = random_ring(static_cast<Shape>(k % 5), rng);
    touched.add(ring, sign, by_touched.view(), pool);
    every.add(ring, sign, by_every.view(), pool);
    batch.push_back(PendingRing{ring, sign, RowFinish{}});
    sign = -sign;
  }
  touched.add_batch(batch, by_touched.view(), pool);
  every.add_batch(batch, by_every.view(), pool);
  float total = 0.0f;
  for (std::size_t i = 0; i < by_touched.size(); ++i) {
    ASSERT_EQ(by_touched.data()[i], by_every.data()[i]) << i;
    total += std::fabs(by_every.data()[i]);
  }
  EXPECT_GT(total, 10.0f);
}

TEST(CoverageEdges, HandlesOnlyCoordinatesItDefines) {
  const double nan = std::nan(""), inf = INFINITY;
  EXPECT_TRUE(EdgeAccumulator::handles({{0, 0}, {1e15, 0}, {0, -1e15}}));
  for (const PixelRing& ring : {PixelRing{{0, 0}, {nan, 0}, {0, 1}}, PixelRing{{0, 0}, {1, inf}, {0, 1}},
                                PixelRing{{0, 0}, {-1e17, 0}, {0, 1}}})
    EXPECT_FALSE(EdgeAccumulator::handles(ring));
}

}  // namespace
