#include "hnsw/distance_memo.hpp"

#include <algorithm>

namespace halqen {

void DistanceMemo::start(std::size_t node_count) {
  if (entries_.size() < node_count) {
    entries_.resize(node_count, Entry{0.0, 0});
  }
  ++epoch_;
  if (epoch_ == 0) {
    // Old stamps would collide with the epochs of the next round.
    std::fill(entries_.begin(), entries_.end(), Entry{0.0, 0});
    epoch_ = 1;
  }
}

}  // namespace halqen
