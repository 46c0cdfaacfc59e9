#include "hnsw/neighbor_list.hpp"

#include <algorithm>
#include <array>
#include <limits>

#include "common/grow.hpp"

namespace halqen {
namespace {

constexpr std::uint32_t kLargestNarrowId = std::numeric_limits<NeighborList::NarrowId>::max();

template <typename Id>
void append_to(std::vector<std::uint32_t>& all, std::vector<std::vector<Id>>& upper,
               std::uint32_t id, std::uint64_t id_level) {
  const std::size_t upper_count = std::min<std::uint64_t>(upper.size(), id_level);
  reserve_for_append_tight(all, 1);
  for (std::size_t i = 0; i < upper_count; ++i) {
    reserve_for_append_tight(upper[i], 1);
  }
  all.push_back(id);
  for (std::size_t i = 0; i < upper_count; ++i) {
    upper[i].push_back(static_cast<Id>(id));
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
    : upper_(SubLists<NarrowId>(std::min(owner_level, kMaxIndexedLayer))) {}

void NeighborList::append(std::uint32_t id, std::uint64_t id_level) {
  const auto* narrow = std::get_if<SubLists<NarrowId>>(&upper_);
  if (narrow != nullptr && id > kLargestNarrowId && id_level > 0 && !narrow->empty()) {
    widen();
  }
  std::visit([&](auto& upper) { append_to(all_, upper, id, id_level); }, upper_);
}

// Everything is copied before anything changes: on bad_alloc the narrow
// lists stay.
void NeighborList::widen() {
  const SubLists<NarrowId>& narrow = std::get<SubLists<NarrowId>>(upper_);
  SubLists<WideId> wide;
  wide.reserve(narrow.size());
  for (const std::vector<NarrowId>& list : narrow) {
    std::vector<WideId> widened;
    // Room for the append that follows, so that it cannot fail after this.
    widened.reserve(list.size() + 1);
    widened.assign(list.begin(), list.end());
    wide.push_back(std::move(widened));
  }
  upper_ = std::move(wide);
}

NeighborList NeighborList::rebuilt(std::uint64_t owner_level, std::span<const std::uint32_t> ids,
                                   std::span<const std::uint64_t> levels) {
  NeighborList list(owner_level);
  list.all_.assign(ids.begin(), ids.end());
  const std::size_t layers = std::min(owner_level, kMaxIndexedLayer);
  if (layers == 0) {
    return list;
  }
  // reaching[l]: ids that belong to sub-lists 1..l exactly (level l, or l
  // capped at the top); sub-list j takes every id reaching j or beyond.
  std::array<std::size_t, kMaxIndexedLayer + 1> reaching{};
  bool narrow = true;
  for (const std::uint32_t id : ids) {
    const std::size_t top = std::min<std::uint64_t>(levels[id], layers);
    ++reaching[top];
    narrow = narrow && (top == 0 || id <= kLargestNarrowId);
  }
  if (!narrow) {
    list.upper_ = SubLists<WideId>(layers);
  }
  std::visit([&](auto& upper) { fill_sub_lists(upper, ids, levels, reaching); }, list.upper_);
  return list;
}

std::size_t NeighborList::sub_list_entries() const {
  return std::visit(
      [](const auto& upper) {
        std::size_t entries = 0;
        for (const auto& list : upper) {
          entries += list.size();
        }
        return entries;
      },
      upper_);
}

std::size_t NeighborList::heap_bytes() const {
  return all_.capacity() * sizeof(std::uint32_t) +
         std::visit(
             [](const auto& upper) {
               using List = typename std::decay_t<decltype(upper)>::value_type;
               std::size_t bytes = upper.capacity() * sizeof(List);
               for (const List& list : upper) {
                 bytes += list.capacity() * sizeof(typename List::value_type);
               }
               return bytes;
             },
             upper_);
}

}  // namespace halqen
