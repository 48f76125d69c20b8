// The vectorisable float32 exponential against double-precision exp.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/exp_f32.h"

using velkan::exp_f32;

namespace {

// Units in the last place between a float result and the exact value,
// measured in the spacing of floats at the exact value.
double ulps_from(float got, double exact) {
  const float near = static_cast<float>(exact);
  const float next = std::nextafter(near, std::numeric_limits<float>::infinity());
  const double spacing = static_cast<double>(next) - static_cast<double>(near);
  return std::fabs(static_cast<double>(got) - exact) / spacing;
}

}  // namespace

TEST(ExpF32, WithinOneUlpOverTheNormalRange) {
  // Every 61st float32 from -87.3 (e^x still normal) up to 88.7 (still finite).
  double worst = 0.0;
  float worst_at = 0.0f;
  for (float x = -87.3f; x < 88.7f;) {
    const double err = ulps_from(exp_f32(x), std::exp(static_cast<double>(x)));
    if (err > worst) {
      worst = err;
      worst_at = x;
    }
    const auto bits = std::bit_cast<std::uint32_t>(x);
    x = x < 0.0f ? (bits <= 0x80000000u + 61 ? 0.0f : std::bit_cast<float>(bits - 61))
                 : std::bit_cast<float>(bits + 61);
  }
  EXPECT_LE(worst, 1.0) << "at x = " << worst_at;
}

TEST(ExpF32, SubnormalResultsAreRoundedOnce) {
  // Below e^-87.3 results are subnormal: one rounding keeps them within one
  // subnormal step (2^-149) of the exact value.
  const double step = std::ldexp(1.0, -149);
  for (float x = -87.4f; x > -104.0f; x -= 0.0137f) {
    EXPECT_LE(std::fabs(static_cast<double>(exp_f32(x)) - std::exp(static_cast<double>(x))), step) << x;
  }
}

TEST(ExpF32, EdgesOfTheRange) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(exp_f32(0.0f), 1.0f);
  EXPECT_EQ(exp_f32(-0.0f), 1.0f);
  EXPECT_TRUE(std::isnan(exp_f32(std::numeric_limits<float>::quiet_NaN())));
  EXPECT_EQ(exp_f32(inf), inf);
  EXPECT_EQ(exp_f32(89.0f), inf);
  EXPECT_EQ(exp_f32(1e30f), inf);
  EXPECT_TRUE(std::isfinite(exp_f32(88.72f)));
  EXPECT_EQ(exp_f32(-inf), 0.0f);
  EXPECT_EQ(exp_f32(-105.0f), 0.0f);
  EXPECT_EQ(exp_f32(-1e30f), 0.0f);
  EXPECT_GT(exp_f32(-103.0f), 0.0f);  // e^-103 is about 1.4 subnormal steps
}

TEST(ExpF32, ALoopGivesEveryValueItsOwnCallGives) {
  // The loop below vectorises; each lane must round exactly as one call does.
  std::vector<float> x(1027), looped(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = -30.0f + 0.0583f * static_cast<float>(i);
  for (std::size_t i = 0; i < x.size(); ++i) looped[i] = exp_f32(x[i]);
  for (std::size_t i = 0; i < x.size(); ++i) {
    volatile float one = x[i];  // keeps this call scalar
    EXPECT_EQ(std::bit_cast<std::uint32_t>(looped[i]), std::bit_cast<std::uint32_t>(exp_f32(one))) << x[i];
  }
}
