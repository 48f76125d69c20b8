#include <gtest/gtest.h>

#include <algorithm>
#include <bit>

#include <cmath>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <utility>

#include "builder/graph_builder.h"
#include "builder/step_lengths.h"
#include "common/errors.h"
#include "graph/distance.h"

namespace velkan {
namespace {

const Affine kProjected30{30.0, 0.0, 0.0, 0.0, -30.0, 0.0};

// A block of cells [r0, r0 + n) x [c0, c0 + m) at `level`, border cells flagged as edges.
LevelCells block(std::int32_t level, std::int32_t r0, std::int32_t c0, std::int32_t n, std::int32_t m,
                 float traversal = 1.0f) {
  LevelCells cells;
  cells.level = level;
  for (std::int32_t r = r0; r < r0 + n; ++r) {
    for (std::int32_t c = c0; c < c0 + m; ++c) {
      cells.rows.push_back(r);
      cells.cols.push_back(c);
      cells.condition.push_back(1.0f);
      cells.weight.push_back(1.0f);
      cells.protected_fraction.push_back(1.0f);
      cells.traversal.push_back(traversal);
      cells.partial.push_back(0);
      cells.edge.push_back(r == r0 || r == r0 + n - 1 || c == c0 || c == c0 + m - 1 ? 1 : 0);
    }
  }
  cells.has_traversal = true;
  return cells;
}

struct Built {
  SearchGraph graph;
  GraphScratch scratch;
};

void build(Built& b, std::int32_t row, std::int32_t col, const FocalWindows& w, const ConnectivityParams& p,
           const TransformMap& t) {
  build_search_graph(row, col, w, p, t, b.scratch, b.graph);
}

// Index of the edge u -> v, or -1.
long edge_between(const SearchGraph& g, std::size_t u, std::size_t v) {
  for (std::uint32_t e = g.edge_begin[u]; e < g.edge_begin[u] + g.edge_count[u]; ++e) {
    if (g.edges[e].target == v) return e;
  }
  return -1;
}

std::string build_failure(const FocalWindows& w, const ConnectivityParams& p, const TransformMap& t) {
  Built b;
  try {
    build(b, 0, 0, w, p, t);
  } catch (const InternalError& e) {
    return e.what();
  }
  return "no failure";
}

TEST(CellDistance, ProjectedAndGeographic) {
  EXPECT_DOUBLE_EQ(cell_distance_m(cell_centre(kProjected30, 0, 0), cell_centre(kProjected30, 0, 1), false), 30.0);
  EXPECT_NEAR(cell_distance_m(cell_centre(kProjected30, 0, 0), cell_centre(kProjected30, 1, 1), false), 42.42640687,
              1e-6);
  const Affine geo{1.0, 0.0, 0.0, 0.0, -1.0, 0.0};
  const Point a = cell_centre(geo, 0, 0), b = cell_centre(geo, 0, 1);
  EXPECT_DOUBLE_EQ(a.x, 0.5);
  EXPECT_DOUBLE_EQ(b.x, 1.5);
  EXPECT_DOUBLE_EQ(a.y, -0.5);
  // One degree of longitude at latitude 0.5: R * 2 * asin(cos(lat) * sin(0.5 deg)).
  const double lat = 0.5 * kDegreesToRadians;
  const double expected = kEarthRadiusM * 2.0 * std::asin(std::cos(lat) * std::sin(0.5 * kDegreesToRadians));
  EXPECT_NEAR(cell_distance_m(a, b, true), expected, 1e-6);
  EXPECT_NEAR(cell_distance_m(a, b, true), 111191.0, 1.0);
}

// Remembered planar lengths are hypot's, bit for bit, on a pool of offsets
// small enough that slots are shared and revisited all the time, signed
// zeros and non-finite offsets included.
TEST(PlanarLengths, GiveExactlyHypot) {
  std::mt19937 rng(21);
  std::vector<double> pool = {0.0,         -0.0, 50.0,     -50.0,     150.0, 1e-300,
                              3.0e5 / 7.0, -2.5, INFINITY, -INFINITY, NAN,   49.999999999999993};
  while (pool.size() < 24) pool.push_back(std::ldexp(static_cast<double>(rng()), -20));
  std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
  PlanarLengths lengths;
  for (int k = 0; k < 20000; ++k) {
    const double dx = pool[pick(rng)], dy = pool[pick(rng)];
    const double got = lengths.length(dx, dy).metres, expected = std::hypot(dx, dy);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(expected)) << dx << ", " << dy;
  }
}

TEST(SearchGraph, EdgeLengthsAndCountsOfOneLevel) {
  FocalWindows w;
  w.levels.push_back(block(1, 0, 0, 3, 3));
  Built b;
  build(b, 1, 1, w, ConnectivityParams{}, {{1, kProjected30}});
  // 3x3 king graph: 6 horizontal + 6 vertical + 8 diagonal neighbour pairs, both ways.
  EXPECT_EQ(b.graph.edge_total(), 40u);
  EXPECT_EQ(b.graph.source, 4);
  const long straight = edge_between(b.graph, 4, 5), diagonal = edge_between(b.graph, 4, 8);
  ASSERT_GE(straight, 0);
  ASSERT_GE(diagonal, 0);
  // Traversal 1 and max_cost 0: an edge's weighted cost is its length in km.
  EXPECT_EQ(b.graph.edges[straight].weighted_cost, static_cast<float>(30.0 / 1000.0));
  EXPECT_EQ(b.graph.edges[straight].distance_units, 3u);
  EXPECT_NEAR(b.graph.edges[diagonal].weighted_cost, 0.04243f, 1e-5f);
  EXPECT_EQ(b.graph.edges[diagonal].distance_units, 4u);
  // Neighbour order: right, down, left, up, then the diagonals.
  EXPECT_EQ(b.graph.edges[b.graph.edge_begin[4]].target, 5u);
  EXPECT_EQ(b.graph.edges[b.graph.edge_begin[4] + 1].target, 7u);
  EXPECT_EQ(b.graph.edges[b.graph.edge_begin[4] + 4].target, 8u);
}

class MaxCostWeights : public ::testing::TestWithParam<std::pair<float, double>> {};

TEST_P(MaxCostWeights, EnteringCellChargesItsTraversal) {
  const auto [traversal, factor] = GetParam();
  FocalWindows w;
  w.levels.push_back(block(1, 0, 0, 1, 2));
  w.levels[0].traversal[1] = traversal;
  ConnectivityParams p;
  p.max_cost = 0.2f;
  Built b;
  build(b, 0, 0, w, p, {{1, kProjected30}});
  const long e = edge_between(b.graph, 0, 1);
  ASSERT_GE(e, 0);
  EXPECT_NEAR(b.graph.edges[e].weighted_cost, factor * 0.03, 1e-7);
  EXPECT_EQ(b.graph.edges[e].distance_units, 3u);
  // The way back enters cell 0, whose traversal is 1.
  EXPECT_NEAR(b.graph.edges[edge_between(b.graph, 1, 0)].weighted_cost, 0.03, 1e-7);
}

INSTANTIATE_TEST_SUITE_P(Traversal, MaxCostWeights,
                         ::testing::Values(std::make_pair(0.0f, 0.2), std::make_pair(0.5f, 0.6),
                                           std::make_pair(1.0f, 1.0)));

class CoarseLinks : public ::testing::TestWithParam<std::pair<std::uint64_t, std::uint64_t>> {};

TEST_P(CoarseLinks, FineBorderLinksToCoveringCoarseCellsOnly) {
  const auto [off_r, off_c] = GetParam();
  FocalWindows w;
  w.levels.push_back(block(1, 2, 2, 4, 4));
  w.levels.push_back(block(2, 0, 0, 4, 4));
  ConnectivityParams p;
  p.row_offset = off_r;
  p.col_offset = off_c;
  Built b;
  build(b, 3, 3, w, p, {{1, kProjected30}, {2, Affine{60, 0, 0, 0, -60, 0}}});
  const std::size_t coarse_base = 16;
  // Local coarse index covering fine local index x, with the grid aligned globally.
  auto coarse_of = [](double off, double x) {
    return static_cast<std::size_t>(std::floor((off + x) / 2.0) - std::floor(off / 2.0));
  };
  std::size_t links = 0;
  for (std::size_t k = 0; k < 16; ++k) {
    std::set<std::size_t> expected, actual;
    const std::int32_t i = w.levels[0].rows[k], j = w.levels[0].cols[k];
    if (w.levels[0].edge[k]) {
      for (int dr = -1; dr <= 1; ++dr)
        for (int dc = -1; dc <= 1; ++dc)
          expected.insert(coarse_base + coarse_of(double(off_r), i + dr) * 4 + coarse_of(double(off_c), j + dc));
    }
    for (std::uint32_t e = b.graph.edge_begin[k]; e < b.graph.edge_begin[k] + b.graph.edge_count[k]; ++e) {
      if (b.graph.edges[e].target >= coarse_base) actual.insert(b.graph.edges[e].target);
    }
    EXPECT_EQ(actual, expected) << "fine cell " << i << "," << j;
    EXPECT_LE(actual.size(), 4u);
    links += actual.size();
  }
  EXPECT_GT(links, 0u);
  for (std::size_t n = coarse_base; n < coarse_base + 16; ++n) {
    for (std::uint32_t e = b.graph.edge_begin[n]; e < b.graph.edge_begin[n] + b.graph.edge_count[n]; ++e) {
      EXPECT_GE(b.graph.edges[e].target, coarse_base) << "coarse-to-fine edge from " << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Offsets, CoarseLinks,
                         ::testing::Values(std::make_pair(0ULL, 0ULL), std::make_pair(3ULL, 5ULL),
                                           std::make_pair(1ULL, 2ULL)));

TEST(SearchGraph, CoarseLinkLengthJoinsCellCentres) {
  FocalWindows w;
  w.levels.push_back(block(1, 2, 2, 4, 4));
  w.levels.push_back(block(2, 0, 0, 4, 4));
  Built b;
  build(b, 3, 3, w, ConnectivityParams{}, {{1, kProjected30}, {2, Affine{60, 0, 0, 0, -60, 0}}});
  // Fine centre (2,2) at 30 m cells to coarse centre (1,1) at 60 m cells.
  const long link = edge_between(b.graph, 0, 16 + 5);
  ASSERT_GE(link, 0);
  // Traversal 1 and max_cost 0: the weighted cost is the length in km.
  EXPECT_EQ(b.graph.edges[link].weighted_cost, static_cast<float>(std::hypot(15.0, 15.0) / 1000.0));
}

TEST(SearchGraph, IsolatedFocalCellGetsPseudoEdgeUnlessPaToPa) {
  FocalWindows w;
  w.levels.push_back(block(1, 5, 5, 1, 1, 0.5f));
  w.levels[0].condition[0] = 0.7f;
  w.levels[0].weight[0] = 0.9f;
  ConnectivityParams p;
  Built b;
  build(b, 5, 5, w, p, {{1, kProjected30}});
  ASSERT_EQ(b.graph.edge_total(), 1u);
  ASSERT_EQ(b.graph.source, 0);
  const std::size_t pseudo = b.graph.node_count() - 1;
  EXPECT_EQ(pseudo, 1u);
  EXPECT_EQ(b.graph.edges[b.graph.edge_begin[0]].target, pseudo);
  EXPECT_EQ(b.graph.edges[0].distance_units, 3u);
  EXPECT_EQ(b.graph.edges[0].weighted_cost, 0.5f * 0.03f);
  EXPECT_EQ(b.graph.condition[pseudo], 0.7f);
  EXPECT_EQ(b.graph.weight[pseudo], 0.9f);
  p.pa_to_pa = true;
  build(b, 5, 5, w, p, {{1, kProjected30}});
  EXPECT_EQ(b.graph.edge_total(), 0u);
}

TEST(SearchGraph, NanFocalCellHasNoSource) {
  FocalWindows w;
  w.levels.push_back(block(1, 0, 0, 3, 3));
  Built b;
  build(b, 7, 7, w, ConnectivityParams{}, {{1, kProjected30}});  // not among the gathered cells
  EXPECT_EQ(b.graph.source, kNoNode);
}

TEST(SearchGraph, Failures) {
  FocalWindows gap;
  gap.levels.push_back(block(1, 0, 0, 3, 3));
  gap.levels.push_back(block(4, 0, 0, 2, 2));
  const Affine t2{60, 0, 0, 0, -60, 0}, t4{120, 0, 0, 0, -120, 0};
  EXPECT_EQ(build_failure(gap, {}, {{1, kProjected30}, {2, t2}, {4, t4}}), "Node not found in node mapping.");
  EXPECT_EQ(build_failure(gap, {}, {{1, kProjected30}, {4, t4}}), "Missing level in Affine set.");
  EXPECT_EQ(build_failure(gap, {}, {{2, t2}, {4, t4}}), "Missing level in Affine set.");
  FocalWindows no_edges = gap;
  no_edges.levels[0].edge.clear();
  EXPECT_EQ(build_failure(no_edges, {}, {{1, kProjected30}, {2, t2}, {4, t4}}), "Level not found in edge indices.");
  // Value sequences shorter than the cell list are refused before any is read.
  for (const auto shorten : {+[](LevelCells& c) { c.condition.pop_back(); }, +[](LevelCells& c) { c.cols.pop_back(); },
                             +[](LevelCells& c) { c.traversal.resize(1); }}) {
    FocalWindows short_values = gap;
    shorten(short_values.levels[1]);
    EXPECT_EQ(build_failure(short_values, {}, {{1, kProjected30}, {2, t2}, {4, t4}}),
              "Level cells sequences are shorter than the cell list.");
  }
}

TEST(CostUnits, RoundsHalfAwayAndSaturates) {
  EXPECT_EQ(cost_units(0.125f), 13u);
  EXPECT_EQ(cost_units(0.03f), 3u);
  EXPECT_EQ(cost_units(0.0f), 0u);
  EXPECT_EQ(cost_units(-2.0f), 0u);
  EXPECT_EQ(cost_units(std::nanf("")), 0u);
  EXPECT_EQ(cost_units(INFINITY), UINT32_MAX);
  EXPECT_EQ(cost_units(42949668.0f), 4294966784u);
  EXPECT_EQ(cost_units(42949674.0f), UINT32_MAX);
}

TEST(CostUnits, AgreesWithRoundingOnEveryScale) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> exponent(-6.0f, 9.0f);
  for (int i = 0; i < 200000; ++i) {
    const float cost = std::pow(10.0f, exponent(rng));
    const float scaled = std::roundf(cost * 100.0f);
    const std::uint32_t expected = scaled > 4294967040.0f ? UINT32_MAX : static_cast<std::uint32_t>(scaled);
    ASSERT_EQ(cost_units(cost), expected) << cost;
  }
  for (float half : {0.005f, 0.015f, 0.125f, 2.5f, 83886.075f}) ASSERT_EQ(cost_units(half), std::roundf(half * 100.0f));
}

// Every float cost whose scaled value runs from below one half to past 2^24,
// where adding a half stops being exact: the rounding shortcut agrees with roundf.
TEST(CostUnits, AgreesWithRoundingOnEveryFloatAroundTheShortcut) {
  const float first = 0.004f, last = 16777216.0f * 2.0f / 100.0f;
  std::uint32_t bits = 0, last_bits = 0;
  std::memcpy(&bits, &first, sizeof bits);
  std::memcpy(&last_bits, &last, sizeof last_bits);
  std::uint64_t mismatches = 0;
  for (; bits <= last_bits; ++bits) {
    float cost = 0.0f;
    std::memcpy(&cost, &bits, sizeof cost);
    mismatches += cost_units(cost) != static_cast<std::uint32_t>(std::roundf(cost * 100.0f));
  }
  EXPECT_EQ(mismatches, 0u);
}

// The branch-free form the entering-cost tables vectorise agrees with
// cost_units on every sign, scale and special value: every 97th float bit
// pattern, both signs, plus the values where its two conversions meet.
TEST(CostUnits, BranchFreeFormAgreesOnEveryKindOfFloat) {
  std::uint64_t mismatches = 0;
  for (std::uint64_t bits = 0; bits <= UINT32_MAX; bits += 97) {
    const float cost = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    mismatches += cost_units_lanes(cost) != cost_units(cost);
  }
  EXPECT_EQ(mismatches, 0u);
  for (float scaled : {8388607.5f, 8388608.0f, 2147483520.0f, 2147483648.0f, 2147483904.0f, 4294967040.0f,
                       4294967296.0f, 0.49999997f, 0.5f}) {
    const float cost = scaled / 100.0f;
    for (float c : {std::nextafter(cost, 0.0f), cost, std::nextafter(cost, INFINITY)}) {
      ASSERT_EQ(cost_units_lanes(c), cost_units(c)) << c;
    }
  }
  for (float c : {NAN, -NAN, INFINITY, -INFINITY, 0.0f, -0.0f}) ASSERT_EQ(cost_units_lanes(c), cost_units(c)) << c;
}

// Random windows with holes and varied traversal on a projected grid: the
// table-driven build (entering costs by step length, the mapping's empty
// border in place of bounds checks) gives exactly the edges of measuring each
// edge, including cells on the box's rim and cells without neighbours.
TEST(SearchGraph, KnownStepTablesMatchMeasuredEdgesOnRandomWindows) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  const TransformMap transforms = {{1, {100, 0, 512345.5, 0, -100, 6.6e6}}, {2, {200, 0, 512345.5, 0, -200, 6.6e6}}};
  const StepLengths lengths(transforms, {{1, {64, 96}}, {2, {32, 48}}}, false, kSameLevelSteps);
  for (int trial = 0; trial < 40; ++trial) {
    FocalWindows w;
    w.levels.push_back(block(1, 40, 60, 7, 9));
    w.levels.push_back(block(2, 18, 28, 6, 7));
    for (LevelCells& cells : w.levels) {
      LevelCells kept;
      kept.level = cells.level;
      kept.has_traversal = true;
      for (std::size_t k = 0; k < cells.size(); ++k) {
        // Keep the focal cell (43, 64); drop about a third of the others.
        const bool focal = cells.level == 1 && cells.rows[k] == 43 && cells.cols[k] == 64;
        if (!focal && unit(rng) < 0.35f) continue;
        kept.rows.push_back(cells.rows[k]);
        kept.cols.push_back(cells.cols[k]);
        kept.condition.push_back(1.0f);
        kept.weight.push_back(1.0f);
        kept.protected_fraction.push_back(1.0f);
        kept.traversal.push_back(trial % 5 == 0 ? 1e-8f * unit(rng) : unit(rng));
        kept.partial.push_back(0);
        kept.edge.push_back(cells.edge[k]);
      }
      cells = kept;
    }
    ConnectivityParams p;
    p.max_cost = trial % 2 == 0 ? 0.2f : 0.0f;
    Built measured, known;
    build(measured, 43, 64, w, p, transforms);
    build_search_graph(43, 64, w, p, transforms, known.scratch, known.graph, &lengths);
    ASSERT_EQ(known.graph.edge_begin, measured.graph.edge_begin) << trial;
    ASSERT_EQ(known.graph.edge_count, measured.graph.edge_count) << trial;
    ASSERT_EQ(known.graph.max_weighted_units, measured.graph.max_weighted_units) << trial;
    for (std::size_t e = 0; e < measured.graph.edges.size(); ++e) {
      const GraphEdge& a = known.graph.edges[e];
      const GraphEdge& b = measured.graph.edges[e];
      ASSERT_EQ(a.target, b.target) << trial;
      ASSERT_EQ(a.distance_units, b.distance_units) << trial;
      ASSERT_EQ(a.weighted_units, b.weighted_units) << trial;
      ASSERT_EQ(a.weighted_cost, b.weighted_cost) << trial;
    }
  }
}

// Same-level lengths known up front give the graph that measuring every edge
// gives, up to the float64 rounding of the centres, on projected, north-up
// geographic and rotated geographic grids (the last measured edge by edge).
TEST(SearchGraph, KnownStepLengthsMatchMeasuredEdges) {
  FocalWindows w;
  w.levels.push_back(block(1, 40, 60, 7, 9, 0.4f));
  w.levels.push_back(block(2, 18, 28, 6, 7, 0.7f));
  const std::vector<std::pair<bool, TransformMap>> grids = {
      {false, {{1, {100, 0, 512345.5, 0, -100, 6.6e6}}, {2, {200, 0, 512345.5, 0, -200, 6.6e6}}}},
      {true, {{1, {0.001, 0, 10.0, 0, -0.001, 61.0}}, {2, {0.002, 0, 10.0, 0, -0.002, 61.0}}}},
      {true, {{1, {0.001, 0.0002, 10.0, 0.0001, -0.001, 61.0}}, {2, {0.002, 0.0004, 10.0, 0.0002, -0.002, 61.0}}}}};
  for (const auto& [is_geo, transforms] : grids) {
    ConnectivityParams p;
    p.is_geo = is_geo;
    p.max_cost = 0.2f;
    const StepLengths lengths(transforms, {{1, {64, 96}}, {2, {32, 48}}}, is_geo, kSameLevelSteps);
    Built measured, known;
    build(measured, 43, 64, w, p, transforms);
    build_search_graph(43, 64, w, p, transforms, known.scratch, known.graph, &lengths);
    ASSERT_EQ(known.graph.edges.size(), measured.graph.edges.size());
    ASSERT_EQ(known.graph.edge_begin, measured.graph.edge_begin);
    std::uint32_t widest = 0;
    for (const GraphEdge& e : measured.graph.edges) widest = std::max(widest, e.distance_units);
    ASSERT_EQ(measured.graph.max_distance_units, widest);  // what the distance search sizes its ring by
    ASSERT_EQ(known.graph.max_distance_units, widest);
    for (std::size_t e = 0; e < measured.graph.edges.size(); ++e) {
      const GraphEdge& a = known.graph.edges[e];
      const GraphEdge& b = measured.graph.edges[e];
      ASSERT_EQ(a.target, b.target);
      ASSERT_EQ(a.distance_units, b.distance_units);
      ASSERT_EQ(a.weighted_units, b.weighted_units);
      ASSERT_NEAR(a.weighted_cost, b.weighted_cost, 1e-6f * b.weighted_cost);
    }
  }
}

// On north-up grids the links to the coarser level take their lengths from
// the per-call table: they equal the measured ones bit for bit, projected
// (origin far from zero, so the centres' offsets round differently along the
// rows and columns) or geographic, whatever the raster's offsets (which place
// the coarse cells).
TEST(SearchGraph, KnownLinkLengthsAreTheMeasuredOnes) {
  FocalWindows w;
  w.levels.push_back(block(1, 40, 60, 7, 9, 0.4f));
  w.levels.push_back(block(2, 17, 27, 8, 8, 0.7f));
  const std::vector<std::pair<bool, TransformMap>> grids = {
      {true, {{1, {0.001, 0, 10.0, 0, -0.001, 61.0}}, {2, {0.002, 0, 10.0, 0, -0.002, 61.0}}}},
      {false, {{1, {30.0, 0, 512345.7, 0, -30.0, 6.6e6 + 0.3}}, {2, {60.0, 0, 512345.7, 0, -60.0, 6.6e6 + 0.3}}}}};
  for (const auto& [is_geo, transforms] : grids) {
    for (const auto& [row_offset, col_offset] : std::vector<std::pair<int, int>>{{0, 0}, {-3, 5}, {7, -11}, {1, 1}}) {
      ConnectivityParams p;
      p.is_geo = is_geo;
      p.max_cost = 0.2f;
      p.row_offset = static_cast<std::uint64_t>(static_cast<std::int64_t>(row_offset));
      p.col_offset = static_cast<std::uint64_t>(static_cast<std::int64_t>(col_offset));
      const StepLengths lengths(transforms, {{1, {64, 96}}, {2, {32, 48}}}, is_geo, kSameLevelSteps, row_offset,
                                col_offset);
      Built measured, known;
      build(measured, 43, 64, w, p, transforms);
      build_search_graph(43, 64, w, p, transforms, known.scratch, known.graph, &lengths);
      ASSERT_EQ(known.graph.edges.size(), measured.graph.edges.size());
      const std::size_t coarse_base = measured.graph.level_base[1];
      int links = 0;
      for (std::size_t u = 0; u < coarse_base; ++u) {
        for (std::uint32_t e = measured.graph.edge_begin[u];
             e < measured.graph.edge_begin[u] + measured.graph.edge_count[u]; ++e) {
          if (measured.graph.edges[e].target < coarse_base) continue;
          ASSERT_EQ(known.graph.edges[e], measured.graph.edges[e])
              << is_geo << " offsets " << row_offset << ", " << col_offset;
          ++links;
        }
      }
      EXPECT_GE(links, 2 * 28);  // the 28 border cells link to the coarse cells around them
    }
  }
}

}  // namespace
}  // namespace velkan
