#include "graph/distance_tree.h"

#include <algorithm>
#include <functional>

#include "graph/least_cost.h"
#include "graph/search_loop.h"

namespace velkan {
namespace {

using HeapEntry = std::pair<std::uint64_t, std::uint32_t>;
constexpr std::uint32_t kNoParent = UINT32_MAX;

void push(std::vector<HeapEntry>& heap, std::uint64_t key, std::uint32_t node) {
  heap.emplace_back(key, node);
  std::push_heap(heap.begin(), heap.end(), std::greater<>());
}

HeapEntry pop(std::vector<HeapEntry>& heap) {
  std::pop_heap(heap.begin(), heap.end(), std::greater<>());
  const HeapEntry top = heap.back();
  heap.pop_back();
  return top;
}

}  // namespace

void DistanceTree::build(const SearchGraph& g, std::int32_t start, TreeScratch& s) {
  const std::size_t n = g.node_count();
  // Each node's parent is the node whose edge last improved it, which was
  // settled before it, so the parents form a tree.
  s.parent.assign(n, kNoParent);
  search_on_heap(g, start, CostKind::Distance, s.heap, s.result,
                 [&](const GraphEdge* edge, std::uint32_t from) { s.parent[edge->target] = from; });
  total.assign(s.result.total.begin(), s.result.total.end());

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
                   std::size_t most_affected, RepairScratch& s, std::uint64_t* total) {
  const std::size_t n = graph.node_count();
  // The subtrees of the absent nodes, marked as +1 at their first position and
  // -1 past their last: a running sum over the positions is positive inside.
  s.cover.assign(tree.order.size() + 1, 0);
  for (std::size_t v = 0; v < n; ++v) {
    const std::uint32_t p = tree.preorder[v];
    if (present[v] != 0 || p == DistanceTree::kNoPosition) continue;
    s.cover[p] += 1;
    s.cover[p + tree.extent[v]] -= 1;
  }
  s.affected.assign(n, 0);
  s.to_settle.clear();
  std::int32_t inside = 0;
  for (std::size_t p = 0; p < tree.order.size(); ++p) {
    inside += s.cover[p];
    const std::uint32_t v = tree.order[p];
    if (inside <= 0 || present[v] == 0) continue;
    if (s.to_settle.size() == most_affected) return false;
    s.affected[v] = 1;
    s.to_settle.push_back(v);
  }
  for (std::size_t v = 0; v < n; ++v) {
    if (present[v] != 0) total[v] = s.affected[v] != 0 ? kUnreached : tree.total[v];
  }
  // Each affected node starts from its best unaffected present neighbour...
  s.heap.clear();
  for (const std::uint32_t v : s.to_settle) {
    std::uint64_t best = kUnreached;
    for (std::uint32_t k = tree.in_begin[v]; k < tree.in_begin[v + 1]; ++k) {
      const std::uint32_t u = tree.in_from[k];
      if (present[u] == 0 || s.affected[u] != 0 || total[u] == kUnreached) continue;
      best = std::min(best, total[u] + tree.in_units[k]);
    }
    total[v] = best;
    if (best != kUnreached) push(s.heap, best, v);
  }
  // ...and the affected nodes settle among themselves.
  while (!s.heap.empty()) {
    const auto [key, u] = pop(s.heap);
    if (key != total[u]) continue;
    for (std::uint32_t e = graph.edge_begin[u]; e < graph.edge_begin[u] + graph.edge_count[u]; ++e) {
      const GraphEdge& edge = graph.edges[e];
      if (s.affected[edge.target] == 0) continue;
      const std::uint64_t candidate = key + edge.distance_units;
      if (candidate >= total[edge.target]) continue;
      total[edge.target] = candidate;
      push(s.heap, candidate, edge.target);
    }
  }
  return true;
}

}  // namespace velkan
