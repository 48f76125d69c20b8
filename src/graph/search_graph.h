// The directed multi-level graph of one focal cell, in flat arrays.
//
// Node n < cell count is cell (level, k) at level_base[level] + k; the last
// node is the pseudo-node an isolated focal cell reaches. Every node carries
// the values its entering edges deliver, so edges hold only target and costs.
// A node's outgoing edges are one contiguous run of `edges`, [begin, begin + count).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "builder/node_id.h"
#include "builder/node_mapping.h"
#include "core/engine_inputs.h"
#include "graph/distance.h"
#include "graph/step_lengths.h"
#include "window/level_cells.h"

namespace velkan {

inline constexpr std::int32_t kNoNode = -1;

// No default member values: the builder sizes the edge array to its bound
// without writing it (see EdgeAllocator), and GraphEdge{} still zeroes.
struct GraphEdge {
  std::uint32_t target;
  std::uint32_t weighted_units, distance_units;  // weighted cost and length in 1/100 km, rounded
  float weighted_cost;                           // km
  bool operator==(const GraphEdge&) const = default;
};

// Makes value-less construction default-initialise, so resizing an array of
// GraphEdge leaves the new elements unwritten.
template <class T>
struct EdgeAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = EdgeAllocator<U>;
  };
  EdgeAllocator() = default;
  template <class U>
  EdgeAllocator(const EdgeAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    std::construct_at(p, std::forward<Args>(args)...);
  }
};

using EdgeArray = std::vector<GraphEdge, EdgeAllocator<GraphEdge>>;

struct SearchGraph {
  // Per node.
  std::vector<float> condition, protected_fraction, weight, traversal;
  std::vector<float> path_weight;  // t * (1 - max_cost) + max_cost: the weighted cost of entering, per km
  std::vector<const Similarity*> similarity;  // first grid's element; grids are `stride` apart
  std::vector<std::uint32_t> similarity_stride, grid_count;
  std::vector<std::uint32_t> edge_begin, edge_count;
  std::vector<std::size_t> level_base;
  EdgeArray edges;
  // At least every edge's distance units; kUnknownUnits when not kept (graphs built by hand).
  static constexpr std::uint32_t kUnknownUnits = UINT32_MAX;
  std::uint32_t max_distance_units = kUnknownUnits, max_weighted_units = kUnknownUnits;

  std::int32_t source = kNoNode;

  std::size_t node_count() const { return condition.size(); }
  std::size_t edge_total() const;  // edges reachable through edge_begin/edge_count
};

// The weighted cost of entering one node by one step length.
struct WeightedStep {
  float cost;          // km
  std::uint32_t units;  // cost_units(cost)
};

// The costs of entering each node of a level by each distinct same-level step
// length. An edge's weighted cost depends only on its target and its length,
// and a grid whose steps do not depend on where they start has two or three
// distinct lengths among its eight steps, so each is rounded once per node
// rather than once per edge.
struct EnteringCosts {
  std::array<std::uint8_t, 8> length_of_step{};  // per step of kSameLevelSteps
  std::size_t nodes = 0;
  std::vector<WeightedStep> costs;  // by length, then node

  // The table of nodes [0, node_count), whose path weights start at path_weight.
  void build(const StepRow& steps, const float* path_weight, std::size_t node_count);
  const WeightedStep* for_step(int step) const { return costs.data() + length_of_step[step] * nodes; }
};

// Working state reused from focal cell to focal cell.
struct GraphScratch {
  NodeMapping current, next;
  PlanarLengths planar;  // link lengths of projected grids
  EnteringCosts entering;
};

// The order in which a cell's same-level edges are made: (row step, column step).
inline constexpr int kSameLevelSteps[8][2] = {{0, 1}, {1, 0}, {0, -1}, {-1, 0}, {1, 1}, {1, -1}, {-1, 1}, {-1, -1}};

// Builds the graph of one focal cell from its gathered windows. Same-level
// edges take their lengths from `lengths` where it has them (made with
// kSameLevelSteps) and are measured otherwise. Throws InternalError with the
// message of the failed check.
void build_search_graph(std::int32_t row, std::int32_t col, const FocalWindows& windows,
                        const ConnectivityParams& params, const TransformMap& transforms,
                        GraphScratch& scratch, SearchGraph& out, const StepLengths* lengths = nullptr);

}  // namespace velkan
