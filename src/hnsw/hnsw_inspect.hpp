// Views into a graph's internals for tests and benchmarks; searches and
// insertions never use them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <vector>

#include "hnsw/hnsw.hpp"

namespace halqen {

struct HNSWInspect {
  // Best-first search of one layer from `seed`, returning up to ef nodes in
  // distance order. Checks, in order: ef = 0 (InvalidEF), layer >= layers
  // (InvalidLayer), the filter (NoSchema, EmptySchema, AttributeNotFound).
  // The seed is a result whatever its level and metadata; other nodes are
  // followed only when their level reaches `layer` and the filter admits them.
  // Precondition: seed < size() (std::out_of_range, after those checks).
  static std::expected<std::vector<SearchHit>, HNSWError> layer_search(
      const HNSW& graph, std::uint64_t seed, VectorView query, std::uint64_t ef,
      std::uint64_t layer, const Filter* filter);

  // Node `node`'s entries in the per-layer sub-lists (layers 1 and up), over
  // all layers. Precondition: node < size() (std::out_of_range).
  static std::size_t sub_list_entries(const HNSW& graph, std::uint64_t node);

  // The ids a scan of node `node`'s list at `layer` reads, in order (before
  // any level check the scan still makes). Precondition: node < size()
  // (std::out_of_range).
  static std::vector<std::uint32_t> layer_scan(const HNSW& graph, std::uint64_t node,
                                               std::uint64_t layer);

  // Bytes the graph structure holds: list objects and their allocated
  // capacity (not the vectors, levels or metadata).
  static std::size_t graph_bytes(const HNSW& graph);
};

}  // namespace halqen
