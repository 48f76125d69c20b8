// Distance totals of a graph from one node, kept so that those of the graph
// less some of its nodes follow cheaply.
//
// Removing nodes changes a node's total only when every shortest path to it
// ran through a removed node; in particular, a node whose path in one shortest
// path tree avoids the removed nodes keeps its total. The tree is laid out in
// preorder, so a node's descendants are one range of positions: the nodes
// whose totals may change are found by marking the ranges of the removed ones,
// and only those are settled again, from their unchanged neighbours. Costs are
// integers, so the repaired totals are exactly those of a fresh search.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "graph/least_cost.h"
#include "graph/search_graph.h"

namespace velkan {

// Working state of DistanceTree::build, reused from build to build.
struct TreeScratch {
  BucketQueue buckets;
  std::vector<std::uint32_t> parent, child_begin, children, next, stack;
};

struct DistanceTree {
  std::vector<std::uint64_t> total;     // per node; kUnreached when not reached
  std::vector<std::uint32_t> preorder;  // per node: its position in the tree's preorder; kNoPosition unreached
  std::vector<std::uint32_t> extent;    // per node: the positions its subtree spans, itself included
  std::vector<std::uint32_t> order;     // the reached nodes by position
  // Incoming edges of node n: [in_begin[n], in_begin[n + 1]) of in_from and in_units.
  std::vector<std::uint32_t> in_begin, in_from, in_units;

  static constexpr std::uint32_t kNoPosition = UINT32_MAX;

  // The distance totals of `graph` from `start` and one of their shortest path trees.
  void build(const SearchGraph& graph, std::int32_t start, TreeScratch& scratch);

  std::size_t memory_bytes() const;
};

// Working state of repair_totals, reused from call to call.
struct RepairScratch {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;  // preorder positions of absent subtrees
  std::vector<std::uint8_t> affected;                           // per node; all 0 between calls
  std::vector<std::uint32_t> to_settle;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> seeds;  // the nodes to settle by their first totals
  BucketQueue buckets;
  RadixHeap heap;  // for steps too wide for the buckets
};

// The distance totals of `graph` less its `absent` nodes (whose `present` is
// 0; the others' is 1), into `total` (per node of `graph`, kUnreached for the
// absent ones), given `tree` built on `graph` itself. Returns false, with
// `total` unfinished, when more than `most_affected` nodes would be settled
// again: a fresh search is then cheaper.
bool repair_totals(const DistanceTree& tree, const SearchGraph& graph, const std::uint8_t* present,
                   std::span<const std::uint32_t> absent, std::size_t most_affected, RepairScratch& scratch,
                   std::uint64_t* total);

}  // namespace velkan
