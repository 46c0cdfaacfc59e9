#include "hnsw/hnsw_inspect.hpp"

#include "hnsw/layer_scratch.hpp"

namespace halqen {

std::expected<std::vector<SearchHit>, HNSWError> HNSWInspect::layer_search(
    const HNSW& graph, std::uint64_t seed, VectorView query, std::uint64_t ef, std::uint64_t layer,
    const Filter* filter) {
  LayerScratch& scratch = thread_layer_scratch();
  scratch.memo.start(graph.node_count_);
  const auto searched = graph.layer_search(seed, query, ef, layer, filter, scratch);
  if (!searched) {
    return std::unexpected(searched.error());
  }
  return scratch.results;
}

std::size_t HNSWInspect::sub_list_entries(const HNSW& graph, std::uint64_t node) {
  graph.check_node(node);
  return graph.neighbors_[node].sub_list_entries();
}

std::vector<std::uint32_t> HNSWInspect::layer_scan(const HNSW& graph, std::uint64_t node,
                                                   std::uint64_t layer) {
  graph.check_node(node);
  return graph.neighbors_[node].for_layer(layer).with_ids(
      [](auto ids) { return std::vector<std::uint32_t>(ids.begin(), ids.end()); });
}

std::size_t HNSWInspect::graph_bytes(const HNSW& graph) {
  std::size_t bytes = graph.neighbors_.capacity() * sizeof(NeighborList);
  for (const NeighborList& list : graph.neighbors_) {
    bytes += list.heap_bytes();
  }
  return bytes;
}

}  // namespace halqen
