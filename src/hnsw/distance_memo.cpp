#include "hnsw/distance_memo.hpp"

#include <algorithm>

namespace halqen {

void DistanceMemo::start(std::size_t node_count) {
  if (stamps_.size() < node_count) {
    // Distances first: if either allocation fails, no stamp claims a
    // distance that has no room.
    distances_.resize(node_count, 0.0);
    stamps_.resize(node_count, 0);
  }
  storing_ = true;
  ++epoch_;
  if (epoch_ == 0) {
    // Old stamps would collide with the epochs of the next round.
    std::fill(stamps_.begin(), stamps_.end(), Stamp{0});
    epoch_ = 1;
  }
}

}  // namespace halqen
