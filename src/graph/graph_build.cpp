// Batch-synchronous insertion. The points of a batch search the graph as it
// stood when the batch began, in parallel; then their own links are written
// and the reverse links, grouped by the node they point to and ordered by
// (distance, id), are merged per node in parallel. Nothing depends on which
// thread did what, so the graph is the same for every thread count.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "codes/code_store.hpp"
#include "engine/batch_plan.hpp"
#include "engine/layer_walk.hpp"
#include "engine/level_draw.hpp"
#include "engine/neighbour_prune.hpp"
#include "engine/reverse_links.hpp"
#include "graph/exact_distances.hpp"
#include "graph/graph_index.hpp"
#include "graph/row_rules.hpp"
#include "graph/stored_space.hpp"
#include "metrics/metrics.hpp"

namespace halqen::graph {
namespace {

// Slots are 32-bit and one value marks an empty table entry.
constexpr std::uint64_t kMaxSlots = std::numeric_limits<std::uint32_t>::max() - 1;

// An exact walk's index (and an 8-bit walk's under the inner product) is
// built on float32 copies made for the addition and dropped after it, when
// the addition holds at least this share of the slots: copying every row costs about what a few
// hundred insertions save (each reads thousands of rows), so smaller additions are built exactly.
// Not 8-bit codes: on few dimensions their graph lost recall (0.942
// against 0.956 at the default width, 5,000 x 24), float32's did not.
constexpr std::size_t kCodedBuildShare = 64;

// Rows held to float32 are checked as they will be stored: rounded.
std::optional<GraphError> check_rows(const Addition& addition, const GraphParams& params) {
  const std::size_t dim = params.dim;
  const bool cosine = params.metric == MetricKind::Cosine;
  const bool rounded = params.storage == RowStorage::Float32;
  if (addition.values.size() < addition.count * dim) {
    return GraphError{.kind = GraphErrorKind::WrongLength, .detail = addition.values.size()};
  }
  std::vector<double> scratch;
  for (std::size_t row = 0; row < addition.count; ++row) {
    std::span<const double> values(addition.values.data() + row * dim, dim);
    if (rounded) {
      if (auto refused = check_float32_row(values, row)) return refused;
      scratch.assign(values.begin(), values.end());
      round_to_float32(scratch);
      values = scratch;
    }
    if (auto refused = check_row(values, cosine, row)) return refused;
  }
  return std::nullopt;
}

std::optional<GraphError> check_counts(const Addition& addition, std::size_t stored) {
  const std::size_t count = addition.count;
  if (addition.ids && addition.ids->size() != count) {
    return GraphError{.kind = GraphErrorKind::CountMismatch, .detail = addition.ids->size()};
  }
  if (addition.records && addition.records->size() != count) {
    return GraphError{.kind = GraphErrorKind::CountMismatch, .detail = addition.records->size()};
  }
  // Free slots are filled first: only what exceeds the live ones is new.
  if (count > kMaxSlots - stored) {
    return GraphError{.kind = GraphErrorKind::TooManyVectors, .detail = stored + count};
  }
  return std::nullopt;
}

// Default ids follow every id stored, so only their range can fail; the
// caller's may be present (they are replaced) but not repeated.
std::optional<GraphError> check_labels(const Addition& addition, const LabelMap& labels) {
  if (addition.ids) return labels.check(*addition.ids, /*may_be_present=*/true);
  const std::uint64_t next = labels.next_default();
  if (next > kLargestId || kLargestId - next < addition.count - 1) {
    return GraphError{.kind = GraphErrorKind::IdTooLarge, .detail = next + addition.count - 1};
  }
  return std::nullopt;
}

// check_addition against an index holding `stored` vectors under `labels`:
// the counts, the rows (unless checked apart), then the ids.
std::optional<GraphError> check_in_order(const Addition& addition, const GraphParams& params,
                                         std::size_t stored, const LabelMap& labels,
                                         bool rows_apart) {
  if (auto error = check_counts(addition, stored)) return error;
  if (!rows_apart) {
    if (auto error = check_rows(addition, params)) return error;
  }
  if (addition.count == 0) return std::nullopt;
  return check_labels(addition, labels);
}

// Runs every job to its end: putting back what a stopped addition removed
// must not itself stop half way.
class Unstoppable final : public JobRunner {
 public:
  explicit Unstoppable(JobRunner& runner) : runner_(runner) {}

  bool run(const PieceJob& job, bool /*may_stop*/) override { return runner_.run(job, false); }
  bool stop_requested() override { return false; }

 private:
  JobRunner& runner_;
};

}  // namespace

class GraphIndex::Builder {
 public:
  Builder(GraphIndex& index, JobRunner& runner) : index_(index), runner_(runner) {}

  std::expected<void, GraphError> add(Addition addition, const ProgressFn& progress) {
    if (auto error = index_.check_addition(addition)) return std::unexpected(*error);
    if (addition.count == 0) return {};
    if (index_.params_.storage == RowStorage::Float32) round_to_float32(addition.values);
    labels_ = addition.ids ? std::move(*addition.ids) : default_labels(addition.count);
    records_ = std::move(addition.records);
    set_aside_replaced();
    std::expected<void, GraphError> inserted;
    try {
      remove_replaced();
      slots_.reserve(addition.count);
      levels_.reserve(addition.count);
      live_before_ = index_.size();
      first_new_ = index_.slot_count();
      place(std::move(addition.values), addition.count);
      code_for_build(addition.count);
      inserted = insert_all(progress);
      drop_build_codes();
      index_.engine_.forget_chosen_prefixes();
    } catch (...) {
      // Whatever the failure left half done is checked by a full pass.
      index_.engine_.forget_reach();
      drop_build_codes();
      index_.engine_.forget_chosen_prefixes();
      give_back(done_);
      restore_after_failure();
      index_.drop_touched_partitions();
      throw;
    }
    if (!inserted) restore_unreached();
    index_.settle_partitions(runner_, index_.gate());
    return inserted;
  }

 private:
  // Batches over the placed slots, in order; stops at a batch boundary.
  // Batch sizes follow the nodes linked so far (free slots taken for later
  // batches count as nothing yet).
  std::expected<void, GraphError> insert_all(const ProgressFn& progress) {
    const std::size_t total = slots_.size();
    while (done_ < total) {
      const std::size_t batch_end = std::min(total, done_ + batch_size(linked()));
      if (!insert_batch(done_, batch_end)) break;
      done_ = batch_end;
      if (progress) progress(done_, total);
      if (done_ < total && runner_.stop_requested()) break;
    }
    // The slots not filled are free again before anything links to them.
    const bool stopped = done_ < total;
    if (stopped) give_back(done_);
    index_.engine_.connect_unreached(StoredSpace(index_.store_, nullptr), index_.gate(),
                                     std::span(slots_).first(done_));
    if (stopped) return std::unexpected(GraphError{.kind = GraphErrorKind::Interrupted});
    return {};
  }

  std::size_t linked() const { return live_before_ + done_; }

  std::vector<std::uint64_t> default_labels(std::size_t count) const {
    std::vector<std::uint64_t> labels(count);
    const std::uint64_t next = index_.labels_.next_default();
    for (std::size_t i = 0; i < count; ++i) labels[i] = next + i;
    return labels;
  }

  // Copies the vectors and records of the ids already present, before
  // anything changes, for restore_unreached.
  void set_aside_replaced() {
    const bool with_records = index_.schema().has_value();
    for (std::size_t row = 0; row < labels_.size(); ++row) {
      const auto slot = index_.labels_.slot_of(labels_[row]);
      if (!slot) continue;
      replaced_.rows.push_back(row);
      replaced_.slots.push_back(*slot);
      const std::size_t at = replaced_.values.size();
      replaced_.values.resize(at + index_.params_.dim);
      index_.copy_vector(*slot, replaced_.values.data() + at);
      if (!with_records) continue;
      const std::span<const Metadata> record = index_.record(*slot);
      replaced_.records.emplace_back(record.begin(), record.end());
    }
  }

  // The vectors of ids already present go first, as remove() takes them.
  void remove_replaced() {
    if (replaced_.slots.empty()) return;
    std::vector<std::uint32_t> replaced = replaced_.slots;
    std::sort(replaced.begin(), replaced.end());
    index_.remove_slots(replaced, runner_);
  }

  // Adds back, under their ids, the old vectors and records of the replaced
  // ids whose new rows no batch committed: a replaced id ends with its old
  // vector or its new one, never neither.
  void restore_unreached() {
    const std::size_t dim = index_.params_.dim;
    Addition back;
    std::vector<std::uint64_t> ids;
    std::vector<MetadataRecord> records;
    for (std::size_t i = 0; i < replaced_.rows.size(); ++i) {
      if (replaced_.rows[i] < done_) continue;
      ids.push_back(labels_[replaced_.rows[i]]);
      const auto vector = std::span(replaced_.values).subspan(i * dim, dim);
      back.values.insert(back.values.end(), vector.begin(), vector.end());
      if (!replaced_.records.empty()) records.push_back(std::move(replaced_.records[i]));
    }
    if (ids.empty()) return;
    back.count = ids.size();
    back.ids = std::move(ids);
    if (index_.schema()) back.records = std::move(records);
    Unstoppable runner(runner_);
    // Rows that were stored once pass every check again.
    (void)Builder(index_, runner).add(std::move(back), ProgressFn());
  }

  // As restore_unreached, after a throw; the first failure is the one
  // reported, so a second one leaves the ids not restored removed.
  void restore_after_failure() noexcept {
    try {
      restore_unreached();
    } catch (...) {
    }
  }

  // An index is built on codes: its own for a code walk, else those of
  // code_for_build. Recall holds (measured), and a code moves a fraction of
  // a float64 row's bytes.
  StoredSpace space() const {
    return StoredSpace(index_.store_, build_codes_ ? &*build_codes_ : index_.codes());
  }

  // Copies every row as float32, the placed ones too, for a large addition
  // to an exact walk's index, or to an 8-bit walk's under the inner product:
  // there the rows nearest any query are those farthest out, which tie on
  // their codes, and a graph built on those ties loses ways to them (0.90
  // against 0.95 recall@10 where one dimension rules the products). The
  // copies' scale follows from those rows alone, so data beyond float32's
  // range is built as well as any. The links' diverse prefixes were chosen
  // by other distances.
  void code_for_build(std::size_t count) {
    const codes::CodeStore* own = index_.codes();
    const bool coarse_products = own != nullptr && own->kind() == codes::CodeKind::Sq8 &&
                                 index_.params_.metric == MetricKind::InnerProduct;
    if ((own != nullptr && !coarse_products) || count * kCodedBuildShare < index_.slot_count()) {
      return;
    }
    build_codes_.emplace(index_.params_.dim, index_.params_.metric, codes::CodeKind::Float32);
    const RowsView rows = index_.store_.rows();
    // Free slots' rows are zeros, coded as zeros: every row is coded alike.
    const std::vector<std::uint8_t> none_free(rows.count(), 0);
    build_codes_->append_slots(rows, none_free);
    index_.engine_.distances_changed();
  }

  // Gives the codes' memory back; the prefixes they chose are forgotten,
  // as the next build measures by other distances.
  void drop_build_codes() {
    if (!build_codes_) return;
    build_codes_.reset();
    index_.engine_.distances_changed();
  }

  // Chooses each row's slot (free ones lowest first, then new ones), its
  // level (a free slot keeps its own; a new one is drawn from its number)
  // and writes the rows there, so that every walk of the batches can read
  // them. Nothing links to them until their batch commits.
  void place(std::vector<double> values, std::size_t count) {
    const std::size_t dim = index_.params_.dim;
    index_.store_.widen_for(std::span(values).first(count * dim), index_.gate());
    SlotBook& book = index_.engine_.slots();
    const std::size_t reused = std::min(count, book.free_count());
    const std::size_t appended = count - reused;
    for (std::size_t i = 0; i < count; ++i) {
      const auto slot =
          static_cast<std::uint32_t>(i < reused ? book.take_lowest() : first_new_ + (i - reused));
      slots_.push_back(slot);
      levels_.push_back(static_cast<std::uint8_t>(
          i < reused ? index_.links().level(slot)
                     : draw_level(index_.params_.seed, slot, index_.params_.m)));
    }
    for (std::size_t i = 0; i < reused; ++i) {
      index_.fill_row(slots_[i], std::span(values).subspan(i * dim, dim));
    }
    index_.labels_.reserve(std::span(labels_).subspan(reused));
    index_.engine_.links().reserve_nodes(std::span(levels_).subspan(reused));
    book.reserve(appended);
    index_.records_.reserve(appended);
    values.erase(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(reused * dim));
    index_.append_rows(std::move(values), appended);
  }

  // Frees again the placed slots from `done` on, which no batch committed,
  // and drops the rows of new slots past the committed ones.
  // Once only: a failure after a stop has given them back comes here again,
  // and a slot listed free twice would be handed out twice.
  void give_back(std::size_t done) {
    if (given_back_) return;
    given_back_ = true;
    for (std::size_t i = done; i < slots_.size(); ++i) {
      if (slots_[i] >= first_new_) break;
      index_.unfill_row(slots_[i]);
    }
    index_.drop_unlinked_rows();
  }

  // Inserts the placed rows [begin, end); false when stopped before
  // anything changed.
  bool insert_batch(std::size_t begin, std::size_t end) {
    std::vector<PendingLinks> pending(end - begin);
    if (linked() > 0) {
      const PieceJob search{end - begin,
                            [&](std::size_t i) { pending[i] = search_links(begin + i); }};
      // The batch only reads the graph: searches may run beside it.
      const SearchesLetIn searches(index_.gate());
      if (!runner_.run(search, true)) return false;
    }
    commit(begin, end, pending);
    return true;
  }

  // The links a new point takes on each layer it shares with the graph.
  PendingLinks search_links(std::size_t placed) {
    const StoredSpace measured = space();
    return measured.from_slot(slots_[placed], [&](auto& distances) {
      return index_.engine_.choose_links(distances, levels_[placed], index_.params_.ef_construction,
                                         measured);
    });
  }

  void commit(std::size_t begin, std::size_t end, const std::vector<PendingLinks>& pending) {
    std::vector<std::uint8_t> new_levels;
    for (std::size_t i = begin; i < end; ++i) {
      if (slots_[i] >= first_new_) new_levels.push_back(levels_[i]);
    }
    index_.engine_.link_batch(std::span(slots_).subspan(begin, end - begin),
                              std::span(levels_).subspan(begin, end - begin), pending, new_levels,
                              linked() == 0, space(), runner_, index_.gate(),
                              [&] { name_nodes(begin, end); });
  }

  // The ids and records of the placed rows [begin, end).
  void name_nodes(std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      if (slots_[i] >= first_new_) {
        index_.labels_.append(std::span(labels_).subspan(i, 1));
      } else {
        index_.labels_.assign(slots_[i], labels_[i]);
      }
      index_.set_record(slots_[i], records_ ? &(*records_)[i] : nullptr);
    }
  }

  GraphIndex& index_;
  JobRunner& runner_;
  std::size_t live_before_ = 0;
  // Rows of the addition committed so far.
  std::size_t done_ = 0;
  // The first slot past those the index had: slots from here are new.
  std::size_t first_new_ = 0;
  // Per row of the addition: its slot, level, id and record.
  std::vector<std::uint32_t> slots_;
  std::vector<std::uint8_t> levels_;
  std::vector<std::uint64_t> labels_;
  std::optional<std::vector<MetadataRecord>> records_;
  std::optional<codes::CodeStore> build_codes_;
  bool given_back_ = false;
  // The ids the addition replaces, as they were: per replaced row of the
  // addition (ascending), its old slot, vector and record (no records
  // without a schema).
  struct Replaced {
    std::vector<std::size_t> rows;
    std::vector<std::uint32_t> slots;
    std::vector<double> values;
    std::vector<MetadataRecord> records;
  } replaced_;
};

std::optional<GraphError> GraphIndex::check_addition(const Addition& addition) const {
  return check_in_order(addition, params_, size(), labels_, /*rows_apart=*/false);
}

std::optional<GraphError> GraphIndex::check_new_addition(const GraphParams& params,
                                                         const Addition& addition,
                                                         bool rows_apart) {
  return check_in_order(addition, params, 0, LabelMap(), rows_apart);
}

std::expected<void, GraphError> GraphIndex::add(Addition addition, JobRunner& runner,
                                                const ProgressFn& progress) {
  Builder builder(*this, runner);
  return builder.add(std::move(addition), progress);
}

}  // namespace halqen::graph
