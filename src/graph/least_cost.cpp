#include "graph/least_cost.h"

#include <bit>

#include "graph/search_loop.h"

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

void path_sum_search(const SearchGraph& graph, std::int32_t start, CostKind kind, BucketQueue& buckets,
                     SearchResult& out) {
  search_on_buckets(graph, start, kind, buckets, out, NoEdgeObserver{});
}

namespace {

// Dijkstra's loop keeping the totals alone, on either ring of the bucket queue.
template <class Queue>
void distance_totals_on(const SearchGraph& graph, std::uint32_t start, Queue queue, std::uint64_t* __restrict total) {
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
          [&](const GraphEdge* edge, std::uint64_t candidate) { queue.push(candidate, edge->target); });
  }
  for (const std::uint32_t b : graph.blocked) total[b] = kUnreached;
}

}  // namespace

void distance_total_search(const SearchGraph& graph, std::int32_t start, BucketQueue& buckets, SearchResult& out) {
  const std::size_t n = graph.node_count();
  out.total.assign(n, kUnreached);
  if (start < 0 || static_cast<std::size_t>(start) >= n) return;
  const std::uint32_t max_step = graph.max_distance_units;
  const std::size_t pushes = graph.edge_slots() + 1;  // a push needs an improving edge
  const auto source = static_cast<std::uint32_t>(start);
  if (max_step > BucketQueue::kMaxStep) {
    distance_totals_on(graph, source, buckets.wide_local(max_step, pushes), out.total.data());
    return;
  }
  buckets.reset(max_step, pushes);
  distance_totals_on(graph, source, buckets.local(), out.total.data());
}

}  // namespace velkan
