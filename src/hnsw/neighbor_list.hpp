// The neighbour list of one graph node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

namespace halqen {

// A node's neighbour ids in the order they were first linked, without
// repeats and without the node itself. A layer search never follows either:
// a repeat's first occurrence was already visited or passed over by the same
// level and filter rules, and a node's own list is scanned only after the
// node was visited. So dropping them changes no search result.
//
// Besides the full list (layer 0), the node keeps, for each layer j from 1
// up to its indexed top (its level, at most kMaxIndexedLayer), the sub-list
// of neighbours whose level is at least j, in the same order: a layer-j scan
// reads only neighbours it may follow, instead of passing over the many of
// lower level. All of them hold their ids in 16 bits while every id fits
// (always, in a graph of fewer than 65,536 nodes), which halves what the
// graph costs; the first id that does not fit widens them all to 32 bits.
class NeighborList {
 public:
  // Highest layer with a sub-list of its own; scans above it filter that one by level.
  static constexpr std::uint64_t kMaxIndexedLayer = 31;

  using NarrowId = std::uint16_t;
  using WideId = std::uint32_t;

  // The ids a scan at some layer reads, in list order: in 32 bits (the full
  // list, or wide sub-lists) or in 16.
  struct LayerScan {
    std::variant<std::span<const WideId>, std::span<const NarrowId>> ids;
    bool needs_level_check;  // some ids may have a level below the scanned layer

    // Calls read(ids) with the span the scan reads, whichever its width.
    template <typename Read>
    decltype(auto) with_ids(Read read) const {
      return std::visit(read, ids);
    }
  };

  explicit NeighborList(std::uint64_t owner_level);

  // Appends `id`, whose level is `id_level`, to the full list and to every
  // sub-list it belongs to. Strong guarantee: on bad_alloc nothing changes.
  // The caller keeps ids unique and different from the owner.
  void append(std::uint32_t id, std::uint64_t id_level);

  // The list holding `ids` in order, as appending each would build it, with
  // every array sized once (an index rebuilt from its parts). `levels` holds
  // every node's level. Precondition: each id < levels.size().
  static NeighborList rebuilt(std::uint64_t owner_level, std::span<const std::uint32_t> ids,
                              std::span<const std::uint64_t> levels);

  // The full list, in 32 bits.
  std::vector<std::uint32_t> ids() const;
  // Entries held in the layer sub-lists, over all layers.
  std::size_t sub_list_entries() const;
  // Heap bytes the list holds (allocated capacity, not only the entries).
  std::size_t heap_bytes() const;
  std::size_t size() const {
    return std::visit([](const auto& lists) { return lists.all.size(); }, lists_);
  }

  // What a scan at `layer` reads: the layer's own sub-list when the node
  // indexes it, else its highest sub-list with the level still to check.
  // Inline: every expansion of a layer search asks for it.
  LayerScan for_layer(std::uint64_t layer) const {
    return std::visit(
        [layer](const auto& lists) -> LayerScan {
          using Id = typename std::decay_t<decltype(lists.all)>::value_type;
          if (layer == 0) {
            return {std::span<const Id>(lists.all), false};
          }
          if (layer <= lists.upper.size()) {
            return {std::span<const Id>(lists.upper[layer - 1]), false};
          }
          if (lists.upper.empty()) {
            return {std::span<const Id>(lists.all), true};
          }
          return {std::span<const Id>(lists.upper.back()), true};
        },
        lists_);
  }

 private:
  // The full list and, at index j - 1, the sub-list of level >= j.
  template <typename Id>
  struct Lists {
    std::vector<Id> all;
    std::vector<std::vector<Id>> upper;
  };

  void widen();

  std::variant<Lists<NarrowId>, Lists<WideId>> lists_;
};

}  // namespace halqen
