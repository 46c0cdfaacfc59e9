#include "hnsw/neighbor_list.hpp"

#include <algorithm>
#include <array>
#include <limits>

#include "common/grow.hpp"

namespace halqen {
namespace {

constexpr std::uint32_t kLargestNarrowId = std::numeric_limits<NeighborList::NarrowId>::max();

template <typename Lists>
void append_to(Lists& lists, std::uint32_t id, std::uint64_t id_level) {
  using Id = typename decltype(lists.all)::value_type;
  const std::size_t upper_count = std::min<std::uint64_t>(lists.upper.size(), id_level);
  reserve_for_append_tight(lists.all, 1);
  for (std::size_t i = 0; i < upper_count; ++i) {
    reserve_for_append_tight(lists.upper[i], 1);
  }
  lists.all.push_back(static_cast<Id>(id));
  for (std::size_t i = 0; i < upper_count; ++i) {
    lists.upper[i].push_back(static_cast<Id>(id));
  }
}

// Sub-lists sized once from the counts, then filled in list order.
template <typename Id>
void fill_sub_lists(std::vector<std::vector<Id>>& upper, std::span<const std::uint32_t> ids,
                    std::span<const std::uint64_t> levels,
                    const std::array<std::size_t, NeighborList::kMaxIndexedLayer + 1>& reaching) {
  const std::size_t layers = upper.size();
  std::size_t at_or_above = 0;
  for (std::size_t layer = layers; layer >= 1; --layer) {
    at_or_above += reaching[layer];
    upper[layer - 1].reserve(at_or_above);
  }
  for (const std::uint32_t id : ids) {
    const std::size_t top = std::min<std::uint64_t>(levels[id], layers);
    for (std::size_t i = 0; i < top; ++i) {
      upper[i].push_back(static_cast<Id>(id));
    }
  }
}

}  // namespace

NeighborList::NeighborList(std::uint64_t owner_level)
    : lists_(Lists<NarrowId>{
          {}, std::vector<std::vector<NarrowId>>(std::min(owner_level, kMaxIndexedLayer))}) {}

void NeighborList::append(std::uint32_t id, std::uint64_t id_level) {
  if (id > kLargestNarrowId && std::holds_alternative<Lists<NarrowId>>(lists_)) {
    widen();
  }
  std::visit([&](auto& lists) { append_to(lists, id, id_level); }, lists_);
}

// Everything is copied before anything changes: on bad_alloc the narrow
// lists stay. Each copy has room for the append that follows, so that it
// cannot fail after this.
void NeighborList::widen() {
  const Lists<NarrowId>& narrow = std::get<Lists<NarrowId>>(lists_);
  Lists<WideId> wide;
  wide.all.reserve(narrow.all.size() + 1);
  wide.all.assign(narrow.all.begin(), narrow.all.end());
  wide.upper.reserve(narrow.upper.size());
  for (const std::vector<NarrowId>& list : narrow.upper) {
    std::vector<WideId> widened;
    widened.reserve(list.size() + 1);
    widened.assign(list.begin(), list.end());
    wide.upper.push_back(std::move(widened));
  }
  lists_ = std::move(wide);
}

NeighborList NeighborList::rebuilt(std::uint64_t owner_level, std::span<const std::uint32_t> ids,
                                   std::span<const std::uint64_t> levels) {
  NeighborList list(owner_level);
  const bool narrow =
      std::all_of(ids.begin(), ids.end(), [](std::uint32_t id) { return id <= kLargestNarrowId; });
  const std::size_t layers = std::min(owner_level, kMaxIndexedLayer);
  if (!narrow) {
    list.lists_ = Lists<WideId>{{}, std::vector<std::vector<WideId>>(layers)};
  }
  // reaching[l]: ids that belong to sub-lists 1..l exactly (level l, or l
  // capped at the top); sub-list j takes every id reaching j or beyond.
  std::array<std::size_t, kMaxIndexedLayer + 1> reaching{};
  for (const std::uint32_t id : ids) {
    ++reaching[std::min<std::uint64_t>(levels[id], layers)];
  }
  std::visit(
      [&](auto& lists) {
        lists.all.assign(ids.begin(), ids.end());
        fill_sub_lists(lists.upper, ids, levels, reaching);
      },
      list.lists_);
  return list;
}

std::vector<std::uint32_t> NeighborList::ids() const {
  return std::visit(
      [](const auto& lists) {
        return std::vector<std::uint32_t>(lists.all.begin(), lists.all.end());
      },
      lists_);
}

std::size_t NeighborList::sub_list_entries() const {
  return std::visit(
      [](const auto& lists) {
        std::size_t entries = 0;
        for (const auto& list : lists.upper) {
          entries += list.size();
        }
        return entries;
      },
      lists_);
}

std::size_t NeighborList::heap_bytes() const {
  return std::visit(
      [](const auto& lists) {
        using List = typename std::decay_t<decltype(lists.upper)>::value_type;
        std::size_t bytes = lists.all.capacity() * sizeof(typename List::value_type) +
                            lists.upper.capacity() * sizeof(List);
        for (const List& list : lists.upper) {
          bytes += list.capacity() * sizeof(typename List::value_type);
        }
        return bytes;
      },
      lists_);
}

}  // namespace halqen
