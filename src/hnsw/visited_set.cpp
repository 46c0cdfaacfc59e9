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

}  // namespace halqen
