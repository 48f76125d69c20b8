// Window values: drop rules, protected fractions, traversal, similarities, errors.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>

#include "common/errors.h"
#include "support/test_gather.h"
#include "window/window.h"
#include "window_landscape.h"

namespace velkan {
namespace {

using namespace testing_landscape;

ConnectivityParams square3() {
  ConnectivityParams p;
  p.window_mode = WindowMode::Square;
  p.window_size = 3;
  p.outer_window = 3;
  return p;
}

// Index of cell (i, j) in the gathered sequences, or -1.
int find_cell(const LevelCells& c, std::int32_t i, std::int32_t j) {
  for (std::size_t k = 0; k < c.size(); ++k) {
    if (c.rows[k] == i && c.cols[k] == j) return static_cast<int>(k);
  }
  return -1;
}

LevelCells gather(const PreparedEngine& p, std::int32_t level, const ConnectivityParams& params, std::int32_t row = 15,
                  std::int32_t col = 15) {
  FocalWindows w;
  gather_focal_windows(row, col, p, params, w);
  for (LevelCells& c : w.levels) {
    if (c.level == level) return c;
  }
  ADD_FAILURE() << "level " << level << " missing";
  return {};
}

TEST(WindowDrops, NonFiniteWeightsAndNaNConditionAreDropped) {
  Raster<float> condition = uniform(30, 30, 1.0f);
  condition(15, 16) = kNaN;
  condition(16, 15) = kInf;  // its level-1 weight becomes NaN
  PreparedEngine p = make_prepared(condition, {1});
  p.weights[1](14, 15) = kInf;
  p.weights[1](14, 16) = -kInf;
  p.weights[1](13, 13) = kNaN;
  const LevelCells c = gather(p, 1, square3());
  EXPECT_EQ(c.size(), 49u - 5u);
  for (auto [i, j] : {std::pair{15, 16}, {16, 15}, {14, 15}, {14, 16}, {13, 13}}) {
    EXPECT_EQ(find_cell(c, i, j), -1) << i << "," << j;
  }
}

TEST(WindowDrops, InfiniteConditionPassesTheConditionTest) {
  Raster<float> condition = uniform(30, 30, 1.0f);
  PreparedEngine p = make_prepared(condition, {1, 2});
  p.condition[1](16, 16) = kInf;  // weight stays finite, so only the condition test applies
  const LevelCells c = gather(p, 1, square3());
  const int k = find_cell(c, 16, 16);
  ASSERT_GE(k, 0);
  EXPECT_EQ(c.condition[k], kInf);
}

TEST(WindowDrops, CoarseCellKeepsTheMeanOfItsFiniteBaseCells) {
  Raster<float> condition = uniform(40, 40, 0.5f);
  condition(10, 10) = kInf;
  condition(10, 11) = 1.0f;
  const PreparedEngine p = make_prepared(condition, {1, 2});
  ConnectivityParams params = square3();
  const LevelCells c = gather(p, 2, params, 15, 15);  // hole [12.5, 18.5], outer [9.5, 21.5]
  const int k = find_cell(c, 5, 5);                   // base rows 10-11, columns 10-11
  ASSERT_GE(k, 0);
  EXPECT_FLOAT_EQ(c.condition[k], (1.0f + 0.5f + 0.5f) / 3.0f);
  EXPECT_FLOAT_EQ(c.weight[k], 3.0f);  // wholly inside the annulus, three valid base cells
}

TEST(WindowValues, ProtectedFractionAndTraversalFallback) {
  Raster<float> condition = uniform(30, 30, 0.8f);
  PreparedEngine p = make_prepared(condition, {1});
  Raster<float> pa = uniform(30, 30, 0.25f);
  pa(15, 16) = kNaN;
  pa(15, 17) = kInf;
  p.pa_membership = average_pyramid(pa, {1});
  Raster<float> traversal = uniform(30, 30, 0.3f);
  traversal(15, 16) = kNaN;
  traversal(15, 17) = -kInf;
  p.traversal = average_pyramid(traversal, {1});
  const LevelCells c = gather(p, 1, square3());
  ASSERT_TRUE(c.has_traversal);
  ASSERT_EQ(c.traversal.size(), c.size());
  for (std::size_t k = 0; k < c.size(); ++k) {
    const bool special = c.rows[k] == 15 && (c.cols[k] == 16 || c.cols[k] == 17);
    EXPECT_FLOAT_EQ(c.protected_fraction[k], special ? 0.0f : 0.25f);
    EXPECT_FLOAT_EQ(c.traversal[k], special ? 0.8f : 0.3f);
  }
}

// Grids: 0 has focal (0.5, 1.0) and elsewhere (0.25, 1.5), with a NaN at
// (15, 16); 1 has no level-1 raster; 2 has a third band that is NaN, which
// the two focal bands never reach.
PreparedEngine similarity_landscape() {
  PreparedEngine p = make_prepared(uniform(30, 30, 1.0f), {1});
  Raster<float> g0(30, 30, 2, 0.0f), g1(15, 15, 2, 0.0f), g2(30, 30, 3, 0.0f);
  for (std::size_t r = 0; r < 30; ++r) {
    for (std::size_t c = 0; c < 30; ++c) {
      g0.at(r, c, 0) = g2.at(r, c, 0) = 0.25f;
      g0.at(r, c, 1) = g2.at(r, c, 1) = 1.5f;
      g2.at(r, c, 2) = kNaN;
    }
  }
  g0.at(15, 15, 0) = 0.5f;
  g0.at(15, 15, 1) = 1.0f;
  g0.at(15, 16, 1) = kNaN;
  p.transition = {LevelMap{{1, g0}}, LevelMap{{2, g1}}, LevelMap{{1, g2}}};
  return p;
}

TEST(WindowSimilarity, BandDistancesAbsenceAndMissingGrid) {
  const PreparedEngine p = similarity_landscape();
  FocalWindows w;
  gather_focal_windows(15, 15, p, square3(), w);
  ASSERT_EQ(w.focal_bands, (std::vector<float>{0.5f, 1.0f}));
  const LevelCells& c = w.levels.at(0);
  ASSERT_EQ(c.grid_count, 3u);
  ASSERT_EQ(c.similarity.size(), 3 * c.size());
  const double expected = std::exp(-0.75);
  for (std::size_t k = 0; k < c.size(); ++k) {
    const bool focal = c.rows[k] == 15 && c.cols[k] == 15;
    const bool nan_cell = c.rows[k] == 15 && c.cols[k] == 16;
    const Similarity s0 = c.similarity_at(0, k), s1 = c.similarity_at(1, k), s2 = c.similarity_at(2, k);
    EXPECT_EQ(s0.present, nan_cell ? 0u : 1u);
    if (s0.present) {
      EXPECT_NEAR(s0.value, focal ? 1.0 : expected, 1e-6);
    }
    EXPECT_EQ(s1.present, 1u);
    EXPECT_EQ(s1.value, 0.0f);
    EXPECT_EQ(s2.present, 1u);
    EXPECT_NEAR(s2.value, expected, 1e-6);  // (0.5, 1.0) vs (0.25, 1.5); band 3 not walked
  }
}

TEST(WindowSimilarity, NaNFocalBandMakesEveryElementAbsent) {
  PreparedEngine p = similarity_landscape();
  p.transition[0][1].at(15, 15, 0) = kNaN;
  const LevelCells c = gather(p, 1, square3());
  for (std::size_t k = 0; k < c.size(); ++k) {
    EXPECT_EQ(c.similarity_at(0, k).present, 0u);
    EXPECT_EQ(c.similarity_at(2, k).present, 0u);
  }
}

TEST(WindowSimilarity, EmptyFocalVectorGivesOne) {
  PreparedEngine p = similarity_landscape();
  std::swap(p.transition[0], p.transition[1]);  // the first grid has no level-1 raster
  FocalWindows w;
  gather_focal_windows(15, 15, p, square3(), w);
  EXPECT_TRUE(w.focal_bands.empty());
  const LevelCells& c = w.levels.at(0);
  for (std::size_t k = 0; k < c.size(); ++k) {
    EXPECT_EQ(c.similarity_at(0, k).present, 1u);
    EXPECT_EQ(c.similarity_at(0, k).value, 0.0f);
    EXPECT_EQ(c.similarity_at(1, k).present, 1u);
    EXPECT_EQ(c.similarity_at(1, k).value, 1.0f);
  }
}

TEST(WindowSimilarity, FocalOutsideTheFirstGridGivesEmptyVector) {
  PreparedEngine p = similarity_landscape();
  p.transition[0][1] = Raster<float>(10, 10, 2, 0.0f);
  std::vector<float> bands{9.0f};
  focal_band_vector(15, 15, p, bands);
  EXPECT_TRUE(bands.empty());
}

TEST(WindowSimilarity, UndersizedGridRasterIsRejected) {
  PreparedEngine p = similarity_landscape();
  p.transition[2][1] = Raster<float>(16, 30, 2, 0.0f);  // window reaches row 18
  EXPECT_THROW(gather(p, 1, square3()), InternalError);
}

struct ErrorCase {
  const char* message;
  std::int32_t window, outer;
  std::vector<std::int32_t> levels;
  bool drop_weights, drop_condition, pa_missing, traversal_missing;
};

class WindowErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(WindowErrors, MessageOfTheFirstFailingCheck) {
  const ErrorCase& t = GetParam();
  PreparedEngine p = make_prepared(uniform(20, 20, 1.0f), t.levels);
  const std::int32_t level = t.levels.front();
  if (t.drop_weights) p.weights.erase(level);
  if (t.drop_condition) p.condition.erase(level);
  if (t.pa_missing) p.pa_membership = LevelMap{};
  if (t.traversal_missing) p.traversal = LevelMap{};
  ConnectivityParams params = square3();
  params.window_size = t.window;
  params.outer_window = t.outer;
  FocalWindows w;
  try {
    gather_focal_windows(10, 10, p, params, w);
    ADD_FAILURE() << "no error, expected " << t.message;
  } catch (const InternalError& e) {
    EXPECT_EQ(std::string(e.what()), t.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Checks, WindowErrors,
    ::testing::Values(ErrorCase{"Window size must be odd-numbered", 4, 5, {1}, false, false, false, false},
                      ErrorCase{"Outer window size must be odd-numbered", 3, 6, {1}, false, false, false, false},
                      ErrorCase{"Base condition level not found!", 3, 5, {2, 4}, false, false, false, false},
                      ErrorCase{"Window size must be odd-numbered", 4, 5, {2, 4}, false, false, false, false},
                      ErrorCase{"Weights level not found!", 4, 5, {1}, true, true, false, false},
                      ErrorCase{"Condition level not found!", 3, 5, {1}, false, true, true, false},
                      ErrorCase{"PA-membership level not found!", 3, 5, {1}, false, false, true, true},
                      ErrorCase{"Traversal level not found!", 4, 5, {1}, false, false, false, true}));

TEST(WindowErrors, OuterBelowWindowSizeIsNotValidated) {
  const PreparedEngine p = make_prepared(uniform(20, 20, 1.0f), {1});
  ConnectivityParams params = square3();
  params.window_size = 5;
  params.outer_window = 4;
  FocalWindows w;
  EXPECT_NO_THROW(gather_focal_windows(10, 10, p, params, w));
}

}  // namespace
}  // namespace velkan
