// Timings of engine parts: preparation, window gathering, the search's priority queue.
// Never run as a test. The per-focal-cell split lives in focal_cell.cpp, which
// bench/connectivity.py drives on its own landscape.
//
// Each measurement is one function returning its best wall time over a few
// repetitions, so further parts slot in as new rows.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <queue>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/affine.h"
#include "common/raster.h"
#include "common/worker_pool.h"
#include "core/search.h"
#include "graph/search_loop.h"
#include "model/pyramids.h"
#include "overview/overview.h"
#include "window/window.h"

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
    const auto cond =
        velkan::build_level_overviews(condition, kPyramidLevels, 0, 0, ResampleMode::Average, nullptr, pool);
    const auto weights = velkan::build_level_overviews(condition, kPyramidLevels, 0, 0, weights_mode, &transform, pool);
    if (cond.size() != weights.size()) std::abort();
  });
}

constexpr std::size_t kWindowRasterSide = 512;
constexpr std::size_t kWindowFocalRows = 64;  // focal rows per pass, from the raster's middle
const std::vector<std::uint64_t> kWindowLevels = {1, 2, 4, 8};

velkan::PreparedEngine window_landscape(const Raster<float>& condition) {
  WorkerPool pool(1);
  velkan::PreparedEngine prepared;
  prepared.condition =
      velkan::build_level_overviews(condition, kWindowLevels, 0, 0, ResampleMode::Average, nullptr, pool);
  prepared.weights =
      velkan::build_level_overviews(condition, kWindowLevels, 0, 0, ResampleMode::ValidCount, nullptr, pool);
  for (const auto& entry : prepared.condition) prepared.sorted_levels.push_back(entry.first);
  prepared.coarsest = prepared.sorted_levels.back();
  return prepared;
}

// Gathers every level for each focal cell of kWindowFocalRows middle rows
// (buffers reused across focal cells, as the row driver does); returns the
// best time per gathered cell in nanoseconds.
double time_window_gathering(const velkan::PreparedEngine& prepared, velkan::WindowMode mode,
                             std::size_t& cells_per_pass) {
  velkan::ConnectivityParams params;
  params.window_size = 3;
  params.outer_window = 11;
  params.window_mode = mode;
  velkan::FocalWindows windows;
  const auto first_row = static_cast<std::int32_t>((kWindowRasterSide - kWindowFocalRows) / 2);
  std::size_t gathered = 0;
  const velkan::WindowPlan plan = velkan::plan_windows(prepared, params);
  const double ms = best_ms([&] {
    gathered = 0;
    for (std::int32_t r = first_row; r < first_row + static_cast<std::int32_t>(kWindowFocalRows); ++r) {
      for (std::int32_t c = 0; c < static_cast<std::int32_t>(kWindowRasterSide); ++c) {
        velkan::gather_focal_windows(r, c, plan, windows);
        for (const auto& level : windows.levels) gathered += level.size();
      }
    }
  });
  cells_per_pass = gathered;
  return ms * 1e6 / static_cast<double>(gathered);
}

void print_window_table() {
  const velkan::PreparedEngine prepared = window_landscape(random_raster(kWindowRasterSide, kWindowRasterSide));
  std::printf(
      "\nwindow gathering: raster %zu x %zu, levels [1, 2, 4, 8], window 3, outer 11, %zu x %zu focal cells\n\n",
      kWindowRasterSide, kWindowRasterSide, kWindowFocalRows, kWindowRasterSide);
  std::printf("%-12s %16s %18s\n", "mode", "ns per cell", "cells per focal");
  for (auto [name, mode] :
       {std::pair{"circular", velkan::WindowMode::Circular}, std::pair{"square", velkan::WindowMode::Square}}) {
    std::size_t cells = 0;
    const double ns = time_window_gathering(prepared, mode, cells);
    std::printf("%-12s %16.2f %18.1f\n", name, ns,
                static_cast<double>(cells) / static_cast<double>(kWindowFocalRows * kWindowRasterSide));
  }
}

// The same search with a binary heap (std::priority_queue, lazy deletion), to
// show what the engine's queues buy. Returns the sum of totals so nothing is elided.
std::uint64_t binary_heap_search(const velkan::SearchGraph& g, std::int32_t start, std::vector<std::uint64_t>& total) {
  total.assign(g.node_count(), velkan::kUnreached);
  if (start < 0) return 0;
  using Entry = std::pair<std::uint64_t, std::uint32_t>;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> queue;
  total[static_cast<std::size_t>(start)] = 0;
  queue.push({0, static_cast<std::uint32_t>(start)});
  std::uint64_t sum = 0;
  while (!queue.empty()) {
    auto [cost, node] = queue.top();
    queue.pop();
    if (cost != total[node]) continue;
    sum += cost;
    for (std::uint32_t e = g.edge_begin[node]; e < g.edge_begin[node] + g.edge_count[node]; ++e) {
      const std::uint64_t next = cost + g.edges[e].weighted_units;
      if (next < total[g.edges[e].target]) {
        total[g.edges[e].target] = next;
        queue.push({next, g.edges[e].target});
      }
    }
  }
  return sum;
}

// Weighted search alone, graphs built once per focal cell and searched repeatedly.
void print_heap_comparison() {
  const velkan::PreparedEngine prepared = window_landscape(random_raster(kWindowRasterSide, kWindowRasterSide));
  velkan::TransformMap transforms;
  for (std::int32_t level : prepared.sorted_levels)
    transforms[level] = Affine{100.0 * level, 0, 0, 0, -100.0 * level, 0};
  velkan::ConnectivityParams params;
  params.window_size = 3;
  params.outer_window = 11;
  params.max_cost = 0.2f;
  const velkan::WindowPlan plan = velkan::plan_windows(prepared, params);
  velkan::SearchScratch scratch;
  velkan::RadixHeap heap;
  std::vector<std::uint64_t> totals;
  constexpr int kFocalCells = 2000, kRepeats = 10;
  double buckets_us = 0, radix_us = 0, binary_us = 0;
  std::uint64_t checksum = 0;
  using Clock = std::chrono::steady_clock;
  for (int i = 0; i < kFocalCells; ++i) {
    const std::int32_t r = 200 + i / 100, c = 100 + i % 100;
    velkan::gather_focal_windows(r, c, plan, scratch.windows);
    velkan::build_search_graph(r, c, scratch.windows, params, transforms, scratch.graph_scratch, scratch.graph);
    auto t0 = Clock::now();
    for (int k = 0; k < kRepeats; ++k)
      velkan::path_sum_search(scratch.graph, scratch.graph.source, velkan::CostKind::Weighted, scratch.buckets,
                              scratch.weighted);
    auto t1 = Clock::now();
    for (int k = 0; k < kRepeats; ++k)
      velkan::search_on_heap(scratch.graph, scratch.graph.source, velkan::CostKind::Weighted, heap, scratch.weighted,
                             velkan::NoEdgeObserver{});
    auto t2 = Clock::now();
    for (int k = 0; k < kRepeats; ++k) checksum += binary_heap_search(scratch.graph, scratch.graph.source, totals);
    auto t3 = Clock::now();
    buckets_us += std::chrono::duration<double, std::micro>(t1 - t0).count();
    radix_us += std::chrono::duration<double, std::micro>(t2 - t1).count();
    binary_us += std::chrono::duration<double, std::micro>(t3 - t2).count();
  }
  const double n = kFocalCells * kRepeats;
  std::printf("\nweighted search alone, circular, %d focal cells x %d repeats (checksum %llu)\n\n", kFocalCells,
              kRepeats, static_cast<unsigned long long>(checksum % 1000));
  std::printf("%-28s %12s\n", "priority queue", "us / search");
  std::printf("%-28s %12.2f\n", "bucket queue (engine)", buckets_us / n);
  std::printf("%-28s %12.2f\n", "radix heap (wide repairs)", radix_us / n);
  std::printf("%-28s %12.2f\n", "binary heap (lazy deletion)", binary_us / n);
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
  print_window_table();
  print_heap_comparison();
  return 0;
}
