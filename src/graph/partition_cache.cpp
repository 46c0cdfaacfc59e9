#include "graph/partition_cache.hpp"

namespace halqen::graph {

std::shared_ptr<const MatchPartition> PartitionCache::partition(const AttributePostings& postings,
                                                                std::size_t position,
                                                                std::uint32_t code,
                                                                const VectorStore& store) {
  const std::span<const std::uint32_t> members = postings.slots(position, code);
  const std::uint64_t reorderings = postings.reorderings(position, code);
  const std::lock_guard lock(mutex_);
  Entry& entry = entries_[{position, code}];
  const bool current = entry.partition && entry.reorderings == reorderings &&
                       entry.partition->covered() <= members.size() &&
                       members.size() < kRebuildGrowth * entry.partition->covered();
  if (!current) {
    entry.partition = std::make_shared<const MatchPartition>(MatchPartition::build(members, store));
    entry.reorderings = reorderings;
  }
  return entry.partition;
}

void PartitionCache::forget(ValueCode value) {
  const std::lock_guard lock(mutex_);
  entries_.erase({value.position, value.code});
}

std::uint64_t PartitionCache::heap_bytes() const {
  // A map node holds its key, its entry and three links.
  constexpr std::uint64_t kNodeBytes =
      sizeof(std::pair<const std::pair<std::size_t, std::uint32_t>, Entry>) + 3 * sizeof(void*);
  const std::lock_guard lock(mutex_);
  std::uint64_t bytes = entries_.size() * kNodeBytes;
  for (const auto& [key, entry] : entries_) {
    if (entry.partition) bytes += sizeof(MatchPartition) + entry.partition->heap_bytes();
  }
  return bytes;
}

}  // namespace halqen::graph
