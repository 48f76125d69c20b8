// One focal cell's time split into its parts, the weighted and the distance
// search alone, and the allocations of steady state, on a landscape that
// bench/connectivity.py writes (--engine-folders keeps its folders).
// Never run as a test: it prints "key value" lines for that script to read.
//
//   bench_focal_cell FOLDER
//
// FOLDER holds config.txt ("key value..." lines: rows, cols, levels, lambdas,
// max_cost, window_size, outer_window, window_mode, is_geo, pa_to_pa, one
// "transform LEVEL a b c d e f" line per level, transition_bands B1 B2 ...,
// passes, search_repeats), condition.f32 (rows x cols float32), mask.u8
// (rows x cols bytes, 1 = not a focal source) and transition_<i>.f32
// (rows x cols x B_i float32) for each transition grid.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "builder/step_lengths.h"
#include "common/raster.h"
#include "common/worker_pool.h"
#include "core/prepare.h"
#include "core/search.h"
#include "graph/least_cost.h"
#include "model/engine_inputs.h"
#include "model/kernel_form.h"
#include "window/window.h"

// Every operator new of the program is counted, so a stretch of focal cells can
// show how many allocations it made. The array and nothrow forms forward to
// these in the standard library.
namespace {
std::atomic<std::uint64_t> allocation_count{0};
}  // namespace

void* operator new(std::size_t size) {
  allocation_count.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void* operator new(std::size_t size, std::align_val_t align) {
  allocation_count.fetch_add(1, std::memory_order_relaxed);
  const auto alignment = static_cast<std::size_t>(align);
  const std::size_t rounded = (std::max<std::size_t>(size, 1) + alignment - 1) / alignment * alignment;
  if (void* p = std::aligned_alloc(alignment, rounded)) return p;
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

using velkan::Raster;
using Clock = std::chrono::steady_clock;
using Config = std::map<std::string, std::vector<std::string>>;

Config read_config(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  Config config;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string key, word;
    if (!(words >> key)) continue;
    if (key == "transform" && words >> word) key.append(" ").append(word);  // one key per level
    std::vector<std::string>& values = config[key];
    while (words >> word) values.push_back(word);
  }
  return config;
}

const std::vector<std::string>& values_of(const Config& config, const std::string& key) {
  const auto found = config.find(key);
  if (found == config.end()) throw std::runtime_error("config has no " + key);
  return found->second;
}

double number(const Config& config, const std::string& key) { return std::stod(values_of(config, key).at(0)); }

template <class T>
Raster<T> read_raster(const std::string& path, std::size_t rows, std::size_t cols, std::size_t bands) {
  Raster<T> raster(rows, cols, bands, T{});
  std::FILE* file = std::fopen(path.c_str(), "rb");
  const bool complete = file != nullptr && std::fread(raster.data(), sizeof(T), raster.size(), file) == raster.size();
  if (file != nullptr) std::fclose(file);
  if (!complete) throw std::runtime_error("cannot read " + path);
  return raster;
}

velkan::EngineInputs read_inputs(const std::string& folder, const Config& config) {
  const auto rows = static_cast<std::size_t>(number(config, "rows"));
  const auto cols = static_cast<std::size_t>(number(config, "cols"));
  velkan::EngineInputs inputs;
  inputs.condition = read_raster<float>(folder + "/condition.f32", rows, cols, 1);
  inputs.mask = read_raster<std::uint8_t>(folder + "/mask.u8", rows, cols, 1);
  const auto& bands = values_of(config, "transition_bands");
  if (!bands.empty()) {
    inputs.transition_grids.emplace();
    for (std::size_t g = 0; g < bands.size(); ++g)
      inputs.transition_grids->push_back(
          read_raster<float>(folder + "/transition_" + std::to_string(g) + ".f32", rows, cols, std::stoul(bands[g])));
  }
  for (const std::string& level : values_of(config, "levels")) {
    inputs.levels.push_back(std::stoull(level));
    const auto& c = values_of(config, "transform " + level);
    inputs.transforms[std::stoi(level)] = velkan::Affine{std::stod(c.at(0)), std::stod(c.at(1)), std::stod(c.at(2)),
                                                         std::stod(c.at(3)), std::stod(c.at(4)), std::stod(c.at(5))};
  }
  velkan::ConnectivityParams& p = inputs.params;
  for (const std::string& lambda : values_of(config, "lambdas")) p.lambdas.push_back(std::stof(lambda));
  p.max_cost = static_cast<float>(number(config, "max_cost"));
  p.window_size = static_cast<std::int32_t>(number(config, "window_size"));
  p.outer_window = static_cast<std::int32_t>(number(config, "outer_window"));
  p.window_mode =
      values_of(config, "window_mode").at(0) == "square" ? velkan::WindowMode::Square : velkan::WindowMode::Circular;
  p.is_geo = number(config, "is_geo") != 0;
  p.pa_to_pa = number(config, "pa_to_pa") != 0;
  return inputs;
}

struct FocalCell {
  std::int32_t row, col;
};

std::vector<FocalCell> focal_cells(const Raster<std::uint8_t>& mask) {
  std::vector<FocalCell> cells;
  for (std::size_t r = 0; r < mask.rows(); ++r)
    for (std::size_t c = 0; c < mask.cols(); ++c)
      if (mask(r, c) == 0) cells.push_back({static_cast<std::int32_t>(r), static_cast<std::int32_t>(c)});
  return cells;
}

double microseconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::micro>(to - from).count();
}

// The engine's per-focal-cell steps, one by one, as search_focal_cell runs them.
void gather(const FocalCell& f, const velkan::SearchContext& ctx, velkan::SearchScratch& s) {
  velkan::gather_focal_windows(f.row, f.col, ctx.tables.windows, s.windows);
}
void build_graph(const FocalCell& f, const velkan::SearchContext& ctx, velkan::SearchScratch& s) {
  velkan::make_graph(f.row, f.col, ctx, s);
}
// The two searches of run_searches, apart: the distance totals come from the
// graph's template where it had one.
void timed_weighted_search(velkan::SearchScratch& s) { velkan::weighted_search(s); }
void timed_distance_search(velkan::SearchScratch& s) { velkan::distance_totals(s); }
float kernels(const velkan::SearchContext& ctx, velkan::SearchScratch& s) {
  velkan::collect_records(s.graph, s);
  return velkan::focal_value(s.records, ctx.params.lambdas, ctx.form, s.acc, ctx.tables.decay);
}

// Microseconds per focal cell of each part, from the pass with the least total.
struct Split {
  double gather = 0, graph = 0, weighted = 0, distance = 0, kernels = 0;
  double nodes = 0, edges = 0, settled = 0;  // per focal cell, mean
  double searches() const { return weighted + distance; }
  double total() const { return gather + graph + searches() + kernels; }
};

Split time_split(const std::vector<FocalCell>& cells, const velkan::SearchContext& ctx, velkan::SearchScratch& s,
                 int passes) {
  const double n = static_cast<double>(cells.size());
  Split best;
  for (int pass = 0; pass < passes; ++pass) {
    Split sum;
    volatile float sink = 0;
    for (const FocalCell& f : cells) {
      const auto t0 = Clock::now();
      gather(f, ctx, s);
      const auto t1 = Clock::now();
      build_graph(f, ctx, s);
      const auto t2 = Clock::now();
      timed_weighted_search(s);
      const auto t3 = Clock::now();
      timed_distance_search(s);
      const auto t4 = Clock::now();
      sink = kernels(ctx, s);
      const auto t5 = Clock::now();
      sum.gather += microseconds(t0, t1);
      sum.graph += microseconds(t1, t2);
      sum.weighted += microseconds(t2, t3);
      sum.distance += microseconds(t3, t4);
      sum.kernels += microseconds(t4, t5);
      sum.nodes += static_cast<double>(s.graph.node_count());
      sum.edges += static_cast<double>(s.graph.edge_total());
      sum.settled += static_cast<double>(s.weighted.settled.size());
    }
    (void)sink;
    const Split per_cell{sum.gather / n,  sum.graph / n, sum.weighted / n, sum.distance / n,
                         sum.kernels / n, sum.nodes / n, sum.edges / n,    sum.settled / n};
    if (pass == 0 || per_cell.total() < best.total()) best = per_cell;
  }
  return best;
}

// The searches alone: each focal cell's graph is built once, untimed, then
// searched `repeats` times in a row by weight, then `repeats` times by
// distance. Microseconds per focal cell of each, from the pass with the least sum.
struct SearchesAlone {
  double weighted = 0, distance = 0;
  double total() const { return weighted + distance; }
};

SearchesAlone time_searches_alone(const std::vector<FocalCell>& cells, const velkan::SearchContext& ctx,
                                  velkan::SearchScratch& s, int passes, int repeats) {
  const double n = static_cast<double>(cells.size()) * repeats;
  SearchesAlone best;
  for (int pass = 0; pass < passes; ++pass) {
    SearchesAlone sum;
    for (const FocalCell& f : cells) {
      gather(f, ctx, s);
      build_graph(f, ctx, s);
      const auto t0 = Clock::now();
      for (int k = 0; k < repeats; ++k) timed_weighted_search(s);
      const auto t1 = Clock::now();
      for (int k = 0; k < repeats; ++k) timed_distance_search(s);
      const auto t2 = Clock::now();
      sum.weighted += microseconds(t0, t1);
      sum.distance += microseconds(t1, t2);
    }
    const SearchesAlone per_cell{sum.weighted / n, sum.distance / n};
    if (pass == 0 || per_cell.total() < best.total()) best = per_cell;
  }
  return best;
}

struct AllocationCount {
  std::size_t warm_cells = 0, counted_cells = 0;
  std::uint64_t allocations = 0;
  std::uint32_t value_hash = 2166136261u;  // FNV-1a over the bits of every focal value, row-major
};

// Folds one row's focal values into the hash, so a change meant to keep
// results bit for bit can be checked from the command line.
void hash_values(const std::vector<float>& values, const std::vector<FocalCell>& cells, std::int32_t row,
                 std::uint32_t& hash) {
  for (const FocalCell& f : cells) {
    if (f.row != row) continue;
    std::uint32_t bits = 0;
    std::memcpy(&bits, &values[static_cast<std::size_t>(f.col)], sizeof bits);
    hash = (hash ^ bits) * 16777619u;
  }
}

// Runs the engine's own row loop over the first half of the focal rows to warm
// a fresh scratch up, then counts the allocations of the second half.
AllocationCount count_steady_allocations(const std::vector<FocalCell>& cells, const velkan::SearchContext& ctx,
                                         std::size_t cols, velkan::SearchScratch& scratch) {
  std::vector<std::int32_t> rows;
  for (const FocalCell& f : cells)
    if (rows.empty() || rows.back() != f.row) rows.push_back(f.row);
  const std::size_t warm_rows = rows.size() / 2;
  std::vector<float> out(cols);
  AllocationCount count;
  std::uint64_t before = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i == warm_rows) before = allocation_count.load();
    velkan::search_row(rows[i], 0, cols, ctx, out.data(), scratch);
    hash_values(out, cells, rows[i], count.value_hash);
  }
  count.allocations = allocation_count.load() - before;
  for (const FocalCell& f : cells) (f.row < rows[warm_rows] ? count.warm_cells : count.counted_cells) += 1;
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER (written by bench/connectivity.py)\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const Config config = read_config(folder + "/config.txt");
  const velkan::EngineInputs inputs = read_inputs(folder, config);
  velkan::WorkerPool pool(1);
  const velkan::PreparedEngine prepared = velkan::prepare_engine(inputs, pool);
  const velkan::KernelForm form = velkan::kernel_form(inputs);
  // The per-call tables the engine's entry builds before its row loop.
  const velkan::CallTables tables = velkan::make_call_tables(inputs, prepared, form);
  const velkan::SearchContext ctx{prepared, inputs.params, inputs.transforms, inputs.mask, form, tables};
  const std::vector<FocalCell> cells = focal_cells(inputs.mask);
  if (cells.empty()) throw std::runtime_error("the mask leaves no focal cell");
  const int passes = static_cast<int>(number(config, "passes"));

  velkan::SearchScratch scratch;  // fresh here; the allocation count's pass warms it up for the timings
  const AllocationCount allocations = count_steady_allocations(cells, ctx, inputs.mask.cols(), scratch);
  const velkan::GraphPaths paths = scratch.paths;  // one pass of the engine's row loop over every focal cell
  const Split split = time_split(cells, ctx, scratch, passes);
  const SearchesAlone alone =
      time_searches_alone(cells, ctx, scratch, passes, static_cast<int>(number(config, "search_repeats")));

  std::printf("focal_cells %zu\n", cells.size());
  std::printf("gather_us %.3f\ngraph_us %.3f\nweighted_us %.3f\ndistance_us %.3f\nsearches_us %.3f\n", split.gather,
              split.graph, split.weighted, split.distance, split.searches());
  std::printf("kernels_us %.3f\ntotal_us %.3f\n", split.kernels, split.total());
  std::printf("weighted_alone_us %.3f\ndistance_alone_us %.3f\nsearches_alone_us %.3f\n", alone.weighted,
              alone.distance, alone.total());
  std::printf("graph_nodes %.1f\ngraph_edges %.1f\nsettled_nodes %.1f\n", split.nodes, split.edges, split.settled);
  std::printf("warm_cells %zu\ncounted_cells %zu\nallocations %llu\n", allocations.warm_cells,
              allocations.counted_cells, static_cast<unsigned long long>(allocations.allocations));
  std::printf("value_hash %u\n", static_cast<unsigned>(allocations.value_hash));
  std::printf("call_table_bytes %zu\ncells %zu\n", velkan::memory_bytes(tables), inputs.mask.size());
  std::printf("template_bytes %zu\n", scratch.templates.memory_bytes());
  std::printf("paths_whole %llu\npaths_repaired %llu\npaths_searched %llu\npaths_built %llu\n",
              static_cast<unsigned long long>(paths.whole), static_cast<unsigned long long>(paths.repaired),
              static_cast<unsigned long long>(paths.searched), static_cast<unsigned long long>(paths.built));
  return 0;
}
