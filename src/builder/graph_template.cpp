#include "builder/graph_template.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "common/grid_math.h"
#include "common/loop_builds.h"
#include "window/window.h"

namespace velkan {
namespace {

// Periods above this (levels without a small common multiple) take no templates.
constexpr std::int64_t kMostPeriod = 1024;
// Slots a worker's templates may take, whatever their bytes.
constexpr std::size_t kMostSlots = 512;

// The steps of a level that links to the coarser one, or nullptr.
const LevelSteps* linking_steps(const WindowPlan& plan, const StepLengths& lengths, std::size_t k) {
  const std::int32_t level = plan.levels[k].level;
  const bool links =
      k + 1 < plan.levels.size() &&
      std::any_of(plan.levels.begin() + static_cast<std::ptrdiff_t>(k) + 1, plan.levels.end(),
                  [level](const LevelPlan& p) { return std::int64_t{p.level} == 2 * std::int64_t{level}; });
  return links ? lengths.for_level(level) : nullptr;
}

// The global index of local base index `local` (row or column), from the
// low 32 bits of the raster's offset, as the windows take it.
std::int64_t global_index(std::int64_t local, std::uint64_t offset) {
  return local + static_cast<std::int64_t>(static_cast<std::int32_t>(static_cast<std::uint32_t>(offset)));
}

// The local level cell that holds local base index `base` (row or column).
std::int64_t level_cell(std::int64_t base, std::uint64_t offset, std::int32_t level) {
  return floor_div(global_index(base, offset), std::int64_t{level}) -
         floor_div(global_index(0, offset), std::int64_t{level});
}

// Whether `classes` (two entries a position) from position `first` on match
// `kept`, a template's copy; positions outside `classes` hold no cell.
bool classes_match(const std::vector<std::uint16_t>& classes, std::int64_t first,
                   const std::vector<std::uint16_t>& kept) {
  const auto positions = static_cast<std::int64_t>(classes.size() / 2);
  const auto count = static_cast<std::int64_t>(kept.size() / 2);
  const std::int64_t lo = std::max<std::int64_t>(0, -first), hi = std::min(count, positions - first);
  if (hi <= lo) return true;
  return std::memcmp(classes.data() + 2 * (first + lo), kept.data() + 2 * lo,
                     static_cast<std::size_t>(hi - lo) * 2 * sizeof(std::uint16_t)) == 0;
}

void copy_classes(const std::vector<std::uint16_t>& classes, std::int64_t first, std::int64_t count,
                  std::vector<std::uint16_t>& out) {
  out.assign(static_cast<std::size_t>(2 * count), 0);
  for (std::int64_t p = 0; p < count; ++p) {
    const std::int64_t at = first + p;
    if (at < 0 || 2 * at + 1 >= static_cast<std::int64_t>(classes.size())) continue;
    out[static_cast<std::size_t>(2 * p)] = classes[static_cast<std::size_t>(2 * at)];
    out[static_cast<std::size_t>(2 * p + 1)] = classes[static_cast<std::size_t>(2 * at + 1)];
  }
}

// The template's level k: its cells' box and slots, and its links' classes.
void describe_level(const LevelCells& cells, std::size_t k, const WindowPlan& plan, const StepLengths& lengths,
                    TemplateLevel& out) {
  out.level = cells.level;
  out.row0 = cells.box_row0;
  out.col0 = cells.box_col0;
  out.rows = cells.box_rows;
  out.cols = cells.box_cols;
  out.slots.assign(static_cast<std::size_t>(out.rows) * static_cast<std::size_t>(out.cols), -1);
  for (std::size_t c = 0; c < cells.size(); ++c) {
    const std::size_t at = static_cast<std::size_t>(cells.rows[c] - out.row0) * static_cast<std::size_t>(out.cols) +
                           static_cast<std::size_t>(cells.cols[c] - out.col0);
    out.slots[at] = static_cast<std::int32_t>(c);
  }
  const LevelSteps* steps = linking_steps(plan, lengths, k);
  out.row_classes.clear();
  out.col_classes.clear();
  if (steps != nullptr) {
    copy_classes(steps->links.row_class, out.row0, out.rows, out.row_classes);
    copy_classes(steps->links.col_class, out.col0, out.cols, out.col_classes);
  }
}

// Whether the links of a focal cell whose level cells lie (dr, dc) from the
// template's have the template's lengths.
bool links_match(const TemplateLevel& t, const LevelSteps* steps, std::int64_t dr, std::int64_t dc) {
  if (t.row_classes.empty() || steps == nullptr) return true;
  return (dr == 0 || classes_match(steps->links.row_class, t.row0 + dr, t.row_classes)) &&
         (dc == 0 || classes_match(steps->links.col_class, t.col0 + dc, t.col_classes));
}

// The nodes of the focal cell's windows in the template: false where a cell
// has no node there, its node's edge flag differs, or the order differs.
// Marks the present nodes, and notes the runs of cells that fill consecutive
// nodes.
bool map_nodes(const GraphTemplate& t, std::int32_t row, std::int32_t col, const FocalWindows& windows,
               const ConnectivityParams& params, const StepLengths& lengths, TemplateScratch& s) {
  if (windows.levels.size() != t.levels.size()) return false;
  s.present.assign(t.graph.node_count(), 0);
  s.runs.clear();
  s.present_count = 0;
  for (std::size_t k = 0; k < windows.levels.size(); ++k) {
    const LevelCells& c = windows.levels[k];
    const TemplateLevel& tl = t.levels[k];
    if (c.level != tl.level || c.edge.size() < c.size()) return false;
    const std::int64_t dr = level_cell(row, params.row_offset, c.level) - level_cell(t.row, params.row_offset, c.level);
    const std::int64_t dc = level_cell(col, params.col_offset, c.level) - level_cell(t.col, params.col_offset, c.level);
    if (!links_match(tl, lengths.for_level(c.level), dr, dc)) return false;
    const std::size_t base = t.graph.level_base[k];
    std::int32_t last = -1;
    for (std::size_t i = 0; i < c.size(); ++i) {
      const std::int64_t r = c.rows[i] - dr - tl.row0, q = c.cols[i] - dc - tl.col0;
      if (r < 0 || q < 0 || r >= tl.rows || q >= tl.cols) return false;
      const std::int32_t slot = tl.slots[static_cast<std::size_t>(r * tl.cols + q)];
      if (slot <= last) return false;  // no node, or out of order
      const std::size_t node = base + static_cast<std::size_t>(slot);
      if (t.edge_flag[node] != c.edge[i]) return false;
      s.present[node] = 1;
      if (slot == last + 1 && !s.runs.empty() && s.runs.back().level == k) {
        s.runs.back().count += 1;
      } else {
        s.runs.push_back(NodeRun{k, node, i, 1});
      }
      last = slot;
    }
    s.present_count += c.size();
  }
  return true;
}

// out[e] = values[index[e]], in every LoopBuild: AVX2's gathers pay for
// thousands of edges, though its generic tuning does not take them.
[[gnu::always_inline]] inline void gather_loop(const std::int32_t* __restrict index, std::size_t count,
                                               const float* __restrict values, float* __restrict out) {
  for (std::size_t e = 0; e < count; ++e) out[e] = values[index[e]];
}
void gather_portable(const std::int32_t* index, std::size_t count, const float* values, float* out) {
  gather_loop(index, count, values, out);
}
#if defined(__x86_64__)
[[gnu::target("avx2,tune=haswell")]]
#endif
void gather_avx2(const std::int32_t* index, std::size_t count, const float* values, float* out) {
  gather_loop(index, count, values, out);
}

// The weighted costs of entering nodes of `path_weight` by edges of `km`, in
// every LoopBuild: the roundings of thousands of edges vectorise. Returns the
// widest units, taken in a loop of their own, which vectorises too (one
// reduction in the first loop keeps it scalar).
[[gnu::always_inline]] inline std::uint32_t weighted_loop(const float* __restrict path_weight,
                                                          const float* __restrict km, std::size_t count,
                                                          float* __restrict cost, std::uint32_t* __restrict units) {
  for (std::size_t e = 0; e < count; ++e) {
    const float c = path_weight[e] * km[e];
    cost[e] = c;
    units[e] = cost_units_lanes(c);
  }
  std::uint32_t widest = 0;
  for (std::size_t e = 0; e < count; ++e) widest = units[e] > widest ? units[e] : widest;
  return widest;
}
std::uint32_t weighted_portable(const float* path_weight, const float* km, std::size_t count, float* cost,
                                std::uint32_t* units) {
  return weighted_loop(path_weight, km, count, cost, units);
}
VELKAN_AVX2_BUILD std::uint32_t weighted_avx2(const float* path_weight, const float* km, std::size_t count, float* cost,
                                              std::uint32_t* units) {
  return weighted_loop(path_weight, km, count, cost, units);
}

// Every template edge's weighted cost and units into the focal cell's path
// weights; returns the widest units (edges of blocked nodes included).
std::uint32_t weigh_edges(const GraphTemplate& t, TemplateScratch& s, SearchGraph& out) {
  const std::size_t edges = t.edge_target.size();
  s.edge_path_weight.resize(edges);
  out.shared_cost.resize(edges);
  out.shared_units.resize(edges);
  const bool avx2 = loop_build() == LoopBuild::Avx2;
  // Node numbers are far below 2^31: the gathers' signed indices read them alike.
  const auto* index = reinterpret_cast<const std::int32_t*>(t.edge_target.data());
  (avx2 ? gather_avx2 : gather_portable)(index, edges, out.path_weight.data(), s.edge_path_weight.data());
  return (avx2 ? weighted_avx2 : weighted_portable)(s.edge_path_weight.data(), t.edge_km.data(), edges,
                                                    out.shared_cost.data(), out.shared_units.data());
}

// The focal cell's graph shares the template's edges; its absent nodes are
// blocked. Returns false where the focal cell has no edge within its own level
// into a present node (an isolated focal cell, whose graph takes the
// pseudo-node instead).
bool share_edges(const GraphTemplate& t, TemplateScratch& s, SearchGraph& out) {
  const SearchGraph& tg = t.graph;
  out.shared_edges = std::span<const GraphEdge>(tg.edges.data(), tg.edges.size());
  out.shared_targets = t.edge_target.data();
  std::copy(tg.edge_begin.begin(), tg.edge_begin.end(), out.edge_begin.begin());
  std::copy(tg.edge_count.begin(), tg.edge_count.end(), out.edge_count.begin());
  out.blocked.assign(s.absent.begin(), s.absent.end());
  out.max_distance_units = tg.max_distance_units;
  out.max_weighted_units = weigh_edges(t, s, out);
  // The focal cell's own-level edges come first among its edges.
  const auto source = static_cast<std::size_t>(out.source);
  const std::size_t own_level_end = tg.level_base.size() > 1 ? tg.level_base[1] : tg.node_count() - 1;
  const GraphEdge* const first = tg.edges.data() + tg.edge_begin[source];
  for (const GraphEdge* e = first; e != first + tg.edge_count[source] && e->target < own_level_end; ++e) {
    if (s.present[e->target] != 0) return true;
  }
  return false;
}

// Lists the absent nodes but the pseudo-node.
void list_absent(const GraphTemplate& t, TemplateScratch& s) {
  s.absent.clear();
  for (std::size_t v = 0; v + 1 < t.graph.node_count(); ++v) {
    if (s.present[v] == 0) s.absent.push_back(static_cast<std::uint32_t>(v));
  }
}

}  // namespace

TemplatePolicy template_policy(const WindowPlan& plan, const StepLengths& lengths) {
  TemplatePolicy policy;
  if (plan.failure || plan.levels.empty() || plan.params == nullptr) return policy;
  std::int64_t period = 1;
  for (std::size_t k = 0; k < plan.levels.size(); ++k) {
    const std::int32_t level = plan.levels[k].level;
    period = std::lcm(period, std::int64_t{level});
    if (period > kMostPeriod) return policy;
    const LevelSteps* steps = lengths.for_level(level);
    if (steps == nullptr) return policy;  // lengths measured edge by edge
    if (linking_steps(plan, lengths, k) != nullptr && steps->links.lengths.empty()) return policy;
    policy.by_row = policy.by_row || steps->per_row;
  }
  policy.usable = true;
  policy.period = static_cast<std::int32_t>(period);
  return policy;
}

std::size_t GraphTemplate::memory_bytes() const {
  const SearchGraph& g = graph;
  std::size_t bytes = sizeof(*this) + distances.memory_bytes() + edge_flag.capacity() +
                      edge_target.capacity() * sizeof(std::uint32_t) + edge_km.capacity() * sizeof(float);
  bytes +=
      g.edges.capacity() * sizeof(GraphEdge) +
      (g.condition.capacity() + g.protected_fraction.capacity() + g.weight.capacity() + g.traversal.capacity() +
       g.path_weight.capacity()) *
          sizeof(float) +
      g.similarity.capacity() * sizeof(const Similarity*) +
      (g.similarity_stride.capacity() + g.grid_count.capacity() + g.edge_begin.capacity() + g.edge_count.capacity()) *
          sizeof(std::uint32_t);
  for (const TemplateLevel& l : levels) {
    bytes += sizeof(l) + l.slots.capacity() * sizeof(std::int32_t) +
             (l.row_classes.capacity() + l.col_classes.capacity()) * sizeof(std::uint16_t);
  }
  return bytes;
}

namespace {

template <class Vector>
void reserve(Vector& v, std::size_t size) {
  if (v.capacity() < size) v.reserve(size);
}

// Room for the template's nodes and edges in every buffer its focal cells
// fill, taken as soon as the template serves one: later focal cells of it,
// however many nodes they lack, allocate nothing.
void reserve_for(const GraphTemplate& t, TemplateScratch& s, SearchGraph& out) {
  const std::size_t nodes = t.graph.node_count(), edges = t.graph.edges.size();
  for (auto* v : {&s.present, &s.repair.affected}) reserve(*v, nodes);
  for (auto* v : {&s.absent, &s.repair.to_settle, &out.blocked}) reserve(*v, nodes);
  reserve(s.runs, nodes);
  reserve(s.repair.ranges, nodes);
  reserve(s.repair.seeds, nodes);
  reserve(s.edge_path_weight, edges);
  reserve(out.shared_cost, edges);
  reserve(out.shared_units, edges);
  s.repair.buckets.reserve(t.graph.max_distance_units, edges + nodes + 1);
}

}  // namespace

TemplateFit graph_from_template(const GraphTemplate& t, std::int32_t row, std::int32_t col, const FocalWindows& windows,
                                const ConnectivityParams& params, const StepLengths& lengths, TemplateScratch& s,
                                SearchGraph& out) {
  reserve_for(t, s, out);
  if (!map_nodes(t, row, col, windows, params, lengths, s)) return TemplateFit::None;
  const auto source = static_cast<std::size_t>(t.graph.source);
  if (s.present[source] == 0) return TemplateFit::None;  // the focal cell itself is missing
  list_absent(t, s);
  reset_node_values(windows, t.graph.node_count(), s.absent, out);
  out.level_base = t.graph.level_base;
  for (const NodeRun& run : s.runs)
    copy_node_run(windows.levels[run.level], run.cell, run.count, params, run.node, out);
  out.source = t.graph.source;
  if (!share_edges(t, s, out)) return TemplateFit::None;
  return s.present_count + 1 == t.graph.node_count() ? TemplateFit::Whole : TemplateFit::Part;
}

bool distances_from_template(const GraphTemplate& t, TemplateFit fit, TemplateScratch& s,
                             std::vector<std::uint64_t>& total) {
  if (fit == TemplateFit::Whole) {
    total.assign(t.distances.total.begin(), t.distances.total.end());
    return true;
  }
  const std::size_t nodes = t.graph.node_count();
  total.resize(nodes);
  return repair_totals(t.distances, t.graph, s.present.data(), s.absent, nodes / 2, s.repair, total.data());
}

namespace {

// A phase's row (the global row itself on geographic grids) and column.
std::pair<std::int64_t, std::int64_t> phase_of(std::int32_t row, std::int32_t col, const TemplateInputs& in) {
  const std::int64_t period = in.policy.period;
  const std::int64_t global_row = global_index(row, in.params.row_offset);
  const std::int64_t row_key = in.policy.by_row ? global_row : floor_mod(global_row, period);
  return {row_key, floor_mod(global_index(col, in.params.col_offset), period)};
}

}  // namespace

const GraphTemplate* GraphTemplates::find(std::int32_t row, std::int32_t col, const TemplateInputs& in) {
  if (!in.policy.usable) return nullptr;
  const std::int64_t period = in.policy.period;
  const auto [row_key, col_key] = phase_of(row, col, in);
  const std::uint64_t key = (static_cast<std::uint64_t>(row_key) << 32) | static_cast<std::uint32_t>(col_key);
  for (Slot& slot : slots_) {
    if (slot.key == key) return slot.usable ? &slot.graph : nullptr;
  }
  if (most_slots_ == 0) {
    // Projected phases repeat all over the landscape; geographic ones are
    // rows, and a worker takes a row whole but for the call's last rows,
    // whose segments it may take alternately with another row's.
    const auto phases = static_cast<std::size_t>(period) * (in.policy.by_row ? 2 : static_cast<std::size_t>(period));
    most_slots_ = std::min(phases, kMostSlots);
  }
  Slot& slot = slot_for(key);
  slot.usable = build(row, col, in, slot.graph);
  bytes_ = 0;
  for (const Slot& each : slots_) bytes_ += each.graph.memory_bytes();
  return slot.usable ? &slot.graph : nullptr;
}

std::size_t GraphTemplates::memory_bytes() const { return bytes_ + slots_.capacity() * sizeof(Slot); }

GraphTemplates::Slot& GraphTemplates::slot_for(std::uint64_t key) {
  if (slots_.capacity() < most_slots_) slots_.reserve(most_slots_);  // slots never move
  Slot* slot = nullptr;
  if (slots_.size() < most_slots_ && bytes_ < kMostBytes) {
    slot = &slots_.emplace_back();
  } else {
    // The oldest of the same column phase gives way: its graph has the same
    // shape (only the rows of geographic phases differ), so its buffers are
    // already the right size.
    const auto column_phase = [](std::uint64_t k) { return static_cast<std::uint32_t>(k); };
    slot = &slots_.front();
    for (Slot& each : slots_) {
      const bool same = column_phase(each.key) == column_phase(key);
      const bool best_same = column_phase(slot->key) == column_phase(key);
      if ((same && !best_same) || (same == best_same && each.built < slot->built)) slot = &each;
    }
  }
  slot->key = key;
  slot->built = ++builds_;
  return *slot;
}

bool GraphTemplates::build(std::int32_t row, std::int32_t col, const TemplateInputs& in, GraphTemplate& out) {
  // A place of the same phase far enough from the landscape's edges for every
  // window to be whole; on geographic grids only the column may move.
  const std::int64_t period = in.policy.period;
  std::int64_t reach = 0;
  for (const LevelPlan& p : in.windows.levels) reach = std::max(reach, (std::int64_t{p.width} + 1) * p.level);
  const std::int64_t margin = reach + period;
  const auto same_phase = [&](std::int64_t at) { return margin + floor_mod(at - margin, period); };
  const std::int64_t r = in.policy.by_row ? row : same_phase(row), c = same_phase(col);
  if (r <= INT32_MAX && c <= INT32_MAX &&
      build_at(static_cast<std::int32_t>(r), static_cast<std::int32_t>(c), in, out)) {
    return true;
  }
  return build_at(row, col, in, out);
}

bool GraphTemplates::build_at(std::int32_t row, std::int32_t col, const TemplateInputs& in, GraphTemplate& out) {
  const WindowPlan& plan = in.windows;
  candidates_.levels.resize(plan.levels.size());
  candidates_.focal_bands.clear();
  for (std::size_t k = 0; k < plan.levels.size(); ++k) {
    if (!gather_candidate_cells(row, col, plan.levels[k], *plan.base, in.params, candidates_.levels[k])) return false;
  }
  // Path weights of 1: every edge's weighted cost is then its length in km.
  unit_params_ = in.params;
  unit_params_.max_cost = 0.0f;
  unit_params_.pa_to_pa = false;
  build_search_graph(row, col, candidates_, unit_params_, in.transforms, graph_scratch_, out.graph, &in.lengths);
  const SearchGraph& g = out.graph;
  const std::size_t pseudo = g.node_count() - 1;
  if (g.source < 0 || g.edge_count[pseudo] != 0 || g.edge_begin.size() != g.node_count()) return false;
  for (const GraphEdge& e : g.edges) {
    if (e.target == pseudo) return false;  // an isolated focal cell: no template
  }
  out.row = row;
  out.col = col;
  out.levels.resize(plan.levels.size());
  out.edge_flag.clear();
  for (std::size_t k = 0; k < plan.levels.size(); ++k) {
    const LevelCells& cells = candidates_.levels[k];
    describe_level(cells, k, plan, in.lengths, out.levels[k]);
    out.edge_flag.insert(out.edge_flag.end(), cells.edge.begin(), cells.edge.end());
  }
  out.edge_flag.push_back(0);  // the pseudo-node
  out.edge_target.resize(g.edges.size());
  out.edge_km.resize(g.edges.size());
  for (std::size_t e = 0; e < g.edges.size(); ++e) {
    out.edge_target[e] = g.edges[e].target;
    out.edge_km[e] = g.edges[e].weighted_cost;
  }
  out.distances.build(g, g.source, tree_scratch_);
  return true;
}

SharedTemplates::SharedTemplates(const TemplatePolicy& policy, const WindowPlan& windows) {
  if (!policy.usable || policy.by_row) return;
  const auto period = static_cast<std::size_t>(policy.period);
  if (period * period > kMostPhases) return;
  std::size_t nodes = 1;  // the pseudo-node
  for (const LevelPlan& level : windows.levels) nodes += level.capacity;
  if (nodes > GraphTemplates::kMostBytes / kBytesPerNode / (period * period)) return;
  period_ = policy.period;
  phases_ = period * period;
  entries_ = std::make_unique<Entry[]>(phases_);
}

const GraphTemplate* SharedTemplates::find(std::int32_t row, std::int32_t col, const TemplateInputs& in,
                                           GraphTemplates& builder) {
  if (!active() || !in.policy.usable || in.policy.by_row || in.policy.period != period_) return nullptr;
  const auto [row_phase, col_phase] = phase_of(row, col, in);
  Entry& entry = entries_[static_cast<std::size_t>(row_phase * period_ + col_phase)];
  if (!entry.built.load(std::memory_order_acquire)) {
    // A worker that finds another building the phase builds this focal
    // cell's graph afresh instead of waiting: the same graph, a little later.
    const std::unique_lock<std::mutex> lock(entry.building, std::try_to_lock);
    if (!lock.owns_lock()) return nullptr;
    if (!entry.built.load(std::memory_order_relaxed)) {
      entry.usable = builder.build(row, col, in, entry.graph);
      entry.built.store(true, std::memory_order_release);
    }
  }
  return entry.usable ? &entry.graph : nullptr;
}

}  // namespace velkan
