// A bounded-degree layered graph over float64 vectors (HNSW's structure),
// built in deterministic parallel batches.
//
// Nodes live in slots numbered from 0; users see their own 64-bit ids
// (labels). A removed node's slot is cleared and listed free, and later
// additions fill free slots lowest first before appending new ones. A node
// of level l is linked on layers 0..l: at most m links per upper layer and
// 2m on layer 0, chosen by the diversity rule. The same sequence of
// additions and removals with the same seed gives the same graph for every
// thread count and every kernel level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "codes/code_store.hpp"
#include "common/invalid_parts.hpp"
#include "common/kind_capabilities.hpp"
#include "engine/job_runner.hpp"
#include "engine/link_store.hpp"
#include "engine/reach_trees.hpp"
#include "engine/rerank_scratch.hpp"
#include "engine/scratch_pool.hpp"
#include "engine/slot_book.hpp"
#include "filter/filter.hpp"
#include "graph/attribute_postings.hpp"
#include "graph/filter_plan.hpp"
#include "graph/graph_error.hpp"
#include "graph/graph_params.hpp"
#include "graph/label_map.hpp"
#include "graph/partition_cache.hpp"
#include "graph/slot_records.hpp"
#include "graph/vector_store.hpp"
#include "graph/walk_source.hpp"

namespace halqen::graph {

class ExactDistances;
class CodeDistances;

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
// index from and what parts() gives back. Per-vector parts (rows, ids,
// records) are given for the live slots only, in slot order; the structure
// (levels, lists) for every slot, a free slot's lists empty.
struct GraphParts {
  GraphParams params;
  std::uint64_t count = 0;           // slots, live and free
  std::vector<double> vectors;       // live slots * dim
  std::vector<std::uint8_t> levels;  // count
  // Per slot, per layer 0..level: the link count, then the links.
  std::vector<std::uint32_t> links;
  std::vector<std::uint64_t> labels;      // live slots, or empty: every id is its slot
  std::uint64_t next_id = 0;              // the first default id of the next add
  std::vector<MetadataRecord> records;    // live slots, or empty without metadata
  std::vector<std::uint32_t> free_slots;  // ascending
  // The 8-bit codes' range as it was (walk Sq8); absent: set afresh from
  // the vectors.
  std::optional<codes::Sq8Range> code_range;
  // The float32 codes' scale (walk Float32) where the vectors alone would
  // not set it again (a copy must grow as the original does); absent: set
  // from the vectors.
  std::optional<codes::Float32Scale> code_scale;
};

class GraphIndex {
 public:
  static constexpr KindCapabilities kCapabilities{.user_labels = true,
                                                  .deletion = true,
                                                  .compact_codes = true,
                                                  .metadata = true,
                                                  .graph_parameters = true};

  static std::expected<GraphIndex, GraphError> create(GraphParams params);
  // Checks every part against the others; the reason names what is wrong.
  static std::expected<GraphIndex, InvalidParts> from_parts(GraphParts parts);
  GraphParts parts() const;

  // Adds the rows in batches of growing size, into free slots lowest first,
  // then new ones. An id already present is replaced: its vector is removed
  // first (as by remove), then the row is added. Checks everything first and
  // changes nothing on an error. When the runner is stopped, the batch in
  // flight and the rest are dropped and Interrupted is returned; the batches
  // before stay, complete and searchable, and an id a dropped row would have
  // replaced is added back with its old vector and record (so is it when
  // std::bad_alloc is thrown, memory permitting).
  std::expected<void, GraphError> add(Addition addition, JobRunner& runner,
                                      const ProgressFn& progress);
  // The error add would return for the addition before adding anything, or
  // none; adds nothing.
  std::optional<GraphError> check_addition(const Addition& addition) const;
  // What check_addition returns on an index of `params` that holds nothing:
  // a sharded index checks a call so before it routes the rows to shards.
  // With `rows_apart` the rows are checked elsewhere (where they lie): only
  // the addition's count is read of them.
  static std::optional<GraphError> check_new_addition(const GraphParams& params,
                                                      const Addition& addition,
                                                      bool rows_apart = false);

  // Removes the vectors of `ids` (an id given twice is removed once): no
  // search returns them again. The nodes that linked to them choose their
  // links again (graph_remove.cpp). An unknown id is UnknownId (row, detail:
  // the id) with nothing removed. Not stoppable.
  std::expected<void, GraphError> remove(std::span<const std::uint64_t> ids, JobRunner& runner);

  // The k nearest (most similar) admitted vectors, nearest first, walking
  // layer 0 with width max(ef, k). A filtered search returns only matches,
  // k of them whenever k exist (filtered_search.cpp).
  std::expected<std::vector<Found>, FilterError> search(std::span<const double> query,
                                                        std::size_t k, std::size_t ef,
                                                        const ValueFilter* filter) const;

  // The live vectors.
  std::size_t size() const { return slots_.live_count(); }
  // Slots live and free: every slot number is below this.
  std::size_t slot_count() const { return links_.size(); }
  bool is_free(std::uint32_t slot) const { return slots_.is_free(slot); }
  std::vector<std::uint32_t> free_slots() const { return slots_.free_slots(); }
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
  // Every slot's row, slot-major (a free slot's is zero).
  std::span<const double> stored_rows() const { return store_.values(); }
  // Whether each live slot's id is the slot itself (no ids need storing).
  bool ids_are_slots() const;
  // The compact codes a walk reads; null for the exact walk.
  const codes::CodeStore* codes() const { return reads_.codes(); }
  // The float32 codes' scale where a store given the live vectors anew
  // would set another; nothing otherwise (always, for ordinary data).
  std::optional<codes::Float32Scale> kept_code_scale() const;
  // The first default id of the next add.
  std::uint64_t next_id() const { return labels_.next_default(); }
  // The slot's metadata record; empty for a slot added without one.
  std::span<const Metadata> record(std::uint32_t slot) const {
    return schema() ? records_.record(slot) : std::span<const Metadata>();
  }

 private:
  explicit GraphIndex(GraphParams params);

  class Builder;
  friend class Builder;

  // Links every node no walk from the entry reaches from a node one does;
  // and every node that no walk leads back to the entry from toward a node
  // one does, as removals can strand them (graph_connectivity.cpp).
  // `added`: the nodes a build just linked. Both are checked first against
  // the reach trees (reach_trees.hpp), and pass over the graph only where
  // those no longer prove it connected.
  void connect_unreached(std::span<const std::uint32_t> added = {});
  void connect_stranded();
  void reach_everything();
  // What a pass of each does with a node it finds cut off on `layer`
  // (`reached`, `returns`: the nodes found connected so far): a reached host
  // links to it, or it links to the nearest node that returns.
  // Returns the node given the link.
  std::uint32_t link_unreached(std::uint32_t node, unsigned layer, const std::vector<bool>& reached,
                               WalkScratch& scratch, std::vector<Candidate>& found);
  void link_stranded(std::uint32_t node, unsigned layer, const std::vector<bool>& returns,
                     WalkScratch& scratch, std::vector<Candidate>& found);
  // The two ways the last resort of connect_unreached links a node, where
  // its passes do not settle: from a reached host with a link to spare
  // (whether one was found), or in the middle of the entry's last link.
  bool link_from_spare_host(std::uint32_t node, unsigned layer, const std::vector<bool>& reached);
  void splice_after_entry(std::uint32_t node, unsigned layer);
  // The node, reached on `layer`, that links to an unreached one; where its
  // list is full, the position of a link it can give up without stranding
  // that link's node, if it has one.
  struct Host {
    std::uint32_t slot;
    std::optional<std::size_t> redundant;
  };
  Host reached_host(std::uint32_t node, unsigned layer, const std::vector<bool>& reached,
                    WalkScratch& scratch, std::vector<Candidate>& found) const;
  // Into `found`, nearest first: the `width` nodes nearest to the vector of
  // `slot` that a walk from the entry meets on `layer`.
  void walk_from_entry(std::uint32_t slot, unsigned layer, std::size_t width, WalkScratch& scratch,
                       std::vector<Candidate>& found) const;

  // A row written into a free slot taken for it, or appended as new slots,
  // before their nodes are linked (graph_slots.cpp).
  void fill_row(std::uint32_t slot, std::span<const double> row);
  void append_rows(std::vector<double>&& rows, std::size_t count);
  void note_code_change();
  // A taken free slot given back unlinked: its row cleared, listed free.
  void unfill_row(std::uint32_t slot);
  // Drops the appended rows past the linked slots.
  void drop_unlinked_rows();
  // Keeps a filled slot's metadata record (none: null) and its postings.
  void set_record(std::uint32_t slot, const MetadataRecord* record);
  // Clears everything a removed slot held and lists it free.
  void clear_slot(std::uint32_t slot);
  // The node walks start from: the lowest live slot of the highest level.
  void choose_entry();
  // Everything gone, as a new index, but the next default id kept.
  void clear_all();
  // Renumbers the live slots 0, 1, ... in their order, with no free slot
  // left: done when free slots outnumber live ones, so that memory follows
  // the live count (graph_parts.cpp).
  void compact();
  // Removes the slots (ascending, distinct, live), repairing the links
  // around them (graph_remove.cpp).
  void remove_slots(std::span<const std::uint32_t> slots, JobRunner& runner);
  // Its work short of compaction: the lists repaired, the slots cleared and
  // the graph connected again.
  void repair_and_clear(std::span<const std::uint32_t> slots, JobRunner& runner);
  void link_orphans(std::span<const std::vector<std::uint32_t>> left);

  // The filtered search and its parts (filtered_search.cpp).
  std::expected<std::vector<Found>, FilterError> search_filtered(std::span<const double> query,
                                                                 std::size_t k, std::size_t ef,
                                                                 const ValueFilter& filter) const;
  // How many candidates a walk keeps for k answers at `ef`, among `count`.
  std::size_t walk_width(std::size_t ef, std::size_t k, std::size_t count) const;
  // The unfiltered walk's candidates, nearest first by its keys.
  template <class Distances>
  std::vector<Candidate> walk(Distances& distances, std::size_t width, WalkScratch& scratch) const;
  // The filtered walk's matches, or nothing where the matches lie too
  // sparse around the query for a walk (its partitions are scanned).
  template <class Distances>
  std::optional<std::vector<Candidate>> walk_filtered(Distances& distances,
                                                      const ValueSelection& selection,
                                                      std::size_t width,
                                                      WalkScratch& scratch) const;
  template <class Distances>
  std::vector<Candidate> walk_entries(Candidate start, const ValueSelection& selection,
                                      Distances& distances) const;
  // The k nearest of a code walk's best candidates (nearest first by code
  // key) by exact distance (rerank.hpp).
  std::vector<Found> rerank(ExactDistances& exact, const CodeDistances& coded,
                            std::span<const Candidate> walked, std::size_t k,
                            RerankScratch& scratch) const;
  std::vector<Answer> score_matches(const ValueSelection& selection, std::size_t k,
                                    ExactDistances& distances) const;
  std::vector<Answer> scan_partitions(const ValueSelection& selection, std::size_t k,
                                      std::size_t ef, ExactDistances& distances) const;
  void offer_all(std::span<const std::uint32_t> slots, ExactDistances& distances,
                 AnswerSet& answers) const;
  // `c` with its id, if it enters the set (only then is its id read, and,
  // for a key of +inf, whether its value is NaN).
  void offer_answer(AnswerSet& answers, Candidate c, ExactDistances& distances) const;
  // The k nearest of a walk's candidates (ties to the lower id), with the
  // metric's values.
  std::vector<Found> found_of(std::span<const double> query, std::span<const Candidate> nearest,
                              std::size_t k, ExactDistances& distances) const;
  std::vector<Found> found_of(std::span<const double> query, std::span<const Answer> nearest) const;

  GraphParams params_;
  VectorStore store_;
  LinkStore links_;
  LabelMap labels_;
  SlotBook slots_;
  WalkSource reads_;
  SlotRecords records_;  // empty without a schema
  AttributePostings postings_;
  std::uint32_t entry_ = 0;
  unsigned top_level_ = 0;
  std::unique_ptr<ScratchPool> scratch_;
  std::unique_ptr<PartitionCache> partitions_;
  // On the heap, where the link store's pointer to its journal stays valid
  // when the index moves.
  std::unique_ptr<ReachTrees> reach_;
};

}  // namespace halqen::graph
