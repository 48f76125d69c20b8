// The distance kernels, one value and a loop of them (the loops take most of
// the kernels' time, so they come in every LoopBuild).
#pragma once

#include <cstddef>

#include "common/exp_f32.h"

namespace velkan {

inline constexpr float kOlviScale = -283.465f;

// e^(−x/λ): the connectivity ratio's kernel.
[[gnu::always_inline]] inline float ratio_kernel(float x, float lambda) { return exp_f32(-x / lambda); }

// e^((x/λ)² / −283.465): OLVI's kernel, with 1/λ given.
[[gnu::always_inline]] inline float olvi_kernel(float x, float inv_lambda) {
  const float scaled = x * inv_lambda;
  return exp_f32((scaled * scaled) / kOlviScale);
}

// out[i] = ratio_kernel(x[i], lambda) for i < count.
void ratio_kernels(const float* x, std::size_t count, float lambda, float* out);
// out[i] = olvi_kernel(x[i], inv_lambda) for i < count.
void olvi_kernels(const float* x, std::size_t count, float inv_lambda, float* out);

}  // namespace velkan
