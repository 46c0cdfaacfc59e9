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
  node_count_ = node_count;
  graph_ = nullptr;
  requests_ = 0;
  ++epoch_;
  if (epoch_ == 0) {
    // Old stamps would collide with the epochs of the next round.
    std::fill(stamps_.begin(), stamps_.end(), Stamp{0});
    epoch_ = 1;
  }
}

bool DistanceMemo::start_for(const void* graph, std::size_t node_count) {
  const bool most_asked =
      graph == graph_ && node_count_ > 0 && requests_ >= node_count_ - node_count_ / 2;
  start(node_count);
  graph_ = graph;
  return most_asked;
}

std::span<double> DistanceMemo::hold_all() {
  std::fill_n(stamps_.begin(), node_count_, epoch_);
  return {distances_.data(), node_count_};
}

}  // namespace halqen
