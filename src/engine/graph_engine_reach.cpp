// Every node reachable from the entry, and able to walk back to it, on
// every layer it is on.
//
// Pruning can leave a node (or a few pointing only at each other) that no
// list leads to, most often under the inner product, where a vector is not
// its own nearest: after each addition such nodes are linked from a node the
// walk does reach. A build only adds links, so each node keeps a way into
// the graph it joined; removals take links away, and the lists chosen again
// around a removed region can all point into one cluster, which a walk that
// starts there never leaves: after removals, each node that no longer
// reaches the entry takes a link to the nearest node that does. Both take
// the same passes over a layer: a breadth-first spread from the entry along
// the links (as stored, or backwards), then a link for each node it left
// out, sequentially, in slot order, so determinism holds.
#include <algorithm>
#include <optional>
#include <span>
#include <vector>

#include "engine/graph_engine.hpp"
#include "engine/layer_spread.hpp"
#include "engine/layer_walk.hpp"
#include "engine/reach_trees.hpp"

namespace halqen::graph {
namespace {

// Width of the walk that finds where an unreached node is linked from.
constexpr std::size_t kHostSearchWidth = 16;
// How much wider each walk looks when no node it met has room for a link.
constexpr std::size_t kHostSearchGrowth = 8;
// Width of the walk that finds where a stranded node links to.
constexpr std::size_t kTargetSearchWidth = 16;
// Passes over a layer, at most.
constexpr int kMaxPasses = 8;

// The links of a layer backwards: who links to each node, as they were
// when built.
class Backward {
 public:
  Backward(const LinkStore& links, unsigned layer) : first_(links.size() + 1, 0) {
    const std::size_t count = links.size();
    for (std::uint32_t node = 0; node < count; ++node) {
      if (links.level(node) < layer) continue;
      for (const std::uint32_t target : links.links(node, layer)) ++first_[target + 1];
    }
    for (std::size_t slot = 0; slot < count; ++slot) first_[slot + 1] += first_[slot];
    from_.resize(first_[count]);
    std::vector<std::size_t> at(first_.begin(), first_.end() - 1);
    for (std::uint32_t node = 0; node < count; ++node) {
      if (links.level(node) < layer) continue;
      for (const std::uint32_t target : links.links(node, layer)) from_[at[target]++] = node;
    }
  }

  std::span<const std::uint32_t> of(std::uint32_t node) const {
    return {from_.data() + first_[node], from_.data() + first_[node + 1]};
  }
  // A node's part of `from_` is found through `first_`: its place there is
  // asked for a few turns before the part itself.
  [[gnu::always_inline]] void ask_ahead(std::span<const std::uint32_t> queue,
                                        std::size_t head) const {
    if (head + 2 * kSpreadLookahead < queue.size()) {
      __builtin_prefetch(&first_[queue[head + 2 * kSpreadLookahead]]);
    }
    if (head + kSpreadLookahead < queue.size()) {
      __builtin_prefetch(from_.data() + first_[queue[head + kSpreadLookahead]]);
    }
  }

 private:
  std::vector<std::size_t> first_;  // per slot, into from_
  std::vector<std::uint32_t> from_;
};

// A pass's marks: whether each node was met, and, for each node met, the
// node it was met from, recorded in the trees.
class PassMarks {
 public:
  PassMarks(std::vector<bool>& met, unsigned layer, ReachTrees& trees)
      : met_(met), layer_(layer), trees_(trees) {}
  bool seen(std::uint32_t node) const { return met_[node]; }
  void mark(std::uint32_t node, std::uint32_t from) {
    met_[node] = true;
    if (node != from) trees_.record(layer_, node, from);
  }

 private:
  std::vector<bool>& met_;
  unsigned layer_;
  ReachTrees& trees_;
};

// One pass over `layer`: marks what the spread along `Links` from the
// entry covers, then hands each live node of the layer left unmarked, in
// slot order, to `link` and spreads from it in turn. Whether it handed over
// any. `link` changes the index read here.
template <class Links, class Link>
bool link_unmarked(const GraphEngine& index, unsigned layer, std::vector<bool>& marks,
                   ReachTrees& trees, Link&& link) {
  const std::size_t count = index.slot_count();
  const Links links(index.links(), layer);
  std::fill(marks.begin(), marks.end(), false);
  PassMarks met(marks, layer, trees);
  std::vector<std::uint32_t> queue;
  spread(links, index.entry(), met, queue);
  bool linked = false;
  for (std::uint32_t node = 0; node < count; ++node) {
    if (marks[node] || index.slots().is_free(node) || index.links().level(node) < layer) continue;
    link(node, layer);
    spread(links, node, met, queue);
    linked = true;
  }
  return linked;
}

// Passes over each layer, bottom up, until one links nothing: a link a
// pass makes can displace one a node marked before depended on. A layer
// whose kMaxPasses passes all linked goes to `unsettled`. The last pass
// over a layer that linked nothing spread from the entry alone: what it
// recorded is the layer's tree. Whether every layer settled so.
template <class Links, class Link, class Unsettled>
bool settle_layers(const GraphEngine& index, std::vector<bool>& marks, ReachTrees& trees,
                   Link&& link, Unsettled&& unsettled) {
  bool settled = true;
  for (unsigned layer = 0; layer <= index.top_level(); ++layer) {
    int pass = 0;
    while (pass < kMaxPasses && link_unmarked<Links>(index, layer, marks, trees, link)) ++pass;
    if (pass == kMaxPasses) {
      unsettled(layer);
      settled = false;
    }
  }
  return settled;
}

// The position in `host`'s list of a link whose node the list reaches
// through another of its links as well (host -> g -> t): replacing it
// strands nothing. The last such, as the last links are the least near.
std::optional<std::size_t> redundant_link(const LinkStore& links, std::uint32_t host,
                                          unsigned layer) {
  const std::span<const std::uint32_t> list = links.links(host, layer);
  for (std::size_t i = list.size(); i-- > 0;) {
    for (const std::uint32_t via : list) {
      if (via != list[i] && std::ranges::count(links.links(via, layer), list[i]) > 0) return i;
    }
  }
  return std::nullopt;
}

}  // namespace

void GraphEngine::connect_unreached(const NodeSpace& rows, SearchDoor& door,
                                    std::span<const std::uint32_t> added) {
  if (slot_count() == 0) return;
  // The checks and passes read the graph and write the reach trees; the
  // rare link they add keeps searches out while it is written.
  const SearchesLetIn searches(door);
  reach_->note_added(added, links_);
  const bool reached = reach_->settled(ReachDirection::Forward, links_, slots_, entry_, top_level_);
  // Kept up to date on additions too, so that a removal finds it ready;
  // where it no longer holds, the next removal passes over the graph.
  if (live_count() > 0)
    reach_->settled(ReachDirection::Backward, links_, slots_, entry_, top_level_);
  if (reached || reach_->sweep(ReachDirection::Forward, links_, slots_, entry_, top_level_)) {
    return;
  }
  reach_everything(rows, door);
}

void GraphEngine::reach_everything(const NodeSpace& rows, SearchDoor& door) {
  ScratchPool::Lease lease = scratch_->borrow();
  std::vector<bool> reached(slot_count());
  std::vector<Candidate> found;
  // Passes that give up links can strand one node for another without end
  // (a graph of many equal vectors); where they do not settle, a last one
  // never strands a node: a reached host with room takes the link, else one
  // that can spare a link, else the entry puts the node in the middle of
  // its last link (entry -> node -> t).
  const auto link_anyhow = [&](std::uint32_t node, unsigned layer) {
    const SearchesKeptOut writing(door);
    if (!link_from_spare_host(node, layer, reached)) splice_after_entry(node, layer);
  };
  reach_->begin_pass(top_level_);
  const bool settled = settle_layers<ForwardLinks>(
      *this, reached, *reach_,
      [&](std::uint32_t node, unsigned layer) {
        link_unreached(node, layer, reached, rows, *lease, found, door);
      },
      [&](unsigned layer) {
        link_unmarked<ForwardLinks>(*this, layer, reached, *reach_, link_anyhow);
      });
  reach_->finish_pass(ReachDirection::Forward, settled, entry_, top_level_, slot_count());
}

// A walk only meets reachable nodes: the nearest with room hosts the link,
// looked for ever wider (among equal vectors the nearest are always the
// same few, full, nodes); where none has room, the nearest gives up a link
// whose node it still reaches through another of its links, else a link to
// a node others link to as well.
std::uint32_t GraphEngine::link_unreached(std::uint32_t node, unsigned layer,
                                          const std::vector<bool>& reached, const NodeSpace& rows,
                                          WalkScratch& scratch, std::vector<Candidate>& found,
                                          SearchDoor& door) {
  const Host host = reached_host(node, layer, reached, rows, scratch, found);
  const SearchesKeptOut writing(door);
  if (links_.has_room(host.slot, layer)) {
    links_.append_link(host.slot, layer, node);
  } else if (host.redundant) {
    links_.replace_link(host.slot, layer, *host.redundant, node);
  } else {
    links_.replace_shared_link(host.slot, layer, node);
  }
  return host.slot;
}

bool GraphEngine::link_from_spare_host(std::uint32_t node, unsigned layer,
                                       const std::vector<bool>& reached) {
  for (std::uint32_t host = 0; host < slot_count(); ++host) {
    if (!reached[host] || links_.level(host) < layer) continue;
    if (links_.has_room(host, layer)) {
      links_.append_link(host, layer, node);
      return true;
    }
    if (const auto position = redundant_link(links_, host, layer)) {
      links_.replace_link(host, layer, *position, node);
      return true;
    }
  }
  return false;
}

void GraphEngine::splice_after_entry(std::uint32_t node, unsigned layer) {
  // Every reached list is full (so the entry's is not empty), and the node
  // is not reached, so it is none of the entry's links.
  const std::uint32_t next = links_.replace_last_link(entry_, layer, node);
  const std::span<const std::uint32_t> own = links_.links(node, layer);
  if (std::ranges::count(own, next) > 0) return;
  // Nothing reached depended on the node's links: it was not reached.
  if (links_.has_room(node, layer)) {
    links_.append_link(node, layer, next);
  } else {
    links_.replace_last_link(node, layer, next);
  }
}

GraphEngine::Host GraphEngine::reached_host(std::uint32_t node, unsigned layer,
                                            const std::vector<bool>& reached, const NodeSpace& rows,
                                            WalkScratch& scratch,
                                            std::vector<Candidate>& found) const {
  std::optional<Host> spare;
  std::optional<std::uint32_t> nearest;
  for (std::size_t width = kHostSearchWidth;; width *= kHostSearchGrowth) {
    walk_from_entry(node, layer, width, rows, scratch, found);
    // The descent can end on the node itself or among other unreached nodes
    // (reached on an upper layer, not on this one), which may already link
    // to it: only a reached node hosts the link, the entry when no other.
    std::erase_if(found, [&](const Candidate& c) { return c.slot == node || !reached[c.slot]; });
    if (!nearest && !found.empty()) nearest = found.front().slot;
    for (const Candidate& c : found) {
      if (links_.has_room(c.slot, layer)) return {c.slot, std::nullopt};
      if (!spare) {
        if (const auto position = redundant_link(links_, c.slot, layer)) spare = {c.slot, position};
      }
    }
    if (spare) return *spare;
    if (width >= slot_count()) {
      const std::uint32_t host = nearest.value_or(entry_);
      if (links_.has_room(host, layer)) return {host, std::nullopt};
      return {host, redundant_link(links_, host, layer)};
    }
  }
}

void GraphEngine::walk_from_entry(std::uint32_t slot, unsigned layer, std::size_t width,
                                  const NodeSpace& rows, WalkScratch& scratch,
                                  std::vector<Candidate>& found) const {
  rows.from_node(slot, [&](DistanceComputer& distances) {
    const Candidate here = descend_to(links_, distances, entry_, top_level_, layer, scratch);
    walk_layer(links_, distances, std::span(&here, 1), layer, width, slot_count(), scratch);
  });
  scratch.best.sorted_into(found);
}

void GraphEngine::connect_stranded(const NodeSpace& rows, SearchDoor& door) {
  if (live_count() == 0) return;
  // As connect_unreached: searches kept out only for a link written.
  const SearchesLetIn searches(door);
  if (reach_->settled(ReachDirection::Backward, links_, slots_, entry_, top_level_) ||
      reach_->sweep(ReachDirection::Backward, links_, slots_, entry_, top_level_)) {
    return;
  }
  ScratchPool::Lease lease = scratch_->borrow();
  std::vector<bool> returns(slot_count());
  std::vector<Candidate> found;
  reach_->begin_pass(top_level_);
  const bool settled = settle_layers<Backward>(
      *this, returns, *reach_,
      [&](std::uint32_t node, unsigned layer) {
        link_stranded(node, layer, returns, rows, *lease, found, door);
      },
      // Nodes still stranded after the last pass are left so.
      [](unsigned) {});
  reach_->finish_pass(ReachDirection::Backward, settled, entry_, top_level_, slot_count());
}

// The nearest node the walk meets that returns gets the link, the entry
// when it meets none; a full list gives up a link to a node others link to
// as well.
void GraphEngine::link_stranded(std::uint32_t node, unsigned layer,
                                const std::vector<bool>& returns, const NodeSpace& rows,
                                WalkScratch& scratch, std::vector<Candidate>& found,
                                SearchDoor& door) {
  walk_from_entry(node, layer, kTargetSearchWidth, rows, scratch, found);
  const auto target = std::ranges::find_if(
      found, [&](const Candidate& c) { return c.slot != node && returns[c.slot]; });
  const std::uint32_t to = target == found.end() ? entry_ : target->slot;
  const SearchesKeptOut writing(door);
  if (links_.has_room(node, layer)) {
    links_.append_link(node, layer, to);
  } else {
    links_.replace_shared_link(node, layer, to);
  }
}

}  // namespace halqen::graph
