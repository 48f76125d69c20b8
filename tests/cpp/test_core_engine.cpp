#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "common/loop_builds.h"
#include "common/worker_pool.h"
#include "core/engine.h"

namespace velkan {
namespace {

constexpr std::size_t kRows = 12, kCols = 10;

EngineInputs uniform_inputs() {
  EngineInputs in;
  in.condition = Raster<float>(kRows, kCols, 1.0f);
  in.mask = Raster<std::uint8_t>(kRows, kCols, 0);
  in.transforms = {{1, Affine{30, 0, 0, 0, -30, 0}}, {2, Affine{60, 0, 0, 0, -60, 0}}};
  in.levels = {1, 2};
  in.params.lambdas = {0.5f, 2.0f};
  in.params.window_size = 3;
  in.params.outer_window = 5;
  in.params.window_mode = WindowMode::Circular;
  return in;
}

Raster<float> run(const EngineInputs& in, std::size_t workers) {
  WorkerPool pool(workers);
  return run_connectivity_engine(in, pool);
}

bool bit_identical(const Raster<float>& a, const Raster<float>& b) {
  return a.same_shape(b) && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(Engine, UniformLandscapeIsNearOneEverywhere) {
  for (const WindowMode mode : {WindowMode::Circular, WindowMode::Square}) {
    EngineInputs in = uniform_inputs();
    in.params.window_mode = mode;
    const Raster<float> out = run(in, 2);
    for (std::size_t r = 0; r < kRows; ++r) {
      for (std::size_t c = 0; c < kCols; ++c) EXPECT_NEAR(out(r, c), 1.0f, 0.02f) << r << "," << c;
    }
  }
}

TEST(Engine, NanFocalCellAndEmptyLevelsGiveZero) {
  EngineInputs in = uniform_inputs();
  in.condition->operator()(5, 5) = std::nanf("");
  const Raster<float> out = run(in, 2);
  EXPECT_EQ(out(5, 5), 0.0f);
  EXPECT_NEAR(out(5, 7), 1.0f, 0.05f);
  in.levels.clear();
  const Raster<float> empty = run(in, 2);
  for (std::size_t i = 0; i < empty.size(); ++i) EXPECT_EQ(empty.data()[i], 0.0f);
}

TEST(Engine, EmptyLambdasGiveZeroAndMaskedCellsStayNan) {
  EngineInputs in = uniform_inputs();
  in.params.lambdas.clear();
  in.mask(3, 4) = 1;
  const Raster<float> out = run(in, 2);
  for (std::size_t r = 0; r < kRows; ++r) {
    for (std::size_t c = 0; c < kCols; ++c) {
      if (r == 3 && c == 4) {
        EXPECT_TRUE(std::isnan(out(r, c)));
      } else {
        EXPECT_EQ(out(r, c), 0.0f);
      }
    }
  }
}

TEST(Engine, MaskDecidesFocalSources) {
  EngineInputs in = uniform_inputs();
  in.condition->operator()(2, 3) = 0.25f;  // make rows differ
  const Raster<float> open = run(in, 2);
  in.mask = Raster<std::uint8_t>(kRows, kCols, 1);
  const Raster<float> closed = run(in, 2);
  for (std::size_t i = 0; i < closed.size(); ++i) EXPECT_TRUE(std::isnan(closed.data()[i]));
  in.mask = Raster<std::uint8_t>(kRows, kCols, 0);
  for (std::size_t c = 0; c < kCols; ++c) in.mask(0, c) = 1;
  const Raster<float> first_row = run(in, 2);
  for (std::size_t r = 0; r < kRows; ++r) {
    for (std::size_t c = 0; c < kCols; ++c) {
      if (r == 0) {
        EXPECT_TRUE(std::isnan(first_row(r, c)));
      } else {
        EXPECT_EQ(first_row(r, c), open(r, c));
      }
    }
  }
}

TEST(Engine, ResultsDoNotDependOnWorkersOrRun) {
  EngineInputs in = uniform_inputs();
  for (std::size_t r = 0; r < kRows; ++r)
    for (std::size_t c = 0; c < kCols; ++c) in.condition->operator()(r, c) = 0.1f + 0.07f * ((r * 7 + c * 3) % 13);
  in.traversal = Raster<float>(kRows, kCols, 0.5f);
  in.params.max_cost = 0.2f;
  const Raster<float> one = run(in, 1);
  EXPECT_TRUE(bit_identical(one, run(in, 2)));
  EXPECT_TRUE(bit_identical(one, run(in, 5)));
  EXPECT_TRUE(bit_identical(one, run(in, 1)));
  for (std::size_t i = 0; i < one.size(); ++i) EXPECT_TRUE(std::isfinite(one.data()[i]));
}

// The tasks take every cell once, rows ascending: whole rows, then the last
// 2 × workers rows holding focal cells (and any after them) in segments.
TEST(Engine, RowTasksAreWholeRowsThenSegments) {
  struct Case {
    std::size_t rows, cols, workers, first_segmented;
    std::vector<std::size_t> focal_rows;
  };
  const Case cases[] = {
      {30, 150, 2, 14, {5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}},  // a band: its last 4 rows
      {30, 150, 2, 0, {}},                                                // none focal: all segmented
      {6, 64, 4, 0, {0, 1, 2, 3, 4, 5}},                                  // fewer rows than 2 × workers
      {20, 130, 1, 16, {2, 9, 16, 18}},                                   // gaps between focal rows
  };
  for (const Case& k : cases) {
    Raster<std::uint8_t> mask(k.rows + 3, k.cols + 5, 1);  // larger than the raster, as the mask may be
    for (const std::size_t r : k.focal_rows) mask(r, k.cols / 2) = 0;
    const std::vector<RowTask> tasks = plan_row_tasks(mask, k.rows, k.cols, k.workers, 64);
    std::vector<int> taken(k.rows * k.cols, 0);
    std::size_t previous_row = 0;
    for (const RowTask& t : tasks) {
      ASSERT_LT(t.row, k.rows);
      ASSERT_LE(t.last, k.cols);
      EXPECT_GE(t.row, previous_row);
      previous_row = t.row;
      const bool whole = t.first == 0 && t.last == k.cols;
      EXPECT_EQ(whole, t.row < k.first_segmented || k.cols <= 64) << "row " << t.row;
      if (!whole) {
        EXPECT_LE(t.last - t.first, 64u);
      }
      for (std::size_t c = t.first; c < t.last; ++c) taken[t.row * k.cols + c] += 1;
    }
    EXPECT_EQ(std::count(taken.begin(), taken.end(), 1), static_cast<std::ptrdiff_t>(taken.size()));
  }
}

// Every loop built for AVX2 as well gives the portable build's bits, in the
// connectivity ratio and in OLVI (its kernels and similarities).
TEST(Engine, ResultsDoNotDependOnTheLoopBuild) {
  if (!loop_build_available(LoopBuild::Avx2)) GTEST_SKIP() << "no AVX2 on this processor";
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  EngineInputs in = uniform_inputs();
  for (std::size_t i = 0; i < in.condition->size(); ++i) in.condition->data()[i] = unit(rng) < 0.1f ? NAN : unit(rng);
  in.params.lambdas = {0.05f, 0.3f, 2.0f};
  in.params.max_cost = 0.2f;
  std::vector<Raster<float>> grids(2, Raster<float>(kRows, kCols, 3, 0.0f));
  for (Raster<float>& grid : grids) {
    for (std::size_t i = 0; i < grid.size(); ++i) grid.data()[i] = unit(rng) < 0.05f ? INFINITY : 2.0f * unit(rng);
  }
  for (const bool olvi : {false, true}) {
    if (olvi) in.transition_grids = grids;
    set_loop_build(LoopBuild::Portable);
    const Raster<float> portable = run(in, 2);
    set_loop_build(LoopBuild::Avx2);
    EXPECT_TRUE(bit_identical(portable, run(in, 2))) << olvi;
  }
}

}  // namespace
}  // namespace velkan
