// Batch-synchronous insertion. The points of a batch search the graph as it
// stood when the batch began, in parallel; then their own links are written
// and the reverse links, grouped by the node they point to and ordered by
// (distance, id), are merged per node in parallel. Nothing depends on which
// thread did what, so the graph is the same for every thread count.
#include <algorithm>
#include <cmath>
#include <compare>
#include <deque>
#include <limits>
#include <tuple>
#include <utility>

#include "graph/batch_plan.hpp"
#include "graph/distance_computer.hpp"
#include "graph/graph_index.hpp"
#include "graph/layer_walk.hpp"
#include "graph/level_draw.hpp"
#include "graph/neighbour_prune.hpp"

namespace halqen::graph {
namespace {

// Slots are 32-bit and one value marks an empty table entry.
constexpr std::uint64_t kMaxSlots = std::numeric_limits<std::uint32_t>::max() - 1;
// Reverse-link groups merged per piece of the parallel merge.
constexpr std::size_t kGroupsPerPiece = 64;

// A new point's chosen links per layer, nearest first, found by its search.
struct PendingLinks {
  std::vector<std::vector<Candidate>> layers;
};

// Each node a batch orphans may displace this many others before the
// relinking gives up.
constexpr std::size_t kRelinksPerOrphan = 4;

// A node on one layer, ordered by layer then slot.
struct LayerNode {
  std::uint32_t layer;
  std::uint32_t slot;
  friend auto operator<=>(const LayerNode&, const LayerNode&) = default;
};

// A link a batch point asks its neighbour to take back.
struct ReverseLink {
  std::uint32_t target;
  std::uint32_t layer;
  double key;
  std::uint32_t source;
};

bool reverse_order(const ReverseLink& a, const ReverseLink& b) {
  return std::tie(a.layer, a.target, a.key, a.source) <
         std::tie(b.layer, b.target, b.key, b.source);
}

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

}  // namespace

class GraphIndex::Builder {
 public:
  Builder(GraphIndex& index, JobRunner& runner) : index_(index), runner_(runner) {}

  std::expected<void, GraphError> add(Addition addition, const ProgressFn& progress) {
    if (auto error = check(addition)) return std::unexpected(*error);
    if (addition.count == 0) return {};
    first_ = index_.size();
    labels_ = addition.ids ? std::move(*addition.ids) : default_labels(addition.count);
    if (auto error = index_.labels_.check(labels_)) return std::unexpected(*error);
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

  std::optional<GraphError> check(const Addition& addition) const {
    const std::size_t count = addition.count;
    if (addition.ids && addition.ids->size() != count) {
      return GraphError{.kind = GraphErrorKind::CountMismatch, .detail = addition.ids->size()};
    }
    if (addition.records && addition.records->size() != count) {
      return GraphError{.kind = GraphErrorKind::CountMismatch, .detail = addition.records->size()};
    }
    if (count > kMaxSlots - index_.size()) {
      return GraphError{.kind = GraphErrorKind::TooManyVectors, .detail = index_.size() + count};
    }
    return check_rows(addition, index_.params_.dim, index_.params_.metric == MetricKind::Cosine);
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
                 committed, scratch, AdmitAll{});
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
    std::sort(reverse.begin(), reverse.end(), reverse_order);
    std::vector<LayerNode> unlinked = merge_reverse_links(reverse);
    for (std::size_t i = 0; i < pending.size(); ++i) {
      for (std::uint32_t layer = 0; layer < pending[i].layers.size(); ++layer) {
        unlinked.push_back({layer, static_cast<std::uint32_t>(begin + i)});
      }
    }
    relink_orphans(std::move(unlinked));
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

  // Every node the batch left without a link in gets one from the first
  // node of its own list: appended where there is room, else in place of
  // that list's last link, whose node is then checked in turn. Sequential
  // and in (layer, slot) order, so the result never depends on threads.
  void relink_orphans(std::vector<LayerNode> unlinked) {
    std::sort(unlinked.begin(), unlinked.end());
    unlinked.erase(std::unique(unlinked.begin(), unlinked.end()), unlinked.end());
    LinkStore& links = index_.links_;
    std::deque<LayerNode> queue(unlinked.begin(), unlinked.end());
    // Each relink may orphan one other node; the chain is cut off long
    // before it could cycle.
    std::size_t budget = kRelinksPerOrphan * queue.size();
    while (!queue.empty() && budget-- > 0) {
      const auto [layer, node] = queue.front();
      queue.pop_front();
      if (links.links_in(node, layer) > 0 || links.links(node, layer).empty()) continue;
      const std::uint32_t host = links.links(node, layer).front();
      if (links.has_room(host, layer)) {
        links.append_link(host, layer, node);
        continue;
      }
      const std::uint32_t displaced = links.replace_last_link(host, layer, node);
      if (links.links_in(displaced, layer) == 0) queue.push_back({layer, displaced});
    }
  }

  void append_metadata(std::size_t begin, std::size_t end) {
    for (std::size_t slot = begin; slot < end; ++slot) {
      if (records_) {
        index_.metadata_.append((*records_)[slot - first_]);
      } else {
        index_.metadata_.append_without_record();
      }
    }
  }

  // Each group (links to one node on one layer) is merged by one piece.
  // Returns the nodes that the merges dropped from a list, in group order.
  std::vector<LayerNode> merge_reverse_links(const std::vector<ReverseLink>& reverse) {
    std::vector<std::size_t> group_begins;
    for (std::size_t i = 0; i < reverse.size(); ++i) {
      if (i == 0 || reverse[i].target != reverse[i - 1].target ||
          reverse[i].layer != reverse[i - 1].layer) {
        group_begins.push_back(i);
      }
    }
    group_begins.push_back(reverse.size());
    const std::size_t groups = group_begins.size() - 1;
    std::vector<std::vector<std::uint32_t>> dropped(groups);
    const PieceJob merge{(groups + kGroupsPerPiece - 1) / kGroupsPerPiece, [&](std::size_t piece) {
                           const std::size_t first = piece * kGroupsPerPiece;
                           const std::size_t last = std::min(groups, first + kGroupsPerPiece);
                           for (std::size_t g = first; g < last; ++g) {
                             dropped[g] = merge_group(std::span(reverse).subspan(
                                 group_begins[g], group_begins[g + 1] - group_begins[g]));
                           }
                         }};
    runner_.run(merge, false);
    std::vector<LayerNode> unlinked;
    for (std::size_t g = 0; g < groups; ++g) {
      for (const std::uint32_t node : dropped[g]) {
        unlinked.push_back({reverse[group_begins[g]].layer, node});
      }
    }
    return unlinked;
  }

  // The target keeps its links and takes the new ones while they fit;
  // beyond, the union is pruned by the diversity rule. Returns the nodes
  // the target no longer links to.
  std::vector<std::uint32_t> merge_group(std::span<const ReverseLink> group) {
    const std::uint32_t target = group.front().target;
    const unsigned layer = group.front().layer;
    LinkStore& links = index_.links_;
    const std::span<const std::uint32_t> existing = links.links(target, layer);
    std::vector<std::uint32_t> merged(existing.begin(), existing.end());
    const std::size_t prefix = links.diverse_prefix(target, layer);
    if (existing.size() + group.size() <= links.capacity(layer)) {
      for (const ReverseLink& link : group) merged.push_back(link.source);
      links.set_links(target, layer, merged, prefix);
      return {};
    }
    ExactDistances from_target(index_.store_, target);
    std::vector<double> keys(merged.size());
    from_target.keys(merged.data(), merged.size(), keys.data());
    std::vector<Candidate> candidates;
    candidates.reserve(merged.size() + group.size());
    for (std::size_t i = 0; i < merged.size(); ++i) candidates.push_back({keys[i], merged[i]});
    for (const ReverseLink& link : group) candidates.push_back({link.key, link.source});
    std::sort(candidates.begin(), candidates.end(), Nearer{});
    // The list's diverse prefix, while nothing new sorts into it, is chosen
    // again as it was.
    std::size_t known = 0;
    while (known < prefix && candidates[known].slot == merged[known]) ++known;
    std::vector<Candidate> kept;
    prune_neighbours(index_.store_, candidates, links.capacity(layer), kept, known);
    std::vector<std::uint32_t> chosen;
    for (const Candidate& c : kept) chosen.push_back(c.slot);
    links.set_links(target, layer, chosen, chosen.size());
    std::vector<std::uint32_t> dropped;
    for (const Candidate& c : candidates) {
      if (std::find(chosen.begin(), chosen.end(), c.slot) == chosen.end())
        dropped.push_back(c.slot);
    }
    return dropped;
  }

  GraphIndex& index_;
  JobRunner& runner_;
  std::size_t first_ = 0;
  std::vector<std::uint64_t> labels_;
  std::vector<std::uint8_t> levels_;
  std::optional<std::vector<MetadataRecord>> records_;
};

std::expected<void, GraphError> GraphIndex::add(Addition addition, JobRunner& runner,
                                                const ProgressFn& progress) {
  Builder builder(*this, runner);
  return builder.add(std::move(addition), progress);
}

}  // namespace halqen::graph
