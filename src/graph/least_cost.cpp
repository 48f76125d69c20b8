#include "graph/least_cost.h"

#include <bit>

namespace velkan {

void RadixHeap::clear() {
  for (auto& b : buckets_) b.clear();
  last_ = 0;
  size_ = 0;
}

int RadixHeap::bucket_of(std::uint64_t key, std::uint64_t last) {
  return key == last ? 0 : 64 - std::countl_zero(key ^ last);
}

void RadixHeap::push(std::uint64_t key, std::uint32_t node) {
  buckets_[bucket_of(key, last_)].emplace_back(key, node);
  ++size_;
}

std::pair<std::uint64_t, std::uint32_t> RadixHeap::pop() {
  if (buckets_[0].empty()) {
    int b = 1;
    while (buckets_[b].empty()) ++b;
    std::uint64_t low = UINT64_MAX;
    for (const auto& e : buckets_[b]) low = e.first < low ? e.first : low;
    last_ = low;
    for (const auto& e : buckets_[b]) buckets_[bucket_of(e.first, last_)].push_back(e);
    buckets_[b].clear();
  }
  const auto top = buckets_[0].back();
  buckets_[0].pop_back();
  --size_;
  return top;
}

void least_cost_search(const SearchGraph& graph, std::int32_t start, CostKind kind, RadixHeap& heap,
                       SearchResult& out) {
  const std::size_t n = graph.node_count();
  out.total.assign(n, kUnreached);
  out.pred_edge.assign(n, kNoEdge);
  out.pred_node.assign(n, kNoEdge);
  out.weighted_path.assign(n, 0.0f);
  out.settled.clear();
  heap.clear();
  if (start < 0 || static_cast<std::size_t>(start) >= n) return;
  const std::vector<std::uint32_t>& units =
      kind == CostKind::Weighted ? graph.weighted_units : graph.distance_units;
  out.total[static_cast<std::size_t>(start)] = 0;
  heap.push(0, static_cast<std::uint32_t>(start));
  while (!heap.empty()) {
    const auto [key, u] = heap.pop();
    // Each push carries a strictly smaller total, so only stale entries mismatch.
    if (key != out.total[u]) continue;
    if (out.pred_edge[u] != kNoEdge) {
      out.weighted_path[u] = out.weighted_path[out.pred_node[u]] + graph.weighted_cost[out.pred_edge[u]];
    }
    out.settled.push_back(u);
    const std::uint32_t end = graph.edge_begin[u] + graph.edge_count[u];
    for (std::uint32_t e = graph.edge_begin[u]; e < end; ++e) {
      const std::uint32_t v = graph.target[e];
      const std::uint64_t candidate = key + units[e];
      if (candidate < out.total[v]) {
        out.total[v] = candidate;
        out.pred_edge[v] = e;
        out.pred_node[v] = u;
        heap.push(candidate, v);
      }
    }
  }
}

}  // namespace velkan
