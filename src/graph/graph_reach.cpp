// Every node reachable from the entry, on every layer it is on.
//
// Pruning can leave a node (or a few pointing only at each other) that no
// list leads to, most often under the inner product, where a vector is not
// its own nearest. After each addition such nodes are linked from a node the
// walk does reach: sequentially, in slot order, so determinism holds.
#include <algorithm>
#include <optional>
#include <vector>

#include "graph/distance_computer.hpp"
#include "graph/graph_index.hpp"
#include "graph/layer_walk.hpp"

namespace halqen::graph {
namespace {

// Width of the walk that finds where an unreached node is linked from.
constexpr std::size_t kHostSearchWidth = 16;
// How much wider each walk looks when no node it met has room for a link.
constexpr std::size_t kHostSearchGrowth = 8;
// A displaced link can strand a node reached before; passes over a layer
// repeat until one finds nothing, this many at most.
constexpr int kMaxPasses = 8;
// How many queued nodes ahead a breadth-first spread asks for a list.
constexpr std::size_t kSpreadLookahead = 16;

// Marks everything reachable from `start` on `layer`, breadth first. The
// lists lie all over the store: each is asked for a few turns before its
// node's, so that several are on their way at once.
void spread(const LinkStore& links, std::uint32_t start, unsigned layer,
            std::vector<bool>& reached) {
  std::vector<std::uint32_t> queue{start};
  reached[start] = true;
  for (std::size_t head = 0; head < queue.size(); ++head) {
    if (head + kSpreadLookahead < queue.size()) {
      links.prefetch(queue[head + kSpreadLookahead], layer);
    }
    for (const std::uint32_t next : links.links(queue[head], layer)) {
      if (reached[next]) continue;
      reached[next] = true;
      queue.push_back(next);
    }
  }
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

void GraphIndex::connect_unreached() {
  const std::size_t count = slot_count();
  if (count == 0) return;
  ScratchPool::Lease lease = scratch_->borrow();
  WalkScratch& scratch = *lease;
  std::vector<bool> reached(count);
  for (unsigned layer = 0; layer <= top_level_; ++layer) {
    int pass = 0;
    while (pass < kMaxPasses && link_unreached(layer, reached, scratch)) ++pass;
    if (pass == kMaxPasses) link_unreached_from_anywhere(layer, reached);
  }
}

// Passes that give up links can strand one node for another without end
// (a graph of many equal vectors); this one never strands a node: a reached
// host with room takes the link, else one that can spare a link, else the
// entry puts the node in the middle of its last link (entry -> node -> t).
void GraphIndex::link_unreached_from_anywhere(unsigned layer, std::vector<bool>& reached) {
  const std::size_t count = slot_count();
  std::fill(reached.begin(), reached.end(), false);
  spread(links_, entry_, layer, reached);
  for (std::uint32_t node = 0; node < count; ++node) {
    if (reached[node] || slots_.is_free(node) || links_.level(node) < layer) continue;
    if (!link_from_spare_host(node, layer, reached)) splice_after_entry(node, layer);
    spread(links_, node, layer, reached);
  }
}

bool GraphIndex::link_from_spare_host(std::uint32_t node, unsigned layer,
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

void GraphIndex::splice_after_entry(std::uint32_t node, unsigned layer) {
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

GraphIndex::Host GraphIndex::reached_host(std::uint32_t node, unsigned layer,
                                          const std::vector<bool>& reached, WalkScratch& scratch,
                                          std::vector<Candidate>& found) const {
  std::optional<Host> spare;
  std::optional<std::uint32_t> nearest;
  for (std::size_t width = kHostSearchWidth;; width *= kHostSearchGrowth) {
    walk_from_entry(node, layer, width, scratch, found);
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

void GraphIndex::walk_from_entry(std::uint32_t slot, unsigned layer, std::size_t width,
                                 WalkScratch& scratch, std::vector<Candidate>& found) const {
  ExactDistances distances(store_, slot);
  const Candidate here = descend_to(links_, distances, entry_, top_level_, layer, scratch);
  walk_layer(links_, distances, std::span(&here, 1), layer, width, slot_count(), scratch);
  scratch.best.sorted_into(found);
}

bool GraphIndex::link_unreached(unsigned layer, std::vector<bool>& reached, WalkScratch& scratch) {
  const std::size_t count = slot_count();
  std::vector<Candidate> found;
  std::fill(reached.begin(), reached.end(), false);
  spread(links_, entry_, layer, reached);
  bool changed = false;
  for (std::uint32_t node = 0; node < count; ++node) {
    if (reached[node] || slots_.is_free(node) || links_.level(node) < layer) continue;
    // A walk only meets reachable nodes: the nearest with room hosts the
    // link, looked for ever wider (among equal vectors the nearest are
    // always the same few, full, nodes); where none has room, the nearest
    // gives up a link whose node it still reaches through another of its
    // links, else a link to a node others link to as well.
    const Host host = reached_host(node, layer, reached, scratch, found);
    if (links_.has_room(host.slot, layer)) {
      links_.append_link(host.slot, layer, node);
    } else if (host.redundant) {
      links_.replace_link(host.slot, layer, *host.redundant, node);
    } else {
      links_.replace_shared_link(host.slot, layer, node);
    }
    spread(links_, node, layer, reached);
    changed = true;
  }
  return changed;
}

}  // namespace halqen::graph
