#include "hnsw/neighbor_list.hpp"

#include <algorithm>

#include "common/grow.hpp"

namespace halqen {

NeighborList::NeighborList(std::uint64_t owner_level)
    : upper_(std::min(owner_level, kMaxIndexedLayer)) {}

void NeighborList::append(std::uint32_t id, std::uint64_t id_level) {
  const std::size_t upper_count = std::min<std::uint64_t>(upper_.size(), id_level);
  reserve_for_append_tight(all_, 1);
  for (std::size_t i = 0; i < upper_count; ++i) {
    reserve_for_append_tight(upper_[i], 1);
  }
  all_.push_back(id);
  for (std::size_t i = 0; i < upper_count; ++i) {
    upper_[i].push_back(id);
  }
}

std::size_t NeighborList::sub_list_entries() const {
  std::size_t entries = 0;
  for (const std::vector<std::uint32_t>& layer : upper_) {
    entries += layer.size();
  }
  return entries;
}

std::size_t NeighborList::heap_bytes() const {
  std::size_t bytes = all_.capacity() * sizeof(std::uint32_t) +
                      upper_.capacity() * sizeof(std::vector<std::uint32_t>);
  for (const std::vector<std::uint32_t>& layer : upper_) {
    bytes += layer.capacity() * sizeof(std::uint32_t);
  }
  return bytes;
}

}  // namespace halqen
