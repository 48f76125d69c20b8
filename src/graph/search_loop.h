// Dijkstra's loop behind the searches of least_cost.h, on either queue.
//
// The loop tells an observer of every edge that improves its target, so a
// search that needs more than totals and path sums (a path tree, say) runs
// the very loop the engine runs instead of a copy of it. The engine's own
// searches observe nothing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "graph/bucket_queue.h"
#include "graph/least_cost.h"
#include "graph/search_graph.h"

namespace velkan {

// The observer of the engine's searches: inlined away.
struct NoEdgeObserver {
  void operator()(const GraphEdge* /*edge*/, std::uint32_t /*from*/) const {}
};

// Relaxes the `count` edges of a node settled at `key`, edge e entering node
// target(e) by units(e). Whether an edge improves its target is hard to
// predict, so the test is not a branch: the improving edges are noted first
// and then handed to `improve` (e, new total) in edge order, which gives the
// queue exactly the plain loop's pushes.
template <class Target, class Units, class Improve>
[[gnu::always_inline]] inline void relax_each(std::ptrdiff_t count, std::uint64_t key, std::uint64_t* __restrict total,
                                              Target target, Units units, Improve improve) {
  constexpr std::ptrdiff_t kChunk = 16;
  std::uint8_t improved[kChunk];
  for (std::ptrdiff_t first = 0; first < count; first += kChunk) {
    const std::ptrdiff_t n = std::min(kChunk, count - first);
    int kept = 0;
    for (std::ptrdiff_t i = 0; i < n; ++i) {
      const std::uint32_t v = target(first + i);
      const std::uint64_t candidate = key + units(first + i), old = total[v];
      const bool better = candidate < old;
      total[v] = better ? candidate : old;
      improved[kept] = static_cast<std::uint8_t>(i);
      kept += better ? 1 : 0;
    }
    for (int k = 0; k < kept; ++k) {
      const std::ptrdiff_t e = first + improved[k];
      improve(e, key + units(e));
    }
  }
}

// relax_each over the edges [first, last) by their own `units`; `improve`
// gets (edge, new total).
template <class Improve>
[[gnu::always_inline]] inline void relax(const GraphEdge* first, const GraphEdge* last, std::uint64_t key,
                                         std::uint32_t GraphEdge::* units, std::uint64_t* __restrict total,
                                         Improve improve) {
  relax_each(
      last - first, key, total, [first](std::ptrdiff_t e) { return first[e].target; },
      [first, units](std::ptrdiff_t e) { return first[e].*units; },
      [first, &improve](std::ptrdiff_t e, std::uint64_t candidate) { improve(first + e, candidate); });
}

inline std::uint32_t GraphEdge::* units_of(CostKind kind) {
  return kind == CostKind::Weighted ? &GraphEdge::weighted_units : &GraphEdge::distance_units;
}

// Dijkstra's loop over `units`, on any monotone queue with the radix heap's
// order (least key first, equal keys newest first): a bucket queue's Ring by
// value, or a radix heap by reference. `observe(edge, from)` hears of every
// improving edge, in the order the loop takes them. With kShared, the
// weighted costs are the graph's shared_cost and shared_units (a graph
// sharing its template's edges); `units` is then not read.
template <bool kShared, class Queue, class Observer>
void search_loop(const SearchGraph& graph, std::int32_t start, std::uint32_t GraphEdge::* units, Queue queue,
                 SearchResult& out, Observer observe) {
  const std::size_t n = graph.node_count();
  out.total.assign(n, kUnreached);
  out.weighted_path.assign(n, 0.0f);
  out.settled.clear();
  if (start < 0 || static_cast<std::size_t>(start) >= n) return;
  // A total of 0 is never improved: blocked nodes are never pushed.
  for (const std::uint32_t b : graph.blocked) out.total[b] = 0;
  out.total[static_cast<std::size_t>(start)] = 0;
  queue.push(0, static_cast<std::uint32_t>(start));
  const GraphEdge* const edges = graph.edge_data();
  while (!queue.empty()) {
    const auto [key, u] = queue.pop();
    // Each push carries a strictly smaller total, so only stale entries mismatch.
    if (key != out.total[u]) continue;
    out.settled.push_back(u);
    // u's path is final, so each improved target's path is u's plus its edge:
    // the last improvement, the one that stays, leaves the chosen path's sum.
    const float path_u = out.weighted_path[u];
    const GraphEdge* const first = edges + graph.edge_begin[u];
    const GraphEdge* const last = first + graph.edge_count[u];
    if constexpr (kShared) {
      // Targets and units from arrays of their own, apart from the 16-byte edges.
      const std::size_t begin = graph.edge_begin[u];
      const std::uint32_t* const targets = graph.shared_targets + begin;
      const std::uint32_t* const shared_units = graph.shared_units.data() + begin;
      const float* const cost = graph.shared_cost.data() + begin;
      relax_each(
          last - first, key, out.total.data(), [targets](std::ptrdiff_t e) { return targets[e]; },
          [shared_units](std::ptrdiff_t e) { return shared_units[e]; },
          [&](std::ptrdiff_t e, std::uint64_t candidate) {
            observe(first + e, u);
            out.weighted_path[targets[e]] = path_u + cost[e];
            queue.push(candidate, targets[e]);
          });
    } else {
      relax(first, last, key, units, out.total.data(), [&](const GraphEdge* edge, std::uint64_t candidate) {
        observe(edge, u);
        out.weighted_path[edge->target] = path_u + edge->weighted_cost;
        queue.push(candidate, edge->target);
      });
    }
  }
  for (const std::uint32_t b : graph.blocked) out.total[b] = kUnreached;
}

// search_loop by `kind`, with kShared where the graph's weighted costs are its shared ones.
template <class Queue, class Observer>
void search_loop(const SearchGraph& graph, std::int32_t start, CostKind kind, Queue queue, SearchResult& out,
                 Observer observe) {
  if (kind == CostKind::Weighted && graph.shares_edges()) {
    search_loop<true>(graph, start, units_of(kind), queue, out, observe);
  } else {
    search_loop<false>(graph, start, units_of(kind), queue, out, observe);
  }
}

// The loop on the radix heap alone.
template <class Observer>
void search_on_heap(const SearchGraph& graph, std::int32_t start, CostKind kind, RadixHeap& heap, SearchResult& out,
                    Observer observe) {
  heap.clear();
  search_loop<RadixHeap&>(graph, start, kind, heap, out, observe);
}

// The loop on the bucket queue, on its wide ring where a step of `kind` passes kMaxStep.
template <class Observer>
void search_on_buckets(const SearchGraph& graph, std::int32_t start, CostKind kind, BucketQueue& buckets,
                       SearchResult& out, Observer observe) {
  const std::uint32_t widest = kind == CostKind::Weighted ? graph.max_weighted_units : graph.max_distance_units;
  if (widest > BucketQueue::kMaxStep) {
    search_loop(graph, start, kind, buckets.wide_local(widest, graph.edge_slots() + 1), out, observe);
    return;
  }
  buckets.reset(widest, graph.edge_slots() + 1);  // a push needs an improving edge
  search_loop(graph, start, kind, buckets.local(), out, observe);
}

// Dijkstra's loop keeping the totals alone, on either ring of the bucket queue.
template <class Queue, class Observer>
void distance_totals_loop(const SearchGraph& graph, std::uint32_t start, Queue queue, std::uint64_t* __restrict total,
                          Observer observe) {
  // Raw pointers, with totals apart from everything else, let the loop keep
  // the graph's and the queue's state in registers across its stores.
  const GraphEdge* const edges = graph.edge_data();
  const std::uint32_t* const edge_begin = graph.edge_begin.data();
  const std::uint32_t* const edge_count = graph.edge_count.data();
  for (const std::uint32_t b : graph.blocked) total[b] = 0;  // never improved, so never pushed
  total[start] = 0;
  queue.push(0, start);
  while (!queue.empty()) {
    const auto [key, u] = queue.pop();
    if (key != total[u]) continue;  // a stale entry: u was reached more cheaply since
    const GraphEdge* const first = edges + edge_begin[u];
    relax(first, first + edge_count[u], key, &GraphEdge::distance_units, total,
          [&](const GraphEdge* edge, std::uint64_t candidate) {
            observe(edge, u);
            queue.push(candidate, edge->target);
          });
  }
  for (const std::uint32_t b : graph.blocked) total[b] = kUnreached;
}

// The least distance totals from `start` (kNoNode reaches nothing) into
// `total`, on the bucket queue; `observe(edge, from)` hears of every
// improving edge, as in search_loop.
template <class Observer>
void distance_totals_on_buckets(const SearchGraph& graph, std::int32_t start, BucketQueue& buckets,
                                std::vector<std::uint64_t>& total, Observer observe) {
  const std::size_t n = graph.node_count();
  total.assign(n, kUnreached);
  if (start < 0 || static_cast<std::size_t>(start) >= n) return;
  const std::uint32_t max_step = graph.max_distance_units;
  const std::size_t pushes = graph.edge_slots() + 1;  // a push needs an improving edge
  const auto source = static_cast<std::uint32_t>(start);
  if (max_step > BucketQueue::kMaxStep) {
    distance_totals_loop(graph, source, buckets.wide_local(max_step, pushes), total.data(), observe);
    return;
  }
  buckets.reset(max_step, pushes);
  distance_totals_loop(graph, source, buckets.local(), total.data(), observe);
}

}  // namespace velkan
