// The diversity rule that chooses a node's links: a candidate is kept only
// if it is nearer to the node than to every neighbour kept before it.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "engine/candidate.hpp"
#include "engine/distance_computer.hpp"

namespace halqen::graph {

// Keeps at most `capacity` of `sorted` (nearest first, keys relative to the
// node) in `kept`, in that order, measuring in `space`. The
// first `known_diverse` candidates are known to pass (they were chosen by
// this rule before, in this order) and are kept unchecked.
void prune_neighbours(const NodeSpace& space, std::span<const Candidate> sorted,
                      std::size_t capacity, std::vector<Candidate>& kept,
                      std::size_t known_diverse = 0);

}  // namespace halqen::graph
