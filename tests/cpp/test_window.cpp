// Window geometry: which cells each level gathers and their coverage fractions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <set>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "support/test_gather.h"
#include "window/window.h"
#include "window_landscape.h"

namespace velkan {
namespace {

using namespace testing_landscape;

constexpr double kPi = std::numbers::pi;
constexpr double kSumTolerance = 1e-4;

ConnectivityParams params_for(WindowMode mode, std::int32_t window, std::int32_t outer) {
  ConnectivityParams p;
  p.window_mode = mode;
  p.window_size = window;
  p.outer_window = outer;
  return p;
}

double weight_sum(const LevelCells& cells) {
  double sum = 0.0;
  for (float w : cells.weight) sum += w;
  return sum;
}

const LevelCells& level_of(const FocalWindows& w, std::int32_t level) {
  for (const LevelCells& c : w.levels) {
    if (c.level == level) return c;
  }
  throw std::runtime_error("level not gathered");
}

TEST(WindowSquare, Level1FarFromBorderGathersSevenBySeven) {
  PreparedEngine prepared = make_prepared(uniform(30, 30, 1.0f), {1});
  constexpr float kCellWeight = 2.0f;
  for (std::size_t k = 0; k < prepared.weights[1].size(); ++k) prepared.weights[1].data()[k] = kCellWeight;
  FocalWindows w;
  gather_focal_windows(15, 15, prepared, params_for(WindowMode::Square, 3, 3), w);
  const LevelCells& c = level_of(w, 1);
  ASSERT_EQ(c.size(), 49u);
  EXPECT_EQ(c.box_row0, 12);
  EXPECT_EQ(c.box_col0, 12);
  EXPECT_EQ(c.box_rows, 7);
  EXPECT_EQ(c.box_cols, 7);
  for (std::size_t k = 0; k < c.size(); ++k) {
    const bool edge_row = std::abs(c.rows[k] - 15) == 3, edge_col = std::abs(c.cols[k] - 15) == 3;
    const float expected = (edge_row ? 0.5f : 1.0f) * (edge_col ? 0.5f : 1.0f);
    EXPECT_FLOAT_EQ(c.weight[k], expected * kCellWeight) << c.rows[k] << "," << c.cols[k];
    EXPECT_EQ(c.edge[k], (edge_row || edge_col) ? 1 : 0);
    EXPECT_FLOAT_EQ(c.protected_fraction[k], 1.0f);
    EXPECT_FLOAT_EQ(c.condition[k], 1.0f);
  }
  EXPECT_NEAR(weight_sum(c), 36.0 * kCellWeight, kSumTolerance);
  EXPECT_FALSE(c.has_traversal);
  EXPECT_TRUE(c.traversal.empty());
}

TEST(WindowCircular, Level1DiscOfRadiusThree) {
  const PreparedEngine prepared = make_prepared(uniform(30, 30, 1.0f), {1});
  FocalWindows w;
  gather_focal_windows(15, 15, prepared, params_for(WindowMode::Circular, 3, 3), w);
  const LevelCells& c = level_of(w, 1);

  // Cell offsets (dr, dc) from the focal cell; the centre sits at +0.5.
  std::set<std::pair<int, int>> expected_cells, expected_partial;
  for (int dr = -4; dr <= 4; ++dr) {
    for (int dc = -4; dc <= 4; ++dc) {
      const double ny = std::max(std::abs(dr) - 0.5, 0.0), nx = std::max(std::abs(dc) - 0.5, 0.0);
      const double fy = std::abs(dr) + 0.5, fx = std::abs(dc) + 0.5;
      if (ny * ny + nx * nx >= 9.0) continue;
      expected_cells.insert({dr, dc});
      if (fy * fy + fx * fx >= 9.0) expected_partial.insert({dr, dc});
    }
  }
  std::set<std::pair<int, int>> got_cells, got_partial, got_edge;
  for (std::size_t k = 0; k < c.size(); ++k) {
    const std::pair<int, int> key{c.rows[k] - 15, c.cols[k] - 15};
    got_cells.insert(key);
    if (c.partial[k]) got_partial.insert(key);
    if (c.edge[k]) got_edge.insert(key);
    EXPECT_LE(c.weight[k], 1.0f);
    EXPECT_GT(c.weight[k], 0.0f);
    if (std::abs(key.first) + std::abs(key.second) <= 1) {
      EXPECT_EQ(c.weight[k], 1.0f);
    }
    if (!c.partial[k]) {
      EXPECT_EQ(c.weight[k], 1.0f);
    }
  }
  EXPECT_EQ(got_cells, expected_cells);
  EXPECT_EQ(got_partial, expected_partial);
  EXPECT_EQ(got_edge, expected_partial);
  EXPECT_NEAR(weight_sum(c), kPi * 9.0, kSumTolerance);
}

struct HalfExtentCase {
  WindowMode mode;
  std::int32_t level;
  double outer, inner;       // half-extents in base cells
  std::int32_t first, last;  // gathered local rows (and columns)
};

class WindowHalfExtents : public ::testing::TestWithParam<HalfExtentCase> {};

// With uniform valid cells a weight is the covered area in base cells, so a
// level's weights add up to the area of its annulus.
TEST_P(WindowHalfExtents, AnnulusAreaAndReach) {
  const HalfExtentCase& t = GetParam();
  const PreparedEngine prepared = make_prepared(uniform(64, 64, 1.0f), {1, 2, 4});
  FocalWindows w;
  gather_focal_windows(32, 32, prepared, params_for(t.mode, 3, 5), w);
  const LevelCells& c = level_of(w, t.level);
  const double area = t.mode == WindowMode::Square ? 4.0 * (t.outer * t.outer - t.inner * t.inner)
                                                   : kPi * (t.outer * t.outer - t.inner * t.inner);
  EXPECT_NEAR(weight_sum(c), area, kSumTolerance * area);
  ASSERT_GT(c.size(), 0u);
  EXPECT_EQ(c.rows.front(), t.first);
  EXPECT_EQ(c.rows.back(), t.last);
  EXPECT_EQ(*std::min_element(c.cols.begin(), c.cols.end()), t.first);
  EXPECT_EQ(*std::max_element(c.cols.begin(), c.cols.end()), t.last);
}

INSTANTIATE_TEST_SUITE_P(Levels124Outer5, WindowHalfExtents,
                         ::testing::Values(HalfExtentCase{WindowMode::Square, 1, 3, 0, 29, 35},
                                           HalfExtentCase{WindowMode::Square, 2, 6, 3, 13, 19},
                                           HalfExtentCase{WindowMode::Square, 4, 20, 6, 3, 13},
                                           HalfExtentCase{WindowMode::Circular, 1, 3, 0, 29, 35},
                                           HalfExtentCase{WindowMode::Circular, 2, 6, 3, 13, 19},
                                           HalfExtentCase{WindowMode::Circular, 4, 20, 6, 3, 13}));

TEST(WindowWidths, OuterBelowWindowSizeUsesWindowSizeAtCoarsest) {
  const PreparedEngine prepared = make_prepared(uniform(40, 40, 1.0f), {1, 2});
  FocalWindows w;
  gather_focal_windows(20, 20, prepared, params_for(WindowMode::Square, 3, 1), w);
  // Width 3 at level 2: outer half-extent 6, inner 3.
  EXPECT_NEAR(weight_sum(level_of(w, 2)), 4.0 * (36.0 - 9.0), kSumTolerance);
  EXPECT_NEAR(weight_sum(level_of(w, 1)), 36.0, kSumTolerance);
}

TEST(WindowWidths, NegativeOddWidthGathersNothing) {
  const PreparedEngine prepared = make_prepared(uniform(20, 20, 1.0f), {1, 2});
  FocalWindows w;
  gather_focal_windows(10, 10, prepared, params_for(WindowMode::Circular, -3, -5), w);
  ASSERT_EQ(w.levels.size(), 2u);
  for (const LevelCells& c : w.levels) {
    EXPECT_EQ(c.size(), 0u);
    EXPECT_EQ(c.box_rows, 0);
    EXPECT_EQ(c.box_cols, 0);
  }
}

TEST(WindowClipping, FirstRowSquareStopsAtTheLandscape) {
  const PreparedEngine prepared = make_prepared(uniform(30, 30, 1.0f), {1});
  FocalWindows w;
  gather_focal_windows(0, 15, prepared, params_for(WindowMode::Square, 3, 3), w);
  const LevelCells& c = level_of(w, 1);
  EXPECT_EQ(c.box_row0, 0);
  EXPECT_EQ(c.box_rows, 4);
  EXPECT_EQ(c.rows.front(), 0);
  EXPECT_EQ(c.rows.back(), 3);
  // Rows 0-2 lie wholly in the box, row 3 by half; columns as far from the border.
  EXPECT_NEAR(weight_sum(c), 3.5 * 6.0, kSumTolerance);
  for (std::size_t k = 0; k < c.size(); ++k) {
    EXPECT_EQ(c.edge[k], (c.rows[k] == 0 || c.rows[k] == 3 || c.cols[k] == 12 || c.cols[k] == 18) ? 1 : 0);
  }
}

TEST(WindowClipping, FirstRowCircularLosesTheCapAboveTheRaster) {
  const PreparedEngine prepared = make_prepared(uniform(30, 30, 1.0f), {1});
  FocalWindows w;
  gather_focal_windows(0, 15, prepared, params_for(WindowMode::Circular, 3, 3), w);
  const double r = 3.0, d = 0.5;  // the raster's top edge lies 0.5 above the centre
  const double cap = r * r * std::acos(d / r) - d * std::sqrt(r * r - d * d);
  EXPECT_NEAR(weight_sum(level_of(w, 1)), kPi * r * r - cap, kSumTolerance);
}

// Offsets (1, 1): level-2 cells in local row 0 cover one base row only, and
// their coverage is measured against that clipped area.
TEST(WindowClipping, PartialCoarseCellCoverageUsesClippedArea) {
  const PreparedEngine prepared = make_prepared(uniform(30, 30, 1.0f), {1, 2}, 1, 1);
  ConnectivityParams params = params_for(WindowMode::Square, 3, 3);
  params.row_offset = 1;
  params.col_offset = 1;
  FocalWindows w;
  gather_focal_windows(0, 0, prepared, params, w);
  const LevelCells& c = level_of(w, 2);
  // Centre (1.5, 1.5); outer box [-4.5, 7.5], hole [-1.5, 4.5]. Cell (0, 3)
  // spans global rows [1, 2) and columns [6, 8): 1.5 of its 2 base cells lie
  // in the annulus, so coverage 0.75 and weight 0.75 * 2.
  bool found = false;
  for (std::size_t k = 0; k < c.size(); ++k) {
    EXPECT_FALSE(c.rows[k] == 0 && c.cols[k] == 0) << "cell inside the hole was gathered";
    if (c.rows[k] == 0 && c.cols[k] == 3) {
      found = true;
      EXPECT_FLOAT_EQ(c.weight[k], 1.5f);
    }
  }
  EXPECT_TRUE(found);
  // The clipped annulus: rows [1, 7.5] x columns [1, 7.5] minus the clipped hole [1, 4.5]^2.
  EXPECT_NEAR(weight_sum(c), 6.5 * 6.5 - 3.5 * 3.5, kSumTolerance);
  // Level 1: the box [1, 4.5]^2 once clipped at the landscape's corner.
  EXPECT_NEAR(weight_sum(level_of(w, 1)), 3.5 * 3.5, kSumTolerance);
}

TEST(WindowReuse, SecondFocalCellReplacesTheFirst) {
  const PreparedEngine prepared = make_prepared(uniform(40, 40, 1.0f), {1, 2, 4});
  const ConnectivityParams params = params_for(WindowMode::Circular, 3, 5);
  FocalWindows reused, fresh;
  gather_focal_windows(5, 7, prepared, params, reused);
  gather_focal_windows(30, 33, prepared, params, reused);
  gather_focal_windows(30, 33, prepared, params, fresh);
  ASSERT_EQ(reused.levels.size(), 3u);
  for (std::size_t l = 0; l < 3; ++l) {
    EXPECT_EQ(reused.levels[l].level, prepared.sorted_levels[l]);
    EXPECT_EQ(reused.levels[l].rows, fresh.levels[l].rows);
    EXPECT_EQ(reused.levels[l].cols, fresh.levels[l].cols);
    EXPECT_EQ(reused.levels[l].weight, fresh.levels[l].weight);
    EXPECT_EQ(reused.levels[l].edge, fresh.levels[l].edge);
    EXPECT_EQ(reused.levels[l].box_row0, fresh.levels[l].box_row0);
  }
}

}  // namespace
}  // namespace velkan

namespace velkan {
namespace {

using namespace testing_landscape;

// A window remembered by focal phase gathers exactly what walking its box
// does, circular or square, at every focal cell of a landscape whose offsets
// and shape leave the level grids unaligned (so borders clip some windows and
// not others, some cutting cells and some not). One scratch is reused across
// shapes and widths too, so a stale phase cannot leak.
TEST(WindowCoverageCache, RemembersExactlyWhatTheWalkGives) {
  Raster<float> condition(61, 74, 0.0f);
  for (std::size_t k = 0; k < condition.size(); ++k) {
    condition.data()[k] = k % 17 == 3 ? kNaN : static_cast<float>((k * 37) % 101) / 100.0f;
  }
  const std::vector<std::int32_t> levels = {1, 2, 4, 8};
  FocalWindows cached;
  for (const auto& [off_r, off_c] : {std::pair{0, 0}, std::pair{5, 11}, std::pair{-3, 7}}) {
    PreparedEngine prepared = make_prepared(condition, levels, off_r, off_c);
    for (const auto& [window, outer, mode] :
         {std::tuple{3, 3, WindowMode::Circular}, std::tuple{3, 5, WindowMode::Circular},
          std::tuple{1, 2, WindowMode::Circular}, std::tuple{3, 5, WindowMode::Square},
          std::tuple{3, 3, WindowMode::Square}}) {
      ConnectivityParams p;
      p.window_mode = mode;
      p.window_size = window;
      p.outer_window = outer == 2 ? 3 : outer;
      p.row_offset = off_r;
      p.col_offset = off_c;
      for (std::int32_t row = 0; row < 61; row += 2) {
        for (std::int32_t col = 0; col < 74; ++col) {
          gather_focal_windows(row, col, prepared, p, cached);
          for (std::size_t l = 0; l < levels.size(); ++l) {
            LevelCells walked;
            gather_level_cells(row, col, levels[l], cached.focal_bands, prepared, p, walked);
            const LevelCells& c = cached.levels[l];
            ASSERT_EQ(c.rows, walked.rows) << row << "," << col << " level " << levels[l];
            ASSERT_EQ(c.cols, walked.cols);
            ASSERT_EQ(c.weight, walked.weight);
            ASSERT_EQ(c.condition, walked.condition);
            ASSERT_EQ(c.partial, walked.partial);
            ASSERT_EQ(c.protected_fraction, walked.protected_fraction);
          }
        }
      }
    }
  }
  EXPECT_FALSE(cached.coverage.levels.empty());
}

// Memory stays bounded: a level whose phases would hold more than the cache's
// cells in all, or with too many phases, is not remembered.
TEST(WindowCoverageCache, RemembersOnlyWhatFitsItsBudget) {
  CoverageCache cache;
  EXPECT_NE(cache.find(8, false, 88.0, 12.0, 23 * 23, 3, 5), nullptr);
  EXPECT_EQ(cache.find(8, false, 560.0, 12.0, 141 * 141, 3, 5), nullptr);  // 64 phases x 19,881 cells
  EXPECT_EQ(cache.find(CoverageCache::kMaxPhases + 1, false, 99.0, 49.5, 7 * 7, 0, 0), nullptr);
  EXPECT_EQ(cache.levels.size(), 1u);
}

}  // namespace
}  // namespace velkan
