#include "hnsw/neighbor_list.hpp"

#include <algorithm>
#include <array>

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

NeighborList NeighborList::rebuilt(std::uint64_t owner_level, std::span<const std::uint32_t> ids,
                                   std::span<const std::uint64_t> levels) {
  NeighborList list(owner_level);
  list.all_.assign(ids.begin(), ids.end());
  const std::size_t layers = list.upper_.size();
  if (layers == 0) {
    return list;
  }
  // reaching[l]: ids that belong to sub-lists 1..l exactly (level l, or l
  // capped at the top); sub-list j takes every id reaching j or beyond.
  std::array<std::size_t, kMaxIndexedLayer + 1> reaching{};
  for (const std::uint32_t id : ids) {
    ++reaching[std::min<std::uint64_t>(levels[id], layers)];
  }
  std::size_t at_or_above = 0;
  for (std::size_t layer = layers; layer >= 1; --layer) {
    at_or_above += reaching[layer];
    list.upper_[layer - 1].reserve(at_or_above);
  }
  for (const std::uint32_t id : ids) {
    const std::size_t top = std::min<std::uint64_t>(levels[id], layers);
    for (std::size_t i = 0; i < top; ++i) {
      list.upper_[i].push_back(id);
    }
  }
  return list;
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
