// The user's 64-bit ids of the stored slots.
//
// While every id equals its slot (an index that only took default ids) the
// map holds nothing. The first other id turns it into a label per slot plus
// an open-addressing table from label to slot, two words per entry at most
// three quarters full: a fraction of a general-purpose hash map's memory.
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

  // The error for the first id of `labels` (in order) already stored,
  // repeated earlier in `labels`, or past kLargestId.
  std::optional<GraphError> check(std::span<const std::uint64_t> labels) const;
  // Makes room for `count` more labels; throws std::bad_alloc unchanged.
  void reserve(std::span<const std::uint64_t> labels);
  // Appends the labels of the next slots. Preconditions: check() passed and
  // reserve() was called for them.
  void append(std::span<const std::uint64_t> labels);

  // Rebuilds a map from every slot's label, as read back from parts.
  static std::optional<LabelMap> from_labels(std::span<const std::uint64_t> labels,
                                             std::uint64_t next_default);
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
  std::size_t home(std::uint64_t label) const;

  std::size_t count_ = 0;
  std::uint64_t next_default_ = 0;
  std::vector<std::uint64_t> labels_;
  std::vector<Entry> table_;
};

}  // namespace halqen::graph
