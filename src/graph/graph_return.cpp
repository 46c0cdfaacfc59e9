// Every node can walk back to the entry, on every layer it is on.
//
// A build only adds links, so each node keeps a way into the graph it
// joined; removals take links away, and the lists chosen again around a
// removed region can all point into one cluster, which a walk that starts
// there never leaves. After removals, each node that no longer reaches the
// entry takes a link to the nearest node that does: sequentially, in slot
// order, so determinism holds.
#include <vector>

#include "graph/graph_index.hpp"

namespace halqen::graph {
namespace {

// Width of the walk that finds where a stranded node links to.
constexpr std::size_t kTargetSearchWidth = 16;
// A replaced link can strand another node; passes over a layer repeat until
// one finds nothing, this many at most.
constexpr int kMaxPasses = 8;
// How many queued nodes ahead the backward spread asks for what it reads.
constexpr std::size_t kSpreadLookahead = 16;

// The links of a layer backwards: who links to each node.
struct Backward {
  std::vector<std::size_t> first;  // per slot, into from
  std::vector<std::uint32_t> from;

  Backward(const LinkStore& links, unsigned layer, std::size_t count) : first(count + 1, 0) {
    for (std::uint32_t node = 0; node < count; ++node) {
      if (links.level(node) < layer) continue;
      for (const std::uint32_t target : links.links(node, layer)) ++first[target + 1];
    }
    for (std::size_t slot = 0; slot < count; ++slot) first[slot + 1] += first[slot];
    from.resize(first[count]);
    std::vector<std::size_t> at(first.begin(), first.end() - 1);
    for (std::uint32_t node = 0; node < count; ++node) {
      if (links.level(node) < layer) continue;
      for (const std::uint32_t target : links.links(node, layer)) from[at[target]++] = node;
    }
  }

  // Marks `start` and every node that reaches it, breadth first. As the
  // forward spread does, asks ahead for what a later turn reads: a node's
  // place in `first`, then (once that has come) its part of `from`.
  void spread(std::uint32_t start, std::vector<bool>& returns) const {
    std::vector<std::uint32_t> queue{start};
    returns[start] = true;
    for (std::size_t head = 0; head < queue.size(); ++head) {
      if (head + 2 * kSpreadLookahead < queue.size()) {
        __builtin_prefetch(&first[queue[head + 2 * kSpreadLookahead]]);
      }
      if (head + kSpreadLookahead < queue.size()) {
        __builtin_prefetch(&from[first[queue[head + kSpreadLookahead]]]);
      }
      const std::uint32_t node = queue[head];
      for (std::size_t i = first[node]; i < first[node + 1]; ++i) {
        if (returns[from[i]]) continue;
        returns[from[i]] = true;
        queue.push_back(from[i]);
      }
    }
  }
};

}  // namespace

void GraphIndex::connect_stranded() {
  if (size() == 0) return;
  ScratchPool::Lease lease = scratch_->borrow();
  for (unsigned layer = 0; layer <= top_level_; ++layer) {
    for (int pass = 0; pass < kMaxPasses && link_stranded(layer, *lease); ++pass) {
    }
  }
}

bool GraphIndex::link_stranded(unsigned layer, WalkScratch& scratch) {
  const std::size_t count = slot_count();
  const Backward backward(links_, layer, count);
  std::vector<bool> returns(count, false);
  backward.spread(entry_, returns);
  std::vector<Candidate> found;
  bool changed = false;
  for (std::uint32_t node = 0; node < count; ++node) {
    if (returns[node] || slots_.is_free(node) || links_.level(node) < layer) continue;
    walk_from_entry(node, layer, kTargetSearchWidth, scratch, found);
    const auto target = std::ranges::find_if(
        found, [&](const Candidate& c) { return c.slot != node && returns[c.slot]; });
    const std::uint32_t to = target == found.end() ? entry_ : target->slot;
    if (links_.has_room(node, layer)) {
      links_.append_link(node, layer, to);
    } else {
      links_.replace_shared_link(node, layer, to);
    }
    backward.spread(node, returns);
    changed = true;
  }
  return changed;
}

}  // namespace halqen::graph
