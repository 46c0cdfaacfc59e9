// A code walk's best candidates scored exactly: the k nearest by the
// metric's value. Where the code keys bound the values from below
// (CodeDistances::bounds_values), the candidates are scored a round at a
// time, the least bounds first, until no candidate left could enter the k:
// the answer is the one scoring them all gives, bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/candidate.hpp"
#include "engine/rerank_scratch.hpp"
#include "graph/code_distances.hpp"
#include "graph/exact_distances.hpp"
#include "graph/label_map.hpp"

namespace halqen::graph {

struct Scored {
  std::uint32_t slot;
  double value;  // the metric's
};

struct Reranked {
  std::vector<Scored> nearest;  // at most k, by exact key, ties to the lower id
  std::size_t scored = 0;       // candidates scored exactly
};

// `walked`: candidates nearest first by code key, walked by `coded`;
// `labels`: the ids of their slots.
Reranked rerank(std::span<const Candidate> walked, std::size_t k, ExactDistances& exact,
                const CodeDistances& coded, const LabelMap& labels, RerankScratch& scratch);

}  // namespace halqen::graph
