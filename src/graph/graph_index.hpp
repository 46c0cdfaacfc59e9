// The dense graph index: the rows (float32 while that loses nothing, else
// float64: vector_store.hpp) and the codes a walk may read instead, the
// caller's ids, metadata records with their postings, over the graph
// engine (engine/graph_engine.hpp), which holds the links.
//
// Nodes live in slots numbered from 0; users see their own 64-bit ids
// (labels). A removed node's slot is cleared and listed free, and later
// additions fill free slots lowest first before appending new ones. The
// same sequence of additions and removals with the same seed gives the same
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

#include "codes/code_store.hpp"
#include "common/function_ref.hpp"
#include "common/invalid_parts.hpp"
#include "common/kind_capabilities.hpp"
#include "engine/graph_engine.hpp"
#include "engine/rerank_scratch.hpp"
#include "filter/filter.hpp"
#include "filter/filter_expression.hpp"
#include "graph/attribute_postings.hpp"
#include "graph/change_gate.hpp"
#include "graph/filter_plan.hpp"
#include "graph/graph_error.hpp"
#include "graph/graph_params.hpp"
#include "graph/label_map.hpp"
#include "graph/mapped_arrays.hpp"
#include "graph/numeric_orders.hpp"
#include "graph/partition_cache.hpp"
#include "graph/prepared_filter.hpp"
#include "graph/slot_records.hpp"
#include "graph/value_changes.hpp"
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
  std::uint64_t count = 0;      // slots, live and free
  std::vector<double> vectors;  // live slots * dim (rows_by_slot: every slot's)
  // Every slot's row (a free slot's cleared on use) as stored, in `vectors`
  // or, kept as float32, in `narrow_vectors`; else `vectors` holds the live
  // slots' rows only.
  bool rows_by_slot = false;
  std::vector<float> narrow_vectors;
  std::vector<std::uint8_t> levels;  // count
  // Per slot, per layer 0..level: the link count, then the links; without
  // layer 0 where base_links (or the mapped file) holds it.
  std::vector<std::uint32_t> links;
  // Layer 0 in fixed places (LinkStore::layer_zero_words), or empty.
  std::vector<std::uint32_t> base_links;
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
  // The 8-bit codes as saved with their range (walk Sq8, code_range set),
  // every slot's; absent: coded again from the vectors.
  std::optional<codes::SavedCodes> saved_codes;
  // Whether the rows are kept as float64; absent: as params.storage and the
  // vectors give it (adaptive storage is float64 where some number is not a
  // float32 value).
  std::optional<bool> wide_rows;
  // Set for a file mapped in place: the rows (rows_by_slot, in no vector),
  // codes and norms stay in the file; the index is read-only.
  std::optional<MappedArrays> mapped;
};

class GraphIndex {
 public:
  static constexpr KindCapabilities kCapabilities{.user_labels = true,
                                                  .deletion = true,
                                                  .compact_codes = true,
                                                  .metadata = true,
                                                  .row_widths = true,
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
  // links again (engine/graph_engine_remove.cpp). An unknown id is UnknownId (row, detail:
  // the id) with nothing removed. Not stoppable.
  std::expected<void, GraphError> remove(std::span<const std::uint64_t> ids, JobRunner& runner);

  // Gives the vectors of `ids` these records (one per id, each as add takes
  // them; empty: none), their rows and links left as they are. An id given
  // twice takes its last record. An unknown id is UnknownId (row, detail:
  // the id) with nothing changed. Precondition: the index has a schema and
  // records.size() == ids.size().
  std::expected<void, GraphError> update_records(std::span<const std::uint64_t> ids,
                                                 std::span<const MetadataRecord> records,
                                                 JobRunner& runner);

  // The k nearest (most similar) admitted vectors, nearest first, walking
  // layer 0 with width max(ef, k). A filtered search returns only matches,
  // k of them whenever k exist (filtered_search.cpp).
  std::expected<std::vector<Found>, FilterError> search(std::span<const double> query,
                                                        std::size_t k, std::size_t ef,
                                                        const ValueFilter* filter) const;
  // A filter checked against the schema (its positions are the schema's)
  // made ready for the searches of one call: its matches found and counted
  // as the index stands. Throws std::bad_alloc.
  PreparedFilter prepare_filter(const FilterExpression& expression) const;
  // As search, filtered by a filter prepared while the caller held the same
  // pass (null: unfiltered).
  std::vector<Found> search_prepared(std::span<const double> query, std::size_t k, std::size_t ef,
                                     const PreparedFilter* filter) const;

  // The live vectors.
  std::size_t size() const { return engine_.live_count(); }
  // Slots live and free: every slot number is below this.
  std::size_t slot_count() const { return engine_.slot_count(); }
  bool is_free(std::uint32_t slot) const { return engine_.slots().is_free(slot); }
  std::vector<std::uint32_t> free_slots() const { return engine_.slots().free_slots(); }
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
  // The slot's vector as float64 into `out` (dim numbers).
  void copy_vector(std::uint32_t slot, double* out) const { store_.copy_row(slot, out); }
  const LinkStore& links() const { return engine_.links(); }
  // The node every walk starts from; only for a non-empty index.
  std::uint32_t entry() const { return engine_.entry(); }
  unsigned top_level() const { return engine_.top_level(); }
  // Every slot's row, by slot (a free slot's is zero).
  RowsView stored_rows() const { return store_.rows(); }
  // Every slot's squared norm, for a metric that divides by norms; else empty.
  std::span<const double> stored_norms() const { return store_.norms(); }
  // Whether the index uses a file's arrays where they lie (read-only).
  bool mapped() const { return store_.mapped(); }
  // Whether the rows are kept as float32 (RowStorage).
  bool narrow_rows() const { return store_.narrow(); }
  // Whether each live slot's id is the slot itself (no ids need storing).
  bool ids_are_slots() const;
  // The compact codes a walk reads; null for the exact walk.
  const codes::CodeStore* codes() const { return reads_.codes(); }
  // The float32 codes' scale where a store given the live vectors anew
  // would set another; nothing otherwise (always, for ordinary data).
  std::optional<codes::Float32Scale> kept_code_scale() const;
  // The first default id of the next add.
  std::uint64_t next_id() const { return labels_.next_default(); }
  // Who may use the index at once (change_gate.hpp); the same gate for the
  // index's whole life, compactions included.
  ChangeGate& gate() const { return *gate_; }
  // The slot's metadata record; empty for a slot added without one.
  std::span<const Metadata> record(std::uint32_t slot) const {
    return schema() ? records_.record(slot) : std::span<const Metadata>();
  }

 private:
  explicit GraphIndex(GraphParams params);

  class Builder;
  friend class Builder;

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
  // Forgets a slot's record and its postings (and the partitions of the
  // values no slot holds any more).
  void clear_record(std::uint32_t slot);
  // The partitions and value orders kept in step with the values' lists
  // (partition_upkeep.cpp): the values of `slot` are noted as changed as
  // its record is set or cleared; when a change ends, the noted values'
  // partitions are revised or built (searches let in through `door`
  // meanwhile) and the orders told which slots changed; a change that
  // fails drops them instead.
  void note_values_of(std::uint32_t slot);
  void settle_partitions(JobRunner& runner, SearchDoor& door);
  void drop_touched_partitions();
  // Whether searches would scan the partition of `value` (with `count`
  // slots): it is rare, or sparse around some of the places looked at.
  bool needs_partition(ValueCode value, std::size_t count) const;
  // Clears what a removed slot held beside its links: row, code, id,
  // record and postings.
  void clear_slot(std::uint32_t slot);
  // Everything gone, as a new index, but the next default id kept.
  void clear_all();
  // Renumbers the live slots 0, 1, ... in their order, with no free slot
  // left: done when free slots outnumber live ones, so that memory follows
  // the live count (graph_parts.cpp).
  void compact();
  // The slots of the ids, in their order; the first unknown id is
  // UnknownId (row, detail: the id).
  std::expected<std::vector<std::uint32_t>, GraphError> slots_of(
      std::span<const std::uint64_t> ids) const;
  // Removes the slots (ascending, distinct, live); the engine repairs the
  // links around them (graph_remove.cpp).
  void remove_slots(std::span<const std::uint32_t> slots, JobRunner& runner);

  // The filtered search and its parts (filtered_search.cpp).
  std::expected<std::vector<Found>, FilterError> search_filtered(std::span<const double> query,
                                                                 std::size_t k, std::size_t ef,
                                                                 const ValueFilter& filter) const;
  std::vector<Found> search_filtered(std::span<const double> query, std::size_t k, std::size_t ef,
                                     const PreparedFilter& filter) const;
  // Whether `count` matches are scored exactly rather than walked over: few
  // of them, or a walk as wide as all of them.
  bool scores_every_match(std::size_t count, std::size_t k, std::size_t ef) const;
  // How many matches a walk is over, and a few of them, spread over all,
  // that it starts from beside the descent's end.
  struct MatchWalk {
    std::size_t count = 0;
    std::span<const std::uint32_t> sample;
  };
  // The walk over the matches `admit` says, reranked; nothing where it
  // found too few or they lie too sparse around the query for a walk.
  template <class Admit>
  std::optional<std::vector<Found>> search_matches(std::span<const double> query, std::size_t k,
                                                   std::size_t ef, const MatchWalk& walk,
                                                   const Admit& admit, ExactDistances& exact) const;
  // How many candidates a walk keeps for k answers at `ef`, among `count`.
  std::size_t walk_width(std::size_t ef, std::size_t k, std::size_t count) const;
  template <class Distances, class Admit>
  std::optional<std::vector<Candidate>> walk_filtered(Distances& distances, const MatchWalk& walk,
                                                      const Admit& admit, std::size_t width,
                                                      WalkScratch& scratch) const;
  template <class Distances>
  std::vector<Candidate> walk_entries(Candidate start, std::span<const std::uint32_t> sample,
                                      Distances& distances) const;
  // The k nearest of a code walk's best candidates (nearest first by code
  // key) by exact distance (rerank.hpp).
  std::vector<Found> rerank(ExactDistances& exact, const CodeDistances& coded,
                            std::span<const Candidate> walked, std::size_t k,
                            RerankScratch& scratch) const;
  // visit(slots) over every match, some at a time.
  void visit_matches(const ValueSelection& selection,
                     FunctionRef<void(std::span<const std::uint32_t>)> visit) const;
  void visit_matches(const MatchSet& matches,
                     FunctionRef<void(std::span<const std::uint32_t>)> visit) const;
  // The k nearest of all `count` matches: each scored exactly where
  // scores_every_match says so, else the nearest by code scored exactly.
  template <class Matches>
  std::vector<Found> score_matches(std::span<const double> query, const Matches& matches,
                                   std::size_t count, std::size_t k, std::size_t ef,
                                   ExactDistances& exact) const;
  // A scan of the partitions of the selection's values: the buckets of the
  // pivots nearest the query, across values, until `budget` members were
  // looked at, only those in `within` where given; on codes, the `width`
  // nearest by code are scored exactly.
  struct PartitionScan {
    const ValueSelection& selection;
    std::size_t budget = 0;
    std::size_t width = 0;
    const MatchSet* within = nullptr;
  };
  std::optional<std::vector<Found>> scan_partitions(std::span<const double> query, std::size_t k,
                                                    const PartitionScan& scan,
                                                    ExactDistances& exact) const;
  // offer(slots) for the members of the scanned buckets, a bucket at a
  // time, keyed by `distances` to choose the buckets.
  void scan_buckets(const PartitionScan& scan, DistanceComputer& distances,
                    FunctionRef<void(std::span<const std::uint32_t>)> offer) const;
  // Of an and, the operand on one attribute's values with the fewest
  // matches, whose partitions a sparse expression is scanned through.
  std::optional<ValueSelection> guide_of(const FilterExpression& expression) const;
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
  GraphEngine engine_;
  VectorStore store_;
  WalkSource reads_;
  LabelMap labels_;
  SlotRecords records_;  // empty without a schema
  AttributePostings postings_;
  std::unique_ptr<PartitionCache> partitions_;
  ValueChanges value_changes_;
  std::unique_ptr<NumericOrders> orders_;
  std::unique_ptr<ChangeGate> gate_;
};

}  // namespace halqen::graph
