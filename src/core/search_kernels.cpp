#include "core/search_kernels.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/kernel_loops.h"

namespace velkan {
namespace {

constexpr float kHalf = 0.5f;

// Records are reduced this many at a time: their kernels are evaluated first,
// in plain loops that vectorise, and then summed in record order.
constexpr std::size_t kChunk = 64;

// The weighted costs of records [first, first + count), count <= kChunk.
void chunk_costs(const DestinationRecord* first, std::size_t count, float* costs) {
  for (std::size_t i = 0; i < count; ++i) costs[i] = first[i].weighted_cost;
}

// The distances of records [first, first + count), count <= kChunk, in km;
// returns the farthest in units.
std::size_t chunk_distances(const DestinationRecord* first, std::size_t count, float* distances) {
  std::uint64_t farthest = 0;
  for (std::size_t i = 0; i < count; ++i) {
    distances[i] = first[i].distance_cost;
    farthest = std::max(farthest, first[i].distance_units);
  }
  return static_cast<std::size_t>(std::min<std::uint64_t>(farthest, SIZE_MAX));
}

// The distance of `units` as the records carry it.
float units_km(std::size_t units) { return static_cast<float>(units) / 100.0f; }

float similarity_or_zero(const DestinationRecord& r, std::uint32_t g) {
  const Similarity s = r.similarity_at(g);
  return s.present != 0 ? s.value : 0.0f;
}

}  // namespace

DistanceDecay::DistanceDecay(const std::vector<float>& lambdas, KernelForm form) {
  const bool olvi = form == KernelForm::Olvi;
  tables_.reserve(std::min(lambdas.size(), kMostTables));
  for (const float lambda : lambdas) {
    if (tables_.size() == kMostTables) break;
    std::vector<float>& table = tables_.emplace_back(kUnits);
    for (std::size_t u = 0; u < kUnits; ++u) {
      table[u] = olvi ? olvi_kernel(units_km(u), 1.0f / lambda) : ratio_kernel(units_km(u), lambda);
    }
  }
}

namespace {

// Adds every record's kernel times its similarity in grid g to acc[g], and
// returns the denominator. kGrids > 0 fixes the grid count, so that the sums
// stay in registers instead of waiting on their own stores record by record.
template <std::uint32_t kGrids>
float olvi_sums(const std::vector<DestinationRecord>& records, std::uint32_t grids, float inv_lambda,
                std::span<const float> decay, float* acc) {
  const std::uint32_t count = kGrids > 0 ? kGrids : grids;
  float local[kGrids > 0 ? kGrids : 1] = {};
  float* const sums = kGrids > 0 ? local : acc;
  float denominator = 0.0f;
  float costs[kChunk], weighted[kChunk], distances[kChunk], decayed[kChunk];
  for (std::size_t first = 0; first < records.size(); first += kChunk) {
    const std::size_t n = std::min(kChunk, records.size() - first);
    chunk_costs(&records[first], n, costs);
    olvi_kernels(costs, n, inv_lambda, weighted);
    if (chunk_distances(&records[first], n, distances) >= decay.size()) olvi_kernels(distances, n, inv_lambda, decayed);
    for (std::size_t i = 0; i < n; ++i) {
      const DestinationRecord& r = records[first + i];
      if (r.grid_count < count) continue;
      const float alpha = weighted[i] * r.condition * r.weight;
      for (std::uint32_t g = 0; g < count; ++g) sums[g] += similarity_or_zero(r, g) * alpha;
      const auto units = static_cast<std::size_t>(r.distance_units);
      denominator += (units < decay.size() ? decay[units] : decayed[i]) * r.weight * similarity_or_zero(r, 0);
    }
  }
  if (kGrids > 0) std::copy_n(local, count, acc);
  return denominator;
}

}  // namespace

float olvi_value(const std::vector<DestinationRecord>& records, float lambda, std::vector<float>& acc,
                 std::span<const float> decay) {
  if (records.empty() || records.front().grid_count == 0) return 0.0f;
  const std::uint32_t grids = records.front().grid_count;
  const float inv_lambda = 1.0f / lambda;
  acc.assign(grids, 0.0f);
  float denominator = 0.0f;
  switch (grids) {
    case 1: denominator = olvi_sums<1>(records, grids, inv_lambda, decay, acc.data()); break;
    case 2: denominator = olvi_sums<2>(records, grids, inv_lambda, decay, acc.data()); break;
    case 3: denominator = olvi_sums<3>(records, grids, inv_lambda, decay, acc.data()); break;
    case 4: denominator = olvi_sums<4>(records, grids, inv_lambda, decay, acc.data()); break;
    default: denominator = olvi_sums<0>(records, grids, inv_lambda, decay, acc.data()); break;
  }
  if (!(denominator > 0.0f)) return 0.0f;
  float sum = -0.0f, worst = std::numeric_limits<float>::infinity();
  for (std::uint32_t g = 0; g < grids; ++g) {
    sum += acc[g];
    if (acc[g] < worst) worst = acc[g];  // NaN never compares smaller
  }
  return ((sum / static_cast<float>(grids)) + worst) * kHalf / denominator;
}

namespace {

// Connectivity ratios of up to this many bandwidths are taken in one pass over the records.
constexpr std::size_t kFusedBandwidths = 8;

struct Bandwidth {
  float lambda;
  std::span<const float> decay;
};

// The mean of `count` (<= kFusedBandwidths) connectivity ratios, in one pass:
// each bandwidth's sums still take the records in order. kBands > 0 fixes the
// count, so that the sums stay in registers (as in olvi_sums).
template <std::size_t kBands>
float mean_ratio(const std::vector<DestinationRecord>& records, const Bandwidth* bands, std::size_t bandwidths) {
  const std::size_t count = kBands > 0 ? kBands : bandwidths;
  float numerator[kFusedBandwidths] = {}, denominator[kFusedBandwidths] = {};
  float costs[kChunk], weighted[kFusedBandwidths][kChunk];
  float distances[kChunk], decayed[kFusedBandwidths][kChunk];
  for (std::size_t first = 0; first < records.size(); first += kChunk) {
    const std::size_t n = std::min(kChunk, records.size() - first);
    chunk_costs(&records[first], n, costs);
    for (std::size_t l = 0; l < count; ++l) ratio_kernels(costs, n, bands[l].lambda, weighted[l]);
    // Distances past a bandwidth's table are evaluated in a loop too, to the
    // table's values; a chunk within every table skips it.
    const std::size_t farthest = chunk_distances(&records[first], n, distances);
    for (std::size_t l = 0; l < count; ++l) {
      if (farthest >= bands[l].decay.size()) ratio_kernels(distances, n, bands[l].lambda, decayed[l]);
    }
    for (std::size_t i = 0; i < n; ++i) {
      const DestinationRecord& r = records[first + i];
      const auto units = static_cast<std::size_t>(r.distance_units);
      for (std::size_t l = 0; l < count; ++l) {
        numerator[l] += weighted[l][i] * r.condition * r.protected_fraction * r.weight;
        const std::span<const float> decay = bands[l].decay;
        denominator[l] += (units < decay.size() ? decay[units] : decayed[l][i]) * r.weight;
      }
    }
  }
  float total = -0.0f;
  for (std::size_t l = 0; l < count; ++l) total += denominator[l] > 0.0f ? numerator[l] / denominator[l] : 0.0f;
  return total / static_cast<float>(count);
}

float mean_ratio(const std::vector<DestinationRecord>& records, const Bandwidth* bands, std::size_t count) {
  switch (count) {
    case 1: return mean_ratio<1>(records, bands, count);
    case 2: return mean_ratio<2>(records, bands, count);
    case 3: return mean_ratio<3>(records, bands, count);
    case 4: return mean_ratio<4>(records, bands, count);
    default: return mean_ratio<0>(records, bands, count);
  }
}

}  // namespace

float connectivity_ratio(const std::vector<DestinationRecord>& records, float lambda, std::span<const float> decay) {
  const Bandwidth band{lambda, decay};
  return mean_ratio(records, &band, 1);
}

float focal_value(const std::vector<DestinationRecord>& records, const std::vector<float>& lambdas, KernelForm form,
                  std::vector<float>& acc, const DistanceDecay& decay) {
  if (lambdas.empty()) return 0.0f;
  const bool olvi = form == KernelForm::Olvi;
  const auto table = [&decay](std::size_t l) { return decay.for_bandwidth(l); };
  if (!olvi && lambdas.size() <= kFusedBandwidths) {  // (OLVI's grid loop makes fusing it slower)
    Bandwidth bands[kFusedBandwidths];
    for (std::size_t l = 0; l < lambdas.size(); ++l) bands[l] = Bandwidth{lambdas[l], table(l)};
    return mean_ratio(records, bands, lambdas.size());
  }
  float total = -0.0f;
  for (std::size_t l = 0; l < lambdas.size(); ++l) {
    total += olvi ? olvi_value(records, lambdas[l], acc, table(l)) : connectivity_ratio(records, lambdas[l], table(l));
  }
  return total / static_cast<float>(lambdas.size());
}

}  // namespace velkan
