// e^x in float32, written so that a loop of them vectorises.
//
// libm's expf is a call per value; the focal kernels and the similarity
// transform evaluate hundreds of exponentials per focal cell, and a plain loop
// over this inline version runs four of them at a time. The result is within
// one unit in the last place of the exact value over the whole float range
// (NaN stays NaN, large arguments overflow to infinity, results below the
// smallest float32 subnormal round to zero), and is the same on every run and
// thread: only IEEE additions, multiplications and exact conversions.
#pragma once

#include <bit>
#include <cstdint>

namespace velkan {

[[gnu::always_inline]] inline float exp_f32(float x) {
  // Beyond these the result is infinite or rounds to zero anyway; clamping
  // keeps the integer exponent in range (NaN is replaced, and restored below).
  constexpr float kHighest = 89.0f, kLowest = -104.0f;
  const bool is_nan = x != x;
  float clamped = is_nan ? 0.0f : x;
  clamped = clamped > kHighest ? kHighest : clamped;
  clamped = clamped < kLowest ? kLowest : clamped;

  // x = n ln 2 + r with |r| <= ln 2 / 2; ln 2 in two parts keeps r exact.
  constexpr float kLog2e = 1.44269504088896341f;
  constexpr float kLn2High = 0.693359375f, kLn2Low = -2.12194440e-4f;
  constexpr float kRoundingShift = 12582912.0f;  // 1.5 * 2^23: adding it rounds to a whole number
  const float n = (clamped * kLog2e + kRoundingShift) - kRoundingShift;
  float r = clamped - n * kLn2High;
  r = r - n * kLn2Low;

  // e^r by its minimax polynomial on [-ln 2 / 2, ln 2 / 2].
  float p = 1.9875691500e-4f;
  p = p * r + 1.3981999507e-3f;
  p = p * r + 8.3334519073e-3f;
  p = p * r + 4.1665795894e-2f;
  p = p * r + 1.6666665459e-1f;
  p = p * r + 5.0000001201e-1f;
  p = p * (r * r) + r + 1.0f;

  // Times 2^n in two factors, each a normal float even where 2^n is not, so
  // a subnormal result is rounded once.
  const auto whole = static_cast<std::int32_t>(n);  // in [-150, 129]
  const std::int32_t half = whole / 2;
  const float scale_a = std::bit_cast<float>(static_cast<std::uint32_t>(half + 127) << 23);
  const float scale_b = std::bit_cast<float>(static_cast<std::uint32_t>(whole - half + 127) << 23);
  const float result = p * scale_a * scale_b;
  return is_nan ? x : result;
}

}  // namespace velkan
