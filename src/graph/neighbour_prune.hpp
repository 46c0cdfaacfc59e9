// The diversity rule that chooses a node's links: a candidate is kept only
// if it is nearer to the node than to every neighbour kept before it.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "graph/candidate.hpp"
#include "graph/vector_store.hpp"

namespace halqen::graph {

// Keeps at most `capacity` of `sorted` (nearest first, keys relative to the
// node) in `kept`, in that order. Reads the rows of the candidates.
void prune_neighbours(const VectorStore& store, std::span<const Candidate> sorted,
                      std::size_t capacity, std::vector<Candidate>& kept);

}  // namespace halqen::graph
