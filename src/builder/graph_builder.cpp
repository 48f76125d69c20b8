#include "builder/graph_builder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

#include "common/errors.h"
#include "common/loop_builds.h"
#include "graph/distance.h"
#include "model/pyramids.h"

namespace velkan {
namespace {

constexpr int kNeighbours = 8;
constexpr int kMaxCoarseCandidates = 4;

// State shared by the edge-making helpers of one build. Edges are written
// through a cursor into the edge array, sized to its bound at the start and
// trimmed to the edges made at the end.
struct Builder {
  const ConnectivityParams& params;
  SearchGraph& g;
  PlanarLengths& planar;
  GraphEdge* first = nullptr;  // the edge array's start
  GraphEdge* next = nullptr;   // where the next edge goes
  // The widest steps so far, kept here rather than in the graph so that edge
  // stores cannot alias them.
  std::uint32_t max_distance_units = 0, max_weighted_units = 0;

  void start() {
    // At most 8 same-level edges, 4 links to the coarser level and the
    // pseudo-node's edge, and one slot for an edge written but not kept.
    g.edges.resize(g.node_count() * 12 + 2);
    first = next = g.edges.data();
  }
  std::size_t size() const { return static_cast<std::size_t>(next - first); }
  void clear() { next = first; }
  void finish() {
    g.edges.resize(size());
    g.max_distance_units = max_distance_units;
    g.max_weighted_units = max_weighted_units;
  }

  // An edge into `target` of length_km, whose own cost units are known; it is
  // written in any case and kept only when `keep` holds, which costs less than
  // a branch that mispredicts on window borders and missing cells.
  [[gnu::always_inline]] void add_edge_if(bool keep, std::size_t target, float length_km, std::uint32_t length_units) {
    const float weighted = g.path_weight[target] * length_km;
    const std::uint32_t weighted_units = cost_units(weighted);
    *next = GraphEdge{static_cast<std::uint32_t>(target), weighted_units, length_units, weighted};
    next += keep ? 1 : 0;
    max_distance_units = keep ? std::max(max_distance_units, length_units) : max_distance_units;
    max_weighted_units = keep ? std::max(max_weighted_units, weighted_units) : max_weighted_units;
  }

  // The same for an edge whose weighted cost is known too.
  [[gnu::always_inline]] void add_known_edge_if(bool keep, std::size_t target, WeightedStep weighted,
                                                std::uint32_t length_units) {
    *next = GraphEdge{static_cast<std::uint32_t>(target), weighted.units, length_units, weighted.cost};
    next += keep ? 1 : 0;
    max_distance_units = keep ? std::max(max_distance_units, length_units) : max_distance_units;
    max_weighted_units = keep ? std::max(max_weighted_units, weighted.units) : max_weighted_units;
  }

  void add_measured_edge(std::size_t target, const EdgeLength& length) {
    add_edge_if(true, target, length.km, length.units);
  }
  void add_measured_edge(std::size_t target, double metres) { add_measured_edge(target, edge_length(metres)); }
};

// Every value sequence must cover the cell list: the builder reads them all.
void check_level_sequences(const LevelCells& cells) {
  const std::size_t n = cells.size();
  const bool short_values = cells.cols.size() < n || cells.condition.size() < n || cells.weight.size() < n ||
                            cells.protected_fraction.size() < n ||
                            (cells.has_traversal && cells.traversal.size() < n) ||
                            cells.similarity.size() < cells.grid_count * cells.size();
  if (short_values) throw InternalError("Level cells sequences are shorter than the cell list.");
}

// Nodes [node, node + count) take the values of cells [cell, cell + count),
// array by array.
void copy_cells(SearchGraph& g, std::size_t node, const LevelCells& cells, std::size_t cell, std::size_t count,
                float one_minus_max_cost, float max_cost) {
  const auto from = [cell](const auto& values) { return values.begin() + static_cast<std::ptrdiff_t>(cell); };
  const auto to = [node](auto& values) { return values.begin() + static_cast<std::ptrdiff_t>(node); };
  std::copy_n(from(cells.condition), count, to(g.condition));
  std::copy_n(from(cells.protected_fraction), count, to(g.protected_fraction));
  std::copy_n(from(cells.weight), count, to(g.weight));
  std::copy_n(from(cells.has_traversal ? cells.traversal : cells.condition), count, to(g.traversal));
  for (std::size_t k = node; k < node + count; ++k) {
    const float w = g.traversal[k] * one_minus_max_cost;
    g.path_weight[k] = w + max_cost;
  }
  std::fill_n(to(g.grid_count), count, static_cast<std::uint32_t>(cells.grid_count));
  std::fill_n(to(g.similarity_stride), count, static_cast<std::uint32_t>(cells.size()));
  for (std::size_t k = 0; k < count; ++k) {
    g.similarity[node + k] = cells.grid_count > 0 ? &cells.similarity[cell + k] : nullptr;
  }
}

void reset_nodes(const FocalWindows& windows, float one_minus_max_cost, float max_cost, SearchGraph& g) {
  std::size_t total = 0;
  g.level_base.clear();
  for (const LevelCells& cells : windows.levels) {
    g.level_base.push_back(total);
    total += cells.size();
  }
  const std::size_t nodes = total + 1;  // + pseudo-node
  // Every node but the pseudo-node is copied from its cell below, so sizing
  // suffices; the pseudo-node starts empty.
  for (auto* values : {&g.condition, &g.protected_fraction, &g.weight, &g.traversal, &g.path_weight}) {
    values->resize(nodes);
    values->back() = 0.0f;
  }
  for (auto* values : {&g.similarity_stride, &g.grid_count}) {
    values->resize(nodes);
    values->back() = 0;
  }
  g.similarity.resize(nodes);
  g.similarity.back() = nullptr;
  g.edge_begin.assign(nodes, 0);
  g.edge_count.assign(nodes, 0);
  g.source = kNoNode;
  g.shared_edges = {};
  g.blocked.clear();
  for (std::size_t li = 0; li < windows.levels.size(); ++li) {
    const LevelCells& cells = windows.levels[li];
    check_level_sequences(cells);
    copy_cells(g, g.level_base[li], cells, 0, cells.size(), one_minus_max_cost, max_cost);
  }
}

const Affine& find_transform(const TransformMap& transforms, std::int64_t level) {
  const auto it = transforms.find(static_cast<std::int32_t>(level));
  if (level > INT32_MAX || it == transforms.end()) throw InternalError("Missing level in Affine set.");
  return it->second;
}

std::int32_t find_level_index(const FocalWindows& windows, std::int64_t level) {
  for (std::size_t li = 0; li < windows.levels.size(); ++li) {
    if (windows.levels[li].level == level) return static_cast<std::int32_t>(li);
  }
  return -1;
}

// Fine-to-coarse links of fine cell (i, j) to the coarse cells covering it and
// its neighbours; their lengths come from `steps` where it holds them. A
// cell's 3 x 3 neighbourhood always spans two coarse rows and two coarse
// columns: its own and the one its other side leans into. The links are made
// in the order the cell, its row neighbours, its column neighbours and then
// its diagonal ones first reach them: own cell, other row, other column, both.
void link_to_coarser(Builder& b, const CoarseLinkAxis& rows, const CoarseLinkAxis& cols, std::int32_t i, std::int32_t j,
                     const Affine& fine_t, const Affine& coarse_t, const NodeMapping* next, std::size_t next_base,
                     const LevelSteps* steps) {
  if (next == nullptr) return;
  const Point p1 = cell_centre(fine_t, i, j);
  const int dr = rows.other_step(i), dc = cols.other_step(j);
  const int cand[kMaxCoarseCandidates][2] = {{0, 0}, {dr, 0}, {0, dc}, {dr, dc}};
  for (const auto& [sr, sc] : cand) {
    const std::int64_t r = rows.coarse_of(i, sr), c = cols.coarse_of(j, sc);
    const std::int32_t v = next->find(r, c);
    if (v == kNoCell) continue;
    const std::size_t target = next_base + static_cast<std::size_t>(v);
    const EdgeLength* known = steps == nullptr ? nullptr : steps->links.find(i, j, sr != 0, sc != 0);
    if (known != nullptr) {
      b.add_measured_edge(target, *known);
      continue;
    }
    const Point p2 = cell_centre(coarse_t, r, c);
    if (b.params.is_geo) {
      b.add_measured_edge(target, cell_distance_m(p1, p2, true));
    } else {
      b.add_measured_edge(target, b.planar.length(p2.x - p1.x, p2.y - p1.y));  // km and units remembered too
    }
  }
}

// The costs of entering nodes [0, count) by a step of `length`, in every LoopBuild.
[[gnu::always_inline]] inline void entering_loop(const float* path_weight, std::size_t count, float length,
                                                 WeightedStep* out) {
  for (std::size_t k = 0; k < count; ++k) {
    const float cost = path_weight[k] * length;
    out[k].cost = cost;
    out[k].units = cost_units_lanes(cost);
  }
}
void entering_portable(const float* path_weight, std::size_t count, float length, WeightedStep* out) {
  entering_loop(path_weight, count, length, out);
}
VELKAN_AVX2_BUILD void entering_avx2(const float* path_weight, std::size_t count, float length, WeightedStep* out) {
  entering_loop(path_weight, count, length, out);
}

void clear_edges(Builder& b) {
  b.clear();
  b.g.edge_count.assign(b.g.edge_count.size(), 0);
}

}  // namespace

void EnteringCosts::build(const StepRow& steps, const float* path_weight, std::size_t node_count) {
  std::array<float, 8> lengths{};
  std::size_t count = 0;
  for (std::size_t s = 0; s < steps.size(); ++s) {
    std::size_t l = 0;
    while (l < count && std::bit_cast<std::uint32_t>(lengths[l]) != std::bit_cast<std::uint32_t>(steps[s].km)) ++l;
    if (l == count) lengths[count++] = steps[s].km;
    length_of_step[s] = static_cast<std::uint8_t>(l);
  }
  nodes = node_count;
  costs.resize(count * node_count);
  const auto entering = loop_build() == LoopBuild::Avx2 ? entering_avx2 : entering_portable;
  for (std::size_t l = 0; l < count; ++l) entering(path_weight, node_count, lengths[l], costs.data() + l * node_count);
}

namespace {

// One level's pass over its cells, with the mappings it reads.
struct LevelPass {
  const LevelCells& cells;
  std::size_t base;
  const Affine& transform;
  const NodeMapping& current;
  const NodeMapping* next;  // mapping of 2L, when built
  std::size_t next_base;
  bool links;               // level below the coarsest
  const LevelSteps* steps;  // same-level lengths known up front, or nullptr
  // Entering costs of the level's nodes by step, when its steps do not depend on the row.
  std::array<const WeightedStep*, kNeighbours> entering;
};

// Same-level edges whose lengths are known up front. The mapping's empty
// border gives every mapped cell all eight neighbour slots. The weighted costs
// come from the level's entering costs when the pass has them, and are
// computed otherwise.
template <bool entering>
void known_same_level_edges(Builder& b, const LevelPass& pass, std::int32_t position, const StepRow& steps) {
  const NodeMapping& m = pass.current;
  // Locals: the edge stores could alias the mapping's integer fields.
  const std::int64_t cols = m.cols;
  const std::int32_t* const centre = m.slots.data() + position;
  const std::size_t base = pass.base;
#pragma GCC unroll 8
  for (int s = 0; s < kNeighbours; ++s) {
    const std::int32_t vk = centre[kSameLevelSteps[s][0] * cols + kSameLevelSteps[s][1]];
    const bool present = vk != kNoCell;
    const std::size_t k = static_cast<std::size_t>(present ? vk : 0);
    const StepLength& step = steps[static_cast<std::size_t>(s)];
    if (entering) {
      b.add_known_edge_if(present, base + k, pass.entering[static_cast<std::size_t>(s)][k], step.units);
    } else {
      b.add_edge_if(present, base + k, step.km, step.units);
    }
  }
}

// Cell (i, j) is at `position` of the current mapping's slots.
void same_level_edges(Builder& b, const LevelPass& pass, std::int32_t i, std::int32_t j, std::int32_t position) {
  const StepRow* known = pass.steps == nullptr ? nullptr : pass.steps->from_row(i);
  if (known != nullptr) {
    if (pass.steps->per_row) {
      known_same_level_edges<false>(b, pass, position, *known);
    } else {
      known_same_level_edges<true>(b, pass, position, *known);
    }
    return;
  }
  const Point p1 = cell_centre(pass.transform, i, j);
  for (int s = 0; s < kNeighbours; ++s) {
    const std::int64_t ni = std::int64_t{i} + kSameLevelSteps[s][0], nj = std::int64_t{j} + kSameLevelSteps[s][1];
    const std::int32_t vk = pass.current.find(ni, nj);
    if (vk == kNoCell) continue;
    b.add_measured_edge(pass.base + static_cast<std::size_t>(vk),
                        cell_distance_m(p1, cell_centre(pass.transform, ni, nj), b.params.is_geo));
  }
}

// An isolated focal cell still reaches its own habitat, one row step away
// (with pa_to_pa its own cell cannot count, so the graph is emptied instead).
void isolate_source(Builder& b, const LevelPass& pass, std::size_t uk, std::int32_t i, std::int32_t j) {
  SearchGraph& g = b.g;
  if (b.params.pa_to_pa) {
    clear_edges(b);
    return;
  }
  const std::size_t u = pass.base + uk, pseudo = g.node_count() - 1;
  copy_cells(g, pseudo, pass.cells, uk, 1, 1.0f - b.params.max_cost, b.params.max_cost);
  const Point p1 = cell_centre(pass.transform, i, j);
  const double metres = cell_distance_m(p1, cell_centre(pass.transform, std::int64_t{i} + 1, j), b.params.is_geo);
  b.add_measured_edge(pseudo, metres);
  g.edge_count[u] = static_cast<std::uint32_t>(b.size() - g.edge_begin[u]);
}

// Returns false when building stops at an isolated focal cell.
bool link_level(Builder& b, const LevelPass& pass, const TransformMap& transforms) {
  SearchGraph& g = b.g;
  const LevelCells& cells = pass.cells;
  const Affine* coarse_t = nullptr;  // looked up at the first link, which needs it even without 2L cells
  const CoarseLinkAxis coarse_rows(static_cast<std::int32_t>(b.params.row_offset), cells.level);
  const CoarseLinkAxis coarse_cols(static_cast<std::int32_t>(b.params.col_offset), cells.level);
  const NodeMapping& m = pass.current;
  // A mapping of these very cells knows where each lies.
  const bool mapped_here = m.level == cells.level && m.slot_of.size() == cells.size() && !m.empty();
  for (std::size_t k = 0; k < cells.size(); ++k) {
    const std::int32_t i = cells.rows[k], j = cells.cols[k];
    const std::int32_t position = mapped_here ? m.slot_of[k] : m.position(i, j);
    const std::int32_t uk = position < 0 ? kNoCell : m.slots[static_cast<std::size_t>(position)];
    if (uk == kNoCell) throw InternalError("Node not found in node mapping.");
    const std::size_t u = pass.base + static_cast<std::size_t>(uk);
    const std::size_t begin = b.size();
    same_level_edges(b, pass, i, j, position);
    g.edge_begin[u] = static_cast<std::uint32_t>(begin);
    if (static_cast<std::int32_t>(u) == g.source && b.size() == begin) {
      isolate_source(b, pass, static_cast<std::size_t>(uk), i, j);
      return false;
    }
    if (pass.links && cells.edge[k] != 0) {
      if (coarse_t == nullptr) coarse_t = &find_transform(transforms, std::int64_t{2} * cells.level);
      link_to_coarser(b, coarse_rows, coarse_cols, i, j, pass.transform, *coarse_t, pass.next, pass.next_base,
                      pass.steps);
    }
    g.edge_count[u] = static_cast<std::uint32_t>(b.size() - begin);
  }
  return true;
}

}  // namespace

void reset_node_values(const FocalWindows& windows, std::size_t nodes, std::span<const std::uint32_t> empty,
                       SearchGraph& g) {
  for (const LevelCells& cells : windows.levels) check_level_sequences(cells);
  const auto zero = [&empty, nodes](auto& values) {
    values.resize(nodes);
    for (const std::uint32_t v : empty) values[v] = {};
    values.back() = {};  // the pseudo-node
  };
  for (auto* values : {&g.condition, &g.protected_fraction, &g.weight, &g.traversal, &g.path_weight}) zero(*values);
  for (auto* values : {&g.similarity_stride, &g.grid_count}) zero(*values);
  zero(g.similarity);
  g.edge_begin.resize(nodes);
  g.edge_count.resize(nodes);
  g.source = kNoNode;
}

void copy_node_run(const LevelCells& cells, std::size_t cell, std::size_t count, const ConnectivityParams& params,
                   std::size_t node, SearchGraph& g) {
  copy_cells(g, node, cells, cell, count, 1.0f - params.max_cost, params.max_cost);
}

void build_search_graph(std::int32_t row, std::int32_t col, const FocalWindows& windows,
                        const ConnectivityParams& params, const TransformMap& transforms, GraphScratch& scratch,
                        SearchGraph& out, const StepLengths* lengths) {
  reset_nodes(windows, 1.0f - params.max_cost, params.max_cost, out);
  Builder b{params, out, scratch.planar};
  b.start();
  const std::int32_t coarsest = windows.levels.empty() ? kBaseLevel : windows.levels.back().level;
  const std::int32_t off_r = static_cast<std::int32_t>(params.row_offset);
  const std::int32_t off_c = static_cast<std::int32_t>(params.col_offset);
  scratch.current.clear();
  for (std::size_t li = 0; li < windows.levels.size(); ++li) {
    const LevelCells& cells = windows.levels[li];
    const std::int32_t level = cells.level;
    if (cells.edge.size() < cells.size()) throw InternalError("Level not found in edge indices.");
    const Affine& transform = find_transform(transforms, level);
    if (li == 0) {
      build_node_mapping(cells, level, off_r, off_c, scratch.current);
      const std::int32_t s = scratch.current.find(row, col);
      if (s != kNoCell) out.source = static_cast<std::int32_t>(out.level_base[0] + static_cast<std::size_t>(s));
    }
    const std::int32_t next_index = level < coarsest ? find_level_index(windows, std::int64_t{2} * level) : -1;
    scratch.next.clear();
    if (next_index >= 0) {
      build_node_mapping(windows.levels[static_cast<std::size_t>(next_index)], 2 * level, off_r, off_c, scratch.next);
    }
    const LevelSteps* steps = lengths == nullptr ? nullptr : lengths->for_level(level);
    std::array<const WeightedStep*, kNeighbours> entering{};
    if (steps != nullptr && !steps->per_row) {
      scratch.entering.build(steps->rows[0], out.path_weight.data() + out.level_base[li], cells.size());
      for (int s = 0; s < kNeighbours; ++s) entering[static_cast<std::size_t>(s)] = scratch.entering.for_step(s);
    }
    const LevelPass pass{cells,
                         out.level_base[li],
                         transform,
                         scratch.current,
                         next_index >= 0 ? &scratch.next : nullptr,
                         next_index >= 0 ? out.level_base[static_cast<std::size_t>(next_index)] : 0,
                         level < coarsest,
                         steps,
                         entering};
    if (!link_level(b, pass, transforms)) break;
    // The 2L mapping becomes the current one; without it the next level finds none.
    std::swap(scratch.current, scratch.next);
  }
  b.finish();
}

}  // namespace velkan
