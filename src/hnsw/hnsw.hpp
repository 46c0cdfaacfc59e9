// The layered proximity graph of the approximate index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "common/interrupt.hpp"
#include "common/invalid_parts.hpp"
#include "common/kind_capabilities.hpp"
#include "common/search_hit.hpp"
#include "common/vector_block.hpp"
#include "filter/filter.hpp"
#include "hnsw/hnsw_error.hpp"
#include "hnsw/neighbor_list.hpp"
#include "metadata/metadata.hpp"
#include "metadata/metadata_store.hpp"
#include "metrics/metrics.hpp"
#include "random/random.hpp"

namespace halqen {

struct LayerScratch;
class DistanceMemo;

// The initialisers are the defaults every caller (the Python class too) uses
// for a parameter left out.
struct HNSWParams {
  std::uint64_t dim = 0;
  std::uint64_t layers = 5;
  std::uint64_t m = 16;
  std::uint64_t ef_construction = 200;
  std::uint64_t ef_search = 50;
  MetricKind metric = MetricKind::Euclidean;
  std::optional<Schema> schema;
};

// Everything an index holds, as plain values: what from_parts rebuilds an
// index from and what the read-out accessors give back. Derived state (the
// per-layer sub-lists, level weights, link stamps) is recomputed.
struct HNSWParts {
  HNSWParams params;
  std::uint64_t count = 0;                      // nodes
  std::vector<double> vectors;                  // count * params.dim, node-major
  std::vector<std::uint64_t> levels;            // count
  std::vector<std::uint64_t> neighbor_offsets;  // count + 1, [0] == 0, non-decreasing;
  std::vector<std::uint32_t> neighbor_ids;      // node n's list: [offsets[n], offsets[n+1]),
                                                // first-linked order
  std::vector<MetadataRecord> records;          // count; empty = stored without one
};

// Nodes are numbered from 0 in insertion order; node 0 is the entry of every
// insertion and search. A node of level l is linked at layers l..layers-1 and
// followed by searches at layers 0..l. Smaller metric values rank first for
// every metric. Lists are unbounded and never pruned.
//
// Node ids are 32-bit inside: an index cannot hold 2^32 nodes in memory, and
// the insertion that would exceed that is refused.
class HNSW {
 public:
  // The largest node count; insert throws std::length_error beyond it.
  static constexpr std::uint64_t kMaxNodes = std::uint64_t{1} << 32;

  static constexpr KindCapabilities kCapabilities{.metadata = true, .graph_parameters = true};

  // Any parameter value is accepted, 0 included. Fills the level weights
  // (e^-j) and m_factor = 1 - 1/double(m).
  explicit HNSW(HNSWParams params);

  // Stores `vector` as the next node with its record (or none) and links it.
  // The first node takes level layers-1 and draws nothing; every later one
  // draws its level from `rng` (one word). The node is stored before any
  // layer search, so when a search fails (ef_construction = 0: InvalidEF) the
  // error is returned with the node stored and the links of earlier layers
  // kept.
  // Preconditions (std::invalid_argument): vector.size() == dim(); with a
  // schema, a record has exactly schema-length values (without a schema any
  // record is stored as given). Throws std::length_error at kMaxNodes nodes,
  // and SizeRefused (naming the level and the layers) before storing anything
  // when the node's linking layers outnumber the longest list memory could
  // hold (each linking layer gives the new node at least one list entry).
  std::expected<void, HNSWError> insert(VectorView vector, const MetadataRecord* metadata,
                                        RandomSource& rng);

  // EmptyVectors for no vectors. Without a schema, inserts every vector with
  // no record (`metadata` ignored). With a schema, AttributeNotFound before
  // inserting anything when the record count differs from the vector count;
  // else inserts vector i with record i. Stops at the first failing insertion
  // and returns its error, keeping the nodes inserted before it.
  // Preconditions as insert, checked for every used input before inserting.
  std::expected<void, HNSWError> create(std::span<const std::vector<double>> vectors,
                                        std::span<const MetadataRecord> metadata,
                                        RandomSource& rng);

  // As create above, from one block (vector i with record i), asking
  // `interrupt` before each insertion: when it asks to stop, the result is
  // Interrupted and the nodes inserted before stay, each complete. See
  // insert_block for what happens to the block.
  std::expected<void, HNSWError> create(VectorBlock vectors,
                                        std::span<const MetadataRecord> metadata, RandomSource& rng,
                                        Interrupt& interrupt);

  // Inserts the block's vectors in order, each as insert does without a
  // record, asking `interrupt` before each insertion. Stops at the first
  // failing insertion and returns its error, or Interrupted when the
  // interrupt asks; the nodes inserted before stay. Precondition:
  // vectors.values.size() == vectors.count * dim(), else throws
  // std::invalid_argument before inserting anything. Room for every node is
  // made before the first insertion (std::bad_alloc leaves the index as it
  // was), and an empty index takes the block's buffer as its vector store.
  std::expected<void, HNSWError> insert_block(VectorBlock vectors, RandomSource& rng,
                                              Interrupt& interrupt);

  // The k nearest nodes, nearest first: an empty list for an empty index
  // (before any check); otherwise a greedy width-1 descent from node 0
  // through layers layers-1..1, then a width-ef_search search of layer 0,
  // cut to k. Errors of the first failing layer search: InvalidLayer
  // (layers = 0), filter errors, InvalidEF (ef_search = 0).
  std::expected<std::vector<SearchHit>, HNSWError> search(VectorView query, std::uint64_t k,
                                                          const Filter* filter) const;
  // The same search with a final layer-0 search of width `ef` instead of
  // ef_search (so up to ef results; InvalidEF for 0). Any number of threads
  // may search one index at once: a search only reads the index, and its
  // working memory belongs to the calling thread.
  std::expected<std::vector<SearchHit>, HNSWError> search(VectorView query, std::uint64_t k,
                                                          const Filter* filter,
                                                          std::uint64_t ef) const;

  // Builds the index `parts` describe, which then behaves bit for bit like
  // the index they were read from on every later search and insertion (ids
  // continue from count). Refuses, with the reason, parts an index could not
  // have: sizes that disagree with count and dim, more than kMaxNodes nodes,
  // an unknown metric, ids out of range, self links, repeats within a list,
  // a link without its back link, links of a node above every layer, levels
  // no insertion gives (node 0 not at layers-1), records neither empty nor
  // of the schema's length (empty without a schema). Allocates nothing
  // before the sizes have been checked against the data present.
  static std::expected<HNSW, InvalidParts> from_parts(HNSWParts parts);

  const HNSWParams& params() const { return params_; }
  std::uint64_t size() const { return node_count_; }
  std::uint64_t dim() const { return params_.dim; }
  std::uint64_t layers() const { return params_.layers; }
  std::uint64_t m() const { return params_.m; }
  double m_factor() const { return m_factor_; }
  std::uint64_t ef_construction() const { return params_.ef_construction; }
  std::uint64_t ef_search() const { return params_.ef_search; }
  // The bytes the index holds on the heap (allocated capacity): vectors,
  // links, levels and records (not the text of long string values).
  std::uint64_t heap_bytes() const;
  MetricKind metric() const { return params_.metric; }
  const std::optional<Schema>& schema() const { return params_.schema; }
  // Every node's vector, node-major (size() * dim() components).
  std::span<const double> vectors() const { return vectors_; }
  // Every node's level, by node.
  std::span<const std::uint64_t> levels() const { return levels_; }
  std::span<const double> level_weights() const { return level_weights_; }
  const MetadataStore& metadata() const { return metadata_; }

  // Per-node read-out. Precondition: node < size() (std::out_of_range).
  VectorView vector(std::uint64_t node) const;
  std::uint64_t level(std::uint64_t node) const;
  bool deleted(std::uint64_t node) const;
  // The node's neighbours in first-linked order, without repeats or itself
  // (a copy: the graph may hold them in 16 bits), and how many there are.
  std::vector<std::uint32_t> neighbors(std::uint64_t node) const;
  std::size_t neighbor_count(std::uint64_t node) const;

 private:
  friend struct HNSWInspect;

  void check_node(std::uint64_t node) const;
  void check_insert_preconditions(VectorView vector, const MetadataRecord* metadata) const;
  std::uint32_t store_node(VectorView vector, const MetadataRecord* metadata, std::uint64_t level);
  std::uint32_t store_node_record(const MetadataRecord* metadata, std::uint64_t level);
  std::uint64_t next_level(RandomSource& rng) const;
  std::expected<void, HNSWError> insert_records(VectorBlock block,
                                                std::span<const MetadataRecord> records,
                                                RandomSource& rng, Interrupt& interrupt);
  std::expected<void, HNSWError> insert_in_place(VectorBlock block,
                                                 std::span<const MetadataRecord> records,
                                                 RandomSource& rng, Interrupt& interrupt);
  void reserve_nodes(const VectorBlock& block);
  std::expected<void, HNSWError> link_new_node(std::uint32_t node, LayerScratch& scratch);
  std::expected<std::uint32_t, HNSWError> climb_greedy_layers(std::uint32_t node,
                                                              LayerScratch& scratch) const;
  std::expected<void, HNSWError> link_results(std::uint32_t node,
                                              std::span<const SearchHit> results,
                                              std::uint64_t& new_links);
  std::expected<std::uint32_t, HNSWError> descend(VectorView query, const Filter* filter,
                                                  LayerScratch& scratch) const;
  // Precondition for layer_search and everything below it: the operation
  // (search, inspection or insertion) started scratch.memo for this same query.
  std::expected<void, HNSWError> layer_search(std::uint64_t seed, VectorView query,
                                              std::uint64_t ef, std::uint64_t layer,
                                              const Filter* filter, LayerScratch& scratch) const;
  void expand(std::uint32_t node, VectorView query, std::uint64_t ef, std::uint64_t layer,
              const Filter* filter, std::size_t attribute, LayerScratch& scratch) const;
  void start_operation(VectorView query, DistanceMemo& memo) const;
  double seed_distance_of(std::uint32_t seed, VectorView query, DistanceMemo& memo) const;
  void batch_distances(VectorView query, LayerScratch& scratch) const;
  void collect_admitted(std::uint32_t node, std::uint64_t layer, const Filter* filter,
                        std::size_t attribute, LayerScratch& scratch) const;
  std::uint64_t lowest_level_from(std::uint64_t layer) const;
  std::optional<std::uint64_t> highest_level_below(std::uint64_t layer) const;

  std::vector<double> vectors_;
  std::vector<NeighborList> neighbors_;
  std::vector<std::uint64_t> levels_;
  std::vector<bool> deleted_;
  std::vector<double> level_weights_;
  double level_weight_total_;
  HNSWParams params_;
  MetadataStore metadata_;
  MetricFn metric_fn_;
  double m_factor_;
  // Kept explicitly rather than derived from vectors_: with dim 0 the
  // vectors say nothing about how many nodes there are.
  std::uint64_t node_count_ = 0;
  // link_stamps_[k] == q: nodes k and q are linked (both ways) during q's
  // insertion; q is never reused, so this finds repeats in O(1).
  std::vector<std::uint32_t> link_stamps_;
  // Every level some node holds. The nodes a layer search may follow change
  // only where the layer crosses one of these.
  std::set<std::uint64_t> distinct_levels_;
};

}  // namespace halqen
