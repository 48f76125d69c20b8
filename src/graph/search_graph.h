// The directed multi-level graph of one focal cell, in flat arrays.
//
// Node n < cell count is cell (level, k) at level_base[level] + k; the last
// node is the pseudo-node an isolated focal cell reaches. Every node carries
// the values its entering edges deliver, so edges hold only target and costs.
// A node's outgoing edges are one contiguous run [begin, begin + count).
#pragma once

#include <cstdint>
#include <vector>

#include "builder/node_id.h"
#include "builder/node_mapping.h"
#include "core/engine_inputs.h"
#include "window/level_cells.h"

namespace velkan {

inline constexpr std::int32_t kNoNode = -1;

struct SearchGraph {
  // Per node.
  std::vector<float> condition, protected_fraction, weight, traversal;
  std::vector<const Similarity*> similarity;  // first grid's element; grids are `stride` apart
  std::vector<std::uint32_t> similarity_stride, grid_count;
  std::vector<std::uint32_t> edge_begin, edge_count;
  std::vector<std::size_t> level_base;
  // Per edge.
  std::vector<std::uint32_t> target;
  std::vector<float> weighted_cost, distance_cost;
  std::vector<std::uint32_t> weighted_units, distance_units;

  std::int32_t source = kNoNode;

  std::size_t node_count() const { return condition.size(); }
  std::size_t edge_total() const;  // edges reachable through edge_begin/edge_count
};

// Working state reused from focal cell to focal cell.
struct GraphScratch {
  NodeMapping current, next;
};

// Cost in 1/100 km units: x*100 rounded half away from zero, saturated to uint32.
std::uint32_t cost_units(float cost);

// Builds the graph of one focal cell from its gathered windows. Throws
// InternalError with the message of the failed check.
void build_search_graph(std::int32_t row, std::int32_t col, const FocalWindows& windows,
                        const ConnectivityParams& params, const TransformMap& transforms,
                        GraphScratch& scratch, SearchGraph& out);

}  // namespace velkan
