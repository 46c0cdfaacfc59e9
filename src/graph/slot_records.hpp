// The metadata record of each slot, replaceable in place: a removed or
// replaced vector's record is cleared where it lies, so that slot can take
// another vector's record later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "metadata/metadata.hpp"

namespace halqen::graph {

class SlotRecords {
 public:
  // Makes room for `count` more slots. Throws std::bad_alloc unchanged.
  void reserve(std::size_t count);
  // Gives `slot` this record (empty: none), appending the slot when it is
  // the next one. Throws std::bad_alloc.
  void set(std::uint32_t slot, std::span<const Metadata> record);
  // Forgets the slot's record and the memory it held.
  void clear(std::uint32_t slot) { MetadataRecord().swap(records_[slot]); }

  std::size_t slot_count() const { return records_.size(); }
  // Empty for a slot without a record.
  std::span<const Metadata> record(std::uint32_t slot) const { return records_[slot]; }
  std::uint64_t heap_bytes() const;

 private:
  std::vector<MetadataRecord> records_;
};

}  // namespace halqen::graph
