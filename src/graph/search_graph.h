// The directed multi-level graph of one focal cell, in flat arrays.
//
// Node n < cell count is cell (level, k) at level_base[level] + k; the last
// node is the pseudo-node an isolated focal cell reaches. Every node carries
// the values its entering edges deliver, so edges hold only target and costs.
// A node's outgoing edges are one contiguous run of `edges`, [begin, begin + count).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/no_init_allocator.h"
#include "model/similarity.h"

namespace velkan {

inline constexpr std::int32_t kNoNode = -1;

// No default member values: the builder sizes the edge array to its bound
// without writing it (see NoInitAllocator), and GraphEdge{} still zeroes.
struct GraphEdge {
  std::uint32_t target;
  std::uint32_t weighted_units, distance_units;  // weighted cost and length in 1/100 km, rounded
  float weighted_cost;                           // km
  bool operator==(const GraphEdge&) const = default;
};

using EdgeArray = std::vector<GraphEdge, NoInitAllocator<GraphEdge>>;

struct SearchGraph {
  // Per node.
  std::vector<float> condition, protected_fraction, weight, traversal;
  std::vector<float> path_weight;             // t * (1 - max_cost) + max_cost: the weighted cost of entering, per km
  std::vector<const Similarity*> similarity;  // first grid's element; grids are `stride` apart
  std::vector<std::uint32_t> similarity_stride, grid_count;
  std::vector<std::uint32_t> edge_begin, edge_count;
  std::vector<std::size_t> level_base;
  EdgeArray edges;
  // At least every edge's units of each kind: the queues size their rings by them.
  std::uint32_t max_distance_units = 0, max_weighted_units = 0;

  std::int32_t source = kNoNode;

  // A graph made from a template shares the template's edges instead of
  // `edges`, with weighted costs of its own: those of shared edge e are
  // shared_cost[e] and shared_units[e], not the edge's. Its nodes without a
  // cell are `blocked`: edges may enter them, but no search ever reaches them.
  std::span<const GraphEdge> shared_edges;
  const std::uint32_t* shared_targets = nullptr;  // the shared edges' targets alone, for the weighted search
  std::vector<float> shared_cost;
  std::vector<std::uint32_t> shared_units;
  std::vector<std::uint32_t> blocked;

  bool shares_edges() const { return shared_edges.data() != nullptr; }
  const GraphEdge* edge_data() const { return shares_edges() ? shared_edges.data() : edges.data(); }
  std::size_t edge_slots() const { return shares_edges() ? shared_edges.size() : edges.size(); }

  std::size_t node_count() const { return condition.size(); }
  // Edges reachable through edge_begin/edge_count (blocked nodes' included).
  std::size_t edge_total() const {
    std::size_t total = 0;
    for (const std::uint32_t c : edge_count) total += c;
    return total;
  }
};

}  // namespace velkan
