#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <queue>
#include <random>
#include <tuple>
#include <vector>

#include "common/errors.h"
#include "graph/least_cost.h"
#include "support/reference_search.h"

namespace velkan {
namespace {

struct PlainEdge {
  std::uint32_t to;
  std::uint32_t cost;
};

// Textbook Dijkstra over adjacency lists, 64-bit totals.
std::vector<std::uint64_t> reference_dijkstra(const std::vector<std::vector<PlainEdge>>& adj, std::uint32_t start) {
  std::vector<std::uint64_t> dist(adj.size(), kUnreached);
  using Item = std::pair<std::uint64_t, std::uint32_t>;
  std::priority_queue<Item, std::vector<Item>, std::greater<Item>> queue;
  dist[start] = 0;
  queue.push({0, start});
  while (!queue.empty()) {
    const auto [d, u] = queue.top();
    queue.pop();
    if (d > dist[u]) continue;
    for (const PlainEdge& e : adj[u]) {
      if (d + e.cost < dist[e.to]) {
        dist[e.to] = d + e.cost;
        queue.push({dist[e.to], e.to});
      }
    }
  }
  return dist;
}

// Random graph in both representations; `cost_range` small makes many ties.
void random_graph(std::mt19937& rng, std::size_t nodes, std::size_t max_degree, std::uint32_t cost_range,
                  bool saturating, SearchGraph& g, std::vector<std::vector<PlainEdge>>& adj) {
  g = SearchGraph{};
  g.condition.assign(nodes, 1.0f);
  g.edge_begin.assign(nodes, 0);
  g.edge_count.assign(nodes, 0);
  adj.assign(nodes, {});
  std::uniform_int_distribution<std::size_t> degree(0, max_degree), node(0, nodes - 1);
  std::uniform_int_distribution<std::uint32_t> cost(0, cost_range);
  std::bernoulli_distribution huge(saturating ? 0.2 : 0.0);
  for (std::size_t u = 0; u < nodes; ++u) {
    g.edge_begin[u] = static_cast<std::uint32_t>(g.edges.size());
    const std::size_t d = degree(rng);
    for (std::size_t k = 0; k < d; ++k) {
      const auto v = static_cast<std::uint32_t>(node(rng));
      const std::uint32_t c = huge(rng) ? UINT32_MAX : cost(rng);
      g.edges.push_back(GraphEdge{v, c, cost_range - c % (cost_range + 1), static_cast<float>(c) * 0.01f});
      adj[u].push_back({v, c});
    }
    g.edge_count[u] = static_cast<std::uint32_t>(g.edges.size()) - g.edge_begin[u];
  }
  // What the builder keeps: the widest step of each kind.
  for (const GraphEdge& e : g.edges) {
    g.max_weighted_units = std::max(g.max_weighted_units, e.weighted_units);
    g.max_distance_units = std::max(g.max_distance_units, e.distance_units);
  }
}

struct Case {
  std::size_t nodes, degree;
  std::uint32_t cost_range;
  bool saturating;
};

class AgainstReference : public ::testing::TestWithParam<Case> {};

TEST_P(AgainstReference, TotalsAndPathTreeMatch) {
  const Case c = GetParam();
  std::mt19937 rng(1234u + static_cast<unsigned>(c.nodes));
  RadixHeap heap;
  PathTree result;
  for (int trial = 0; trial < 30; ++trial) {
    SearchGraph g;
    std::vector<std::vector<PlainEdge>> adj;
    random_graph(rng, c.nodes, c.degree, c.cost_range, c.saturating, g, adj);
    const std::uint32_t start = static_cast<std::uint32_t>(trial) % c.nodes;
    reference::path_tree_search(g, static_cast<std::int32_t>(start), CostKind::Weighted, heap, result);
    const std::vector<std::uint64_t> expected = reference_dijkstra(adj, start);
    ASSERT_EQ(result.total, expected);
    std::size_t reached = 0;
    for (std::size_t v = 0; v < c.nodes; ++v) {
      if (expected[v] == kUnreached) continue;
      ++reached;
      if (v == start) continue;
      const std::uint32_t e = result.pred_edge[v], u = result.pred_node[v];
      ASSERT_EQ(g.edges[e].target, v);
      EXPECT_EQ(result.total[u] + g.edges[e].weighted_units, result.total[v]);
      EXPECT_EQ(result.weighted_path[v], result.weighted_path[u] + g.edges[e].weighted_cost);
    }
    EXPECT_EQ(result.settled.size(), reached);
    // Settled in non-decreasing total order.
    for (std::size_t s = 1; s < result.settled.size(); ++s) {
      EXPECT_LE(result.total[result.settled[s - 1]], result.total[result.settled[s]]);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(RandomGraphs, AgainstReference,
                         ::testing::Values(Case{5, 3, 2, false}, Case{40, 4, 3, false}, Case{120, 6, 1000, false},
                                           Case{60, 5, 2, true}, Case{200, 8, 0, false}, Case{150, 6, 90000, false}));

// Dijkstra written the plain way, one branch per edge, on the radix heap: the
// searches must give its path tree and settle order exactly.
PathTree plain_weighted_search(const SearchGraph& g, std::uint32_t start) {
  PathTree out;
  out.total.assign(g.node_count(), kUnreached);
  out.pred_edge.assign(g.node_count(), kNoEdge);
  out.pred_node.assign(g.node_count(), kNoEdge);
  out.weighted_path.assign(g.node_count(), 0.0f);
  RadixHeap heap;
  heap.clear();
  out.total[start] = 0;
  heap.push(0, start);
  while (!heap.empty()) {
    const auto [key, u] = heap.pop();
    if (key != out.total[u]) continue;
    if (out.pred_edge[u] != kNoEdge) {
      out.weighted_path[u] = out.weighted_path[out.pred_node[u]] + g.edges[out.pred_edge[u]].weighted_cost;
    }
    out.settled.push_back(u);
    for (std::uint32_t e = g.edge_begin[u]; e < g.edge_begin[u] + g.edge_count[u]; ++e) {
      const std::uint64_t candidate = key + g.edges[e].weighted_units;
      if (candidate < out.total[g.edges[e].target]) {
        out.total[g.edges[e].target] = candidate;
        out.pred_edge[g.edges[e].target] = e;
        out.pred_node[g.edges[e].target] = u;
        heap.push(candidate, g.edges[e].target);
      }
    }
  }
  return out;
}

// Wide nodes (more edges than the relaxation handles at once), repeated
// targets within a node and many equal totals.
TEST(LeastCost, SearchesEqualThePlainLoopOnWideNodesWithTies) {
  std::mt19937 rng(11);
  RadixHeap heap;
  BucketQueue buckets;
  for (const auto& [nodes, degree, range] : std::vector<std::tuple<std::size_t, std::size_t, std::uint32_t>>{
           {30, 40, 2}, {80, 20, 0}, {200, 17, 5}, {12, 60, 1}}) {
    for (int trial = 0; trial < 10; ++trial) {
      SearchGraph g;
      std::vector<std::vector<PlainEdge>> adj;
      random_graph(rng, nodes, degree, range, false, g, adj);
      const PathTree expected = plain_weighted_search(g, 0);
      for (const bool on_buckets : {false, true}) {
        PathTree got;
        if (on_buckets) {
          reference::path_tree_search(g, 0, CostKind::Weighted, buckets, got);
        } else {
          reference::path_tree_search(g, 0, CostKind::Weighted, heap, got);
        }
        ASSERT_EQ(got.total, expected.total);
        ASSERT_EQ(got.pred_edge, expected.pred_edge);
        ASSERT_EQ(got.pred_node, expected.pred_node);
        ASSERT_EQ(got.weighted_path, expected.weighted_path);
        ASSERT_EQ(got.settled, expected.settled);
      }
    }
  }
}

TEST(LeastCost, DistanceSelectorUsesDistanceUnits) {
  std::mt19937 rng(7);
  SearchGraph g;
  std::vector<std::vector<PlainEdge>> adj;
  random_graph(rng, 50, 5, 9, false, g, adj);
  for (std::size_t u = 0; u < adj.size(); ++u) {
    for (std::size_t k = 0; k < adj[u].size(); ++k) adj[u][k].cost = g.edges[g.edge_begin[u] + k].distance_units;
  }
  RadixHeap heap;
  PathTree result;
  reference::path_tree_search(g, 3, CostKind::Distance, heap, result);
  EXPECT_EQ(result.total, reference_dijkstra(adj, 3));
}

// Distance totals through the bucket queue equal the reference, with one queue
// and heap reused across graphs whose widest step grows and shrinks; the
// widest range passes the queue's ring, so its graphs take the radix heap.
TEST(LeastDistanceTotals, MatchReferenceAcrossStepWidths) {
  std::mt19937 rng(21);
  BucketQueue buckets;
  RadixHeap heap;
  SearchResult result;
  for (const std::uint32_t range : {0u, 3u, 200u, 1u, BucketQueue::kMaxStep, BucketQueue::kMaxStep + 1, 70000u, 9u}) {
    for (int trial = 0; trial < 10; ++trial) {
      SearchGraph g;
      std::vector<std::vector<PlainEdge>> adj;
      random_graph(rng, 80, 6, range, false, g, adj);
      for (std::size_t u = 0; u < adj.size(); ++u) {
        for (std::size_t k = 0; k < adj[u].size(); ++k) adj[u][k].cost = g.edges[g.edge_begin[u] + k].distance_units;
      }
      const auto start = static_cast<std::uint32_t>(trial * 7 % 80);
      distance_total_search(g, static_cast<std::int32_t>(start), buckets, result);
      ASSERT_EQ(result.total, reference_dijkstra(adj, start)) << "range " << range << " trial " << trial;
    }
  }
  SearchGraph g;
  std::vector<std::vector<PlainEdge>> adj;
  random_graph(rng, 10, 3, 5, false, g, adj);
  distance_total_search(g, kNoNode, buckets, result);
  EXPECT_EQ(result.total, std::vector<std::uint64_t>(10, kUnreached));
}

// Both bucket queues pop in the radix heap's order, ties included (least key,
// then the entry pushed last), on random monotone push and pop sequences; the
// wide ring's buckets span many keys from a step of 70,000 on.
template <class Queue>
void expect_radix_heap_order(Queue queue, std::uint32_t step, std::mt19937& rng) {
  RadixHeap heap;
  std::uniform_int_distribution<std::uint32_t> offset(0, step), pushes(0, 4), tie(0, 3);
  std::uint64_t last = 0;
  std::uint32_t next_node = 0;
  queue.push(0, next_node);
  heap.push(0, next_node++);
  while (!heap.empty()) {
    ASSERT_FALSE(queue.empty());
    const auto expected = heap.pop();
    ASSERT_EQ(queue.pop(), expected) << "step " << step;
    last = expected.first;
    const std::uint32_t count = heap.empty() ? pushes(rng) + 1 : pushes(rng);  // keep going until 3,000 pushes
    for (std::uint32_t k = count; k > 0 && next_node < 3000; --k) {
      const std::uint64_t key = tie(rng) == 0 ? last : last + offset(rng);  // wide steps tie too
      queue.push(key, next_node);
      heap.push(key, next_node++);
    }
  }
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(next_node, 3000u);
}

TEST(BucketQueue, PopsInTheRadixHeapsOrder) {
  std::mt19937 rng(5);
  BucketQueue buckets;
  for (const std::uint32_t step : {0u, 1u, 3u, 40u, 1000u}) {
    buckets.reset(step, 4000);
    expect_radix_heap_order(buckets.local(), step, rng);
  }
  for (const std::uint32_t step : {0u, 40u, BucketQueue::kMaxStep + 1, 70000u, 1u << 24, UINT32_MAX})
    expect_radix_heap_order(buckets.wide_local(step, 4000), step, rng);
}

// The pool holds exactly the pushes promised at reset; one more is a broken
// invariant, reported rather than written past the end.
TEST(BucketQueue, PushBeyondTheResetCountIsAnInternalError) {
  BucketQueue buckets;
  buckets.reset(4, 3);
  for (std::uint32_t n = 0; n < 3; ++n) buckets.push(n, n);
  EXPECT_THROW(buckets.push(3, 3), InternalError);
  EXPECT_EQ(buckets.pop(), (std::pair<std::uint64_t, std::uint32_t>{0, 0}));
}

// So the weighted search gives the same path tree, path sums and settle order
// on either queue.
TEST_P(AgainstReference, BucketQueueSearchEqualsRadixHeapSearch) {
  const Case c = GetParam();
  std::mt19937 rng(99u + static_cast<unsigned>(c.nodes));
  RadixHeap heap;
  BucketQueue buckets;
  PathTree by_heap, by_buckets;
  for (int trial = 0; trial < 30; ++trial) {
    SearchGraph g;
    std::vector<std::vector<PlainEdge>> adj;
    random_graph(rng, c.nodes, c.degree, c.cost_range, c.saturating, g, adj);
    const auto start = static_cast<std::int32_t>(static_cast<std::uint32_t>(trial) % c.nodes);
    reference::path_tree_search(g, start, CostKind::Weighted, heap, by_heap);
    reference::path_tree_search(g, start, CostKind::Weighted, buckets, by_buckets);
    ASSERT_EQ(by_buckets.total, by_heap.total);
    ASSERT_EQ(by_buckets.pred_edge, by_heap.pred_edge);
    ASSERT_EQ(by_buckets.pred_node, by_heap.pred_node);
    ASSERT_EQ(by_buckets.weighted_path, by_heap.weighted_path);
    ASSERT_EQ(by_buckets.settled, by_heap.settled);
  }
}

TEST(LeastCost, NoStartReachesNothing) {
  std::mt19937 rng(9);
  SearchGraph g;
  std::vector<std::vector<PlainEdge>> adj;
  random_graph(rng, 10, 3, 5, false, g, adj);
  RadixHeap heap;
  PathTree result;
  reference::path_tree_search(g, kNoNode, CostKind::Weighted, heap, result);
  EXPECT_TRUE(result.settled.empty());
  for (const std::uint64_t t : result.total) EXPECT_EQ(t, kUnreached);
}

TEST(RadixHeap, PopsInKeyOrder) {
  RadixHeap heap;
  const std::vector<std::uint64_t> keys = {5, 1, 9, 1, 0, 4294967295ULL, 7, 3};
  for (std::size_t i = 0; i < keys.size(); ++i) heap.push(keys[i], static_cast<std::uint32_t>(i));
  std::vector<std::uint64_t> popped;
  while (!heap.empty()) popped.push_back(heap.pop().first);
  EXPECT_EQ(popped, (std::vector<std::uint64_t>{0, 1, 1, 3, 5, 7, 9, 4294967295ULL}));
}

}  // namespace
}  // namespace velkan
