// The user's 64-bit ids of the stored slots.
//
// While every id equals its slot (an index that only took default ids and
// never lost one) the map holds nothing. The first other id, or the first
// removal, turns it into a label per slot plus an open-addressing table from
// label to slot, two words per entry at most three quarters full: a fraction
// of a general-purpose hash map's memory. A free slot's label is kNoLabel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "graph/graph_error.hpp"

namespace halqen::graph {

// Ids are returned as int64: none may exceed this.
inline constexpr std::uint64_t kLargestId = (std::uint64_t{1} << 63) - 1;

class LabelMap {
 public:
  std::size_t size() const { return count_; }
  bool identity() const { return labels_.empty() && count_ == next_default_; }
  // One past the largest id stored so far (0 for none).
  std::uint64_t next_default() const { return next_default_; }

  std::uint64_t label_of(std::uint32_t slot) const {
    return labels_.empty() ? slot : labels_[slot];
  }
  std::optional<std::uint32_t> slot_of(std::uint64_t label) const;

  // The error for the first id of `labels` (in order) repeated earlier in
  // `labels`, past kLargestId, or (unless `may_be_present`) already stored.
  std::optional<GraphError> check(std::span<const std::uint64_t> labels,
                                  bool may_be_present = false) const;
  // Makes room for `count` more labels; throws std::bad_alloc unchanged.
  void reserve(std::span<const std::uint64_t> labels);
  // Appends the labels of the next slots. Preconditions: check() passed and
  // reserve() was called for them.
  void append(std::span<const std::uint64_t> labels);

  // Slots filled again after a removal: as append, but into free slots.
  // Preconditions: the map holds labels (a removal made it) and reserve()
  // was called for them.
  void assign(std::uint32_t slot, std::uint64_t label);
  // Turns an identity map into one with a label per slot, so that slots can
  // be released. Throws std::bad_alloc unchanged.
  void prepare_release() {
    if (labels_.empty()) materialise(0);
  }
  // Forgets the label of `slot` (precondition: prepare_release() was called).
  void release(std::uint32_t slot);
  // No slot at all, as a new map, but the next default id kept.
  void clear_keeping_next() {
    const std::uint64_t next = next_default_;
    *this = LabelMap();
    next_default_ = next;
  }

  // Rebuilds a map from every slot's label, as read back from parts.
  // A free slot's label is kNoLabel (counted as a slot, found by no id).
  static std::optional<LabelMap> from_labels(std::span<const std::uint64_t> labels,
                                             std::uint64_t next_default);
  static constexpr std::uint64_t kNoLabel = ~std::uint64_t{0};
  std::uint64_t heap_bytes() const {
    return labels_.capacity() * sizeof(std::uint64_t) + table_.capacity() * sizeof(Entry);
  }
  // Every slot's label, or empty while they are the slots themselves.
  std::span<const std::uint64_t> explicit_labels() const { return labels_; }

 private:
  struct Entry {
    std::uint64_t label;
    std::uint32_t slot;
  };
  static constexpr std::uint32_t kEmpty = ~std::uint32_t{0};

  void materialise(std::size_t extra);
  void grow_table(std::size_t entries);
  void insert_entry(std::uint64_t label, std::uint32_t slot);
  void erase_entry(std::uint64_t label);
  std::size_t home(std::uint64_t label) const;

  std::size_t count_ = 0;
  std::uint64_t next_default_ = 0;
  std::vector<std::uint64_t> labels_;
  std::vector<Entry> table_;
};

}  // namespace halqen::graph
