// The walk of a filtered search on layer 0. Only matching nodes enter its
// results and its frontier; a neighbour that does not match is passed
// through, its own neighbours taken in its place (two hops, as ACORN-1
// does), so that the matches stay connected when few neighbours match.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/candidate.hpp"
#include "engine/layer_walk.hpp"
#include "engine/link_store.hpp"
#include "graph/attribute_postings.hpp"

namespace halqen::graph {

// Whether a slot holds one of the selected values: one read of its code.
class AdmitSelection {
 public:
  AdmitSelection(const AttributePostings& postings, const ValueSelection& selection)
      : codes_of_slots_(postings.codes(selection.position)), selected_(selection.codes) {}
  bool operator()(std::uint32_t slot) const {
    const std::uint32_t code = codes_of_slots_[slot];
    if (selected_.size() == 1) return code == selected_.front();
    return std::binary_search(selected_.begin(), selected_.end(), code);
  }

 private:
  std::span<const std::uint32_t> codes_of_slots_;
  std::span<const std::uint32_t> selected_;
};

namespace detail {

// Collects into scratch.hop_slots the unvisited matches among `node`'s
// neighbours, then among the neighbours of its non-matching neighbours, up
// to `limit` matches. Their keys go into scratch.hop_keys.
template <class Distances, class Admit>
void score_within_two_hops(const LinkStore& links, Distances& distances, std::uint32_t node,
                           std::size_t limit, WalkScratch& scratch, const Admit& admit) {
  scratch.hop_slots.clear();
  const auto take = [&](std::uint32_t slot) {
    distances.prefetch(slot);
    scratch.hop_slots.push_back(slot);
  };
  const std::span<const std::uint32_t> neighbours = links.links(node, 0);
  for (const std::uint32_t neighbour : neighbours) {
    if (admit(neighbour) && scratch.visited.visit(neighbour)) take(neighbour);
  }
  for (const std::uint32_t neighbour : neighbours) {
    if (scratch.hop_slots.size() >= limit) break;
    if (admit(neighbour)) continue;
    for (const std::uint32_t second : links.links(neighbour, 0)) {
      if (scratch.hop_slots.size() >= limit) break;
      if (admit(second) && scratch.visited.visit(second)) take(second);
    }
  }
  scratch.hop_keys.resize(scratch.hop_slots.size());
  distances.keys(scratch.hop_slots.data(), scratch.hop_slots.size(), scratch.hop_keys.data());
}

}  // namespace detail

// The share of matches among the nodes within two hops of `node` (counted
// with repeats): how densely the matches lie where a walk starts.
template <class Admit>
double match_density_around(const LinkStore& links, std::uint32_t node, const Admit& admit) {
  std::size_t checked = 0;
  std::size_t matching = 0;
  for (const std::uint32_t neighbour : links.links(node, 0)) {
    for (const std::uint32_t second : links.links(neighbour, 0)) {
      ++checked;
      matching += admit(second) ? 1 : 0;
    }
  }
  return checked == 0 ? 0.0 : static_cast<double>(matching) / static_cast<double>(checked);
}

// Beam search of width `width` over the matches of layer 0, from `entries`
// (their keys known; those that do not match only start the walk), with at
// most `hop_limit` matches scored per expanded node. Afterwards
// scratch.best holds the `width` nearest matches met.
template <class Distances, class Admit>
void walk_matches(const LinkStore& links, Distances& distances, std::span<const Candidate> entries,
                  std::size_t width, std::size_t hop_limit, std::size_t node_count,
                  WalkScratch& scratch, const Admit& admit) {
  scratch.visited.begin(node_count);
  scratch.frontier.clear();
  scratch.best.reset(width);
  for (const Candidate& entry : entries) {
    if (!scratch.visited.visit(entry.slot)) continue;
    scratch.frontier.push(entry);
    if (admit(entry.slot)) scratch.best.offer(entry);
  }
  while (!scratch.frontier.empty()) {
    const Candidate next = scratch.frontier.pop();
    if (scratch.best.full() && farther(next, scratch.best.farthest())) break;
    detail::score_within_two_hops(links, distances, next.slot, hop_limit, scratch, admit);
    for (std::size_t i = 0; i < scratch.hop_slots.size(); ++i) {
      const Candidate met{scratch.hop_keys[i], scratch.hop_slots[i]};
      if (!scratch.best.admits(met)) continue;
      scratch.frontier.push(met);
      if (admit(met.slot)) scratch.best.offer(met);
    }
  }
}

}  // namespace halqen::graph
