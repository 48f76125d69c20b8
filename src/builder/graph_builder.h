// Building the directed multi-level graph of one focal cell from its windows.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "builder/node_mapping.h"
#include "builder/step_lengths.h"
#include "graph/distance.h"
#include "graph/search_graph.h"
#include "model/engine_inputs.h"
#include "window/level_cells.h"

namespace velkan {

// The weighted cost of entering one node by one step length.
struct WeightedStep {
  float cost;           // km
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

// A graph of `nodes` nodes whose `empty` ones and last (the pseudo-node)
// hold values of 0, after checking that every level's value sequences cover
// its cells (InternalError otherwise). The others' values and every node's
// edges are left as they were, for the caller to write.
void reset_node_values(const FocalWindows& windows, std::size_t nodes, std::span<const std::uint32_t> empty,
                       SearchGraph& out);

// Nodes [node, node + count) take the values of cells [cell, cell + count).
void copy_node_run(const LevelCells& cells, std::size_t cell, std::size_t count, const ConnectivityParams& params,
                   std::size_t node, SearchGraph& out);

// Builds the graph of one focal cell from its gathered windows. Same-level
// edges take their lengths from `lengths` where it has them (made with
// kSameLevelSteps) and are measured otherwise. Throws InternalError with the
// message of the failed check.
void build_search_graph(std::int32_t row, std::int32_t col, const FocalWindows& windows,
                        const ConnectivityParams& params, const TransformMap& transforms, GraphScratch& scratch,
                        SearchGraph& out, const StepLengths* lengths = nullptr);

}  // namespace velkan
