#include "core/kernel_loops.h"

#include "common/loop_builds.h"

namespace velkan {
namespace {

[[gnu::always_inline]] inline void ratio_loop(const float* x, std::size_t count, float lambda, float* out) {
  for (std::size_t i = 0; i < count; ++i) out[i] = ratio_kernel(x[i], lambda);
}

[[gnu::always_inline]] inline void olvi_loop(const float* x, std::size_t count, float inv_lambda, float* out) {
  for (std::size_t i = 0; i < count; ++i) out[i] = olvi_kernel(x[i], inv_lambda);
}

void ratio_portable(const float* x, std::size_t count, float lambda, float* out) { ratio_loop(x, count, lambda, out); }
VELKAN_AVX2_BUILD void ratio_avx2(const float* x, std::size_t count, float lambda, float* out) {
  ratio_loop(x, count, lambda, out);
}
void olvi_portable(const float* x, std::size_t count, float inv_lambda, float* out) {
  olvi_loop(x, count, inv_lambda, out);
}
VELKAN_AVX2_BUILD void olvi_avx2(const float* x, std::size_t count, float inv_lambda, float* out) {
  olvi_loop(x, count, inv_lambda, out);
}

}  // namespace

void ratio_kernels(const float* x, std::size_t count, float lambda, float* out) {
  (loop_build() == LoopBuild::Avx2 ? ratio_avx2 : ratio_portable)(x, count, lambda, out);
}

void olvi_kernels(const float* x, std::size_t count, float inv_lambda, float* out) {
  (loop_build() == LoopBuild::Avx2 ? olvi_avx2 : olvi_portable)(x, count, inv_lambda, out);
}

}  // namespace velkan
