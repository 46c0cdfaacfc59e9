#include "flat/top_k.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace halqen {

TopK::TopK(std::size_t capacity) : capacity_(capacity) {
  entries_.reserve(capacity);
}

void TopK::insert(std::uint64_t id, double distance) {
  const RankKey key = rank_key(distance);
  if (id < next_id_ || !admits(key)) {
    throw std::logic_error("top-k insert of id " + std::to_string(id) + " not admitted (next id " +
                           std::to_string(next_id_) + ", size " + std::to_string(entries_.size()) +
                           ")");
  }
  next_id_ = id + 1;
  const Entry entry = {.key = key, .id = id, .distance = distance};
  if (entries_.size() < capacity_) {
    // Filling up: plain appends; the heap is built once, when full.
    entries_.push_back(entry);
    if (entries_.size() == capacity_) {
      std::make_heap(entries_.begin(), entries_.end(), ranks_before);
      is_heap_ = true;
    }
    return;
  }
  std::pop_heap(entries_.begin(), entries_.end(), ranks_before);
  entries_.back() = entry;
  std::push_heap(entries_.begin(), entries_.end(), ranks_before);
}

std::vector<SearchHit> TopK::take_ranked() {
  if (is_heap_) {
    std::sort_heap(entries_.begin(), entries_.end(), ranks_before);
  } else {
    std::sort(entries_.begin(), entries_.end(), ranks_before);
  }
  std::vector<SearchHit> ranked;
  ranked.reserve(entries_.size());
  for (const Entry& entry : entries_)
    ranked.push_back({.distance = entry.distance, .id = entry.id});
  entries_.clear();
  is_heap_ = false;
  return ranked;
}

}  // namespace halqen
