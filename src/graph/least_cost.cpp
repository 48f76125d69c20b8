#include "graph/least_cost.h"

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

// Dijkstra's loop over `units`, on any monotone queue with the radix heap's
// order (least key first, equal keys newest first).
template <class Queue>
void search(const SearchGraph& graph, std::int32_t start, std::uint32_t GraphEdge::*units, Queue& queue,
            SearchResult& out) {
  const std::size_t n = graph.node_count();
  out.total.assign(n, kUnreached);
  out.pred_edge.assign(n, kNoEdge);
  out.pred_node.assign(n, kNoEdge);
  out.weighted_path.assign(n, 0.0f);
  out.settled.clear();
  if (start < 0 || static_cast<std::size_t>(start) >= n) return;
  out.total[static_cast<std::size_t>(start)] = 0;
  queue.push(0, static_cast<std::uint32_t>(start));
  while (!queue.empty()) {
    const auto [key, u] = queue.pop();
    // Each push carries a strictly smaller total, so only stale entries mismatch.
    if (key != out.total[u]) continue;
    if (out.pred_edge[u] != kNoEdge) {
      out.weighted_path[u] = out.weighted_path[out.pred_node[u]] + graph.edges[out.pred_edge[u]].weighted_cost;
    }
    out.settled.push_back(u);
    const std::uint32_t end = graph.edge_begin[u] + graph.edge_count[u];
    for (std::uint32_t e = graph.edge_begin[u]; e < end; ++e) {
      const GraphEdge& edge = graph.edges[e];
      const std::uint32_t v = edge.target;
      const std::uint64_t candidate = key + edge.*units;
      if (candidate < out.total[v]) {
        out.total[v] = candidate;
        out.pred_edge[v] = e;
        out.pred_node[v] = u;
        queue.push(candidate, v);
      }
    }
  }
}

std::uint32_t GraphEdge::*units_of(CostKind kind) {
  return kind == CostKind::Weighted ? &GraphEdge::weighted_units : &GraphEdge::distance_units;
}

std::uint32_t widest_step(const SearchGraph& graph, std::uint32_t known, std::uint32_t GraphEdge::*units) {
  if (known != SearchGraph::kUnknownUnits) return known;
  std::uint32_t widest = 0;
  for (const GraphEdge& e : graph.edges) widest = e.*units > widest ? e.*units : widest;
  return widest;
}

}  // namespace

void least_cost_search(const SearchGraph& graph, std::int32_t start, CostKind kind, RadixHeap& heap,
                       SearchResult& out) {
  heap.clear();
  search(graph, start, units_of(kind), heap, out);
}

void least_cost_search(const SearchGraph& graph, std::int32_t start, CostKind kind, BucketQueue& buckets,
                       RadixHeap& heap, SearchResult& out) {
  const std::uint32_t known = kind == CostKind::Weighted ? graph.max_weighted_units : graph.max_distance_units;
  const std::uint32_t widest = widest_step(graph, known, units_of(kind));
  if (widest > BucketQueue::kMaxStep) {
    least_cost_search(graph, start, kind, heap, out);
    return;
  }
  buckets.reset(widest, graph.edges.size() + 1);  // a push needs an improving edge
  search(graph, start, units_of(kind), buckets, out);
}

void least_distance_totals(const SearchGraph& graph, std::int32_t start, BucketQueue& buckets, RadixHeap& heap,
                           SearchResult& out) {
  const std::uint32_t max_step = widest_step(graph, graph.max_distance_units, units_of(CostKind::Distance));
  if (max_step > BucketQueue::kMaxStep) {
    least_cost_search(graph, start, CostKind::Distance, heap, out);
    return;
  }
  const std::size_t n = graph.node_count();
  out.total.assign(n, kUnreached);
  if (start < 0 || static_cast<std::size_t>(start) >= n) return;
  buckets.reset(max_step, graph.edges.size() + 1);  // a push needs an improving edge
  // Raw pointers, with totals apart from everything else, let the loop keep
  // the graph's and the queue's state in registers across its stores.
  std::uint64_t* __restrict total = out.total.data();
  const GraphEdge* const edges = graph.edges.data();
  const std::uint32_t* const edge_begin = graph.edge_begin.data();
  const std::uint32_t* const edge_count = graph.edge_count.data();
  total[start] = 0;
  buckets.push(0, static_cast<std::uint32_t>(start));
  while (!buckets.empty()) {
    const auto [key, u] = buckets.pop();
    if (key != total[u]) continue;  // a stale entry: u was reached more cheaply since
    const GraphEdge* const end = edges + edge_begin[u] + edge_count[u];
    for (const GraphEdge* edge = edges + edge_begin[u]; edge != end; ++edge) {
      const std::uint32_t v = edge->target;
      const std::uint64_t candidate = key + edge->distance_units;
      if (candidate < total[v]) {
        total[v] = candidate;
        buckets.push(candidate, v);
      }
    }
  }
}

}  // namespace velkan
