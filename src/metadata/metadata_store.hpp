// The metadata of every node of an index, in one flat sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "metadata/metadata.hpp"

namespace halqen {

// Node n's record occupies [end of node n-1, end of node n) of the values; a
// node inserted without a record has an empty range. Keeping the range per
// node means a missing record never shifts later nodes onto other values.
class MetadataStore {
 public:
  // Appends the next node's record (possibly empty). Strong guarantee: on
  // bad_alloc the store is unchanged.
  void append(std::span<const Metadata> record);

  // Appends the next node without a record.
  void append_without_record();

  // Node `node`'s value at record position `position`, or null when the node
  // has no such value (no record, a shorter record, or no such node).
  const Metadata* value(std::uint64_t node, std::size_t position) const;

  // Node `node`'s record; empty for a node without one. Precondition: node <
  // node_count() (throws std::out_of_range).
  std::span<const Metadata> record(std::uint64_t node) const;

  std::uint64_t node_count() const { return record_ends_.size(); }
  std::size_t value_count() const { return values_.size(); }
  // Heap bytes of the store's arrays (not the text of long strings).
  std::uint64_t heap_bytes() const {
    return values_.capacity() * sizeof(Metadata) + record_ends_.capacity() * sizeof(std::uint64_t);
  }

 private:
  std::uint64_t record_begin(std::uint64_t node) const;

  std::vector<Metadata> values_;
  std::vector<std::uint64_t> record_ends_;
};

}  // namespace halqen
