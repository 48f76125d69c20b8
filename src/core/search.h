// Per-focal-cell search: windows, graph, the two least-cost searches, kernels.
#pragma once

#include <cstdint>
#include <vector>

#include "builder/graph_builder.h"
#include "builder/graph_template.h"
#include "builder/step_lengths.h"
#include "common/raster.h"
#include "core/search_kernels.h"
#include "graph/least_cost.h"
#include "model/engine_inputs.h"
#include "model/kernel_form.h"
#include "model/pyramids.h"
#include "window/level_cells.h"
#include "window/window_plan.h"

namespace velkan {

class WorkerPool;

// Tables computed once per call and read by every focal cell.
struct CallTables {
  StepLengths step_lengths;  // same-level edge lengths known up front
  DistanceDecay decay;       // distance kernels by whole units, made for the call's kernel form
  WindowPlan windows;        // the levels' rasters, checked once; refers to the call's pyramids and parameters
  TemplatePolicy templates;  // whether graphs may come from their window phase's template
};

// The tables of a call of kernel form `form`.
CallTables make_call_tables(const EngineInputs& inputs, const PreparedEngine& prepared, KernelForm form);

// Read-only inputs shared by every row task of one call.
struct SearchContext {
  const PreparedEngine& prepared;
  const ConnectivityParams& params;
  const TransformMap& transforms;
  const Raster<std::uint8_t>& mask;
  KernelForm form;
  const CallTables& tables;
  SharedTemplates* shared_templates = nullptr;  // the workers' templates, where they share them
};

// Bytes the tables hold.
std::size_t memory_bytes(const CallTables& tables);

// How many focal cells' graphs and distance totals came which way.
struct GraphPaths {
  std::uint64_t whole = 0;     // the template's graph and totals
  std::uint64_t repaired = 0;  // the template's graph less some nodes, its totals repaired
  std::uint64_t searched = 0;  // the template's graph less some nodes, searched afresh
  std::uint64_t built = 0;     // built and searched afresh
};

// Everything one worker reuses from focal cell to focal cell.
struct SearchScratch {
  FocalWindows windows;
  GraphScratch graph_scratch;
  GraphTemplates templates;
  TemplateScratch template_scratch;
  const GraphTemplate* graph_template = nullptr;  // the current graph's, when it came from one
  TemplateFit fit = TemplateFit::None;
  GraphPaths paths;
  SearchGraph graph;
  BucketQueue buckets;
  SearchResult weighted, distance;
  std::vector<DestinationRecord> records;
  std::vector<float> acc;
};

// Destination records of a built graph, in the weighted search's settle order.
// Throws InternalError("Node not found!") if the searches disagree on reach.
void collect_records(const SearchGraph& graph, SearchScratch& scratch);

// The graph of focal cell (row, col) from its gathered windows: from its
// phase's template where it fits, built otherwise.
void make_graph(std::int32_t row, std::int32_t col, const SearchContext& ctx, SearchScratch& scratch);

// The weighted search of the graph made.
void weighted_search(SearchScratch& scratch);

// The distance totals of the graph made: the template's, repaired where the
// graph lacks some of its nodes, or a search's.
void distance_totals(SearchScratch& scratch);

// Both.
void run_searches(SearchScratch& scratch);

// Value of one gathered focal cell's windows (graph, searches and kernels).
float evaluate_windows(std::int32_t row, std::int32_t col, const SearchContext& ctx, SearchScratch& scratch);

// Value of focal cell (row, col).
float search_focal_cell(std::int32_t row, std::int32_t col, const SearchContext& ctx, SearchScratch& scratch);

// Writes every unmasked cell of columns [first, last) of `row` into out_row
// (indexed by column); stops early once the loop of `pool` running it is cancelled.
void search_row(std::int32_t row, std::size_t first, std::size_t last, const SearchContext& ctx, float* out_row,
                SearchScratch& scratch, const WorkerPool* pool = nullptr);

}  // namespace velkan
