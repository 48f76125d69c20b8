// The preparation sequence: pyramids, level list, and every check in its order.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "common/errors.h"
#include "common/worker_pool.h"
#include "core/level_checks.h"
#include "core/prepare.h"

using namespace velkan;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

EngineInputs make_inputs(std::size_t rows, std::size_t cols, std::vector<std::uint64_t> levels) {
  EngineInputs in;
  in.condition = Raster<float>(rows, cols, 0.5f);
  in.mask = Raster<std::uint8_t>(rows, cols, 0);
  in.transforms[1] = Affine{};
  in.levels = std::move(levels);
  return in;
}

enum class Kind { None, Ordinary, Internal, Other };

struct Outcome {
  Kind kind = Kind::None;
  std::string message;
};

Outcome prepare_outcome(const EngineInputs& in) {
  WorkerPool pool(2);
  try {
    prepare_engine(in, pool);
  } catch (const OrdinaryError& e) {
    return {Kind::Ordinary, e.what()};
  } catch (const InternalError& e) {
    return {Kind::Internal, e.what()};
  } catch (const std::exception& e) {
    return {Kind::Other, e.what()};
  }
  return {};
}

PreparedEngine prepare(const EngineInputs& in) {
  WorkerPool pool(2);
  return prepare_engine(in, pool);
}

void expect_outcome(const EngineInputs& in, Kind kind, const std::string& message) {
  const Outcome out = prepare_outcome(in);
  EXPECT_EQ(out.kind, kind) << out.message;
  EXPECT_EQ(out.message, message);
}

}  // namespace

TEST(PrepareOrder, AbsentConditionComesFirst) {
  EngineInputs in = make_inputs(2, 2, {3});
  in.condition.reset();
  in.transforms.clear();
  in.mask = Raster<std::uint8_t>();
  expect_outcome(in, Kind::Ordinary, "No base level (key=1) in condition array");
}

struct BadLevels {
  std::vector<std::uint64_t> levels;
  std::string named;
};

class PrepareBadLevels : public ::testing::TestWithParam<BadLevels> {};

TEST_P(PrepareBadLevels, FirstOffenderIsAnInternalResamplingError) {
  EngineInputs in = make_inputs(4, 4, GetParam().levels);
  in.transforms.clear();  // the level check precedes the transform lookup
  expect_outcome(in, Kind::Internal, "Failed average resampling.: Level " + GetParam().named + " is not a power of 2");
}

INSTANTIATE_TEST_SUITE_P(Levels, PrepareBadLevels,
                         ::testing::Values(BadLevels{{1, 2, 3}, "3"}, BadLevels{{0}, "0"}, BadLevels{{1, 6, 3}, "6"},
                                           BadLevels{{5, 0}, "5"}));

TEST(PrepareOrder, MissingBaseTransformEvenWhenProjected) {
  EngineInputs in = make_inputs(4, 4, {1, 2});
  in.transforms.clear();
  in.transforms[2] = Affine{};
  in.params.is_geo = false;
  expect_outcome(in, Kind::Internal, "Missing base-level transform (key=1).");
}

TEST(PrepareOrder, TraversalShapeMismatchNamesTraversalFirst) {
  EngineInputs in = make_inputs(100, 200, {1});
  in.traversal = Raster<float>(99, 200, 0.3f);
  expect_outcome(in, Kind::Ordinary, "Dimension mismatch for key 1: (99, 200) vs (100, 200)");
}

TEST(PrepareLevels, EmptyLevelsGiveEmptyPyramidsAndCoarsestOne) {
  EngineInputs in = make_inputs(3, 3, {});
  in.traversal = Raster<float>(7, 2, 0.3f);  // any shape passes with no levels
  in.params.pa_to_pa = true;
  in.transition_grids = std::vector<Raster<float>>{Raster<float>(3, 3, 2, 1.0f)};
  const PreparedEngine p = prepare(in);
  EXPECT_TRUE(p.condition.empty());
  EXPECT_TRUE(p.weights.empty());
  ASSERT_TRUE(p.pa_membership.has_value());
  EXPECT_TRUE(p.pa_membership->empty());
  ASSERT_TRUE(p.traversal.has_value());
  EXPECT_TRUE(p.traversal->empty());
  ASSERT_EQ(p.transition.size(), 1u);
  EXPECT_TRUE(p.transition[0].empty());
  EXPECT_TRUE(p.sorted_levels.empty());
  EXPECT_EQ(p.coarsest, 1);
}

TEST(PrepareLevels, RepeatedAndUnsortedLevels) {
  EngineInputs in = make_inputs(8, 8, {4, 1, 4});
  const PreparedEngine p = prepare(in);
  EXPECT_EQ(p.sorted_levels, (std::vector<std::int32_t>{1, 4}));
  EXPECT_EQ(p.coarsest, 4);
  EXPECT_EQ(p.condition.size(), 2u);
  EXPECT_EQ(p.weights.size(), 2u);
  EXPECT_EQ(p.condition.at(4).rows(), 2u);
}

TEST(PrepareLevels, WithoutLevelOneNoPyramidHasABaseRaster) {
  EngineInputs in = make_inputs(8, 8, {2, 4});
  const PreparedEngine p = prepare(in);
  EXPECT_EQ(p.condition.count(1), 0u);
  EXPECT_EQ(p.weights.count(1), 0u);
  EXPECT_EQ(p.sorted_levels, (std::vector<std::int32_t>{2, 4}));
}

TEST(PreparePyramids, WeightsFollowProjectionAndOptionalPyramidsAppearOnRequest) {
  EngineInputs in = make_inputs(4, 4, {1, 2});
  in.condition->operator()(0, 0) = kNaN;
  in.mask(0, 1) = 1;  // unprotected
  {
    const PreparedEngine p = prepare(in);
    EXPECT_EQ(p.weights.at(2)(0, 0), 3.0f);  // ValidCount: three finite cells
    EXPECT_FALSE(p.pa_membership.has_value());
    EXPECT_FALSE(p.traversal.has_value());
    EXPECT_TRUE(p.transition.empty());
  }
  in.params.is_geo = true;
  in.transforms[1] = Affine{0.01, 0, 10, 0, -0.01, 60.005};
  in.params.pa_to_pa = true;
  in.traversal = Raster<float>(4, 4, 0.25f);
  in.transition_grids = std::vector<Raster<float>>{Raster<float>(5, 6, 2, 1.0f), Raster<float>(4, 4, 1, 2.0f)};
  const PreparedEngine p = prepare(in);
  const float f0 = static_cast<float>(std::cos(60.0 * M_PI / 180.0));
  const float f1 = static_cast<float>(std::cos(59.99 * M_PI / 180.0));
  EXPECT_NEAR(p.weights.at(2)(0, 0), f0 + 2 * f1, 1e-6f);  // Area: the NaN cell adds nothing
  ASSERT_TRUE(p.pa_membership.has_value());
  EXPECT_EQ(p.pa_membership->at(2)(0, 0), 2.0f / 3.0f);  // (0,0) has no data, (0,1) unprotected
  EXPECT_EQ(p.traversal->at(2)(1, 1), 0.25f);
  ASSERT_EQ(p.transition.size(), 2u);
  EXPECT_EQ(p.transition[0].at(2).rows(), 3u);  // built from the grid's own 5 x 6 shape
  EXPECT_EQ(p.transition[0].at(2).cols(), 3u);
  EXPECT_EQ(p.transition[1].at(2).bands(), 1u);
}

TEST(PrepareTransition, ZeroBandGridIsAnInternalResamplingError) {
  EngineInputs in = make_inputs(4, 4, {2});
  in.transition_grids = std::vector<Raster<float>>{Raster<float>(4, 4, 0, 1.0f)};
  const Outcome out = prepare_outcome(in);
  EXPECT_EQ(out.kind, Kind::Internal);
  EXPECT_EQ(out.message.rfind("Failed average resampling.: ", 0), 0u) << out.message;
}

// A level that cannot be split into coarse rows is reported under the step that met it.
TEST(PrepareSteps, UnsplittableLevelsCarryTheirStepPrefix) {
  EngineInputs no_columns = make_inputs(4, 0, {2});
  Outcome out = prepare_outcome(no_columns);
  EXPECT_EQ(out.kind, Kind::Internal);
  EXPECT_EQ(out.message.rfind("Failed average resampling.: Level 2 ", 0), 0u) << out.message;

  EngineInputs traversal = make_inputs(4, 4, {2});
  traversal.traversal = Raster<float>(4, 0, 0.5f);
  out = prepare_outcome(traversal);
  EXPECT_EQ(out.kind, Kind::Internal);
  EXPECT_EQ(out.message.rfind("Failed average resampling for traversal.: Level 2 ", 0), 0u) << out.message;
}

TEST(PrepareTransition, EmptyGridListBehavesLikeNone) {
  EngineInputs in = make_inputs(4, 4, {1});
  in.transition_grids = std::vector<Raster<float>>{};
  EXPECT_TRUE(prepare(in).transition.empty());
}

// Checks added for inputs outside the grid's signed 32-bit arithmetic and for
// shapes the row driver would read past; all run before any pyramid is built.
struct InputCase {
  const char* name;
  std::function<void(EngineInputs&)> change;
  std::string message;
};

class PrepareInputChecks : public ::testing::TestWithParam<InputCase> {};

TEST_P(PrepareInputChecks, OrdinaryErrorBeforeTheLevelCheck) {
  EngineInputs in = make_inputs(4, 5, {3});  // 3 would fail later as an internal error
  GetParam().change(in);
  expect_outcome(in, Kind::Ordinary, GetParam().message);
}

const char* const kLimit = " (must stay below 2^31 = 2147483648)";

INSTANTIATE_TEST_SUITE_P(
    Inputs, PrepareInputChecks,
    ::testing::Values(
        InputCase{"MaskFewerRows", [](EngineInputs& in) { in.mask = Raster<std::uint8_t>(3, 9, 0); },
                  "Mask shape (3, 9) is smaller than condition shape (4, 5)"},
        InputCase{"MaskFewerCols", [](EngineInputs& in) { in.mask = Raster<std::uint8_t>(4, 4, 0); },
                  "Mask shape (4, 4) is smaller than condition shape (4, 5)"},
        InputCase{"GridFewerCols",
                  [](EngineInputs& in) {
                    in.transition_grids =
                        std::vector<Raster<float>>{Raster<float>(4, 5, 1, 0.f), Raster<float>(6, 4, 1, 0.f)};
                  },
                  "Transition grid 1 shape (6, 4) is smaller than condition shape (4, 5)"},
        InputCase{"LevelTwoToThe31", [](EngineInputs& in) { in.levels = {1, 2147483648ull}; },
                  std::string("Level 2147483648 does not fit a signed 32-bit level key") + kLimit},
        InputCase{"LevelTwoToThe32", [](EngineInputs& in) { in.levels = {4294967296ull}; },
                  std::string("Level 4294967296 does not fit a signed 32-bit level key") + kLimit},
        InputCase{"RowOffsetWraps", [](EngineInputs& in) { in.params.row_offset = 4294967291ull; },
                  std::string("Row offset 4294967291 does not fit signed 32-bit grid coordinates") + kLimit},
        InputCase{"ColumnOffsetTwoToThe31", [](EngineInputs& in) { in.params.col_offset = 2147483648ull; },
                  std::string("Column offset 2147483648 does not fit signed 32-bit grid coordinates") + kLimit},
        InputCase{"RowExtentOverflows", [](EngineInputs& in) { in.params.row_offset = 2147483644ull; },
                  std::string("Row offset 2147483644 + condition rows 4 = 2147483648 does not fit signed "
                              "32-bit grid coordinates") +
                      kLimit},
        InputCase{"GridExtentOverflows",
                  [](EngineInputs& in) {
                    in.params.col_offset = 2147483640ull;
                    in.transition_grids = std::vector<Raster<float>>{Raster<float>(4, 9, 1, 0.f)};
                  },
                  std::string("Column offset 2147483640 + transition grid columns 9 = 2147483649 does not fit "
                              "signed 32-bit grid coordinates") +
                      kLimit}),
    [](const ::testing::TestParamInfo<InputCase>& info) { return std::string(info.param.name); });

TEST(PrepareInputChecks, LargerMaskAndGridAreAccepted) {
  EngineInputs in = make_inputs(4, 5, {1, 2});
  in.mask = Raster<std::uint8_t>(6, 7, 1);
  in.transition_grids = std::vector<Raster<float>>{Raster<float>(8, 9, 3, 0.5f)};
  const PreparedEngine p = prepare(in);
  EXPECT_EQ(p.transition[0].at(2).rows(), 4u);
  EXPECT_EQ(p.transition[0].at(2).cols(), 5u);
  EXPECT_EQ(p.transition[0].at(2).bands(), 3u);
}

TEST(PrepareInputChecks, LargestOffsetsAreAccepted) {
  EngineInputs in = make_inputs(4, 5, {1, 2});
  in.transition_grids = std::vector<Raster<float>>{Raster<float>(4, 5, 3, 0.5f)};
  in.params.row_offset = 2147483643ull;  // + 4 rows = 2^31 - 1
  in.params.col_offset = 2147483642ull;  // + 5 cols = 2^31 - 1
  const PreparedEngine p = prepare(in);
  // Level 2: global rows 2147483643..46 give blocks of 1, 2, 1 rows; the even
  // column offset gives columns 2147483642..46 in blocks of 2, 2, 1.
  const Raster<float>& w = p.weights.at(2);
  ASSERT_EQ(w.rows(), 3u);
  ASSERT_EQ(w.cols(), 3u);
  EXPECT_EQ(w(0, 0), 1.0f * 2.0f);
  EXPECT_EQ(w(1, 1), 2.0f * 2.0f);
  EXPECT_EQ(w(2, 2), 1.0f * 1.0f);
  EXPECT_EQ(p.transition[0].at(2).rows(), 3u);
}

TEST(LevelMapsMatch, ReportsCountKeyAndShape) {
  auto map_of = [](std::initializer_list<std::pair<std::int32_t, std::pair<int, int>>> entries) {
    LevelMap m;
    for (const auto& [key, shape] : entries) m.emplace(key, Raster<float>(shape.first, shape.second, 0.0f));
    return m;
  };
  auto message = [](const LevelMap& a, const LevelMap& b) -> std::string {
    try {
      check_level_maps_match(a, b);
    } catch (const OrdinaryError& e) {
      return e.what();
    }
    return "<matched>";
  };
  EXPECT_EQ(message(map_of({{1, {2, 2}}, {2, {1, 1}}}), map_of({{1, {2, 2}}})),
            "HashMaps have different number of keys: 2 vs 1");
  EXPECT_EQ(message(map_of({{4, {2, 2}}}), map_of({{2, {2, 2}}})), "Key 4 exists in first map but not in second");
  EXPECT_EQ(message(map_of({{4, {25, 30}}}), map_of({{4, {26, 30}}})),
            "Dimension mismatch for key 4: (25, 30) vs (26, 30)");
  EXPECT_EQ(message(map_of({{1, {3, 4}}, {8, {1, 1}}}), map_of({{1, {3, 4}}, {8, {1, 1}}})), "<matched>");
  // Only shapes count: bands and values are not compared.
  LevelMap banded;
  banded.emplace(1, Raster<float>(3, 4, 5, 9.0f));
  EXPECT_EQ(message(banded, map_of({{1, {3, 4}}})), "<matched>");
}
