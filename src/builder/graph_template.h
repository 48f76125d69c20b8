// The graph every focal cell of a window phase shares, built once.
//
// Which cells a window covers, which of them link to the coarser level and
// how long every edge is depend only on where the focal cell sits in the
// coarsest cells (its row and column modulo the levels' common period) and,
// on geographic grids, on its row. A phase's template is the graph of a
// window whose every cell is present; a focal cell's graph is the template
// less the nodes its window lacks (missing values, the landscape's edges),
// with the focal cell's own values and weighted costs. Every assumption is
// checked per focal cell: where one fails, the graph is built afresh.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "builder/graph_builder.h"
#include "builder/step_lengths.h"
#include "graph/distance_tree.h"
#include "graph/search_graph.h"
#include "model/engine_inputs.h"
#include "window/level_cells.h"
#include "window/window_plan.h"

namespace velkan {

// Whether a call's focal cells can take their graphs from templates.
struct TemplatePolicy {
  bool usable = false;
  std::int32_t period = 1;  // the levels' common multiple: window phases repeat with it
  bool by_row = false;      // edge lengths depend on the row (geographic grids)
};

// Templates need every level's steps and links in `lengths`, and a period of
// at most kMostPeriod base cells.
TemplatePolicy template_policy(const WindowPlan& plan, const StepLengths& lengths);

// One level of a template: where its cells are, and the link length classes of
// the rows and columns it spans (see LinkLengths).
struct TemplateLevel {
  std::int32_t level = 0;
  std::int32_t row0 = 0, col0 = 0, rows = 0, cols = 0;  // the box of its cells, in level cells
  std::vector<std::int32_t> slots;                      // rows x cols: the cell's index in the level, or -1
  std::vector<std::uint16_t> row_classes,
      col_classes;  // link classes of the box's rows and columns; empty without links
};

struct GraphTemplate {
  std::int32_t row = 0, col = 0;  // the focal cell it was built for
  std::vector<TemplateLevel> levels;
  SearchGraph graph;  // path weights 1: an edge's weighted cost is its length in km
  // Per edge of graph.edges, apart for loops that vectorise and for the
  // weighted search: its target and its length in km.
  std::vector<std::uint32_t> edge_target;
  std::vector<float> edge_km;
  std::vector<std::uint8_t> edge_flag;  // per node: links to the coarser level
  DistanceTree distances;               // from graph.source

  std::size_t memory_bytes() const;
};

// How a focal cell's graph came from a template.
enum class TemplateFit : std::uint8_t {
  None,   // it did not: the graph is to be built afresh
  Whole,  // the template's graph itself, with the focal cell's values
  Part,   // the template's graph less some nodes
};

// Cells [cell, cell + count) of level `level` fill nodes [node, node + count).
struct NodeRun {
  std::size_t level, node, cell, count;
};

// Working state reused from focal cell to focal cell.
struct TemplateScratch {
  std::vector<std::uint8_t> present;  // per template node: a gathered cell's
  std::vector<std::uint32_t> absent;  // the template nodes without a gathered cell, but the pseudo-node
  std::vector<NodeRun> runs;
  std::size_t present_count = 0;
  std::vector<float> edge_path_weight;  // per template edge: its target's path weight
  RepairScratch repair;
};

// The graph of focal cell (row, col) from its phase's template, when the
// focal cell's windows fit it. `out` keeps the template's node numbers and
// shares its edges (valid while the template is): its nodes without a
// gathered cell are blocked, without values, and the rest is what
// build_search_graph makes of the windows, node for node, with the same
// edges in the same order once those into blocked nodes are left out, so
// every search of it settles the same nodes in the same order with the same
// totals.
TemplateFit graph_from_template(const GraphTemplate& t, std::int32_t row, std::int32_t col, const FocalWindows& windows,
                                const ConnectivityParams& params, const StepLengths& lengths, TemplateScratch& scratch,
                                SearchGraph& out);

// The distance totals of a graph made by graph_from_template with `fit`
// (Whole or Part), exactly a fresh search's; false, with `total` unfinished,
// where the template's totals would take more repair than a fresh search.
bool distances_from_template(const GraphTemplate& t, TemplateFit fit, TemplateScratch& scratch,
                             std::vector<std::uint64_t>& total);

// What building a template reads: the call's tables.
struct TemplateInputs {
  const WindowPlan& windows;
  const ConnectivityParams& params;
  const TransformMap& transforms;
  const StepLengths& lengths;
  TemplatePolicy policy;
};

// One worker's templates, built as their phases first appear and bounded in
// slots and bytes: past the bound the oldest of a phase's column give way,
// their buffers reused.
class GraphTemplates {
 public:
  static constexpr std::size_t kMostBytes = std::size_t{32} << 20;

  // The template of (row, col)'s phase, or nullptr where none can be made
  // (no complete window of that phase lies inside the landscape).
  const GraphTemplate* find(std::int32_t row, std::int32_t col, const TemplateInputs& inputs);

  std::size_t memory_bytes() const;

  // Builds the template of (row, col)'s phase into `out`, with this worker's
  // scratch; false where none can be made.
  bool build(std::int32_t row, std::int32_t col, const TemplateInputs& inputs, GraphTemplate& out);

 private:
  struct Slot {
    std::uint64_t key = 0;
    std::uint64_t built = 0;  // when, in builds of this worker
    bool usable = false;
    GraphTemplate graph;
  };
  bool build_at(std::int32_t row, std::int32_t col, const TemplateInputs& inputs, GraphTemplate& out);
  Slot& slot_for(std::uint64_t key);

  std::vector<Slot> slots_;
  std::uint64_t builds_ = 0;
  std::size_t bytes_ = 0;
  FocalWindows candidates_;
  GraphScratch graph_scratch_;
  TreeScratch tree_scratch_;
  std::size_t most_slots_ = 0;      // the call's bound: every phase, or some rows' worth of them
  ConnectivityParams unit_params_;  // the call's, with path weights of 1
};

// The templates of one call's workers together, where its phases are few
// (projected grids of at most kMostPhases) and all of them fit in
// GraphTemplates::kMostBytes: each is built once, by the first worker to meet
// its phase; any other that needs it meanwhile builds its graphs afresh
// rather than wait. Otherwise inactive, and each worker keeps its own
// GraphTemplates, bounded.
class SharedTemplates {
 public:
  static constexpr std::size_t kMostPhases = 64;
  static constexpr std::size_t kBytesPerNode = 512;  // a template's, edges and tree included (about 360 measured)

  SharedTemplates(const TemplatePolicy& policy, const WindowPlan& windows);
  bool active() const { return phases_ > 0; }

  // As GraphTemplates::find, building with `builder`'s scratch; nullptr too
  // while another worker builds the phase. Safe to call from several workers
  // at once.
  const GraphTemplate* find(std::int32_t row, std::int32_t col, const TemplateInputs& inputs, GraphTemplates& builder);

 private:
  // Built under its mutex, not by std::call_once: an exception out of a
  // build (say, memory running out) must unwind through C++ frames alone.
  struct Entry {
    std::mutex building;
    std::atomic<bool> built{false};
    bool usable = false;
    GraphTemplate graph;
  };
  std::int32_t period_ = 0;
  std::size_t phases_ = 0;
  std::unique_ptr<Entry[]> entries_;  // by phase: row phase × period + column phase
};

}  // namespace velkan
