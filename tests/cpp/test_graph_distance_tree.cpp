#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "graph/distance_tree.h"
#include "graph/least_cost.h"

namespace velkan {
namespace {

struct TreeCase {
  std::size_t nodes, degree;
  std::uint32_t max_units;  // above BucketQueue::kMaxStep the searches take the radix heap
  double zero_share;        // edges of 0 units
  std::size_t unreachable;  // the last nodes, which no edge enters
};

// A random directed graph with parallel edges, self-loops, 0-unit edges and
// nodes no edge enters.
SearchGraph random_graph(std::mt19937& rng, const TreeCase& c) {
  SearchGraph g;
  g.condition.assign(c.nodes, 1.0f);
  g.edge_begin.assign(c.nodes, 0);
  g.edge_count.assign(c.nodes, 0);
  std::uniform_int_distribution<std::size_t> degree(0, c.degree), target(0, c.nodes - 1 - c.unreachable);
  std::uniform_int_distribution<std::uint32_t> units(1, c.max_units);
  std::bernoulli_distribution zero(c.zero_share), twice(0.15);
  for (std::size_t u = 0; u < c.nodes; ++u) {
    g.edge_begin[u] = static_cast<std::uint32_t>(g.edges.size());
    for (std::size_t k = degree(rng); k > 0; --k) {
      const auto v = static_cast<std::uint32_t>(target(rng));
      const std::uint32_t d = zero(rng) ? 0 : units(rng);
      g.edges.push_back(GraphEdge{v, d, d, 0.01f * static_cast<float>(d)});
      if (twice(rng)) g.edges.push_back(GraphEdge{v, d, d / 2 + units(rng) % 3, 0.0f});  // a parallel edge
    }
    g.edge_count[u] = static_cast<std::uint32_t>(g.edges.size()) - g.edge_begin[u];
  }
  for (const GraphEdge& e : g.edges) g.max_distance_units = std::max(g.max_distance_units, e.distance_units);
  return g;
}

// The same nodes, without the edges into or out of the absent ones.
SearchGraph without(const SearchGraph& g, const std::vector<std::uint8_t>& present) {
  SearchGraph out;
  out.condition = g.condition;
  out.edge_begin.assign(g.node_count(), 0);
  out.edge_count.assign(g.node_count(), 0);
  for (std::size_t u = 0; u < g.node_count(); ++u) {
    out.edge_begin[u] = static_cast<std::uint32_t>(out.edges.size());
    for (std::uint32_t e = g.edge_begin[u]; e < g.edge_begin[u] + g.edge_count[u] && present[u] != 0; ++e) {
      if (present[g.edges[e].target] == 0) continue;
      out.edges.push_back(g.edges[e]);
      out.max_distance_units = std::max(out.max_distance_units, g.edges[e].distance_units);
    }
    out.edge_count[u] = static_cast<std::uint32_t>(out.edges.size()) - out.edge_begin[u];
  }
  return out;
}

// Each reached node's parent as the preorder layout implies it: the nearest
// node before it whose subtree range holds it. Checks on the way that the
// layout is one tree from `start` whose edges are shortest-path edges.
std::vector<std::int64_t> tree_parents(const DistanceTree& t, const SearchGraph& g, std::int32_t start) {
  std::vector<std::int64_t> parent(g.node_count(), -1);
  EXPECT_EQ(t.order.front(), static_cast<std::uint32_t>(start));
  EXPECT_EQ(t.extent[static_cast<std::size_t>(start)], t.order.size());
  std::vector<std::uint32_t> open;  // the ancestors of the current position
  for (std::uint32_t p = 0; p < t.order.size(); ++p) {
    const std::uint32_t v = t.order[p];
    EXPECT_EQ(t.preorder[v], p);
    while (!open.empty() && p >= t.preorder[open.back()] + t.extent[open.back()]) open.pop_back();
    if (!open.empty()) {
      const std::uint32_t u = open.back();
      EXPECT_LE(p + t.extent[v], t.preorder[u] + t.extent[u]) << "subtree of " << v << " leaves that of " << u;
      bool edge = false;
      for (std::uint32_t e = g.edge_begin[u]; e < g.edge_begin[u] + g.edge_count[u]; ++e) {
        edge = edge || (g.edges[e].target == v && t.total[u] + g.edges[e].distance_units == t.total[v]);
      }
      EXPECT_TRUE(edge) << "no shortest-path edge " << u << " -> " << v;
      parent[v] = u;
    }
    open.push_back(v);
  }
  return parent;
}

void PrintTo(const TreeCase& c, std::ostream* os) { *os << c.nodes << "Nodes" << c.max_units << "Units"; }

class DistanceTreeRepair : public ::testing::TestWithParam<TreeCase> {};

TEST_P(DistanceTreeRepair, RepairedTotalsAreThoseOfAFreshSearch) {
  const TreeCase c = GetParam();
  std::mt19937 rng(77u + static_cast<unsigned>(c.nodes * 31 + c.max_units));
  BucketQueue buckets;
  RadixHeap heap;
  SearchResult fresh;
  TreeScratch tree_scratch;
  RepairScratch repair_scratch;
  DistanceTree tree;                             // rebuilt over every graph, its buffers reused
  constexpr std::uint64_t kUntouched = 0xABCDu;  // what no repair may leave behind
  std::size_t repaired = 0, refused = 0;
  for (int graph_trial = 0; graph_trial < 30; ++graph_trial) {
    const SearchGraph g = random_graph(rng, c);
    const auto start = static_cast<std::int32_t>(rng() % (c.nodes - c.unreachable));
    tree.build(g, start, tree_scratch);
    distance_total_search(g, start, buckets, fresh);
    ASSERT_EQ(tree.total, fresh.total);
    const std::vector<std::int64_t> parent = tree_parents(tree, g, start);
    std::size_t reached = 0;
    for (std::size_t v = 0; v < c.nodes; ++v) {
      const bool in_tree = tree.preorder[v] != DistanceTree::kNoPosition;
      EXPECT_EQ(in_tree, tree.total[v] != kUnreached) << v;
      reached += in_tree ? 1 : 0;
    }
    EXPECT_EQ(tree.order.size(), reached);

    for (const double share : {0.01, 0.05, 0.2, 0.5, 0.9}) {
      for (int subset = 0; subset < 6; ++subset) {
        std::bernoulli_distribution removed(share);
        std::vector<std::uint8_t> present(c.nodes, 1);
        for (std::size_t v = 0; v < c.nodes; ++v) present[v] = static_cast<int>(v) == start || !removed(rng) ? 1 : 0;
        // Present reached nodes whose tree path runs through an absent node.
        std::size_t affected = 0;
        for (std::size_t v = 0; v < c.nodes; ++v) {
          bool cut = false;
          for (std::int64_t u = parent[v]; u >= 0 && !cut; u = parent[static_cast<std::size_t>(u)]) {
            cut = present[static_cast<std::size_t>(u)] == 0;
          }
          affected += present[v] != 0 && cut ? 1 : 0;
        }
        std::vector<std::uint32_t> absent;
        for (std::size_t v = 0; v < c.nodes; ++v) {
          if (present[v] == 0) absent.push_back(static_cast<std::uint32_t>(v));
        }
        std::vector<std::uint64_t> total(c.nodes, kUntouched);
        // Nothing cut, nothing to settle; a cut may still be mended by equally cheap edges.
        const bool within_none = repair_totals(tree, g, present.data(), absent, 0, repair_scratch, total.data());
        EXPECT_TRUE(within_none || affected > 0);
        refused += within_none ? 0 : 1;
        std::fill(total.begin(), total.end(), kUntouched);
        ASSERT_TRUE(repair_totals(tree, g, present.data(), absent, affected, repair_scratch, total.data()));
        ++repaired;
        const SearchGraph less = without(g, present);
        distance_total_search(less, start, buckets, fresh);
        for (std::size_t v = 0; v < c.nodes; ++v) {
          if (present[v] != 0) {
            ASSERT_EQ(total[v], fresh.total[v]) << "node " << v << ", share " << share << ", graph " << graph_trial;
          } else {
            ASSERT_EQ(total[v], kUnreached) << "absent node " << v;
          }
        }
      }
    }
  }
  EXPECT_GT(refused * 20, repaired);  // subsets that cut some tree path are common
}

INSTANTIATE_TEST_SUITE_P(RandomGraphs, DistanceTreeRepair,
                         ::testing::Values(TreeCase{6, 3, 3, 0.3, 1}, TreeCase{60, 4, 5, 0.25, 5},
                                           TreeCase{200, 6, 400, 0.05, 10}, TreeCase{150, 3, 2, 0.6, 0},
                                           TreeCase{120, 5, 60000, 0.1, 8}, TreeCase{300, 8, 1, 0.0, 20}));

}  // namespace
}  // namespace velkan
