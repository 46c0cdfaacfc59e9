#include "graph/link_store.hpp"

#include <algorithm>
#include <atomic>
#include <utility>

namespace halqen::graph {

void LinkStore::append_nodes(std::span<const std::uint8_t> levels) {
  std::size_t upper_lists = 0;
  for (const std::uint8_t level : levels) upper_lists += level;
  // Every reservation first, so that a failure leaves the store unchanged.
  levels_.reserve(levels_.size() + levels.size());
  base_.reserve(base_.size() + levels.size() * stride(0));
  upper_begin_.reserve(upper_begin_.size() + levels.size());
  upper_.reserve(upper_.size() + upper_lists * stride(1));
  base_in_.reserve(base_in_.size() + levels.size());
  upper_in_.reserve(upper_in_.size() + upper_lists);
  for (const std::uint8_t level : levels) {
    levels_.push_back(level);
    base_.resize(base_.size() + stride(0), 0);
    base_in_.push_back(0);
    upper_begin_.push_back(level == 0 ? 0 : upper_.size());
    upper_.resize(upper_.size() + level * stride(1), 0);
    upper_in_.resize(upper_in_.size() + level, 0);
  }
}

const std::uint32_t* LinkStore::list_of(std::uint32_t node, unsigned layer) const {
  if (layer == 0) return base_.data() + static_cast<std::size_t>(node) * stride(0);
  return upper_.data() + upper_begin_[node] + (layer - 1) * stride(1);
}

std::uint32_t* LinkStore::list_of(std::uint32_t node, unsigned layer) {
  return const_cast<std::uint32_t*>(std::as_const(*this).list_of(node, layer));
}

void LinkStore::set_links(std::uint32_t node, unsigned layer,
                          std::span<const std::uint32_t> links) {
  std::uint32_t* list = list_of(node, layer);
  for (std::uint32_t i = 1; i <= list[0]; ++i) {
    std::atomic_ref(in_counter(list[i], layer)).fetch_sub(1, std::memory_order_relaxed);
  }
  for (const std::uint32_t target : links) {
    std::atomic_ref(in_counter(target, layer)).fetch_add(1, std::memory_order_relaxed);
  }
  list[0] = static_cast<std::uint32_t>(links.size());
  std::copy(links.begin(), links.end(), list + 1);
}

}  // namespace halqen::graph
