// Distance-decay reductions of one focal cell's destination records.
#pragma once

#include <cstdint>
#include <vector>

#include "window/level_cells.h"

namespace velkan {

struct DestinationRecord {
  float weighted_cost = 0.0f;  // d_w, km
  float distance_cost = 0.0f;  // d_g, km
  float condition = 0.0f;      // q
  float protected_fraction = 0.0f;  // p
  float weight = 0.0f;         // a
  const Similarity* similarity = nullptr;  // grid g at similarity[g * stride]
  std::uint32_t similarity_stride = 1;
  std::uint32_t grid_count = 0;

  Similarity similarity_at(std::uint32_t g) const { return similarity[static_cast<std::size_t>(g) * similarity_stride]; }
};

// Connectivity ratio Σ e^(−d_w/λ)·q·p·a / Σ e^(−d_g/λ)·a, 0 when the denominator is not positive.
float connectivity_ratio(const std::vector<DestinationRecord>& records, float lambda);

// OLVI value for one bandwidth; `acc` is caller-owned scratch.
float olvi_value(const std::vector<DestinationRecord>& records, float lambda, std::vector<float>& acc);

// Mean over the bandwidths of the ratio (or OLVI value); 0 without bandwidths.
float focal_value(const std::vector<DestinationRecord>& records, const std::vector<float>& lambdas, bool olvi,
                  std::vector<float>& acc);

}  // namespace velkan
