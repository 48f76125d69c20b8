// Dijkstra's algorithm on the integer edge costs of a SearchGraph.
//
// Integer costs keep comparisons exact, and the keys are monotone integers:
// the searches run on bucket queues (bucket_queue.h), a distance repair with
// steps too wide for them on a radix heap, all in the same order (least total
// first, equal totals newest first). Totals are kept in 64 bits so that
// saturated edge costs cannot wrap. Settle order is a pure function of the
// graph, so results are reproducible whatever the thread count.
#pragma once

#include <bit>
#include <cstdint>
#include <utility>
#include <vector>

#include "graph/bucket_queue.h"
#include "graph/search_graph.h"

namespace velkan {

inline constexpr std::uint64_t kUnreached = UINT64_MAX;

enum class CostKind : std::uint8_t { Weighted, Distance };

// Monotone priority queue over 64-bit keys (keys never below the last popped one).
// Bucket b > 0 holds the keys whose highest bit differing from the last popped
// key is bit b - 1; a bit mask of the occupied buckets finds the next one.
class RadixHeap {
 public:
  void clear();
  bool empty() const { return size_ == 0; }
  void push(std::uint64_t key, std::uint32_t node) {
    const int b = bucket_of(key, last_);
    buckets_[b].push_back(Entry{key, node});
    occupied_ |= bucket_bit(b);
    ++size_;
  }
  std::pair<std::uint64_t, std::uint32_t> pop() {
    if (buckets_[0].empty()) refill_lowest();
    const Entry top = buckets_[0].back();
    buckets_[0].pop_back();
    --size_;
    return {top.key, top.node};
  }

 private:
  struct Entry {
    std::uint64_t key;
    std::uint32_t node;
  };
  static constexpr int kBuckets = 65;
  static int bucket_of(std::uint64_t key, std::uint64_t last) {
    return key == last ? 0 : 64 - std::countl_zero(key ^ last);
  }
  static std::uint64_t bucket_bit(int b) { return b == 0 ? 0 : std::uint64_t{1} << (b - 1); }
  void refill_lowest();  // moves the lowest occupied bucket down, making its least key the last

  std::vector<Entry> buckets_[kBuckets];
  std::uint64_t occupied_ = 0;  // bit b - 1 set when bucket b > 0 holds entries
  std::uint64_t last_ = 0;
  std::size_t size_ = 0;
};

struct SearchResult {
  std::vector<std::uint64_t> total;    // kUnreached when not reached
  std::vector<float> weighted_path;    // float32 sum of weighted costs along the chosen path
  std::vector<std::uint32_t> settled;  // settle order, start first
};

// The search from `start` (kNoNode reaches nothing) over the whole reachable
// graph, by `kind`: out.total, out.weighted_path (the float32 sums along the
// chosen paths) and out.settled, on the bucket queue (its wide ring where
// the steps of `kind` pass kMaxStep).
void path_sum_search(const SearchGraph& graph, std::int32_t start, CostKind kind, BucketQueue& buckets,
                     SearchResult& out);

// The least distance totals from `start`, into out.total alone (the other
// fields are not to be read): the search above by distance, keeping less.
void distance_total_search(const SearchGraph& graph, std::int32_t start, BucketQueue& buckets, SearchResult& out);

}  // namespace velkan
