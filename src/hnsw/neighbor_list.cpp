#include "hnsw/neighbor_list.hpp"

#include <algorithm>

#include "hnsw/grow.hpp"

namespace halqen {

NeighborList::NeighborList(std::uint64_t owner_level)
    : upper_(std::min(owner_level, kMaxIndexedLayer)) {}

void NeighborList::append(std::uint32_t id, std::uint64_t id_level) {
  const std::size_t upper_count = std::min<std::uint64_t>(upper_.size(), id_level);
  reserve_for_append(all_, 1);
  for (std::size_t i = 0; i < upper_count; ++i) {
    reserve_for_append(upper_[i], 1);
  }
  all_.push_back(id);
  for (std::size_t i = 0; i < upper_count; ++i) {
    upper_[i].push_back(id);
  }
}

NeighborList::LayerScan NeighborList::for_layer(std::uint64_t layer) const {
  if (layer == 0) {
    return {all_, false};
  }
  if (layer <= upper_.size()) {
    return {upper_[layer - 1], false};
  }
  return {upper_.empty() ? std::span<const std::uint32_t>(all_) : upper_.back(), true};
}

}  // namespace halqen
