// The graph and the algorithm that keeps it, read top-down:
//   add:    choose_links (a walk down from the entry and the diversity
//           rule, per layer) for each node of a batch against the graph as
//           it stood, then link_batch (its links written, offered back to
//           their targets through reverse_links.hpp, the entry raised), then
//           connect_unreached;
//   search: walk (a greedy descent, then a beam walk on layer 0);
//   remove: remove_nodes (graph_engine_remove.cpp).
// It knows slots, levels, links and distances through DistanceComputer and
// NodeSpace; what a slot holds (a vector, an id, metadata) is the index's.
//
// A node of level l is linked on layers 0..l: at most m links per upper
// layer and 2m on layer 0. Every live node is reachable from the entry, and
// walks back to it, on every layer it is on (graph_engine_reach.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/function_ref.hpp"
#include "engine/candidate.hpp"
#include "engine/distance_computer.hpp"
#include "engine/job_runner.hpp"
#include "engine/layer_walk.hpp"
#include "engine/link_store.hpp"
#include "engine/neighbour_prune.hpp"
#include "engine/reach_trees.hpp"
#include "engine/reverse_links.hpp"
#include "engine/scratch_pool.hpp"
#include "engine/search_door.hpp"
#include "engine/slot_book.hpp"

namespace halqen::graph {

// A new node's chosen links per layer, nearest first, found by its walk.
struct PendingLinks {
  std::vector<std::vector<Candidate>> layers;
};

class GraphEngine {
 public:
  explicit GraphEngine(std::size_t m);

  const LinkStore& links() const { return links_; }
  LinkStore& links() { return links_; }
  const SlotBook& slots() const { return slots_; }
  SlotBook& slots() { return slots_; }
  // Slots live and free: every slot number is below this.
  std::size_t slot_count() const { return links_.size(); }
  std::size_t live_count() const { return slots_.live_count(); }
  // The node every walk starts from; only for a non-empty graph.
  std::uint32_t entry() const { return entry_; }
  unsigned top_level() const { return top_level_; }
  ReachTrees& reach() { return *reach_; }
  const ReachTrees& reach() const { return *reach_; }
  ScratchPool& scratch() const { return *scratch_; }
  std::uint64_t heap_bytes() const;

  // ---- add ---------------------------------------------------------------

  // The links a new node of `level` takes on each layer it shares with the
  // graph: a walk `width` wide from the entry, measured by `from_node`,
  // pruned by the diversity rule in `space`.
  template <class Distances>
  PendingLinks choose_links(Distances& from_node, unsigned level, std::size_t width,
                            const NodeSpace& space) const;
  // Writes a batch's links: `nodes` (free slots taken, and new ones from
  // slot_count() on, of `new_levels`), each of levels[i] with pending[i].
  // Their links are offered back to their targets, and the entry rises to
  // the batch's highest node (`onto_empty`: no node was linked before).
  // Searches come through `door` while the merges only read the graph, and
  // between turns of the writes: `name_nodes` is called once the nodes'
  // own links are written, before any link to them is, to set what a
  // search returns for them.
  void link_batch(std::span<const std::uint32_t> nodes, std::span<const std::uint8_t> levels,
                  std::span<const PendingLinks> pending, std::span<const std::uint8_t> new_levels,
                  bool onto_empty, const NodeSpace& space, JobRunner& runner, SearchDoor& door,
                  FunctionRef<void()> name_nodes);
  // The diverse prefixes chosen since the last call are forgotten: a copy
  // of the graph (which saves no prefix) must grow as the original does.
  void forget_chosen_prefixes();
  // Every distance changed (codes coded again, or the build measured on
  // codes of its own): every prefix chosen by the old ones is forgotten.
  void distances_changed();
  // Links every node no walk from the entry reaches from a node one does
  // (`added`: the nodes a build just linked; `rows`: exact distances).
  // Searches come through `door`, kept out only for a link a pass adds.
  void connect_unreached(const NodeSpace& rows, SearchDoor& door,
                         std::span<const std::uint32_t> added = {});
  // The nodes a build linked anew are unproven: the next check passes over
  // the graph (after a failure left things half done).
  void forget_reach() { reach_->forget(); }

  // ---- search ------------------------------------------------------------

  // The walk's candidates on layer 0, nearest first by its keys, at most
  // `width` of them.
  template <class Distances>
  std::vector<Candidate> walk(Distances& distances, std::size_t width, WalkScratch& scratch) const;

  // ---- remove ------------------------------------------------------------

  // Removes the nodes (ascending, distinct, live, not every one): the lists
  // that linked to them chosen again, then clear(slot) for each and its
  // links and slot released, the entry chosen again if it went, and every
  // node reachable again (graph_engine_remove.cpp). Searches come through
  // `door` while the new lists are chosen, which only reads the graph.
  void remove_nodes(std::span<const std::uint32_t> slots, const NodeSpace& rows, JobRunner& runner,
                    FunctionRef<void(std::uint32_t)> clear, SearchDoor& door);

  // ---- state -------------------------------------------------------------

  // The node walks start from: the lowest live slot of the highest level.
  void choose_entry();

 private:
  void reach_everything(const NodeSpace& rows, SearchDoor& door);
  void connect_stranded(const NodeSpace& rows, SearchDoor& door);
  void link_orphans(std::span<const std::vector<std::uint32_t>> left, const NodeSpace& rows,
                    SearchDoor& door);
  // What a pass of each does with a node it finds cut off on `layer`
  // (`reached`, `returns`: the nodes found connected so far): a reached host
  // links to it, or it links to the nearest node that returns. The walk
  // that finds it runs beside the searches let in through `door`, which
  // are kept out for the write. Returns the node given the link.
  std::uint32_t link_unreached(std::uint32_t node, unsigned layer, const std::vector<bool>& reached,
                               const NodeSpace& rows, WalkScratch& scratch,
                               std::vector<Candidate>& found, SearchDoor& door);
  void link_stranded(std::uint32_t node, unsigned layer, const std::vector<bool>& returns,
                     const NodeSpace& rows, WalkScratch& scratch, std::vector<Candidate>& found,
                     SearchDoor& door);
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
                    const NodeSpace& rows, WalkScratch& scratch,
                    std::vector<Candidate>& found) const;
  // Into `found`, nearest first: the `width` nodes nearest to the vector of
  // `slot` that a walk from the entry meets on `layer`.
  void walk_from_entry(std::uint32_t slot, unsigned layer, std::size_t width, const NodeSpace& rows,
                       WalkScratch& scratch, std::vector<Candidate>& found) const;
  // The batch's nodes of the highest level become the entry's candidates;
  // those above the graph's old top link to the entry both ways on the new
  // layers.
  void raise_entry(std::span<const std::uint32_t> nodes, std::span<const std::uint8_t> levels,
                   bool was_empty);
  void note_prefixes_chosen(std::span<const LayerNode> added, std::span<const ReverseLink> reverse);

  std::size_t m_;
  LinkStore links_;
  SlotBook slots_;
  std::uint32_t entry_ = 0;
  unsigned top_level_ = 0;
  std::unique_ptr<ScratchPool> scratch_;
  // On the heap, where the link store's pointer to its journal stays valid
  // when the engine moves.
  std::unique_ptr<ReachTrees> reach_;
  // The lists given a diverse prefix since the last forget_chosen_prefixes.
  std::vector<LayerNode> chose_prefix_;
  bool forget_every_prefix_ = false;
};

template <class Distances>
PendingLinks GraphEngine::choose_links(Distances& from_node, unsigned level, std::size_t width,
                                       const NodeSpace& space) const {
  ScratchPool::Lease lease = scratch_->borrow();
  WalkScratch& scratch = *lease;
  Candidate here = descend_to(links_, from_node, entry_, top_level_, level, scratch);
  PendingLinks links;
  const unsigned shared = std::min(level, top_level_);
  links.layers.resize(shared + 1);
  std::vector<Candidate> found;
  for (unsigned layer = shared + 1; layer-- > 0;) {
    walk_layer(links_, from_node, std::span(&here, 1), layer, width, slot_count(), scratch);
    scratch.best.sorted_into(found);
    prune_neighbours(space, found, m_, links.layers[layer]);
    here = found.front();
  }
  return links;
}

template <class Distances>
std::vector<Candidate> GraphEngine::walk(Distances& distances, std::size_t width,
                                         WalkScratch& scratch) const {
  const Candidate top{distances.key(entry_), entry_};
  const Candidate here = greedy_descent_from(links_, distances, top, top_level_, 0, scratch);
  // Every live node is reachable from the entry, not always from where the
  // descent ends: starting from both, a walk at least k wide returns k
  // whenever k exist.
  const std::array<Candidate, 2> starts{here, top};
  walk_layer(links_, distances, std::span(starts), 0, width, slot_count(), scratch);
  std::vector<Candidate> nearest;
  scratch.best.sorted_into(nearest);
  return nearest;
}

}  // namespace halqen::graph
