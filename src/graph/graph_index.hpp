// A bounded-degree layered graph over float64 vectors (HNSW's structure),
// built in deterministic parallel batches.
//
// Nodes live in slots numbered from 0 in insertion order; users see their
// own 64-bit ids (labels). A node of level l is linked on layers 0..l: at
// most m links per upper layer and 2m on layer 0, chosen by the diversity
// rule. The same sequence of additions with the same seed gives the same
// graph for every thread count and every kernel level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/invalid_parts.hpp"
#include "common/kind_capabilities.hpp"
#include "filter/filter.hpp"
#include "graph/attribute_postings.hpp"
#include "graph/filter_plan.hpp"
#include "graph/graph_error.hpp"
#include "graph/graph_params.hpp"
#include "graph/job_runner.hpp"
#include "graph/label_map.hpp"
#include "graph/link_store.hpp"
#include "graph/scratch_pool.hpp"
#include "graph/vector_store.hpp"
#include "metadata/metadata_store.hpp"

namespace halqen::graph {

class ExactDistances;

// What one add call hands over: count rows of dim numbers, and optionally
// an id and a metadata record per row.
struct Addition {
  std::vector<double> values;
  std::size_t count = 0;
  std::optional<std::vector<std::uint64_t>> ids;
  std::optional<std::vector<MetadataRecord>> records;
};

// Called on the adding thread after each batch: vectors added so far of this
// call, and how many it adds in all.
using ProgressFn = std::function<void(std::size_t done, std::size_t total)>;

// One search result: the user's id and the metric's value for the pair.
struct Found {
  std::uint64_t id;
  double value;
};

// Everything an index holds as plain values: what from_parts rebuilds an
// index from and what parts() gives back.
struct GraphParts {
  GraphParams params;
  std::uint64_t count = 0;
  std::vector<double> vectors;       // count * dim, slot-major
  std::vector<std::uint8_t> levels;  // count
  // Per slot, per layer 0..level: the link count, then the links.
  std::vector<std::uint32_t> links;
  std::vector<std::uint64_t> labels;    // count, or empty: every id is its slot
  std::uint64_t next_id = 0;            // the first default id of the next add
  std::vector<MetadataRecord> records;  // count, or empty without metadata
};

class GraphIndex {
 public:
  static constexpr KindCapabilities kCapabilities{
      .user_labels = true, .metadata = true, .graph_parameters = true};

  static std::expected<GraphIndex, GraphError> create(GraphParams params);
  // Checks every part against the others; the reason names what is wrong.
  static std::expected<GraphIndex, InvalidParts> from_parts(GraphParts parts);
  GraphParts parts() const;

  // Adds the rows in batches of growing size. Checks everything first and
  // adds nothing on an error. When the runner is stopped, the batch in
  // flight and the rest are dropped and Interrupted is returned; the batches
  // before stay, complete and searchable. Throws std::bad_alloc before the
  // first batch with nothing added.
  std::expected<void, GraphError> add(Addition addition, JobRunner& runner,
                                      const ProgressFn& progress);
  // The error add would return for the addition before adding anything, or
  // none; adds nothing (sharded indexes check a call before routing it).
  std::optional<GraphError> check_addition(const Addition& addition) const;

  // The k nearest (most similar) admitted vectors, nearest first, walking
  // layer 0 with width max(ef, k). A filtered search returns only matches,
  // k of them whenever k exist (filtered_search.cpp).
  std::expected<std::vector<Found>, FilterError> search(std::span<const double> query,
                                                        std::size_t k, std::size_t ef,
                                                        const ValueFilter* filter) const;

  std::size_t size() const { return links_.size(); }
  // The bytes the index holds on the heap (not the text of long strings,
  // nor the search scratch).
  std::uint64_t heap_bytes() const;
  const GraphParams& params() const { return params_; }
  std::uint64_t dim() const { return params_.dim; }
  std::uint64_t ef_search() const { return params_.ef_search; }
  void set_ef_search(std::uint64_t ef) { params_.ef_search = ef; }
  const std::optional<Schema>& schema() const { return params_.schema; }

  std::optional<std::uint32_t> slot_of(std::uint64_t id) const { return labels_.slot_of(id); }
  std::uint64_t id_of(std::uint32_t slot) const { return labels_.label_of(slot); }
  std::span<const double> vector(std::uint32_t slot) const { return store_.row(slot); }
  const LinkStore& links() const { return links_; }
  // The node every walk starts from; only for a non-empty index.
  std::uint32_t entry() const { return entry_; }
  unsigned top_level() const { return top_level_; }
  // Every slot's row, slot-major.
  std::span<const double> vectors() const { return store_.values(); }
  // Every slot's id, or empty while each id is its slot.
  std::span<const std::uint64_t> explicit_ids() const { return labels_.explicit_labels(); }
  // The first default id of the next add.
  std::uint64_t next_id() const { return labels_.next_default(); }
  // The slot's metadata record; empty for a slot added without one.
  std::span<const Metadata> record(std::uint32_t slot) const { return metadata_.record(slot); }

 private:
  explicit GraphIndex(GraphParams params);

  class Builder;
  friend class Builder;

  // Links every node no walk reaches from a node one does (graph_reach.cpp).
  void connect_unreached();
  // One pass over a layer; whether it linked anything.
  bool link_unreached(unsigned layer, std::vector<bool>& reached, WalkScratch& scratch);

  // Keeps a new slot's metadata record (none: null) and its postings.
  void append_metadata(const MetadataRecord* record);

  // The filtered search and its parts (filtered_search.cpp).
  std::expected<std::vector<Found>, FilterError> search_filtered(std::span<const double> query,
                                                                 std::size_t k, std::size_t ef,
                                                                 const ValueFilter& filter) const;
  // Where a walk starts on layer 0: the greedy descent's end.
  Candidate descend(ExactDistances& distances, WalkScratch& scratch) const;
  std::vector<Candidate> walk_entries(Candidate start, const ValueSelection& selection,
                                      ExactDistances& distances) const;
  std::vector<Candidate> score_matches(const ValueSelection& selection, std::size_t k,
                                       ExactDistances& distances, BestSet& best) const;
  std::vector<Found> found_of(std::span<const double> query, std::vector<Candidate> nearest,
                              std::size_t k) const;

  GraphParams params_;
  VectorStore store_;
  LinkStore links_;
  LabelMap labels_;
  MetadataStore metadata_;  // empty without a schema
  AttributePostings postings_;
  std::uint32_t entry_ = 0;
  unsigned top_level_ = 0;
  std::unique_ptr<ScratchPool> scratch_;
};

}  // namespace halqen::graph
