#include "graph/least_cost.h"

#include <algorithm>

namespace velkan {

void RadixHeap::clear() {
  buckets_[0].clear();
  for (std::uint64_t bits = occupied_; bits != 0; bits &= bits - 1) buckets_[std::countr_zero(bits) + 1].clear();
  occupied_ = 0;
  last_ = 0;
  size_ = 0;
}

void RadixHeap::refill_lowest() {
  const int b = std::countr_zero(occupied_) + 1;  // callers pop only when not empty
  std::vector<Entry>& bucket = buckets_[b];
  std::uint64_t low = UINT64_MAX;
  for (const Entry& e : bucket) low = e.key < low ? e.key : low;
  last_ = low;
  // Every entry shares the bits above b - 1 with the new last key, so each
  // lands in a lower bucket, in the order it was pushed.
  for (const Entry& e : bucket) {
    const int to = bucket_of(e.key, last_);
    buckets_[to].push_back(e);
    occupied_ |= bucket_bit(to);
  }
  bucket.clear();
  occupied_ &= ~bucket_bit(b);
}

namespace {

// Relaxes the edges [first, last) of a node settled at `key`. Whether an edge
// improves its target is hard to predict, so the test is not a branch: the
// improving edges are noted first and then handed to `improve` (edge, new
// total) in edge order, which gives the queue exactly the plain loop's pushes.
template <class Improve>
[[gnu::always_inline]] inline void relax(const GraphEdge* first, const GraphEdge* last, std::uint64_t key,
                                         std::uint32_t GraphEdge::* units, std::uint64_t* __restrict total,
                                         Improve improve) {
  constexpr std::ptrdiff_t kChunk = 16;
  std::uint8_t improved[kChunk];
  while (first != last) {
    const std::ptrdiff_t count = std::min(kChunk, last - first);
    int kept = 0;
    for (std::ptrdiff_t i = 0; i < count; ++i) {
      const std::uint32_t v = first[i].target;
      const std::uint64_t candidate = key + first[i].*units, old = total[v];
      const bool better = candidate < old;
      total[v] = better ? candidate : old;
      improved[kept] = static_cast<std::uint8_t>(i);
      kept += better ? 1 : 0;
    }
    for (int k = 0; k < kept; ++k) {
      const GraphEdge* edge = first + improved[k];
      improve(edge, key + edge->*units);
    }
    first += count;
  }
}

// Dijkstra's loop over `units`, on any monotone queue with the radix heap's
// order (least key first, equal keys newest first): a bucket queue's Ring by
// value, or a radix heap by reference. The predecessors are recorded only
// `with_predecessors`.
template <bool with_predecessors, class Queue>
void search(const SearchGraph& graph, std::int32_t start, std::uint32_t GraphEdge::* units, Queue queue,
            SearchResult& out) {
  const std::size_t n = graph.node_count();
  out.total.assign(n, kUnreached);
  if (with_predecessors) {
    out.pred_edge.assign(n, kNoEdge);
    out.pred_node.assign(n, kNoEdge);
  }
  out.weighted_path.assign(n, 0.0f);
  out.settled.clear();
  if (start < 0 || static_cast<std::size_t>(start) >= n) return;
  out.total[static_cast<std::size_t>(start)] = 0;
  queue.push(0, static_cast<std::uint32_t>(start));
  while (!queue.empty()) {
    const auto [key, u] = queue.pop();
    // Each push carries a strictly smaller total, so only stale entries mismatch.
    if (key != out.total[u]) continue;
    out.settled.push_back(u);
    // u's path is final, so each improved target's path is u's plus its edge:
    // the last improvement, the one that stays, leaves the chosen path's sum.
    const float path_u = out.weighted_path[u];
    const GraphEdge* const first = graph.edges.data() + graph.edge_begin[u];
    relax(first, first + graph.edge_count[u], key, units, out.total.data(),
          [&](const GraphEdge* edge, std::uint64_t candidate) {
            if (with_predecessors) {
              out.pred_edge[edge->target] = static_cast<std::uint32_t>(edge - graph.edges.data());
              out.pred_node[edge->target] = u;
            }
            out.weighted_path[edge->target] = path_u + edge->weighted_cost;
            queue.push(candidate, edge->target);
          });
  }
}

std::uint32_t GraphEdge::* units_of(CostKind kind) {
  return kind == CostKind::Weighted ? &GraphEdge::weighted_units : &GraphEdge::distance_units;
}

template <bool with_predecessors>
void search_on_heap(const SearchGraph& graph, std::int32_t start, CostKind kind, RadixHeap& heap, SearchResult& out) {
  heap.clear();
  search<with_predecessors, RadixHeap&>(graph, start, units_of(kind), heap, out);
}

template <bool with_predecessors>
void search_on_buckets(const SearchGraph& graph, std::int32_t start, CostKind kind, BucketQueue& buckets,
                       RadixHeap& heap, SearchResult& out) {
  const std::uint32_t widest = kind == CostKind::Weighted ? graph.max_weighted_units : graph.max_distance_units;
  if (widest > BucketQueue::kMaxStep) {
    search_on_heap<with_predecessors>(graph, start, kind, heap, out);
    return;
  }
  buckets.reset(widest, graph.edges.size() + 1);  // a push needs an improving edge
  search<with_predecessors>(graph, start, units_of(kind), buckets.local(), out);
}

}  // namespace

namespace reference {

void path_tree_search(const SearchGraph& graph, std::int32_t start, CostKind kind, RadixHeap& heap, SearchResult& out) {
  search_on_heap<true>(graph, start, kind, heap, out);
}

void path_tree_search(const SearchGraph& graph, std::int32_t start, CostKind kind, BucketQueue& buckets,
                      RadixHeap& heap, SearchResult& out) {
  search_on_buckets<true>(graph, start, kind, buckets, heap, out);
}

}  // namespace reference

void path_sum_search(const SearchGraph& graph, std::int32_t start, CostKind kind, BucketQueue& buckets, RadixHeap& heap,
                     SearchResult& out) {
  search_on_buckets<false>(graph, start, kind, buckets, heap, out);
}

void distance_total_search(const SearchGraph& graph, std::int32_t start, BucketQueue& buckets, RadixHeap& heap,
                           SearchResult& out) {
  const std::uint32_t max_step = graph.max_distance_units;
  if (max_step > BucketQueue::kMaxStep) {
    search_on_heap<false>(graph, start, CostKind::Distance, heap, out);
    return;
  }
  const std::size_t n = graph.node_count();
  out.total.assign(n, kUnreached);
  if (start < 0 || static_cast<std::size_t>(start) >= n) return;
  buckets.reset(max_step, graph.edges.size() + 1);  // a push needs an improving edge
  BucketQueue::Ring queue = buckets.local();
  // Raw pointers, with totals apart from everything else, let the loop keep
  // the graph's and the queue's state in registers across its stores.
  std::uint64_t* __restrict total = out.total.data();
  const GraphEdge* const edges = graph.edges.data();
  const std::uint32_t* const edge_begin = graph.edge_begin.data();
  const std::uint32_t* const edge_count = graph.edge_count.data();
  total[start] = 0;
  queue.push(0, static_cast<std::uint32_t>(start));
  while (!queue.empty()) {
    const auto [key, u] = queue.pop();
    if (key != total[u]) continue;  // a stale entry: u was reached more cheaply since
    const GraphEdge* const first = edges + edge_begin[u];
    relax(first, first + edge_count[u], key, &GraphEdge::distance_units, total,
          [&](const GraphEdge* edge, std::uint64_t candidate) { queue.push(candidate, edge->target); });
  }
}

}  // namespace velkan
