// Dijkstra's algorithm on the integer edge costs of a SearchGraph.
//
// Integer costs keep comparisons exact; a radix heap suits the monotone,
// small-integer keys. Totals are kept in 64 bits so that saturated edge costs
// cannot wrap. Settle order is a pure function of the graph, so results are
// reproducible whatever the thread count.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "graph/search_graph.h"

namespace velkan {

inline constexpr std::uint64_t kUnreached = UINT64_MAX;
inline constexpr std::uint32_t kNoEdge = UINT32_MAX;

enum class CostKind : std::uint8_t { Weighted, Distance };

// Monotone priority queue over 64-bit keys (keys never below the last popped one).
class RadixHeap {
 public:
  void clear();
  bool empty() const { return size_ == 0; }
  void push(std::uint64_t key, std::uint32_t node);
  std::pair<std::uint64_t, std::uint32_t> pop();

 private:
  static constexpr int kBuckets = 65;
  static int bucket_of(std::uint64_t key, std::uint64_t last);
  std::vector<std::pair<std::uint64_t, std::uint32_t>> buckets_[kBuckets];
  std::uint64_t last_ = 0;
  std::size_t size_ = 0;
};

struct SearchResult {
  std::vector<std::uint64_t> total;       // kUnreached when not reached
  std::vector<std::uint32_t> pred_edge;   // entering edge of the chosen path, kNoEdge at start
  std::vector<std::uint32_t> pred_node;
  std::vector<float> weighted_path;       // float32 sum of weighted costs along the chosen path
  std::vector<std::uint32_t> settled;     // settle order, start first
};

// Runs the search from `start` (kNoNode reaches nothing) over the whole reachable graph.
void least_cost_search(const SearchGraph& graph, std::int32_t start, CostKind kind, RadixHeap& heap,
                       SearchResult& out);

}  // namespace velkan
