#include "graph/slot_records.hpp"

#include "common/grow.hpp"

namespace halqen::graph {

void SlotRecords::reserve(std::size_t count) {
  reserve_for_append(records_, count);
}

void SlotRecords::set(std::uint32_t slot, std::span<const Metadata> record) {
  MetadataRecord copy(record.begin(), record.end());
  if (slot == records_.size()) {
    records_.push_back(std::move(copy));
    return;
  }
  records_[slot].swap(copy);
}

std::uint64_t SlotRecords::heap_bytes() const {
  std::uint64_t bytes = records_.capacity() * sizeof(MetadataRecord);
  for (const MetadataRecord& record : records_) bytes += record.capacity() * sizeof(Metadata);
  return bytes;
}

}  // namespace halqen::graph
