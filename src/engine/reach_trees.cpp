#include "engine/reach_trees.hpp"

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "common/sorted_distinct.hpp"

namespace halqen::graph {
namespace {

// The journal a tree is checked from holds at most this share of the slots
// (and at least kLeastJournal entries): a change that drops more links is
// checked faster by a pass over the whole graph.
constexpr std::size_t kJournalShare = 64;
constexpr std::size_t kLeastJournal = 1024;
// Sweeps over a layer's lists that grow a tree anew, at most: a graph
// whose tree needs more is checked by a pass from the entry.
constexpr int kMostSweeps = 6;
// Steps a way to the entry is followed, at most, before the check gives
// up on it (a tree grown by many changes may run deep).
constexpr std::size_t kMostSteps = 4096;

bool live(const LinkStore& links, const SlotBook& slots, std::uint32_t node, unsigned layer) {
  return node < slots.slot_count() && !slots.is_free(node) && links.level(node) >= layer;
}

// The nodes of each layer that may have lost their way, from the journal
// entries a tree has not seen.
std::vector<std::vector<std::uint32_t>> suspects_of(ReachDirection direction,
                                                    std::span<const JournalEntry> entries,
                                                    const std::vector<TreeLinks>& layers) {
  std::vector<std::vector<std::uint32_t>> suspects(layers.size());
  for (const JournalEntry& e : entries) {
    if (e.gained) continue;
    if (e.target == JournalEntry::kAdded) {
      for (unsigned layer = 0; layer <= e.layer && layer < layers.size(); ++layer) {
        suspects[layer].push_back(e.node);
      }
    } else if (e.layer >= layers.size()) {
      continue;
    } else if (direction == ReachDirection::Forward) {
      if (layers[e.layer].of(e.target) == e.node) suspects[e.layer].push_back(e.target);
    } else if (layers[e.layer].of(e.node) == e.target) {
      suspects[e.layer].push_back(e.node);
    }
  }
  for (std::vector<std::uint32_t>& nodes : suspects) {
    sort_distinct(nodes);
  }
  return suspects;
}

// One layer's suspects given new tree links, each to one of its own links
// whose way to the entry is sound.
class LayerRepair {
 public:
  LayerRepair(ReachDirection direction, const LinkStore& links, const SlotBook& slots,
              unsigned layer, std::uint32_t entry, TreeLinks& tree)
      : direction_(direction),
        links_(links),
        slots_(slots),
        layer_(layer),
        entry_(entry),
        tree_(tree) {}

  bool settle(const std::vector<std::uint32_t>& suspects, std::span<const JournalEntry> unseen) {
    for (const std::uint32_t node : suspects) {
      if (node != entry_ && live(links_, slots_, node, layer_)) lost_.insert(node);
    }
    if (direction_ == ReachDirection::Forward) note_changed_lists(unseen);
    bool progress = true;
    while (progress && !lost_.empty()) {
      progress = false;
      std::vector<std::uint32_t> order(lost_.begin(), lost_.end());
      std::sort(order.begin(), order.end());
      for (const std::uint32_t node : order) {
        if (const auto next = sound_next(node)) {
          tree_.set(node, *next);
          lost_.erase(node);
          progress = true;
        }
      }
    }
    return lost_.empty();
  }

 private:
  // The nodes whose lists the change rewrote are the likeliest to link to
  // a node that lost its way in: a removal's repair gives the nodes that
  // linked to a removed node the links it had, and a node left with no
  // link in is given one.
  void note_changed_lists(std::span<const JournalEntry> unseen) {
    std::vector<std::uint32_t> changed;
    for (const JournalEntry& e : unseen) {
      if (e.target != JournalEntry::kAdded && e.layer == layer_) changed.push_back(e.node);
    }
    sort_distinct(changed);
    for (const std::uint32_t node : changed) {
      if (!live(links_, slots_, node, layer_)) continue;
      for (const std::uint32_t target : links_.links(node, layer_)) {
        if (lost_.contains(target)) linked_from_[target].push_back(node);
      }
    }
  }

  // A node `node` can be reached through (forward: one of its links that
  // links back, or a changed list that links to it) or return through
  // (backward: one of its links), whose own way is sound.
  std::optional<std::uint32_t> sound_next(std::uint32_t node) const {
    for (const std::uint32_t next : links_.links(node, layer_)) {
      if (next == node || !live(links_, slots_, next, layer_)) continue;
      if (direction_ == ReachDirection::Forward &&
          std::ranges::count(links_.links(next, layer_), node) == 0) {
        continue;
      }
      if (leads_to_entry(next, node)) return next;
    }
    const auto from = linked_from_.find(node);
    if (from != linked_from_.end()) {
      for (const std::uint32_t next : from->second) {
        if (next != node && leads_to_entry(next, node)) return next;
      }
    }
    return std::nullopt;
  }

  // Whether the tree leads from `from` to the entry without passing
  // `avoided` or a node still lost.
  bool leads_to_entry(std::uint32_t from, std::uint32_t avoided) const {
    std::uint32_t at = from;
    for (std::size_t step = 0; step < kMostSteps; ++step) {
      if (at == avoided || lost_.contains(at)) return false;
      if (at == entry_) return true;
      at = tree_.of(at);
      if (at == TreeLinks::kNone) return false;
    }
    return false;
  }

  ReachDirection direction_;
  const LinkStore& links_;
  const SlotBook& slots_;
  unsigned layer_;
  std::uint32_t entry_;
  TreeLinks& tree_;
  std::unordered_set<std::uint32_t> lost_;
  // Forward: for a lost node, the changed lists that link to it.
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> linked_from_;
};

// One layer's tree grown by sweeps (ReachTrees::sweep); nothing when some
// live node was not met.
std::optional<TreeLinks> swept_layer(ReachDirection direction, const LinkStore& links,
                                     const SlotBook& slots, std::uint32_t entry, unsigned layer) {
  const std::uint32_t count = static_cast<std::uint32_t>(links.size());
  TreeLinks tree = layer == 0 ? TreeLinks(std::vector<std::uint32_t>(count, TreeLinks::kNone))
                              : TreeLinks(layer);
  // Bits, so that the marks stay in the nearest caches.
  std::vector<bool> met(count, false);
  met[entry] = true;
  std::size_t left = 0;
  for (std::uint32_t node = 0; node < count; ++node) {
    if (node != entry && live(links, slots, node, layer)) ++left;
  }
  const auto visit = [&](std::uint32_t node) {
    if (direction == ReachDirection::Forward) {
      if (!met[node] || links.level(node) < layer) return;
      for (const std::uint32_t target : links.links(node, layer)) {
        if (met[target]) continue;
        met[target] = true;
        tree.set(target, node);
        --left;
      }
      return;
    }
    if (met[node] || !live(links, slots, node, layer)) return;
    for (const std::uint32_t next : links.links(node, layer)) {
      if (!met[next]) continue;
      met[node] = true;
      tree.set(node, next);
      --left;
      return;
    }
  };
  for (int round = 0; round < kMostSweeps && left > 0; ++round) {
    const std::size_t before = left;
    if (round % 2 == 0) {
      for (std::uint32_t node = 0; node < count; ++node) visit(node);
    } else {
      for (std::uint32_t node = count; node-- > 0;) visit(node);
    }
    if (left == before) break;
  }
  if (left > 0) return std::nullopt;
  return tree;
}

}  // namespace

bool ReachTrees::sweep(ReachDirection direction, const LinkStore& links, const SlotBook& slots,
                       std::uint32_t entry, unsigned top_level) {
  if (journal_.overflowed()) forget();
  Tree grown{.entry = entry, .top_level = top_level};
  for (unsigned layer = 0; layer <= top_level; ++layer) {
    std::optional<TreeLinks> swept = swept_layer(direction, links, slots, entry, layer);
    if (!swept) return false;
    grown.layers.push_back(std::move(*swept));
  }
  // Every change so far is in the tree; the journal starts anew if nothing
  // else waits on it.
  grown.checked = journal_.recording() ? journal_.entries().size() : 0;
  tree(direction) = std::move(grown);
  trim_journal(slots.slot_count());
  return true;
}

std::uint32_t TreeLinks::of(std::uint32_t node) const {
  if (dense_) return node < base_.size() ? base_[node] : kNone;
  const auto found = upper_.find(node);
  return found == upper_.end() ? kNone : found->second;
}

void TreeLinks::set(std::uint32_t node, std::uint32_t next) {
  if (!dense_) {
    upper_[node] = next;
    return;
  }
  if (node >= base_.size()) base_.resize(std::max<std::size_t>(node + 1, 2 * base_.size()), kNone);
  base_[node] = next;
}

std::uint64_t TreeLinks::heap_bytes() const {
  // A node of the map: its pair, the bucket's pointer and the next one.
  constexpr std::uint64_t kPerMapped =
      sizeof(std::pair<std::uint32_t, std::uint32_t>) + 2 * sizeof(void*);
  return base_.capacity() * sizeof(std::uint32_t) + upper_.size() * kPerMapped;
}

std::uint64_t ReachTrees::heap_bytes() const {
  std::uint64_t bytes = journal_.heap_bytes();
  for (const Tree* t : {&forward_, &backward_}) {
    for (const TreeLinks& layer : t->layers) bytes += layer.heap_bytes();
  }
  return bytes;
}

bool ReachTrees::settled(ReachDirection direction, const LinkStore& links, const SlotBook& slots,
                         std::uint32_t entry, unsigned top_level) {
  // Entries lost to an overflow leave neither tree anything to check.
  if (journal_.overflowed()) forget();
  Tree& checked = tree(direction);
  if (checked.layers.empty()) return false;
  bool sound = checked.entry == entry && checked.top_level == top_level;
  if (sound) {
    const std::span<const JournalEntry> unseen = journal_.entries().subspan(checked.checked);
    const auto suspects = suspects_of(direction, unseen, checked.layers);
    for (unsigned layer = 0; sound && layer < checked.layers.size(); ++layer) {
      LayerRepair repair(direction, links, slots, layer, entry, checked.layers[layer]);
      sound = repair.settle(suspects[layer], unseen);
    }
  }
  if (sound) {
    checked.checked = journal_.entries().size();
  } else {
    checked = {};
  }
  trim_journal(slots.slot_count());
  return sound;
}

void ReachTrees::begin_pass(unsigned top_level) {
  pass_.clear();
  for (unsigned layer = 0; layer <= top_level; ++layer) pass_.emplace_back(layer);
}

void ReachTrees::finish_pass(ReachDirection direction, bool every_layer_settled,
                             std::uint32_t entry, unsigned top_level, std::size_t slot_count) {
  // Entries lost to an overflow leave the other tree nothing to check.
  if (journal_.overflowed()) forget();
  Tree& built = tree(direction);
  built = {};
  if (every_layer_settled) {
    built.layers = std::move(pass_);
    built.entry = entry;
    built.top_level = top_level;
    built.checked = journal_.entries().size();
  }
  pass_.clear();
  trim_journal(slot_count);
}

void ReachTrees::note_added(std::span<const std::uint32_t> slots, const LinkStore& links) {
  if (!journal_.recording()) return;
  for (const std::uint32_t slot : slots) {
    journal_.note({.node = slot, .layer = links.level(slot), .target = JournalEntry::kAdded});
  }
}

void ReachTrees::forget() {
  forward_ = {};
  backward_ = {};
  journal_.stop();
}

void ReachTrees::trim_journal(std::size_t slot_count) {
  const bool kept = !forward_.layers.empty() || !backward_.layers.empty();
  if (!kept) {
    journal_.stop();
    return;
  }
  const std::size_t size = journal_.entries().size();
  const auto seen = [size](const Tree& t) { return t.layers.empty() || t.checked == size; };
  if (journal_.recording() && !(seen(forward_) && seen(backward_))) return;
  journal_.start(std::max(kLeastJournal, slot_count / kJournalShare));
  forward_.checked = 0;
  backward_.checked = 0;
}

}  // namespace halqen::graph
