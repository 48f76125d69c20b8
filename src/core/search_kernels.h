// Distance-decay reductions of one focal cell's destination records.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "model/kernel_form.h"
#include "model/similarity.h"

namespace velkan {

struct DestinationRecord {
  float weighted_cost = 0.0f;                 // d_w, km
  float distance_cost = 0.0f;                 // d_g, km
  std::uint64_t distance_units = UINT64_MAX;  // d_g in whole 1/100 km, UINT64_MAX when not known
  float condition = 0.0f;                     // q
  float protected_fraction = 0.0f;            // p
  float weight = 0.0f;                        // a
  const Similarity* similarity = nullptr;     // grid g at similarity[g * stride]
  std::uint32_t similarity_stride = 1;
  std::uint32_t grid_count = 0;

  Similarity similarity_at(std::uint32_t g) const {
    return similarity[static_cast<std::size_t>(g) * similarity_stride];
  }
};

// The distance kernel of every bandwidth at the whole distances 0, 1, ...
// (1/100 km): distances are whole numbers of units, so a focal cell looks its
// distance weights up instead of evaluating them, with the same float32 values.
// Only the first kMostTables bandwidths get a table, which bounds the memory
// of a call with a great many; the others are evaluated, to the same values.
class DistanceDecay {
 public:
  static constexpr std::size_t kUnits = 1 << 13;
  static constexpr std::size_t kMostTables = 64;  // 2 MiB of tables

  DistanceDecay() = default;  // no tables: every bandwidth is evaluated
  DistanceDecay(const std::vector<float>& lambdas, KernelForm form);

  // The kernel values of bandwidth `l` by units; empty for no table.
  std::span<const float> for_bandwidth(std::size_t l) const {
    if (l >= tables_.size()) return {};
    return tables_[l];
  }

  // Bytes held by the tables.
  std::size_t memory_bytes() const { return tables_.size() * kUnits * sizeof(float); }

 private:
  std::vector<std::vector<float>> tables_;
};

// Connectivity ratio Σ e^(−d_w/λ)·q·p·a / Σ e^(−d_g/λ)·a, 0 when the denominator is not positive.
// `decay` holds e^(−d_g/λ) by distance units where known.
float connectivity_ratio(const std::vector<DestinationRecord>& records, float lambda,
                         std::span<const float> decay = {});

// OLVI value for one bandwidth; `acc` is caller-owned scratch.
float olvi_value(const std::vector<DestinationRecord>& records, float lambda, std::vector<float>& acc,
                 std::span<const float> decay = {});

// Mean over the bandwidths of the ratio (or OLVI value); 0 without bandwidths.
// `decay` is made for the same form; bandwidths without a table are evaluated.
float focal_value(const std::vector<DestinationRecord>& records, const std::vector<float>& lambdas, KernelForm form,
                  std::vector<float>& acc, const DistanceDecay& decay);

}  // namespace velkan
