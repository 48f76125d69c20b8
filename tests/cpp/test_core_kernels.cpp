#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <span>
#include <vector>

#include "core/search.h"
#include "core/search_kernels.h"
#include "model/kernel_form.h"
#include "support/test_search.h"

namespace velkan {
namespace {

// Tables that hold no bandwidth: every kernel is evaluated.
const DistanceDecay kEvaluated;

DestinationRecord record(float dw, float dg, float q, float p, float a, const Similarity* sim = nullptr,
                         std::uint32_t grids = 0) {
  DestinationRecord r;
  r.weighted_cost = dw;
  r.distance_cost = dg;
  r.condition = q;
  r.protected_fraction = p;
  r.weight = a;
  r.similarity = sim;
  r.similarity_stride = 1;
  r.grid_count = grids;
  return r;
}

TEST(Kernels, TwoBandwidthsAverage) {
  // A near destination with q = 0.2, and a far one with q = 1 that only a very wide
  // bandwidth sees: V(inf) = (0.2 + 1) / 2 = 0.6, V(0.001) = 0.2 / 1 = 0.2.
  const std::vector<DestinationRecord> records = {record(0.0f, 0.0f, 0.2f, 1.0f, 1.0f),
                                                  record(10.0f, 10.0f, 1.0f, 1.0f, 1.0f)};
  std::vector<float> acc;
  EXPECT_NEAR(connectivity_ratio(records, INFINITY), 0.6f, 1e-6f);
  EXPECT_NEAR(connectivity_ratio(records, 0.001f), 0.2f, 1e-6f);
  EXPECT_NEAR(focal_value(records, {INFINITY, 0.001f}, KernelForm::Ratio, acc, kEvaluated), 0.4f, 1e-6f);
}

TEST(Kernels, RatioWeighsNumeratorByWeightedCostAndProtection) {
  const std::vector<DestinationRecord> records = {record(1.0f, 0.5f, 0.8f, 0.5f, 2.0f),
                                                  record(3.0f, 2.0f, 1.0f, 1.0f, 1.0f)};
  const double n = std::exp(-1.0 / 2.0) * 0.8 * 0.5 * 2.0 + std::exp(-3.0 / 2.0);
  const double d = std::exp(-0.5 / 2.0) * 2.0 + std::exp(-2.0 / 2.0);
  EXPECT_NEAR(connectivity_ratio(records, 2.0f), n / d, 1e-6);
}

TEST(Kernels, DegenerateCasesGiveZero) {
  std::vector<float> acc;
  // No protected destination: numerator 0 while the denominator is positive.
  const std::vector<DestinationRecord> unprotected = {record(0.1f, 0.1f, 1.0f, 0.0f, 1.0f)};
  EXPECT_EQ(connectivity_ratio(unprotected, 1.0f), 0.0f);
  EXPECT_EQ(focal_value(unprotected, {}, KernelForm::Ratio, acc, kEvaluated), 0.0f);
  EXPECT_EQ(focal_value({}, {1.0f, 2.0f}, KernelForm::Ratio, acc, kEvaluated), 0.0f);
  EXPECT_EQ(focal_value({}, {1.0f}, KernelForm::Olvi, acc, kEvaluated), 0.0f);
  const std::vector<DestinationRecord> weightless = {record(0.1f, 0.1f, 1.0f, 1.0f, 0.0f)};
  EXPECT_EQ(connectivity_ratio(weightless, 1.0f), 0.0f);
  // A bandwidth with D <= 0 still counts in the mean: (0 + 1) / 2.
  const std::vector<DestinationRecord> one = {record(0.0f, 0.0f, 1.0f, 1.0f, 1.0f)};
  EXPECT_NEAR(focal_value(one, {1.0f, 1.0f}, KernelForm::Ratio, acc, kEvaluated), 1.0f, 1e-7f);
}

double olvi_k(double x, double lambda) { return std::exp(-(x / lambda) * (x / lambda) / 283.465); }

TEST(Kernels, OlviWithUnitSimilaritiesIsThePlainKernelRatio) {
  const Similarity one{1, 1.0f};
  const std::vector<DestinationRecord> records = {record(2.0f, 1.5f, 0.5f, 0.0f, 1.0f, &one, 1),
                                                  record(9.0f, 7.0f, 1.0f, 0.0f, 3.0f, &one, 1)};
  const double lambda = 1.5;
  const double n = olvi_k(2.0, lambda) * 0.5 + olvi_k(9.0, lambda) * 3.0;
  const double d = olvi_k(1.5, lambda) + olvi_k(7.0, lambda) * 3.0;
  std::vector<float> acc;
  // One grid: mean and minimum coincide, so ((acc + acc) / 2) * 0.5 / D = acc / D.
  EXPECT_NEAR(olvi_value(records, 1.5f, acc), n / d, 1e-6);
  EXPECT_NEAR(focal_value(records, {1.5f}, KernelForm::Olvi, acc, kEvaluated), n / d, 1e-6);
}

TEST(Kernels, OlviAbsentFirstGridSimilarityOnlyFeedsOtherGrids) {
  const Similarity first[2] = {{1, 1.0f}, {1, 0.5f}};  // grid 0, grid 1 (stride 1)
  const Similarity second[2] = {{0, 123.0f}, {1, 1.0f}};
  const std::vector<DestinationRecord> records = {record(1.0f, 1.0f, 1.0f, 1.0f, 1.0f, first, 2),
                                                  record(2.0f, 2.0f, 1.0f, 1.0f, 2.0f, second, 2)};
  const double lambda = 0.5;
  const double a1 = olvi_k(1.0, lambda), a2 = olvi_k(2.0, lambda) * 2.0;
  const double acc0 = a1, acc1 = 0.5 * a1 + a2;
  const double d = olvi_k(1.0, lambda);
  const double expected = ((acc0 + acc1) / 2.0 + std::min(acc0, acc1)) * 0.5 / d;
  std::vector<float> acc;
  EXPECT_NEAR(olvi_value(records, 0.5f, acc), expected, 1e-5);
  const std::vector<DestinationRecord> only_absent = {records[1]};
  EXPECT_EQ(olvi_value(only_absent, 0.5f, acc), 0.0f);
}

// The kernels take records in chunks; over several chunks and every grid
// count path (fixed for 1 to 4 grids, run-time beyond), each value must match
// a plain double-precision evaluation of its formula.
TEST(Kernels, ManyRecordsMatchADoublePrecisionReference) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f), cost(0.0f, 30.0f);
  const float lambda = 7.5f;
  for (const std::uint32_t grids : {1u, 2u, 3u, 4u, 6u}) {
    for (const std::size_t count : {1u, 63u, 64u, 65u, 200u}) {
      std::vector<Similarity> similarity(count * grids);
      std::vector<DestinationRecord> records;
      for (std::size_t k = 0; k < count; ++k) {
        for (std::uint32_t g = 0; g < grids; ++g)
          similarity[g * count + k] = Similarity{unit(rng) < 0.1f ? 0u : 1u, unit(rng)};
        DestinationRecord r = record(cost(rng), cost(rng), unit(rng), unit(rng), unit(rng), &similarity[k], grids);
        r.similarity_stride = static_cast<std::uint32_t>(count);
        records.push_back(r);
      }
      double numerator = 0.0, denominator = 0.0, olvi_denominator = 0.0;
      std::vector<double> sums(grids, 0.0);
      for (std::size_t k = 0; k < count; ++k) {
        const DestinationRecord& r = records[k];
        const auto sim = [&](std::uint32_t g) {
          const Similarity s = similarity[g * count + k];
          return s.present != 0 ? static_cast<double>(s.value) : 0.0;
        };
        numerator +=
            std::exp(-r.weighted_cost / static_cast<double>(lambda)) * r.condition * r.protected_fraction * r.weight;
        denominator += std::exp(-r.distance_cost / static_cast<double>(lambda)) * r.weight;
        const double alpha = olvi_k(r.weighted_cost, lambda) * r.condition * r.weight;
        for (std::uint32_t g = 0; g < grids; ++g) sums[g] += sim(g) * alpha;
        olvi_denominator += olvi_k(r.distance_cost, lambda) * r.weight * sim(0);
      }
      double mean = 0.0, least = sums[0];
      for (const double v : sums) {
        mean += v / grids;
        least = std::min(least, v);
      }
      const double ratio = numerator / denominator, olvi = (mean + least) * 0.5 / olvi_denominator;
      std::vector<float> acc;
      EXPECT_NEAR(connectivity_ratio(records, lambda), ratio, 1e-5 * ratio) << count << " records";
      EXPECT_NEAR(olvi_value(records, lambda, acc), olvi, 1e-5 * olvi) << count << " records, " << grids << " grids";
    }
  }
}

LevelCells single_cell(float condition, float weight) {
  LevelCells cells;
  cells.level = 1;
  cells.rows = {4};
  cells.cols = {4};
  cells.condition = {condition};
  cells.weight = {weight};
  cells.protected_fraction = {1.0f};
  cells.partial = {1};
  cells.edge = {1};
  return cells;
}

TEST(FocalSearch, IsolatedCellReachesItsOwnHabitat) {
  PreparedEngine prepared;
  ConnectivityParams params;
  params.lambdas = {1.0f};
  const TransformMap transforms = {{1, Affine{30, 0, 0, 0, -30, 0}}};
  const Raster<std::uint8_t> mask(1, 1, 0);
  SearchScratch scratch;
  scratch.windows.levels = {single_cell(0.7f, 0.9f)};
  scratch.windows.levels[0].traversal = {1.0f};
  scratch.windows.levels[0].has_traversal = true;
  const TestSearch search(prepared, params, transforms, mask, KernelForm::Ratio);
  const SearchContext& ctx = search.context();
  // d_w = 0.03 km exactly as charged; d_g = 3 units / 100 = 0.03 km.
  EXPECT_NEAR(evaluate_windows(4, 4, ctx, scratch), 0.7f, 1e-6f);
  ASSERT_EQ(scratch.records.size(), 1u);
  EXPECT_EQ(scratch.records[0].weight, 0.9f);
  EXPECT_EQ(scratch.records[0].distance_cost, 0.03f);
  params.pa_to_pa = true;
  EXPECT_EQ(evaluate_windows(4, 4, ctx, scratch), 0.0f);
  EXPECT_TRUE(scratch.records.empty());
}

TEST(FocalSearch, RecordsCarryPathSumsOfTheWeightedSearch) {
  // A row of three cells; the far cell is reached through the middle one.
  LevelCells cells;
  cells.level = 1;
  cells.rows = {0, 0, 0};
  cells.cols = {0, 1, 2};
  cells.condition = {1.0f, 1.0f, 1.0f};
  cells.weight = {1.0f, 1.0f, 1.0f};
  cells.protected_fraction = {1.0f, 1.0f, 1.0f};
  cells.traversal = {1.0f, 0.5f, 0.25f};
  cells.has_traversal = true;
  cells.partial = {1, 1, 1};
  cells.edge = {1, 1, 1};
  PreparedEngine prepared;
  ConnectivityParams params;
  params.lambdas = {1.0f};
  const TransformMap transforms = {{1, Affine{1000, 0, 0, 0, -1000, 0}}};
  const Raster<std::uint8_t> mask(1, 1, 0);
  SearchScratch scratch;
  scratch.windows.levels = {cells};
  const TestSearch search(prepared, params, transforms, mask, KernelForm::Ratio);
  const float value = evaluate_windows(0, 0, search.context(), scratch);
  ASSERT_EQ(scratch.records.size(), 2u);
  EXPECT_EQ(scratch.records[0].weighted_cost, 0.5f);
  EXPECT_EQ(scratch.records[1].weighted_cost, 0.5f + 0.25f);
  EXPECT_EQ(scratch.records[1].distance_cost, 2.0f);
  const double expected = (std::exp(-0.5) + std::exp(-0.75)) / (std::exp(-1.0) + std::exp(-2.0));
  EXPECT_NEAR(value, expected, 1e-6);
}

// Distance weights looked up by whole units equal the evaluated ones bit for
// bit, in both kernels, for distances inside the table and past its end (and
// records whose units are not known).
TEST(DistanceDecay, LookedUpWeightsEqualEvaluatedOnes) {
  const std::vector<float> lambdas = {2.0f, 20.0f, 200.0f, 0.3f};
  std::vector<Similarity> sims(3, Similarity{1, 0.7f});
  for (const KernelForm form : {KernelForm::Ratio, KernelForm::Olvi}) {
    const bool olvi = form == KernelForm::Olvi;
    const DistanceDecay decay(lambdas, form);
    std::vector<DestinationRecord> records;
    for (std::uint64_t units : {0ull, 1ull, 7ull, 523ull, 4999ull, 8191ull, 8192ull, 100000ull}) {
      DestinationRecord r = record(static_cast<float>(units) / 130.0f, static_cast<float>(units) / 100.0f, 0.6f, 0.9f,
                                   1.5f, olvi ? sims.data() : nullptr, olvi ? 3u : 0u);
      r.distance_units = units;
      records.push_back(r);
    }
    records.push_back(record(0.2f, 0.31f, 1.0f, 1.0f, 1.0f, olvi ? sims.data() : nullptr, olvi ? 3u : 0u));
    std::vector<float> acc;
    const float looked_up = focal_value(records, lambdas, form, acc, decay);
    const float evaluated = focal_value(records, lambdas, form, acc, kEvaluated);
    EXPECT_EQ(looked_up, evaluated) << (olvi ? "OLVI" : "ratio");
    EXPECT_GT(evaluated, 0.0f);
  }
}

// focal_value takes the ratios of up to eight bandwidths in one pass over the
// records; each value must still be, bit for bit, the mean of the bandwidths'
// own ratios taken one at a time (nine take them one at a time).
TEST(Kernels, FusedBandwidthsEqualOneByOne) {
  std::mt19937 rng(17);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f), cost(0.0f, 40.0f);
  for (const std::size_t bandwidths : {1u, 3u, 8u, 9u}) {
    std::vector<float> lambdas;
    for (std::size_t l = 0; l < bandwidths; ++l) lambdas.push_back(0.5f + 7.0f * unit(rng));
    const DistanceDecay decay(lambdas, KernelForm::Ratio);
    for (int trial = 0; trial < 20; ++trial) {
      std::vector<DestinationRecord> records;
      for (std::size_t k = 0; k < 400; ++k) {
        DestinationRecord r = record(cost(rng), cost(rng), unit(rng), unit(rng), unit(rng) < 0.1f ? 0.0f : unit(rng));
        r.distance_units = static_cast<std::uint64_t>(r.distance_cost * 100.0f);
        records.push_back(r);
      }
      for (const DistanceDecay* table : {&kEvaluated, &decay}) {
        float expected = -0.0f;
        for (std::size_t l = 0; l < lambdas.size(); ++l) {
          expected += connectivity_ratio(records, lambdas[l], table->for_bandwidth(l));
        }
        expected /= static_cast<float>(lambdas.size());
        std::vector<float> acc;
        ASSERT_EQ(focal_value(records, lambdas, KernelForm::Ratio, acc, *table), expected)
            << bandwidths << " bandwidths";
      }
    }
  }
}

}  // namespace
}  // namespace velkan
