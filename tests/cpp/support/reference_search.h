// The engine's weighted and distance searches keeping their path tree too,
// which the engine does not need: the tests check paths and orders by it.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/bucket_queue.h"
#include "graph/least_cost.h"
#include "graph/search_graph.h"

namespace velkan {

inline constexpr std::uint32_t kNoEdge = UINT32_MAX;

// A search's result with the chosen path of every reached node.
struct PathTree : SearchResult {
  std::vector<std::uint32_t> pred_edge;  // entering edge of the chosen path, kNoEdge at start
  std::vector<std::uint32_t> pred_node;  // the node that edge leaves, kNoEdge at start
};

namespace reference {

// On the radix heap alone.
void path_tree_search(const SearchGraph& graph, std::int32_t start, CostKind kind, RadixHeap& heap, PathTree& out);

// On the bucket queue, as path_sum_search runs it.
void path_tree_search(const SearchGraph& graph, std::int32_t start, CostKind kind, BucketQueue& buckets, PathTree& out);

}  // namespace reference
}  // namespace velkan
