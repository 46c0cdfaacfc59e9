// What an exact rerank of a code walk's candidates reuses from search to
// search (rerank.hpp).
#pragma once

#include <cstdint>
#include <vector>

#include "engine/candidate.hpp"

namespace halqen::graph {

struct RerankScratch {
  // key: the lower bound, the value itself where the code tells it
  std::vector<Candidate> pending;
  std::vector<std::uint32_t> slots;
  std::vector<std::uint64_t> ids;  // of slots
  std::vector<double> values;
  std::vector<Candidate> ranked;  // key: the exact key; slot: index into slots
  // The candidates of a round whose rows are read: their slots, values, and
  // places in slots.
  std::vector<std::uint32_t> read_slots;
  std::vector<double> read_values;
  std::vector<std::uint32_t> read_places;
};

}  // namespace halqen::graph
