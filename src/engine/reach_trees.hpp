// Proof, kept across changes, that every node is reached from the entry
// (forward) and walks back to it (backward) on every layer it is on, so
// that a small change need not pass over the whole graph to know that no
// node was cut off.
//
// Each direction keeps a tree per layer: for every live node, the node it
// is reached through (forward: one linking to it) or returns through
// (backward: one it links to), ending at the entry. A full pass over a
// layer leaves the tree its spread from the entry walked. After a change,
// only the nodes the journal names can have lost their way: a node whose
// tree link was taken out, and every node added. Each takes a new tree link
// from among its own links, to a node whose way to the entry does not pass
// through it or another node still without one. Where one finds none, the
// tree is dropped and the caller passes over the whole graph, as it would
// have without the tree: the tree decides only whether that pass is
// needed, never what the graph becomes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/link_journal.hpp"
#include "engine/link_store.hpp"
#include "engine/slot_book.hpp"

namespace halqen::graph {

// The tree links of one layer of one direction: dense on layer 0, by
// node above, where few nodes are.
class TreeLinks {
 public:
  static constexpr std::uint32_t kNone = JournalEntry::kAdded;

  explicit TreeLinks(unsigned layer) : dense_(layer == 0) {}
  // A layer-0 tree, one link per slot.
  explicit TreeLinks(std::vector<std::uint32_t> base) : dense_(true), base_(std::move(base)) {}
  std::uint32_t of(std::uint32_t node) const;
  void set(std::uint32_t node, std::uint32_t next);
  std::uint64_t heap_bytes() const;

 private:
  bool dense_;
  std::vector<std::uint32_t> base_;
  std::unordered_map<std::uint32_t, std::uint32_t> upper_;
};

enum class ReachDirection { Forward, Backward };

class ReachTrees {
 public:
  LinkJournal& journal() { return journal_; }

  // Whether the tree of `direction` still proves its promise after the
  // changes the journal holds since it was last checked; it then holds
  // for the graph as it stands. Otherwise the tree is dropped.
  bool settled(ReachDirection direction, const LinkStore& links, const SlotBook& slots,
               std::uint32_t entry, unsigned top_level);

  // Grows the tree of `direction` anew, where it was dropped or never
  // grown, by sweeps over the lists in slot order, up and down in turn: a
  // node is reached once a reached node links to it (forward), or returns
  // once it links to a node that does (backward). Reading the lists in
  // memory order, a few sweeps cost far less than a spread from the entry.
  // Whether every live node of every layer was met within a few sweeps;
  // the tree is kept only then, and the graph is unchanged either way.
  bool sweep(ReachDirection direction, const LinkStore& links, const SlotBook& slots,
             std::uint32_t entry, unsigned top_level);

  // A full pass over the graph in one direction: its spreads record here
  // the tree link of each node they mark (the last spread over a layer
  // wins), and finish_pass() keeps the tree of that direction if every
  // layer's last pass linked nothing.
  void begin_pass(unsigned top_level);
  void record(unsigned layer, std::uint32_t node, std::uint32_t next) {
    pass_[layer].set(node, next);
  }
  // Layer 0's tree links at once, one per slot (TreeLinks::kNone: none).
  void adopt_base(std::vector<std::uint32_t> links) { pass_[0] = TreeLinks(std::move(links)); }
  void finish_pass(ReachDirection direction, bool every_layer_settled, std::uint32_t entry,
                   unsigned top_level, std::size_t slot_count);

  // Notes that `node` was given a link to `target` on `layer`, which a
  // removal had left with no other way in.
  void note_gained(std::uint32_t node, unsigned layer, std::uint32_t target) {
    journal_.note({.node = node, .layer = layer, .target = target, .gained = true});
  }
  // Notes nodes a build linked, for both directions.
  void note_added(std::span<const std::uint32_t> slots, const LinkStore& links);
  // Drops both trees (slots renumbered, or a change that failed halfway).
  void forget();
  std::uint64_t heap_bytes() const;

 private:
  struct Tree {
    std::vector<TreeLinks> layers;  // empty: no tree
    std::uint32_t entry = 0;
    unsigned top_level = 0;
    std::size_t checked = 0;  // journal entries already taken into account
  };
  Tree& tree(ReachDirection direction) {
    return direction == ReachDirection::Forward ? forward_ : backward_;
  }
  // Starts the journal anew once no tree needs what it holds.
  void trim_journal(std::size_t slot_count);

  Tree forward_;
  Tree backward_;
  std::vector<TreeLinks> pass_;
  LinkJournal journal_;
};

}  // namespace halqen::graph
