#include "engine/link_store.hpp"

#include <algorithm>
#include <atomic>
#include <utility>

#include "common/grow.hpp"
#include "common/huge_pages.hpp"

namespace halqen::graph {

void LinkStore::reserve_nodes(std::span<const std::uint8_t> levels) {
  std::size_t upper_lists = 0;
  for (const std::uint8_t level : levels) upper_lists += level;
  // Geometric growth: a build appends batch after batch.
  reserve_for_append(levels_, levels.size());
  reserve_for_append(base_, levels.size() * stride(0));
  reserve_for_append(base_in_, levels.size());
  reserve_for_append(upper_first_, levels.size());
  reserve_for_append(upper_, upper_lists * stride(1));
  reserve_for_append(upper_in_, upper_lists);
}

void LinkStore::reserve_room(std::size_t nodes) {
  if (nodes <= size()) return;
  const std::size_t extra = nodes - size();
  reserve_for_append(levels_, extra);
  const bool fresh = base_.capacity() < base_.size() + extra * stride(0);
  reserve_for_append(base_, extra * stride(0));
  if (fresh && base_.empty()) prefer_huge_pages(base_);
  reserve_for_append(base_in_, extra);
  reserve_for_append(upper_first_, extra);
}

std::uint64_t LinkStore::bytes_for(std::size_t m, std::span<const std::uint8_t> levels) {
  const LinkStore sizes(m);
  std::uint64_t upper_lists = 0;
  for (const std::uint8_t level : levels) upper_lists += level;
  constexpr std::uint64_t kWord = sizeof(std::uint32_t);
  // Per node: its level, its layer-0 list, its count of links in, and where
  // its upper lists start; per upper list: the list and its links in.
  const std::uint64_t per_node = 1 + kWord * (sizes.stride(0) + 2);
  const std::uint64_t per_upper_list = kWord * (sizes.stride(1) + 1);
  return levels.size() * per_node + upper_lists * per_upper_list;
}

void LinkStore::append_nodes(std::span<const std::uint8_t> levels) {
  // Every reservation first, so that a failure leaves the store unchanged.
  reserve_nodes(levels);
  for (const std::uint8_t level : levels) {
    levels_.push_back(level);
    base_.resize(base_.size() + stride(0), 0);
    base_in_.push_back(0);
    upper_first_.push_back(level == 0 ? 0 : static_cast<std::uint32_t>(upper_in_.size()));
    upper_.resize(upper_.size() + level * stride(1), 0);
    upper_in_.resize(upper_in_.size() + level, 0);
  }
}

void LinkStore::adopt_layer_zero(std::span<const std::uint8_t> levels,
                                 std::span<const std::uint32_t> base,
                                 std::shared_ptr<const void> owner) {
  std::size_t upper_lists = 0;
  for (const std::uint8_t level : levels) upper_lists += level;
  levels_.assign(levels.begin(), levels.end());
  upper_first_.resize(levels.size());
  for (std::size_t node = 0, first = 0; node < levels.size(); ++node) {
    upper_first_[node] = levels[node] == 0 ? 0 : static_cast<std::uint32_t>(first);
    first += levels[node];
  }
  upper_.assign(upper_lists * stride(1), 0);
  upper_in_.assign(upper_lists, 0);
  adopted_base_ = base;
  adopted_owner_ = std::move(owner);
}

std::span<const std::uint32_t> LinkStore::checked_adopted(std::uint32_t node) const {
  const std::uint32_t* list = adopted_base_.data() + static_cast<std::size_t>(node) * stride(0);
  const std::uint32_t count = list[0] & kCountMask;
  if (count > capacity(0)) return {};
  const auto nodes = static_cast<std::uint32_t>(size());
  // No branch per link: the compare runs over the whole list.
  std::uint32_t beyond = 0;
  for (std::uint32_t i = 1; i <= count; ++i) beyond |= static_cast<std::uint32_t>(list[i] >= nodes);
  if (beyond != 0) return {};
  return {list + 1, count};
}

void LinkStore::set_links(std::uint32_t node, unsigned layer, std::span<const std::uint32_t> links,
                          std::size_t diverse_prefix) {
  std::uint32_t* list = list_of(node, layer);
  const bool noting = journal_ != nullptr && journal_->recording();
  for (std::uint32_t i = 1; i <= (list[0] & kCountMask); ++i) {
    std::atomic_ref(in_counter(list[i], layer)).fetch_sub(1, std::memory_order_relaxed);
    if (noting && std::ranges::count(links, list[i]) == 0) {
      journal_->note({.node = node, .layer = layer, .target = list[i]});
    }
  }
  for (const std::uint32_t target : links) {
    std::atomic_ref(in_counter(target, layer)).fetch_add(1, std::memory_order_relaxed);
  }
  list[0] = static_cast<std::uint32_t>(links.size() | (diverse_prefix << kPrefixShift));
  std::copy(links.begin(), links.end(), list + 1);
}

void LinkStore::write_loaded(std::uint32_t node, unsigned layer,
                             std::span<const std::uint32_t> links) {
  std::uint32_t* list = list_of(node, layer);
  list[0] = static_cast<std::uint32_t>(links.size());
  std::copy(links.begin(), links.end(), list + 1);
}

void LinkStore::count_links_in() {
  std::fill(base_in_.begin(), base_in_.end(), 0);
  std::fill(upper_in_.begin(), upper_in_.end(), 0);
  const unsigned lowest = layer_zero_adopted() ? 1 : 0;
  for (std::uint32_t node = 0; node < size(); ++node) {
    for (unsigned layer = lowest; layer <= level(node); ++layer) {
      for (const std::uint32_t target : links(node, layer)) ++in_counter(target, layer);
    }
  }
}

namespace {

constexpr std::size_t kMostTargetsPerPass = 4;

// Whether `words` holds one of the `Count` targets: no branch in the loop,
// which the compiler vectorises.
template <std::size_t Count>
std::uint32_t holds(std::span<const std::uint32_t> words, const std::uint32_t* targets) {
  std::uint32_t hit = 0;
  for (const std::uint32_t word : words) {
    std::uint32_t equal = 0;
    for (std::size_t j = 0; j < Count; ++j) equal |= static_cast<std::uint32_t>(word == targets[j]);
    hit |= equal;
  }
  return hit;
}

std::uint32_t holds_one_of(std::span<const std::uint32_t> words,
                           std::span<const std::uint32_t> targets) {
  switch (targets.size()) {
    case 1:
      return holds<1>(words, targets.data());
    case 2:
      return holds<2>(words, targets.data());
    case 3:
      return holds<3>(words, targets.data());
    default:
      return holds<kMostTargetsPerPass>(words, targets.data());
  }
}

}  // namespace

void LinkStore::may_link_to(std::span<const std::uint32_t> targets, std::uint32_t first,
                            std::uint32_t last, std::vector<std::uint32_t>& found) const {
  // Nodes whose words are compared together before a hit is looked into.
  constexpr std::uint32_t kNodesPerBlock = 8;
  const std::size_t words = stride(0);
  for (std::uint32_t block = first; block < last; block += kNodesPerBlock) {
    const std::uint32_t end = std::min(last, block + kNodesPerBlock);
    const std::uint32_t* begin = base_.data() + static_cast<std::size_t>(block) * words;
    const std::size_t count = (end - block) * words;
    std::uint32_t hit = 0;
    // Up to four targets per pass over the block: a word is loaded once
    // for all of them.
    for (std::size_t t = 0; t < targets.size(); t += kMostTargetsPerPass) {
      const std::span<const std::uint32_t> some =
          targets.subspan(t, std::min(kMostTargetsPerPass, targets.size() - t));
      hit |= holds_one_of(std::span(begin, count), some);
    }
    if (hit == 0) continue;
    for (std::uint32_t node = block; node < end; ++node) found.push_back(node);
  }
}

void LinkStore::forget_prefixes() {
  for (std::size_t head = 0; head < base_.size(); head += stride(0)) base_[head] &= kCountMask;
  for (std::size_t head = 0; head < upper_.size(); head += stride(1)) upper_[head] &= kCountMask;
}

void LinkStore::append_link(std::uint32_t node, unsigned layer, std::uint32_t target) {
  std::uint32_t* list = list_of(node, layer);
  const std::uint32_t count = list[0] & kCountMask;
  list[count + 1] = target;
  ++list[0];
  std::atomic_ref(in_counter(target, layer)).fetch_add(1, std::memory_order_relaxed);
}

std::uint32_t LinkStore::replace_last_link(std::uint32_t node, unsigned layer,
                                           std::uint32_t target) {
  const std::uint32_t count = list_of(node, layer)[0] & kCountMask;
  return replace_link(node, layer, count - 1, target);
}

std::uint32_t LinkStore::replace_shared_link(std::uint32_t node, unsigned layer,
                                             std::uint32_t target) {
  const std::span<const std::uint32_t> list = links(node, layer);
  for (std::size_t i = list.size(); i-- > 0;) {
    if (links_in(list[i], layer) > 1) return replace_link(node, layer, i, target);
  }
  return replace_link(node, layer, list.size() - 1, target);
}

std::uint32_t LinkStore::replace_link(std::uint32_t node, unsigned layer, std::size_t position,
                                      std::uint32_t target) {
  std::uint32_t* list = list_of(node, layer);
  const std::uint32_t count = list[0] & kCountMask;
  const std::uint32_t displaced = list[position + 1];
  list[position + 1] = target;
  // The new link was not chosen with the others.
  const std::uint32_t prefix =
      std::min(list[0] >> kPrefixShift, static_cast<std::uint32_t>(position));
  list[0] = count | (prefix << kPrefixShift);
  std::atomic_ref(in_counter(displaced, layer)).fetch_sub(1, std::memory_order_relaxed);
  std::atomic_ref(in_counter(target, layer)).fetch_add(1, std::memory_order_relaxed);
  if (journal_ != nullptr && journal_->recording() && displaced != target) {
    journal_->note({.node = node, .layer = layer, .target = displaced});
  }
  return displaced;
}

}  // namespace halqen::graph
