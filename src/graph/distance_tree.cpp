#include "graph/distance_tree.h"

#include <algorithm>

#include "graph/least_cost.h"
#include "graph/search_loop.h"

namespace velkan {
namespace {

constexpr std::uint32_t kNoParent = UINT32_MAX;

// Settles `u`, popped at `key`, unless the entry is stale: what its edges
// improve goes on `queue`.
template <class Queue>
void settle(const SearchGraph& graph, Queue& queue, std::uint64_t key, std::uint32_t u, std::uint64_t* total) {
  if (key != total[u]) return;
  const GraphEdge* const first = graph.edge_data() + graph.edge_begin[u];
  relax(first, first + graph.edge_count[u], key, &GraphEdge::distance_units, total,
        [&queue](const GraphEdge* edge, std::uint64_t candidate) { queue.push(candidate, edge->target); });
}

// The seeds' keys may lie further apart than the ring spans, so they join it
// in key order, each once the ring's keys come within a step of it: every key
// in the ring is then less than the seeds still out.
void settle_on_buckets(const SearchGraph& graph, RepairScratch& s, std::uint64_t* total) {
  std::sort(s.seeds.begin(), s.seeds.end());
  const std::uint32_t step = graph.max_distance_units;
  s.buckets.reset(step, graph.edge_slots() + s.seeds.size() + 1);
  BucketQueue::Ring ring = s.buckets.local();
  std::size_t next = 0;
  while (true) {
    if (ring.empty()) {
      if (next == s.seeds.size()) return;
      ring.restart_at(s.seeds[next].first);
    }
    for (; next < s.seeds.size() && s.seeds[next].first <= ring.last_key() + step; ++next) {
      ring.push(s.seeds[next].first, s.seeds[next].second);
    }
    const auto [key, u] = ring.pop();
    settle(graph, ring, key, u, total);
  }
}

void settle_on_heap(const SearchGraph& graph, RepairScratch& s, std::uint64_t* total) {
  s.heap.clear();
  for (const auto& [key, v] : s.seeds) s.heap.push(key, v);
  while (!s.heap.empty()) {
    const auto [key, u] = s.heap.pop();
    settle(graph, s.heap, key, u, total);
  }
}

}  // namespace

void DistanceTree::build(const SearchGraph& g, std::int32_t start, TreeScratch& s) {
  const std::size_t n = g.node_count();
  // Each node's parent is the node whose edge last improved it, which was
  // settled before it, so the parents form a tree.
  s.parent.assign(n, kNoParent);
  distance_totals_on_buckets(g, start, s.buckets, total,
                             [&s](const GraphEdge* edge, std::uint32_t from) { s.parent[edge->target] = from; });

  // Children grouped by parent, then a preorder walk from the start.
  s.child_begin.assign(n + 1, 0);
  s.children.resize(n);
  for (std::size_t v = 0; v < n; ++v) {
    if (s.parent[v] != kNoParent) ++s.child_begin[s.parent[v] + 1];
  }
  for (std::size_t v = 0; v < n; ++v) s.child_begin[v + 1] += s.child_begin[v];
  s.next.assign(s.child_begin.begin(), s.child_begin.end() - 1);
  for (std::size_t v = 0; v < n; ++v) {
    if (s.parent[v] != kNoParent) s.children[s.next[s.parent[v]]++] = static_cast<std::uint32_t>(v);
  }
  preorder.assign(n, kNoPosition);
  extent.assign(n, 0);
  order.clear();
  s.stack.clear();
  if (start >= 0 && static_cast<std::size_t>(start) < n) s.stack.push_back(static_cast<std::uint32_t>(start));
  while (!s.stack.empty()) {
    const std::uint32_t v = s.stack.back();
    s.stack.pop_back();
    preorder[v] = static_cast<std::uint32_t>(order.size());
    order.push_back(v);
    for (std::uint32_t c = s.child_begin[v + 1]; c > s.child_begin[v]; --c) s.stack.push_back(s.children[c - 1]);
  }
  // Subtree sizes, children before parents.
  for (std::size_t p = order.size(); p-- > 0;) {
    const std::uint32_t v = order[p];
    extent[v] += 1;
    if (s.parent[v] != kNoParent) extent[s.parent[v]] += extent[v];
  }

  in_begin.assign(n + 1, 0);
  for (const GraphEdge& e : g.edges) ++in_begin[e.target + 1];
  for (std::size_t v = 0; v < n; ++v) in_begin[v + 1] += in_begin[v];
  in_from.resize(g.edges.size());
  in_units.resize(g.edges.size());
  s.next.assign(in_begin.begin(), in_begin.end() - 1);
  for (std::size_t u = 0; u < n; ++u) {
    for (std::uint32_t e = g.edge_begin[u]; e < g.edge_begin[u] + g.edge_count[u]; ++e) {
      const std::uint32_t slot = s.next[g.edges[e].target]++;
      in_from[slot] = static_cast<std::uint32_t>(u);
      in_units[slot] = g.edges[e].distance_units;
    }
  }
}

std::size_t DistanceTree::memory_bytes() const {
  return total.capacity() * sizeof(std::uint64_t) + (preorder.capacity() + extent.capacity() + order.capacity() +
                                                     in_begin.capacity() + in_from.capacity() + in_units.capacity()) *
                                                        sizeof(std::uint32_t);
}

bool repair_totals(const DistanceTree& tree, const SearchGraph& graph, const std::uint8_t* present,
                   std::span<const std::uint32_t> absent, std::size_t most_affected, RepairScratch& s,
                   std::uint64_t* total) {
  const std::size_t n = graph.node_count();
  std::copy(tree.total.begin(), tree.total.end(), total);
  // The subtrees of the absent nodes, by preorder position.
  s.ranges.clear();
  for (const std::uint32_t v : absent) {
    total[v] = kUnreached;
    const std::uint32_t p = tree.preorder[v];
    if (p != DistanceTree::kNoPosition) s.ranges.emplace_back(p, p + tree.extent[v]);
  }
  std::sort(s.ranges.begin(), s.ranges.end());
  if (s.affected.size() != n) s.affected.assign(n, 0);  // all 0 between calls
  s.to_settle.clear();
  const auto unmark = [&s] {
    for (const std::uint32_t v : s.to_settle) s.affected[v] = 0;
  };
  std::uint32_t covered = 0;  // positions before this are done
  for (const auto& [first, last] : s.ranges) {
    for (std::uint32_t p = std::max(first, covered); p < last; ++p) {
      const std::uint32_t v = tree.order[p];
      if (present[v] == 0) continue;
      s.affected[v] = 1;
      s.to_settle.push_back(v);
      total[v] = kUnreached;
    }
    covered = std::max(covered, last);
  }
  // In preorder, an affected node keeps its old total where an edge from a
  // node that kept its own gives it just as cheaply; it then counts as kept,
  // so whole subtrees hang on again from their first node that finds such an
  // edge (parents come before children).
  std::size_t still = 0;
  for (const std::uint32_t v : s.to_settle) {
    const std::uint64_t want = tree.total[v];
    bool kept = false;
    for (std::uint32_t k = tree.in_begin[v]; k < tree.in_begin[v + 1] && !kept; ++k) {
      const std::uint32_t u = tree.in_from[k];
      kept = present[u] != 0 && s.affected[u] == 0 && total[u] != kUnreached && total[u] + tree.in_units[k] == want;
    }
    if (kept) {
      s.affected[v] = 0;
      total[v] = want;
      continue;
    }
    s.to_settle[still++] = v;
  }
  s.to_settle.resize(still);
  if (still > most_affected) {
    unmark();
    return false;
  }
  // Nodes that kept their totals after v was looked at may give it less.
  s.seeds.clear();
  for (const std::uint32_t v : s.to_settle) {
    std::uint64_t best = kUnreached;
    for (std::uint32_t k = tree.in_begin[v]; k < tree.in_begin[v + 1]; ++k) {
      const std::uint32_t u = tree.in_from[k];
      if (present[u] == 0 || s.affected[u] != 0 || total[u] == kUnreached) continue;
      best = std::min(best, total[u] + tree.in_units[k]);
    }
    total[v] = best;
    if (best != kUnreached) s.seeds.emplace_back(best, v);
  }
  // ...and the affected nodes settle among themselves. No edge improves a
  // kept node, whose total is already the least, nor, held at 0 meanwhile,
  // an absent one: the loop needs no test of its targets.
  for (const std::uint32_t v : absent) total[v] = 0;
  if (graph.max_distance_units <= BucketQueue::kMaxStep) {
    settle_on_buckets(graph, s, total);
  } else {
    settle_on_heap(graph, s, total);
  }
  for (const std::uint32_t v : absent) total[v] = kUnreached;
  unmark();
  return true;
}

}  // namespace velkan
