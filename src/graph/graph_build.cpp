// Batch-synchronous insertion. The points of a batch search the graph as it
// stood when the batch began, in parallel; then their own links are written
// and the reverse links, grouped by the node they point to and ordered by
// (distance, id), are merged per node in parallel. Nothing depends on which
// thread did what, so the graph is the same for every thread count.
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "graph/batch_plan.hpp"
#include "graph/distance_computer.hpp"
#include "graph/graph_index.hpp"
#include "graph/layer_walk.hpp"
#include "graph/level_draw.hpp"
#include "graph/neighbour_prune.hpp"
#include "graph/reverse_links.hpp"

namespace halqen::graph {
namespace {

// Slots are 32-bit and one value marks an empty table entry.
constexpr std::uint64_t kMaxSlots = std::numeric_limits<std::uint32_t>::max() - 1;

// A new point's chosen links per layer, nearest first, found by its search.
struct PendingLinks {
  std::vector<std::vector<Candidate>> layers;
};

std::optional<GraphError> check_rows(const Addition& addition, std::size_t dim, bool cosine) {
  if (addition.values.size() < addition.count * dim) {
    return GraphError{.kind = GraphErrorKind::WrongLength, .detail = addition.values.size()};
  }
  for (std::size_t row = 0; row < addition.count; ++row) {
    bool zero = true;
    for (std::size_t c = 0; c < dim; ++c) {
      const double x = addition.values[row * dim + c];
      if (!std::isfinite(x)) {
        return GraphError{
            .kind = GraphErrorKind::NotFinite, .row = row, .detail = c, .component = x};
      }
      zero = zero && x == 0.0;
    }
    if (cosine && zero) return GraphError{.kind = GraphErrorKind::ZeroVector, .row = row};
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
  if (count > kMaxSlots - stored) {
    return GraphError{.kind = GraphErrorKind::TooManyVectors, .detail = stored + count};
  }
  return std::nullopt;
}

// Default ids follow every id stored, so only their range can fail.
std::optional<GraphError> check_labels(const Addition& addition, const LabelMap& labels) {
  if (addition.ids) return labels.check(*addition.ids);
  const std::uint64_t next = labels.next_default();
  if (next > kLargestId || kLargestId - next < addition.count - 1) {
    return GraphError{.kind = GraphErrorKind::IdTooLarge, .detail = next + addition.count - 1};
  }
  return std::nullopt;
}

}  // namespace

class GraphIndex::Builder {
 public:
  Builder(GraphIndex& index, JobRunner& runner) : index_(index), runner_(runner) {}

  std::expected<void, GraphError> add(Addition addition, const ProgressFn& progress) {
    if (auto error = index_.check_addition(addition)) return std::unexpected(*error);
    if (addition.count == 0) return {};
    first_ = index_.size();
    labels_ = addition.ids ? std::move(*addition.ids) : default_labels(addition.count);
    levels_.reserve(addition.count);
    for (std::size_t i = 0; i < addition.count; ++i) {
      levels_.push_back(
          static_cast<std::uint8_t>(draw_level(index_.params_.seed, first_ + i, index_.params_.m)));
    }
    records_ = std::move(addition.records);
    index_.labels_.reserve(labels_);
    index_.links_.reserve_nodes(levels_);
    index_.store_.append(std::move(addition.values), addition.count);
    try {
      return insert_all(first_ + addition.count, progress);
    } catch (...) {
      // Rows past the committed nodes would misalign the next addition.
      index_.store_.truncate(index_.size());
      throw;
    }
  }

 private:
  std::expected<void, GraphError> insert_all(std::size_t end, const ProgressFn& progress) {
    const std::size_t total = end - first_;
    while (index_.size() < end) {
      const std::size_t begin = index_.size();
      const std::size_t batch_end = std::min(end, begin + batch_size(begin));
      if (!insert_batch(begin, batch_end)) break;
      if (progress) progress(batch_end - first_, total);
      if (batch_end < end && runner_.stop_requested()) break;
    }
    index_.connect_unreached();
    if (index_.size() < end) {
      index_.store_.truncate(index_.size());
      return std::unexpected(GraphError{.kind = GraphErrorKind::Interrupted});
    }
    return {};
  }

  std::vector<std::uint64_t> default_labels(std::size_t count) const {
    std::vector<std::uint64_t> labels(count);
    const std::uint64_t next = index_.labels_.next_default();
    for (std::size_t i = 0; i < count; ++i) labels[i] = next + i;
    return labels;
  }

  unsigned level_of(std::size_t slot) const { return levels_[slot - first_]; }

  // Inserts slots [begin, end); false when stopped before anything changed.
  bool insert_batch(std::size_t begin, std::size_t end) {
    std::vector<PendingLinks> pending(end - begin);
    if (begin > 0) {
      const PieceJob search{end - begin, [&](std::size_t i) {
                              pending[i] = search_links(static_cast<std::uint32_t>(begin + i));
                            }};
      if (!runner_.run(search, true)) return false;
    }
    commit(begin, end, pending);
    return true;
  }

  // The links a new point takes on each layer it shares with the graph.
  PendingLinks search_links(std::uint32_t slot) {
    const GraphIndex& index = index_;
    const std::size_t committed = index.size();
    ScratchPool::Lease lease = index.scratch_->borrow();
    WalkScratch& scratch = *lease;
    ExactDistances distances(index.store_, slot);
    const unsigned level = level_of(slot);
    Candidate here{distances.key(index.entry_), index.entry_};
    for (unsigned layer = index.top_level_; layer > level; --layer) {
      here = greedy_descent(index.links_, distances, here, layer, scratch);
    }
    PendingLinks links;
    const unsigned shared = std::min(level, index.top_level_);
    links.layers.resize(shared + 1);
    std::vector<Candidate> found;
    for (unsigned layer = shared + 1; layer-- > 0;) {
      walk_layer(index.links_, distances, std::span(&here, 1), layer, index.params_.ef_construction,
                 committed, scratch);
      scratch.best.sorted_into(found);
      prune_neighbours(index.store_, found, index.params_.m, links.layers[layer]);
      here = found.front();
    }
    return links;
  }

  void commit(std::size_t begin, std::size_t end, const std::vector<PendingLinks>& pending) {
    index_.links_.append_nodes(std::span(levels_).subspan(begin - first_, end - begin));
    std::vector<ReverseLink> reverse;
    std::vector<std::uint32_t> slots;
    for (std::size_t i = 0; i < pending.size(); ++i) {
      const auto source = static_cast<std::uint32_t>(begin + i);
      for (std::uint32_t layer = 0; layer < pending[i].layers.size(); ++layer) {
        slots.clear();
        for (const Candidate& c : pending[i].layers[layer]) {
          slots.push_back(c.slot);
          reverse.push_back({c.slot, layer, c.key, source});
        }
        index_.links_.set_links(source, layer, slots, slots.size());
      }
    }
    std::vector<LayerNode> added;
    for (std::size_t i = 0; i < pending.size(); ++i) {
      for (std::uint32_t layer = 0; layer < pending[i].layers.size(); ++layer) {
        added.push_back({layer, static_cast<std::uint32_t>(begin + i)});
      }
    }
    merge_reverse_links(std::move(reverse), std::move(added), index_.links_, index_.store_,
                        runner_);
    index_.labels_.append(std::span(labels_).subspan(begin - first_, end - begin));
    append_metadata(begin, end);
    raise_entry(begin, end);
  }

  // A batch node above the graph's top becomes the entry (the first of the
  // highest), and the others that reach those layers link to it both ways.
  void raise_entry(std::size_t begin, std::size_t end) {
    const unsigned old_top = index_.size() == end - begin ? 0 : index_.top_level_;
    const bool was_empty = index_.size() == end - begin;
    for (std::size_t slot = begin; slot < end; ++slot) {
      if ((was_empty && slot == begin) || level_of(slot) > index_.top_level_) {
        index_.entry_ = static_cast<std::uint32_t>(slot);
        index_.top_level_ = level_of(slot);
      }
    }
    LinkStore& links = index_.links_;
    const std::uint32_t entry = index_.entry_;
    for (std::size_t slot = begin; slot < end; ++slot) {
      const auto node = static_cast<std::uint32_t>(slot);
      const unsigned lowest = was_empty ? 0 : old_top + 1;
      for (unsigned layer = lowest; layer <= level_of(slot) && node != entry; ++layer) {
        if (!links.has_room(entry, layer)) continue;
        links.append_link(entry, layer, node);
        if (links.has_room(node, layer)) links.append_link(node, layer, entry);
      }
    }
  }

  // An index without a schema keeps no metadata at all, not even an empty
  // record per node.
  void append_metadata(std::size_t begin, std::size_t end) {
    if (!index_.params_.schema) return;
    for (std::size_t slot = begin; slot < end; ++slot) {
      index_.append_metadata(records_ ? &(*records_)[slot - first_] : nullptr);
    }
  }

  GraphIndex& index_;
  JobRunner& runner_;
  std::size_t first_ = 0;
  std::vector<std::uint64_t> labels_;
  std::vector<std::uint8_t> levels_;
  std::optional<std::vector<MetadataRecord>> records_;
};

std::optional<GraphError> GraphIndex::check_addition(const Addition& addition) const {
  if (auto error = check_counts(addition, size())) return error;
  if (auto error = check_rows(addition, params_.dim, params_.metric == MetricKind::Cosine)) {
    return error;
  }
  if (addition.count == 0) return std::nullopt;
  return check_labels(addition, labels_);
}

std::expected<void, GraphError> GraphIndex::add(Addition addition, JobRunner& runner,
                                                const ProgressFn& progress) {
  Builder builder(*this, runner);
  return builder.add(std::move(addition), progress);
}

}  // namespace halqen::graph
