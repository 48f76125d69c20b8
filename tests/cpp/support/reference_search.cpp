#include "support/reference_search.h"

#include "graph/search_loop.h"

namespace velkan::reference {
namespace {

// Records each improving edge as its target's predecessor: the last one to
// improve a node is the one its chosen path enters by.
struct PathTreeObserver {
  const SearchGraph& graph;
  PathTree& out;

  void operator()(const GraphEdge* edge, std::uint32_t from) const {
    out.pred_edge[edge->target] = static_cast<std::uint32_t>(edge - graph.edges.data());
    out.pred_node[edge->target] = from;
  }
};

PathTreeObserver start_tree(const SearchGraph& graph, PathTree& out) {
  out.pred_edge.assign(graph.node_count(), kNoEdge);
  out.pred_node.assign(graph.node_count(), kNoEdge);
  return PathTreeObserver{graph, out};
}

}  // namespace

void path_tree_search(const SearchGraph& graph, std::int32_t start, CostKind kind, RadixHeap& heap, PathTree& out) {
  search_on_heap(graph, start, kind, heap, out, start_tree(graph, out));
}

void path_tree_search(const SearchGraph& graph, std::int32_t start, CostKind kind, BucketQueue& buckets,
                      PathTree& out) {
  search_on_buckets(graph, start, kind, buckets, out, start_tree(graph, out));
}

}  // namespace velkan::reference
