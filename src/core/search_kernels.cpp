#include "core/search_kernels.h"

#include <cmath>
#include <limits>

namespace velkan {
namespace {

constexpr float kOlviScale = -283.465f;
constexpr float kHalf = 0.5f;

float olvi_kernel(float x, float inv_lambda) {
  const float scaled = x * inv_lambda;
  return ::expf((scaled * scaled) / kOlviScale);
}

float similarity_or_zero(const DestinationRecord& r, std::uint32_t g) {
  const Similarity s = r.similarity_at(g);
  return s.present != 0 ? s.value : 0.0f;
}

}  // namespace

float connectivity_ratio(const std::vector<DestinationRecord>& records, float lambda) {
  float numerator = 0.0f, denominator = 0.0f;
  for (const DestinationRecord& r : records) {
    numerator += ::expf(-r.weighted_cost / lambda) * r.condition * r.protected_fraction * r.weight;
    denominator += ::expf(-r.distance_cost / lambda) * r.weight;
  }
  return denominator > 0.0f ? numerator / denominator : 0.0f;
}

float olvi_value(const std::vector<DestinationRecord>& records, float lambda, std::vector<float>& acc) {
  if (records.empty() || records.front().grid_count == 0) return 0.0f;
  const std::uint32_t grids = records.front().grid_count;
  const float inv_lambda = 1.0f / lambda;
  acc.assign(grids, 0.0f);
  float denominator = 0.0f;
  for (const DestinationRecord& r : records) {
    if (r.grid_count < grids) continue;
    const float alpha = olvi_kernel(r.weighted_cost, inv_lambda) * r.condition * r.weight;
    for (std::uint32_t g = 0; g < grids; ++g) acc[g] += similarity_or_zero(r, g) * alpha;
    denominator += olvi_kernel(r.distance_cost, inv_lambda) * r.weight * similarity_or_zero(r, 0);
  }
  if (!(denominator > 0.0f)) return 0.0f;
  float sum = -0.0f, worst = std::numeric_limits<float>::infinity();
  for (std::uint32_t g = 0; g < grids; ++g) {
    sum += acc[g];
    if (acc[g] < worst) worst = acc[g];  // NaN never compares smaller
  }
  return ((sum / static_cast<float>(grids)) + worst) * kHalf / denominator;
}

float focal_value(const std::vector<DestinationRecord>& records, const std::vector<float>& lambdas, bool olvi,
                  std::vector<float>& acc) {
  if (lambdas.empty()) return 0.0f;
  float total = -0.0f;
  for (const float lambda : lambdas) {
    total += olvi ? olvi_value(records, lambda, acc) : connectivity_ratio(records, lambda);
  }
  return total / static_cast<float>(lambdas.size());
}

}  // namespace velkan
