#include "engine/neighbour_prune.hpp"

#include <cstdint>

namespace halqen::graph {

void prune_neighbours(const NodeSpace& space, std::span<const Candidate> sorted,
                      std::size_t capacity, std::vector<Candidate>& kept,
                      std::size_t known_diverse) {
  kept.clear();
  std::vector<std::uint32_t> kept_slots;
  std::vector<double> keys;
  kept_slots.reserve(capacity);
  keys.reserve(capacity);
  for (const Candidate& candidate : sorted) {
    if (kept.size() >= capacity) break;
    if (kept.size() < known_diverse) {
      kept.push_back(candidate);
      kept_slots.push_back(candidate.slot);
      continue;
    }
    keys.resize(kept_slots.size());
    space.from_node(candidate.slot, [&](DistanceComputer& from_candidate) {
      from_candidate.keys(kept_slots.data(), kept_slots.size(), keys.data());
    });
    bool diverse = true;
    for (const double key : keys) {
      if (key < candidate.key) {
        diverse = false;
        break;
      }
    }
    if (!diverse) continue;
    kept.push_back(candidate);
    kept_slots.push_back(candidate.slot);
  }
}

}  // namespace halqen::graph
