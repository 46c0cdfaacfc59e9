#include "hnsw/visited_set.hpp"

#include <algorithm>

namespace halqen {

void VisitedSet::start(std::size_t node_count) {
  if (stamps_.size() < node_count) {
    stamps_.resize(node_count, 0);
  }
  ++epoch_;
  if (epoch_ == 0) {
    // Old stamps would collide with the epochs of the next round.
    std::fill(stamps_.begin(), stamps_.end(), Stamp{0});
    epoch_ = 1;
  }
}

// Whether an id was visited is unpredictable, so there is no branch on it:
// every id is written and the count moves past the unvisited ones only.
std::size_t VisitedSet::keep_unvisited(std::span<const std::uint32_t> ids,
                                       std::uint32_t* out) const {
  const Stamp* stamps = stamps_.data();
  const Stamp epoch = epoch_;
  std::size_t kept = 0;
  for (const std::uint32_t id : ids) {
    out[kept] = id;
    kept += stamps[id] != epoch ? 1 : 0;
  }
  return kept;
}

}  // namespace halqen
