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

void distance_total_search(const SearchGraph& graph, std::int32_t start, BucketQueue& buckets, SearchResult& out) {
  distance_totals_on_buckets(graph, start, buckets, out.total, NoEdgeObserver{});
}

}  // namespace velkan
