#include <gtest/gtest.h>
#include <bit>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "builder/graph_template.h"
#include "common/grid_math.h"
#include "common/loop_builds.h"
#include "common/worker_pool.h"
#include "core/prepare.h"
#include "core/search.h"
#include "graph/least_cost.h"
#include "window/window.h"

namespace velkan {
namespace {

enum class Grid { Projected, ProjectedFar, GeoFine, GeoCoarse };
enum class Holes { Scattered, Clustered };

struct Landscape {
  const char* name;
  std::size_t rows, cols;
  WindowMode mode;
  Grid grid;
  Holes holes;
  std::uint64_t row_offset, col_offset;
  std::int32_t outer_window;
  bool traversal, olvi, pa_to_pa;
  double least_fit;  // the share of focal cells whose graph must come from a template
};

void PrintTo(const Landscape& l, std::ostream* os) { *os << l.name; }

// Transforms of the levels' local rasters: level cell (0, 0) is global level
// cell floor(offset / L), so every level shares one global origin.
Affine level_transform(const Landscape& l, std::int32_t level) {
  // Cell size and origin by Grid. Far from its origin a grid's centres round,
  // so that its links take lengths that differ from row to row.
  constexpr double kGrids[4][3] = {
      {100.0, 351234.567, 6901234.321}, {92.61, 1.5e11, -1.5e11}, {0.001, 10.0, 60.256}, {0.05, 20.0, 65.0}};
  const auto [cell, x0, y0] = kGrids[static_cast<int>(l.grid)];
  const auto first = [level](std::uint64_t offset) {
    return static_cast<double>(floor_div(static_cast<std::int64_t>(offset), std::int64_t{level}) * level);
  };
  return Affine{cell * level, 0, x0 + cell * first(l.col_offset), 0, -cell * level, y0 - cell * first(l.row_offset)};
}

EngineInputs make_inputs(const Landscape& l) {
  std::mt19937 rng(static_cast<unsigned>(l.rows * 1009 + l.cols * 31 + l.row_offset));
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  const auto random_raster = [&](std::size_t bands, float lo, float hi, float odd_share, float odd) {
    Raster<float> r(l.rows, l.cols, bands, 0.0f);
    for (std::size_t i = 0; i < r.size(); ++i) r.data()[i] = unit(rng) < odd_share ? odd : lo + (hi - lo) * unit(rng);
    return r;
  };
  EngineInputs in;
  in.condition = random_raster(1, 0.05f, 1.0f, l.holes == Holes::Scattered ? 0.02f : 0.003f, NAN);
  if (l.holes == Holes::Clustered) {  // discs of missing values, radius 1 to 5
    const auto rows = static_cast<std::int64_t>(l.rows), cols = static_cast<std::int64_t>(l.cols);
    std::uniform_int_distribution<std::int64_t> row(0, rows - 1), col(0, cols - 1), radius(1, 5);
    for (std::size_t blob = l.rows * l.cols / 600; blob > 0; --blob) {
      const std::int64_t cr = row(rng), cc = col(rng), rad = radius(rng);
      for (std::int64_t r = std::max<std::int64_t>(0, cr - rad); r <= std::min(cr + rad, rows - 1); ++r) {
        for (std::int64_t c = std::max<std::int64_t>(0, cc - rad); c <= std::min(cc + rad, cols - 1); ++c) {
          if ((r - cr) * (r - cr) + (c - cc) * (c - cc) <= rad * rad) {
            (*in.condition)(static_cast<std::size_t>(r), static_cast<std::size_t>(c)) = NAN;
          }
        }
      }
    }
  }
  // Islands among the lakes: cells whose eight neighbours have no value, so
  // that their graphs take the pseudo-node however complete their coarser windows.
  for (const auto& [r, c] : {std::pair{l.rows / 3, l.cols / 3}, std::pair{l.rows / 2, 2 * l.cols / 3}}) {
    if (l.holes != Holes::Clustered) break;
    for (std::size_t i = r - 1; i <= r + 1; ++i) {
      for (std::size_t j = c - 1; j <= c + 1; ++j) (*in.condition)(i, j) = NAN;
    }
    (*in.condition)(r, c) = 0.5f;
  }
  if (l.traversal) in.traversal = random_raster(1, 0.1f, 1.0f, 0.03f, NAN);
  if (l.olvi)
    in.transition_grids = std::vector<Raster<float>>{random_raster(3, 0.0f, 2.0f, 0.03f, INFINITY),
                                                     random_raster(2, 0.0f, 1.0f, 0.0f, 0.0f)};
  in.mask = Raster<std::uint8_t>(l.rows, l.cols, 0);
  for (std::size_t r = 0; r < l.rows && l.pa_to_pa; ++r) {  // protected blocks (0) among unprotected cells
    for (std::size_t c = 0; c < l.cols; ++c) in.mask(r, c) = (r / 9 + c / 11) % 3 == 0 ? 0 : 1;
  }
  for (const std::int32_t level : {1, 2, 4}) {
    in.levels.push_back(static_cast<std::uint64_t>(level));
    in.transforms[level] = level_transform(l, level);
  }
  ConnectivityParams& p = in.params;
  p.lambdas = {2.0f, 20.0f};
  p.is_geo = l.grid == Grid::GeoFine || l.grid == Grid::GeoCoarse;
  p.max_cost = 10.0f;
  p.window_size = 3;
  p.outer_window = l.outer_window;
  p.row_offset = l.row_offset;
  p.col_offset = l.col_offset;
  p.window_mode = l.mode;
  p.pa_to_pa = l.pa_to_pa;
  return in;
}

// One landscape prepared and tabled as the engine does it.
struct Prepared {
  EngineInputs inputs;
  PreparedEngine prepared;
  KernelForm form;
  CallTables tables;
  explicit Prepared(const Landscape& l)
      : inputs(make_inputs(l)),
        prepared(prepare(inputs)),
        form(kernel_form(inputs)),
        tables(make_call_tables(inputs, prepared, form)) {}
  static PreparedEngine prepare(const EngineInputs& in) { return prepare_engine(in, *std::make_unique<WorkerPool>(2)); }
};

template <class T, class A>
bool same_bits(const std::vector<T, A>& a, const std::vector<T, A>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

::testing::AssertionResult same_graph(const SearchGraph& fresh, const SearchGraph& made) {
  const std::pair<const char*, bool> fields[] = {
      {"condition", same_bits(fresh.condition, made.condition)},
      {"protected_fraction", same_bits(fresh.protected_fraction, made.protected_fraction)},
      {"weight", same_bits(fresh.weight, made.weight)},
      {"traversal", same_bits(fresh.traversal, made.traversal)},
      {"path_weight", same_bits(fresh.path_weight, made.path_weight)},
      {"similarity", fresh.similarity == made.similarity},
      {"similarity_stride", fresh.similarity_stride == made.similarity_stride},
      {"grid_count", fresh.grid_count == made.grid_count},
      {"level_base", fresh.level_base == made.level_base},
      {"edges", same_bits(fresh.edges, made.edges)},
      {"edge_begin", fresh.edge_begin == made.edge_begin},
      {"edge_count", fresh.edge_count == made.edge_count},
      {"source", fresh.source == made.source},
      {"max_distance_units", fresh.max_distance_units == made.max_distance_units},
      {"max_weighted_units", fresh.max_weighted_units == made.max_weighted_units},
  };
  for (const auto& [name, same] : fields) {
    if (!same) return ::testing::AssertionFailure() << name << " differs";
  }
  return ::testing::AssertionSuccess();
}

// The nodes of a graph made from a template that hold gathered cells, in
// order, are the fresh graph's nodes; its last node is the pseudo-node.
std::vector<std::uint32_t> made_nodes(const SearchGraph& made, const std::vector<std::uint8_t>& present) {
  std::vector<std::uint32_t> node_of;
  for (std::uint32_t m = 0; m + 1 < made.node_count(); ++m) {
    if (present[m] != 0) node_of.push_back(m);
  }
  node_of.push_back(static_cast<std::uint32_t>(made.node_count() - 1));
  return node_of;
}

// A graph made from a template as a graph of its own edges: those into
// blocked nodes left out, the weighted costs its own, the widest steps
// exact. The widest steps it was given must bound them.
::testing::AssertionResult owning_its_edges(const SearchGraph& made, SearchGraph& out) {
  out = made;
  out.shared_edges = {};
  out.blocked.clear();
  out.edges.clear();
  std::vector<std::uint8_t> blocked(made.node_count(), 0);
  for (const std::uint32_t b : made.blocked) blocked[b] = 1;
  out.max_distance_units = out.max_weighted_units = 0;
  for (std::size_t u = 0; u < made.node_count(); ++u) {
    out.edge_begin[u] = static_cast<std::uint32_t>(out.edges.size());
    if (blocked[u] != 0) {
      out.edge_count[u] = 0;
      continue;
    }
    for (std::uint32_t e = made.edge_begin[u]; e < made.edge_begin[u] + made.edge_count[u]; ++e) {
      GraphEdge edge = made.edge_data()[e];
      if (blocked[edge.target] != 0) continue;
      if (made.shares_edges()) {
        edge.weighted_units = made.shared_units[e];
        edge.weighted_cost = made.shared_cost[e];
      }
      out.edges.push_back(edge);
      out.max_distance_units = std::max(out.max_distance_units, edge.distance_units);
      out.max_weighted_units = std::max(out.max_weighted_units, edge.weighted_units);
    }
    out.edge_count[u] = static_cast<std::uint32_t>(out.edges.size()) - out.edge_begin[u];
  }
  if (made.max_distance_units < out.max_distance_units || made.max_weighted_units < out.max_weighted_units) {
    return ::testing::AssertionFailure() << "the widest steps given are too narrow";
  }
  return ::testing::AssertionSuccess();
}

// The same graph but for the numbering of its nodes: every fresh node's values
// and edges, in order, at its made node; the made graph's other nodes have no
// edges, and none enters them.
::testing::AssertionResult same_graph(const SearchGraph& fresh, const SearchGraph& made,
                                      const std::vector<std::uint32_t>& node_of) {
  if (node_of.size() != fresh.node_count()) return ::testing::AssertionFailure() << "node counts differ";
  std::vector<std::int64_t> fresh_of(made.node_count(), -1);
  for (std::size_t n = 0; n < node_of.size(); ++n) fresh_of[node_of[n]] = static_cast<std::int64_t>(n);
  for (std::size_t m = 0; m < made.node_count(); ++m) {
    if (fresh_of[m] < 0 && made.edge_count[m] != 0) return ::testing::AssertionFailure() << "absent node with edges";
  }
  for (std::size_t n = 0; n < node_of.size(); ++n) {
    const std::size_t m = node_of[n];
    const bool values =
        std::bit_cast<std::uint32_t>(fresh.condition[n]) == std::bit_cast<std::uint32_t>(made.condition[m]) &&
        std::bit_cast<std::uint32_t>(fresh.weight[n]) == std::bit_cast<std::uint32_t>(made.weight[m]) &&
        std::bit_cast<std::uint32_t>(fresh.protected_fraction[n]) ==
            std::bit_cast<std::uint32_t>(made.protected_fraction[m]) &&
        std::bit_cast<std::uint32_t>(fresh.traversal[n]) == std::bit_cast<std::uint32_t>(made.traversal[m]) &&
        std::bit_cast<std::uint32_t>(fresh.path_weight[n]) == std::bit_cast<std::uint32_t>(made.path_weight[m]) &&
        fresh.similarity[n] == made.similarity[m] && fresh.similarity_stride[n] == made.similarity_stride[m] &&
        fresh.grid_count[n] == made.grid_count[m];
    if (!values) return ::testing::AssertionFailure() << "values of node " << n << " differ";
    if (fresh.edge_count[n] != made.edge_count[m]) return ::testing::AssertionFailure() << "edges of node " << n;
    for (std::uint32_t i = 0; i < fresh.edge_count[n]; ++i) {
      GraphEdge e = made.edges[made.edge_begin[m] + i];
      if (fresh_of[e.target] < 0) return ::testing::AssertionFailure() << "an edge enters an absent node";
      e.target = static_cast<std::uint32_t>(fresh_of[e.target]);
      if (!same_bits(std::vector<GraphEdge>{fresh.edges[fresh.edge_begin[n] + i]}, std::vector<GraphEdge>{e})) {
        return ::testing::AssertionFailure() << "edge " << i << " of node " << n << " differs";
      }
    }
  }
  const bool rest = fresh.edge_total() == made.edge_total() && fresh.source >= 0 &&
                    node_of[static_cast<std::size_t>(fresh.source)] == static_cast<std::uint32_t>(made.source) &&
                    fresh.max_distance_units == made.max_distance_units &&
                    fresh.max_weighted_units == made.max_weighted_units;
  return rest ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "edge count, source or widest steps";
}

struct Fits {
  std::size_t cells = 0, no_template = 0, none = 0, whole = 0, part = 0, repaired = 0, searched = 0;
};

class TemplateGraphs : public ::testing::TestWithParam<Landscape> {};

// Every focal cell, borders included: the graph its phase's template gives
// is the one built afresh from the same windows, and so are its totals.
TEST_P(TemplateGraphs, EqualTheGraphsAndTotalsBuiltAfresh) {
  const Landscape& l = GetParam();
  const Prepared run(l);
  const ConnectivityParams& params = run.inputs.params;
  const CallTables& tables = run.tables;
  ASSERT_TRUE(tables.templates.usable);
  const TemplateInputs inputs{tables.windows, params, run.inputs.transforms, tables.step_lengths, tables.templates};
  GraphTemplates templates;  // one worker's
  FocalWindows windows;
  GraphScratch fresh_scratch, made_scratch;
  TemplateScratch template_scratch;
  SearchGraph fresh, made;  // `made` is reused as the engine's graph is, built afresh where no template fits
  BucketQueue buckets;
  RadixHeap heap;
  SearchResult search;
  std::vector<std::uint64_t> totals;
  Fits fits;
  for (std::int32_t r = 0; r < static_cast<std::int32_t>(l.rows); ++r) {
    for (std::int32_t c = 0; c < static_cast<std::int32_t>(l.cols); ++c) {
      ++fits.cells;
      gather_focal_windows(r, c, tables.windows, windows);
      build_search_graph(r, c, windows, params, run.inputs.transforms, fresh_scratch, fresh, &tables.step_lengths);
      const GraphTemplate* t = templates.find(r, c, inputs);
      const TemplateFit fit =
          t == nullptr ? TemplateFit::None
                       : graph_from_template(*t, r, c, windows, params, tables.step_lengths, template_scratch, made);
      (t == nullptr                ? fits.no_template
       : fit == TemplateFit::None  ? fits.none
       : fit == TemplateFit::Whole ? fits.whole
                                   : fits.part) += 1;
      if (fit == TemplateFit::None) {
        build_search_graph(r, c, windows, params, run.inputs.transforms, made_scratch, made, &tables.step_lengths);
      }
      if (fit == TemplateFit::None) {
        ASSERT_TRUE(same_graph(fresh, made)) << "focal cell " << r << "," << c;
        continue;
      }
      const std::vector<std::uint32_t> node_of = made_nodes(made, template_scratch.present);
      SearchGraph owning;
      ASSERT_TRUE(owning_its_edges(made, owning));
      ASSERT_TRUE(same_graph(fresh, owning, node_of))
          << "focal cell " << r << "," << c << " fit " << static_cast<int>(fit);
      distance_total_search(fresh, fresh.source, buckets, search);
      if (!distances_from_template(*t, fit, template_scratch, totals)) {
        ASSERT_EQ(fit, TemplateFit::Part);
        ++fits.searched;
        continue;
      }
      fits.repaired += fit == TemplateFit::Part ? 1 : 0;
      for (std::size_t n = 0; n < node_of.size(); ++n) {
        ASSERT_EQ(totals[node_of[n]], search.total[n])
            << "focal cell " << r << "," << c << " node " << n << " fit " << static_cast<int>(fit);
      }
    }
  }
  std::printf("%s: %zu cells, %zu whole, %zu part (%zu repaired, %zu searched), %zu unfit, %zu without template\n",
              l.name, fits.cells, fits.whole, fits.part, fits.repaired, fits.searched, fits.none, fits.no_template);
  EXPECT_GT(fits.none + fits.no_template, 0u);  // the borders at least take fresh graphs
  if (l.grid == Grid::ProjectedFar) {           // the templates' links must be told apart from the focal cells'
    const LinkLengths& links = tables.step_lengths.for_level(1)->links;
    EXPECT_GT(std::set<std::uint16_t>(links.row_class.begin(), links.row_class.end()).size(), 2u);
    EXPECT_GT(fits.whole, 0u);
    return;
  }
  EXPECT_GT(static_cast<double>(fits.whole + fits.part), l.least_fit * static_cast<double>(fits.cells));
  EXPECT_GT(fits.whole, 0u);
  EXPECT_GT(fits.repaired, 0u);
}

// Level 4's outer window reaches 12 or 20 base cells: every landscape holds
// whole windows. Geographic phases are rows, and only rows with whole windows
// take templates, so less of those landscapes fits.
constexpr Landscape kLandscapes[] = {
    {"ProjectedCircularClustered", 96, 100, WindowMode::Circular, Grid::Projected, Holes::Clustered, 7, 13, 5, false,
     false, false, 0.3},
    {"ProjectedSquareScatteredTraversal", 90, 84, WindowMode::Square, Grid::Projected, Holes::Scattered, 3, 1, 3, true,
     false, false, 0.3},
    {"ProjectedCircularOlvi", 80, 84, WindowMode::Circular, Grid::Projected, Holes::Clustered, 1, 5, 3, false, true,
     false, 0.3},
    {"ProjectedSquarePaToPa", 84, 90, WindowMode::Square, Grid::Projected, Holes::Clustered, 123457, 98765, 5, false,
     false, true, 0.2},
    {"GeoFineCircularTraversal", 80, 90, WindowMode::Circular, Grid::GeoFine, Holes::Clustered, 5, 9, 5, true, false,
     false, 0.15},
    {"GeoFineSquarePaToPa", 76, 72, WindowMode::Square, Grid::GeoFine, Holes::Scattered, 11, 3, 3, false, false, true,
     0.15},
    {"GeoCoarseCircularOlvi", 72, 80, WindowMode::Circular, Grid::GeoCoarse, Holes::Scattered, 9, 7, 5, true, true,
     false, 0.15},
    {"GeoCoarseSquareClustered", 80, 76, WindowMode::Square, Grid::GeoCoarse, Holes::Clustered, 15, 21, 5, false, false,
     false, 0.15},
    {"ProjectedFarCircular", 72, 72, WindowMode::Circular, Grid::ProjectedFar, Holes::Scattered, 3, 5, 3, false, false,
     false, 0.0},
};

INSTANTIATE_TEST_SUITE_P(Landscapes, TemplateGraphs, ::testing::ValuesIn(kLandscapes));

// The engine's value of every focal cell is the same, bit for bit, with and
// without templates, in every loop build.
TEST(TemplateSearch, FocalValuesDoNotDependOnTemplates) {
  const LoopBuild initial = loop_build();
  for (const Landscape& l : {kLandscapes[0], kLandscapes[5]}) {
    const Prepared run(l);
    CallTables untemplated = run.tables;
    untemplated.templates.usable = false;
    const SearchContext with{run.prepared,    run.inputs.params, run.inputs.transforms,
                             run.inputs.mask, run.form,          run.tables};
    const SearchContext without{run.prepared,    run.inputs.params, run.inputs.transforms,
                                run.inputs.mask, run.form,          untemplated};
    for (const LoopBuild build : {LoopBuild::Portable, LoopBuild::Avx2}) {
      if (!loop_build_available(build)) continue;
      set_loop_build(build);
      // Two workers sharing their templates (on projected grids) take the focal cells in turn.
      SharedTemplates shared(run.tables.templates, run.tables.windows);
      EXPECT_EQ(shared.active(), !run.tables.templates.by_row) << l.name;
      SearchContext sharing = with;
      sharing.shared_templates = &shared;
      SearchScratch templated_scratch, fresh_scratch, workers[2];
      std::size_t differing = 0;
      for (std::int32_t r = 0; r < static_cast<std::int32_t>(l.rows); ++r) {
        for (std::int32_t c = 0; c < static_cast<std::int32_t>(l.cols); ++c) {
          const float a = search_focal_cell(r, c, with, templated_scratch);
          const float b = search_focal_cell(r, c, without, fresh_scratch);
          const float s = search_focal_cell(r, c, sharing, workers[(r + c) % 2]);
          const bool same = std::memcmp(&a, &b, sizeof(float)) == 0 && std::memcmp(&s, &b, sizeof(float)) == 0;
          if (!same && ++differing <= 5) {
            ADD_FAILURE() << l.name << " focal cell " << r << "," << c << ": " << a << ", shared " << s << " vs " << b;
          }
        }
      }
      EXPECT_GT(workers[0].paths.whole + workers[1].paths.whole, 0u) << l.name;
      EXPECT_EQ(differing, 0u) << l.name;
      EXPECT_GT(templated_scratch.paths.whole, 0u) << l.name;
      EXPECT_GT(templated_scratch.paths.repaired, 0u) << l.name;
      EXPECT_EQ(fresh_scratch.paths.built, l.rows * l.cols) << l.name;
    }
  }
  set_loop_build(initial);
}

// Two workers meeting the same phases at once: whichever builds a template,
// the other computes meanwhile, and every value is the untemplated one.
TEST(SharedTemplates, ServeWorkersAtOnce) {
  const Landscape& l = kLandscapes[0];
  const Prepared run(l);
  CallTables untemplated = run.tables;
  untemplated.templates.usable = false;
  const SearchContext without{run.prepared,    run.inputs.params, run.inputs.transforms,
                              run.inputs.mask, run.form,          untemplated};
  SearchScratch fresh_scratch;
  std::vector<float> fresh;
  for (std::int32_t r = 0; r < static_cast<std::int32_t>(l.rows); ++r) {
    for (std::int32_t c = 0; c < static_cast<std::int32_t>(l.cols); ++c)
      fresh.push_back(search_focal_cell(r, c, without, fresh_scratch));
  }
  SharedTemplates shared(run.tables.templates, run.tables.windows);
  ASSERT_TRUE(shared.active());
  SearchContext sharing{run.prepared, run.inputs.params, run.inputs.transforms, run.inputs.mask, run.form, run.tables};
  sharing.shared_templates = &shared;
  std::size_t differing[2] = {0, 0};
  SearchScratch workers[2];
  const auto work = [&](int w) {
    std::size_t i = 0;
    for (std::int32_t r = 0; r < static_cast<std::int32_t>(l.rows); ++r) {
      for (std::int32_t c = 0; c < static_cast<std::int32_t>(l.cols); ++c, ++i) {
        const float v = search_focal_cell(r, c, sharing, workers[w]);
        differing[w] += std::memcmp(&v, &fresh[i], sizeof(float)) == 0 ? 0 : 1;
      }
    }
  };
  std::thread other(work, 1);
  work(0);
  other.join();
  EXPECT_EQ(differing[0] + differing[1], 0u);
  EXPECT_GT(workers[0].paths.whole + workers[1].paths.whole, 0u);
}

// The command's defaults (levels 1, 2, 4 and 8, outer window 11) share their
// templates among the workers: every phase's fits the bound, counted by each
// level's own window (the outer window at every level would not fit).
TEST(SharedTemplates, ServeTheDefaultWindows) {
  Landscape l = kLandscapes[0];
  l.rows = l.cols = 200;
  l.outer_window = 11;
  EngineInputs in = make_inputs(l);
  in.levels.push_back(8);
  in.transforms[8] = level_transform(l, 8);
  const PreparedEngine prepared = Prepared::prepare(in);
  const CallTables tables = make_call_tables(in, prepared, kernel_form(in));
  ASSERT_TRUE(tables.templates.usable);
  EXPECT_EQ(tables.templates.period, 8);
  EXPECT_TRUE(SharedTemplates(tables.templates, tables.windows).active());
}

}  // namespace
}  // namespace velkan
