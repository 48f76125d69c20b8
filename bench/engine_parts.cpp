// Timings of the engine's preparation parts. Prints one table; never run as a test.
//
// Each measurement is one function returning its best wall time over a few
// repetitions, so further parts (window gathering, ...) slot in as new rows.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/affine.h"
#include "common/raster.h"
#include "common/worker_pool.h"
#include "overview/overview.h"

namespace {

using velkan::Affine;
using velkan::Raster;
using velkan::ResampleMode;
using velkan::WorkerPool;

constexpr std::size_t kRasterSide = 4000;
constexpr int kRepetitions = 5;
constexpr unsigned kSeed = 12345;
constexpr double kNoDataShare = 0.05;
const std::vector<std::uint64_t> kPyramidLevels = {1, 2, 4, 8};
const std::vector<std::size_t> kWorkerCounts = {1, 2};

Raster<float> random_raster(std::size_t rows, std::size_t cols) {
  std::mt19937 rng(kSeed);
  std::uniform_real_distribution<float> value(0.0f, 1.0f);
  std::bernoulli_distribution no_data(kNoDataShare);
  Raster<float> raster(rows, cols, 0.0f);
  for (std::size_t i = 0; i < raster.size(); ++i) {
    raster.data()[i] = no_data(rng) ? std::numeric_limits<float>::quiet_NaN() : value(rng);
  }
  return raster;
}

// Best of kRepetitions, in milliseconds.
double best_ms(const std::function<void()>& run) {
  double best = 1e300;
  for (int i = 0; i < kRepetitions; ++i) {
    const auto start = std::chrono::steady_clock::now();
    run();
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
    best = std::min(best, elapsed.count());
  }
  return best;
}

// Condition (Average) plus weights pyramid, as the preparation builds them.
double time_condition_and_weights(const Raster<float>& condition, ResampleMode weights_mode, std::size_t workers) {
  WorkerPool pool(workers);
  const Affine transform{0.001, 0.0, 10.0, 0.0, -0.001, 62.0};
  return best_ms([&] {
    const auto cond = velkan::build_level_overviews(condition, kPyramidLevels, 0, 0, ResampleMode::Average,
                                                    nullptr, pool);
    const auto weights =
        velkan::build_level_overviews(condition, kPyramidLevels, 0, 0, weights_mode, &transform, pool);
    if (cond.size() != weights.size()) std::abort();
  });
}

void print_row(const std::string& part, std::size_t workers, double ms) {
  std::printf("%-44s %8zu %12.1f\n", part.c_str(), workers, ms);
}

}  // namespace

int main() {
  const Raster<float> condition = random_raster(kRasterSide, kRasterSide);
  std::printf("raster %zu x %zu, levels [1, 2, 4, 8], best of %d\n\n", kRasterSide, kRasterSide, kRepetitions);
  std::printf("%-44s %8s %12s\n", "part", "workers", "ms");
  for (std::size_t workers : kWorkerCounts) {
    print_row("condition + weights pyramids (ValidCount)", workers,
              time_condition_and_weights(condition, ResampleMode::ValidCount, workers));
    print_row("condition + weights pyramids (Area)", workers,
              time_condition_and_weights(condition, ResampleMode::Area, workers));
  }
  return 0;
}
