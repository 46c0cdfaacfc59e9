// The walks over one layer of the graph: a greedy descent on the upper
// layers and a beam search of width ef. A walk asks its distance computer
// for every node of a hop at once, so that many rows are in flight.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/candidate.hpp"
#include "engine/link_store.hpp"
#include "engine/rerank_scratch.hpp"
#include "engine/visited_marks.hpp"

namespace halqen::graph {

// What one thread's walks reuse from walk to walk.
struct WalkScratch {
  VisitedMarks visited;
  Frontier frontier;
  BestSet best;
  std::vector<std::uint32_t> hop_slots;
  std::vector<double> hop_keys;
  RerankScratch rerank;
};

namespace detail {

// The keys of `node`'s neighbours on `layer` that pass `take`, into
// scratch.hop_slots / hop_keys.
template <class Distances, class Take>
void score_neighbours(const LinkStore& links, Distances& distances, std::uint32_t node,
                      unsigned layer, WalkScratch& scratch, Take take) {
  scratch.hop_slots.clear();
  for (const std::uint32_t neighbour : links.links(node, layer)) {
    if (!take(neighbour)) continue;
    distances.prefetch(neighbour);
    scratch.hop_slots.push_back(neighbour);
  }
  scratch.hop_keys.resize(scratch.hop_slots.size());
  distances.keys(scratch.hop_slots.data(), scratch.hop_slots.size(), scratch.hop_keys.data());
}

}  // namespace detail

// Moves to the nearest neighbour on `layer` while one is nearer than where
// the walk stands; returns where it stops.
template <class Distances>
Candidate greedy_descent(const LinkStore& links, Distances& distances, Candidate start,
                         unsigned layer, WalkScratch& scratch) {
  Candidate here = start;
  for (bool moved = true; moved;) {
    moved = false;
    detail::score_neighbours(links, distances, here.slot, layer, scratch,
                             [](std::uint32_t) { return true; });
    for (std::size_t i = 0; i < scratch.hop_slots.size(); ++i) {
      const Candidate next{scratch.hop_keys[i], scratch.hop_slots[i]};
      if (nearer(next, here)) {
        here = next;
        moved = true;
      }
    }
  }
  return here;
}

// From `entry` (the graph's top node) greedily down to `layer`: where a
// walk on that layer starts.
template <class Distances>
Candidate greedy_descent_from(const LinkStore& links, Distances& distances, Candidate entry,
                              unsigned top_level, unsigned layer, WalkScratch& scratch) {
  Candidate here = entry;
  for (unsigned upper = top_level; upper > layer; --upper) {
    here = greedy_descent(links, distances, here, upper, scratch);
  }
  return here;
}

template <class Distances>
Candidate descend_to(const LinkStore& links, Distances& distances, std::uint32_t entry,
                     unsigned top_level, unsigned layer, WalkScratch& scratch) {
  return greedy_descent_from(links, distances, Candidate{distances.key(entry), entry}, top_level,
                             layer, scratch);
}

// Beam search of width `ef` on `layer` from `entries` (their keys known),
// over nodes below `node_count`. Afterwards scratch.best holds the ef
// nearest nodes met. (Filtered walks are filtered_walk.hpp's.)
template <class Distances>
void walk_layer(const LinkStore& links, Distances& distances, std::span<const Candidate> entries,
                unsigned layer, std::size_t ef, std::size_t node_count, WalkScratch& scratch) {
  scratch.visited.begin(node_count);
  scratch.frontier.clear();
  scratch.best.reset(ef);
  for (const Candidate& entry : entries) {
    if (!scratch.visited.visit(entry.slot)) continue;
    scratch.frontier.push(entry);
    scratch.best.offer(entry);
  }
  while (!scratch.frontier.empty()) {
    const Candidate next = scratch.frontier.pop();
    if (scratch.best.full() && farther(next, scratch.best.farthest())) break;
    if (!scratch.frontier.empty()) links.prefetch(scratch.frontier.nearest().slot, layer);
    detail::score_neighbours(links, distances, next.slot, layer, scratch,
                             [&](std::uint32_t node) { return scratch.visited.visit(node); });
    for (std::size_t i = 0; i < scratch.hop_slots.size(); ++i) {
      const Candidate met{scratch.hop_keys[i], scratch.hop_slots[i]};
      if (!scratch.best.admits(met)) continue;
      scratch.frontier.push(met);
      scratch.best.offer(met);
    }
  }
}

}  // namespace halqen::graph
