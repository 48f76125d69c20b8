// Pyramid builders: coarse values, global-grid alignment, modes, 3D grids, PA membership.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>

#include "common/errors.h"
#include "common/worker_pool.h"
#include "overview/overview.h"

using namespace velkan;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

Raster<float> filled(std::size_t rows, std::size_t cols, float value) { return Raster<float>(rows, cols, value); }

LevelMap build(const Raster<float>& base, std::vector<std::uint64_t> levels, ResampleMode mode, std::int32_t r0 = 0,
               std::int32_t c0 = 0, const Affine* transform = nullptr, std::size_t workers = 2) {
  WorkerPool pool(workers);
  return build_level_overviews(base, levels, r0, c0, mode, transform, pool);
}

// Reference summary of base rows [rb, re) x cols [cb, ce) by a direct loop.
float reference_block(const Raster<float>& base, int rb, int re, int cb, int ce, ResampleMode mode,
                      const std::vector<float>& factors) {
  float n = 0, s = 0, a = 0;
  for (int r = rb; r < re; ++r)
    for (int c = cb; c < ce; ++c) {
      float v = base(r, c);
      if (!std::isfinite(v)) continue;
      n += 1;
      s += v;
      if (mode == ResampleMode::Area) a += factors[r];
    }
  if (n == 0) return kNaN;
  return mode == ResampleMode::Average ? s / n : mode == ResampleMode::ValidCount ? n : a;
}

void expect_same_float(float expected, float actual, const std::string& where) {
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(actual)) << where << " got " << actual;
  } else {
    EXPECT_EQ(expected, actual) << where;
  }
}

std::string error_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no error>";
}

std::string mode_name(ResampleMode mode) {
  switch (mode) {
    case ResampleMode::Average: return "Average";
    case ResampleMode::ValidCount: return "ValidCount";
    case ResampleMode::Area: return "Area";
  }
  return "Unknown";
}

}  // namespace

TEST(OverviewAverage, AllOnesWithOneNaNAtLevelTwo) {
  Raster<float> base = filled(4, 4, 1.0f);
  base(1, 2) = kNaN;
  const LevelMap average = build(base, {2}, ResampleMode::Average);
  const LevelMap count = build(base, {2}, ResampleMode::ValidCount);
  ASSERT_EQ(average.size(), 1u);
  const Raster<float>& a = average.at(2);
  const Raster<float>& n = count.at(2);
  ASSERT_EQ(a.rows(), 2u);
  ASSERT_EQ(a.cols(), 2u);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) {
      EXPECT_EQ(a(i, j), 1.0f);
      EXPECT_EQ(n(i, j), (i == 0 && j == 1) ? 3.0f : 4.0f) << i << "," << j;
    }
}

TEST(OverviewGeometry, OffsetOneGivesPartialEdgeBlocks) {
  const Raster<float> base = filled(4, 4, 2.0f);
  const LevelMap n_levels = build(base, {2}, ResampleMode::ValidCount, 1, 1);
  const Raster<float>& n = n_levels.at(2);
  ASSERT_EQ(n.rows(), 3u);
  ASSERT_EQ(n.cols(), 3u);
  // Global rows 1 | 2-3 | 4: block heights 1, 2, 1; same for columns.
  const float side[3] = {1, 2, 1};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(n(i, j), side[i] * side[j]) << i << "," << j;
  const LevelMap a_levels = build(base, {2}, ResampleMode::Average, 1, 1);
  const Raster<float>& a = a_levels.at(2);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(a(i, j), 2.0f);
}

TEST(OverviewGeometry, TenRowsAtOffsetThreeLevelFour) {
  // One column; row r holds 2^r so every block sum identifies its rows.
  Raster<float> base(10, 1, 0.0f);
  for (int r = 0; r < 10; ++r) base(r, 0) = static_cast<float>(1 << r);
  const LevelMap count = build(base, {4}, ResampleMode::ValidCount, 3, 0);
  const LevelMap average = build(base, {4}, ResampleMode::Average, 3, 0);
  const Raster<float>& n = count.at(4);
  ASSERT_EQ(n.rows(), 4u);
  ASSERT_EQ(n.cols(), 1u);
  const int first[4] = {0, 1, 5, 9}, last[4] = {0, 4, 8, 9};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(n(i, 0), static_cast<float>(last[i] - first[i] + 1)) << i;
    float sum = 0;
    for (int r = first[i]; r <= last[i]; ++r) sum += static_cast<float>(1 << r);
    EXPECT_EQ(average.at(4)(i, 0), sum / n(i, 0)) << i;
  }
}

TEST(OverviewGeometry, NegativeOffsetsUseFloorDivision) {
  // Offset -1 at level 4: global rows -1 | 0..3 | 4 -> blocks of 1, 4, 1 rows.
  const Raster<float> base = filled(6, 6, 1.0f);
  const LevelMap n_levels = build(base, {4}, ResampleMode::ValidCount, -1, -1);
  const Raster<float>& n = n_levels.at(4);
  ASSERT_EQ(n.rows(), 3u);
  ASSERT_EQ(n.cols(), 3u);
  const float side[3] = {1, 4, 1};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(n(i, j), side[i] * side[j]);
}

// Random rasters with NaN and inf against a direct loop, several offsets and levels.
class OverviewAgainstReference : public ::testing::TestWithParam<std::tuple<ResampleMode, int, int, int>> {};

TEST_P(OverviewAgainstReference, MatchesDirectLoop) {
  const auto [mode, level, r0, c0] = GetParam();
  std::mt19937 rng(42 + level + r0 * 7 + c0 * 13);
  std::uniform_real_distribution<float> value(-5.0f, 5.0f);
  Raster<float> base(13, 11, 0.0f);
  for (std::size_t i = 0; i < base.size(); ++i) {
    const unsigned kind = rng() % 10;
    base.data()[i] = kind == 0 ? kNaN : kind == 1 ? kInf : kind == 2 ? -kInf : value(rng);
  }
  const Affine t{0.5, 0.0, 3.0, 0.0, -0.5, 45.0};
  std::vector<float> factors(base.rows());
  for (std::size_t r = 0; r < base.rows(); ++r)
    factors[r] = static_cast<float>(std::fabs(std::cos((45.0 - 0.5 * (r + 0.5)) * M_PI / 180.0)));
  const LevelMap out_levels = build(base, {static_cast<std::uint64_t>(level)}, mode, r0, c0, &t);
  const Raster<float>& out = out_levels.at(level);
  auto fdiv = [](int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); };
  const int R0 = fdiv(r0, level), C0 = fdiv(c0, level);
  ASSERT_EQ(out.rows(), static_cast<std::size_t>(fdiv(r0 + 12, level) - R0 + 1));
  ASSERT_EQ(out.cols(), static_cast<std::size_t>(fdiv(c0 + 10, level) - C0 + 1));
  for (std::size_t i = 0; i < out.rows(); ++i)
    for (std::size_t j = 0; j < out.cols(); ++j) {
      const int gi = R0 + static_cast<int>(i), gj = C0 + static_cast<int>(j);
      const int rb = std::max(gi * level, r0) - r0, re = std::min(gi * level + level, r0 + 13) - r0;
      const int cb = std::max(gj * level, c0) - c0, ce = std::min(gj * level + level, c0 + 11) - c0;
      const float expected = reference_block(base, rb, re, cb, ce, mode, factors);
      if (mode == ResampleMode::Area && !std::isnan(expected)) {
        EXPECT_NEAR(out(i, j), expected, 1e-5f) << i << "," << j;
      } else {
        expect_same_float(expected, out(i, j), std::to_string(i) + "," + std::to_string(j));
      }
    }
}

INSTANTIATE_TEST_SUITE_P(
    ModesLevelsOffsets, OverviewAgainstReference,
    ::testing::Combine(::testing::Values(ResampleMode::Average, ResampleMode::ValidCount, ResampleMode::Area),
                       ::testing::Values(2, 4, 16), ::testing::Values(0, 3, -5), ::testing::Values(0, 1, 6)));

class OverviewModes : public ::testing::TestWithParam<ResampleMode> {};

TEST_P(OverviewModes, BlocksWithoutFiniteValuesStayNaN) {
  Raster<float> base = filled(4, 4, 1.0f);
  base(0, 0) = base(0, 1) = base(1, 0) = base(1, 1) = kNaN;
  base(2, 2) = kInf;
  base(2, 3) = -kInf;
  base(3, 2) = kInf;
  base(3, 3) = kNaN;
  const Affine t{1, 0, 0, 0, -1, 10};
  const LevelMap out_levels = build(base, {2}, GetParam(), 0, 0, &t);
  const Raster<float>& out = out_levels.at(2);
  EXPECT_TRUE(std::isnan(out(0, 0)));
  EXPECT_TRUE(std::isnan(out(1, 1)));
  EXPECT_FALSE(std::isnan(out(0, 1)));
  EXPECT_FALSE(std::isnan(out(1, 0)));
}

TEST_P(OverviewModes, ThreadCountDoesNotChangeBytes) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> value(0.0f, 1.0f);
  Raster<float> base(97, 61, 0.0f);
  for (std::size_t i = 0; i < base.size(); ++i) base.data()[i] = (rng() % 17 == 0) ? kNaN : value(rng);
  const Affine t{0.01, 0, 10, 0, -0.01, 62.0};
  const LevelMap one = build(base, {1, 2, 4, 8, 32}, GetParam(), 5, 3, &t, 1);
  const LevelMap three = build(base, {1, 2, 4, 8, 32}, GetParam(), 5, 3, &t, 3);
  ASSERT_EQ(one.size(), three.size());
  for (const auto& [key, raster] : one) {
    const Raster<float>& other = three.at(key);
    ASSERT_TRUE(raster.same_shape(other)) << key;
    EXPECT_EQ(0, std::memcmp(raster.data(), other.data(), raster.size() * sizeof(float))) << key;
  }
}

TEST_P(OverviewModes, RepeatedLevelKeepsOneKeyWithTheSameRaster) {
  Raster<float> base(5, 5, 0.0f);
  for (std::size_t i = 0; i < base.size(); ++i) base.data()[i] = static_cast<float>(i % 7);
  const Affine t{};
  const LevelMap twice = build(base, {2, 2}, GetParam(), 0, 0, &t);
  const LevelMap once = build(base, {2}, GetParam(), 0, 0, &t);
  ASSERT_EQ(twice.size(), 1u);
  EXPECT_EQ(0, std::memcmp(twice.at(2).data(), once.at(2).data(), once.at(2).size() * sizeof(float)));
}

TEST_P(OverviewModes, LevelCheckNamesFirstOffenderBeforeBuilding) {
  const Raster<float> base = filled(2, 2, 1.0f);
  const Affine t{};
  EXPECT_EQ(error_of([&] { build(base, {1, 6, 3}, GetParam(), 0, 0, &t); }), "Level 6 is not a power of 2");
  EXPECT_EQ(error_of([&] { build(base, {0}, GetParam(), 0, 0, &t); }), "Level 0 is not a power of 2");
  EXPECT_EQ(error_of([&] { build(base, {1, 2, 3}, GetParam(), 0, 0, &t); }), "Level 3 is not a power of 2");
}

TEST_P(OverviewModes, ZeroColumnLevelIsAnInternalError) {
  const Raster<float> base(3, 0, 1.0f);
  const Affine t{};
  WorkerPool pool(1);
  EXPECT_THROW(build_level_overviews(base, {2}, 0, 4, GetParam(), &t, pool), InternalError);
  // Not aligned to the level: one coarse column with an empty block, so NaN.
  const LevelMap out_levels = build(base, {2}, GetParam(), 0, 1, &t);
  const Raster<float>& out = out_levels.at(2);
  ASSERT_EQ(out.cols(), 1u);
  ASSERT_EQ(out.rows(), 2u);
  EXPECT_TRUE(std::isnan(out(0, 0)));
}

INSTANTIATE_TEST_SUITE_P(AllModes, OverviewModes,
                         ::testing::Values(ResampleMode::Average, ResampleMode::ValidCount, ResampleMode::Area),
                         [](const ::testing::TestParamInfo<ResampleMode>& info) { return mode_name(info.param); });

TEST(OverviewBaseLevel, AverageCopiesInfButCoarseMeansSkipIt) {
  Raster<float> base = filled(2, 2, 3.0f);
  base(0, 0) = kInf;
  base(1, 1) = 6.0f;
  const LevelMap out = build(base, {1, 2}, ResampleMode::Average);
  EXPECT_EQ(out.at(1)(0, 0), kInf);
  EXPECT_EQ(out.at(1)(1, 1), 6.0f);
  EXPECT_EQ(out.at(2)(0, 0), (3.0f + 3.0f + 6.0f) / 3.0f);
}

TEST(OverviewBaseLevel, ValidCountIsOneWhereFinite) {
  Raster<float> base = filled(1, 4, 0.5f);
  base(0, 1) = kNaN;
  base(0, 2) = -kInf;
  const LevelMap n_levels = build(base, {1}, ResampleMode::ValidCount);
  const Raster<float>& n = n_levels.at(1);
  EXPECT_EQ(n(0, 0), 1.0f);
  EXPECT_TRUE(std::isnan(n(0, 1)));
  EXPECT_TRUE(std::isnan(n(0, 2)));
  EXPECT_EQ(n(0, 3), 1.0f);
}

TEST(OverviewArea, LatitudeSixtyFactors) {
  const Affine t{0.01, 0, 10, 0, -0.01, 60.005};
  Raster<float> base = filled(2, 2, 1.0f);
  base(1, 1) = kNaN;
  const LevelMap out = build(base, {1, 2}, ResampleMode::Area, 0, 0, &t);
  const float f0 = static_cast<float>(std::cos(60.0 * M_PI / 180.0));
  const float f1 = static_cast<float>(std::cos(59.99 * M_PI / 180.0));
  EXPECT_NEAR(out.at(1)(0, 0), 0.5f, 1e-6f);
  EXPECT_NEAR(out.at(1)(0, 1), f0, 1e-6f);
  EXPECT_NEAR(out.at(1)(1, 0), f1, 1e-6f);
  EXPECT_TRUE(std::isnan(out.at(1)(1, 1)));
  EXPECT_NEAR(out.at(2)(0, 0), 2 * f0 + f1, 1e-6f);
  const Raster<float> full = filled(2, 2, 1.0f);
  const LevelMap full_levels = build(full, {2}, ResampleMode::Area, 0, 0, &t);
  EXPECT_NEAR(full_levels.at(2)(0, 0), 2 * f0 + 2 * f1, 1e-6f);
}

TEST(OverviewArea, FactorsAreNonNegative) {
  // Latitudes beyond 90 degrees give negative cosines; the factor is their size.
  const std::vector<float> f = row_area_factors(Affine{1, 0, 0, 0, 1, 120.0}, 1);
  EXPECT_NEAR(f[0], static_cast<float>(std::fabs(std::cos(120.5 * M_PI / 180.0))), 1e-6f);
  EXPECT_GT(f[0], 0.0f);
}

TEST(OverviewArea, NonFiniteLatitudesGiveZeroWeights) {
  const double inf = std::numeric_limits<double>::infinity();
  for (const Affine& t : {Affine{1, 0, 0, 0, 1, inf}, Affine{1, 0, 0, 0, std::nan(""), 0}}) {
    Raster<float> base = filled(2, 2, 1.0f);
    base(0, 1) = kNaN;
    const LevelMap out = build(base, {1, 2}, ResampleMode::Area, 0, 0, &t);
    EXPECT_EQ(out.at(1)(0, 0), 0.0f);
    EXPECT_TRUE(std::isnan(out.at(1)(0, 1)));
    EXPECT_EQ(out.at(2)(0, 0), 0.0f);
  }
}

TEST(OverviewArea, MissingTransformIsReported) {
  const Raster<float> base = filled(2, 2, 1.0f);
  EXPECT_EQ(error_of([&] { build(base, {1}, ResampleMode::Area); }),
            "Area resampling requires base-level transform information.");
  EXPECT_EQ(error_of([&] { build(base, {3}, ResampleMode::Area); }), "Level 3 is not a power of 2");
}

TEST(OverviewTransition, ThreeByThreeByTwoAtLevelTwo) {
  Raster<float> grid(3, 3, 2, 0.0f);
  for (std::size_t r = 0; r < 3; ++r)
    for (std::size_t c = 0; c < 3; ++c) {
      grid.at(r, c, 0) = static_cast<float>(r * 3 + c);
      grid.at(r, c, 1) = static_cast<float>(100 + r * 10 + c);
    }
  grid.at(0, 1, 1) = kNaN;
  grid.at(1, 1, 1) = kInf;
  WorkerPool pool(2);
  const LevelMap out = build_transition_overviews(grid, {1, 2}, 0, 0, pool);
  const Raster<float>& coarse = out.at(2);
  ASSERT_EQ(coarse.rows(), 2u);
  ASSERT_EQ(coarse.cols(), 2u);
  ASSERT_EQ(coarse.bands(), 2u);
  EXPECT_EQ(coarse.at(1, 1, 0), grid.at(2, 2, 0));
  EXPECT_EQ(coarse.at(1, 1, 1), grid.at(2, 2, 1));
  EXPECT_EQ(coarse.at(0, 0, 0), (0.0f + 1.0f + 3.0f + 4.0f) / 4.0f);
  EXPECT_EQ(coarse.at(0, 0, 1), (100.0f + 110.0f) / 2.0f);  // the NaN and the inf are skipped
  EXPECT_EQ(coarse.at(0, 1, 0), (2.0f + 5.0f) / 2.0f);
  EXPECT_EQ(coarse.at(1, 0, 1), (120.0f + 121.0f) / 2.0f);
  EXPECT_TRUE(out.at(1).same_shape(grid));
  EXPECT_TRUE(std::isinf(out.at(1).at(1, 1, 1)));
}

// Each band's block means are those of a direct loop over that band alone,
// bit for bit, for every band count (one pass over the bands for up to four,
// one pass per band beyond) and offsets that cut edge blocks short.
TEST(OverviewTransition, BandMeansEqualADirectLoopPerBand) {
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  WorkerPool pool(2);
  for (std::size_t bands = 1; bands <= 6; ++bands) {
    Raster<float> grid(11, 13, bands, 0.0f);
    for (std::size_t i = 0; i < grid.size(); ++i) {
      const float u = unit(rng);
      grid.data()[i] = u > 0.9f ? kNaN : u < -0.95f ? -kInf : u * 1000.0f;
    }
    const LevelMap out = build_transition_overviews(grid, {4}, 3, 1, pool);
    const Raster<float>& coarse = out.at(4);
    for (std::size_t i = 0; i < coarse.rows(); ++i) {
      for (std::size_t j = 0; j < coarse.cols(); ++j) {
        const int rb = std::max(0, static_cast<int>(i) * 4 - 3), re = std::min(11, static_cast<int>(i + 1) * 4 - 3);
        const int cb = std::max(0, static_cast<int>(j) * 4 - 1), ce = std::min(13, static_cast<int>(j + 1) * 4 - 1);
        for (std::size_t k = 0; k < bands; ++k) {
          Raster<float> band(11, 13, 0.0f);
          for (std::size_t r = 0; r < 11; ++r)
            for (std::size_t c = 0; c < 13; ++c) band(r, c) = grid.at(r, c, k);
          const float expected = reference_block(band, rb, re, cb, ce, ResampleMode::Average, {});
          expect_same_float(expected, coarse.at(i, j, k), std::to_string(bands) + " bands");
        }
      }
    }
  }
}

TEST(OverviewTransition, ChecksLevelsAndBands) {
  WorkerPool pool(1);
  const Raster<float> grid(2, 2, 1, 1.0f);
  EXPECT_EQ(error_of([&] { build_transition_overviews(grid, {2, 5}, 0, 0, pool); }), "Level 5 is not a power of 2");
  const Raster<float> no_bands(2, 2, 0, 1.0f);
  EXPECT_THROW(build_transition_overviews(no_bands, {2}, 0, 0, pool), InternalError);
  EXPECT_EQ(build_transition_overviews(no_bands, {1}, 0, 0, pool).at(1).bands(), 0u);
}

TEST(OverviewPaMembership, ProtectedFlagsWhereConditionHasData) {
  Raster<float> condition = filled(2, 3, 0.7f);
  condition(0, 0) = kInf;
  condition(0, 1) = kNaN;
  condition(1, 2) = -kInf;
  Raster<std::uint8_t> mask(3, 4, 1);  // larger than the condition is fine
  mask(0, 0) = 0;
  mask(0, 1) = 0;
  mask(1, 0) = 0;
  const Raster<float> pa = build_pa_membership(condition, mask);
  ASSERT_EQ(pa.rows(), 2u);
  ASSERT_EQ(pa.cols(), 3u);
  EXPECT_EQ(pa(0, 0), 1.0f);
  EXPECT_TRUE(std::isnan(pa(0, 1)));
  EXPECT_EQ(pa(0, 2), 0.0f);
  EXPECT_EQ(pa(1, 0), 1.0f);
  EXPECT_EQ(pa(1, 1), 0.0f);
  EXPECT_EQ(pa(1, 2), 0.0f);
  EXPECT_THROW(build_pa_membership(condition, Raster<std::uint8_t>(2, 2, 0)), InternalError);
}
