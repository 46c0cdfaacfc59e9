#include "graph/partition_cache.hpp"

namespace halqen::graph {

std::shared_ptr<const MatchPartition> PartitionCache::partition(const AttributePostings& postings,
                                                                ValueCode value,
                                                                const VectorStore& store) {
  const std::lock_guard lock(mutex_);
  Entry& entry = entries_[key_of(value)];
  if (!entry.partition) {
    entry.partition = std::make_shared<const MatchPartition>(
        MatchPartition::build(postings.slots(value.position, value.code), store));
    partitioned_.fetch_add(1, std::memory_order_relaxed);
  }
  return entry.partition;
}

std::shared_ptr<const MatchPartition> PartitionCache::find(ValueCode value) const {
  const std::lock_guard lock(mutex_);
  const auto found = entries_.find(key_of(value));
  return found == entries_.end() ? nullptr : found->second.partition;
}

void PartitionCache::put(ValueCode value, std::shared_ptr<const MatchPartition> partition) {
  const std::lock_guard lock(mutex_);
  set(key_of(value), Entry{.partition = std::move(partition), .declined_at = std::nullopt});
}

std::optional<std::size_t> PartitionCache::declined_at(ValueCode value) const {
  const std::lock_guard lock(mutex_);
  const auto found = entries_.find(key_of(value));
  return found == entries_.end() ? std::nullopt : found->second.declined_at;
}

void PartitionCache::decline(ValueCode value, std::size_t count) {
  const std::lock_guard lock(mutex_);
  set(key_of(value), Entry{.partition = nullptr, .declined_at = count});
}

void PartitionCache::forget(ValueCode value) {
  const std::lock_guard lock(mutex_);
  set(key_of(value), Entry{});
}

void PartitionCache::set(Key key, Entry entry) {
  const auto found = entries_.find(key);
  if (found != entries_.end() && found->second.partition) {
    partitioned_.fetch_sub(1, std::memory_order_relaxed);
  }
  if (entry.partition) partitioned_.fetch_add(1, std::memory_order_relaxed);
  if (!entry.partition && !entry.declined_at) {
    if (found != entries_.end()) entries_.erase(found);
    return;
  }
  if (found != entries_.end()) {
    found->second = std::move(entry);
  } else {
    entries_.emplace(key, std::move(entry));
  }
}

std::uint64_t PartitionCache::heap_bytes() const {
  // A map node holds its key, its entry and three links.
  constexpr std::uint64_t kNodeBytes = sizeof(std::pair<const Key, Entry>) + 3 * sizeof(void*);
  const std::lock_guard lock(mutex_);
  std::uint64_t bytes = entries_.size() * kNodeBytes;
  for (const auto& [key, entry] : entries_) {
    if (entry.partition) bytes += sizeof(MatchPartition) + entry.partition->heap_bytes();
  }
  return bytes;
}

}  // namespace halqen::graph
