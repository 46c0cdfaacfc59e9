#include "hnsw/visited_set.hpp"

#include <algorithm>

namespace halqen {

void VisitedSet::start(std::size_t node_count) {
  if (stamps_.size() < node_count) {
    stamps_.resize(node_count, 0);
  }
  ++epoch_;
  if (epoch_ == 0) {
    // After 2^32 searches old stamps could collide with new epochs.
    std::fill(stamps_.begin(), stamps_.end(), 0);
    epoch_ = 1;
  }
}

}  // namespace halqen
