// Each frequent value's match partition. A change revises the partitions of
// the values it touched when it ends, and builds those a value newly needs
// (graph/partition_upkeep.cpp), so that a search finds them ready; a search
// that finds none (a loaded index, a value judged not to need one) builds it
// then. Searches run on several threads at once: one lock guards the
// entries, and a search keeps the partition it was given even if a change
// replaces it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "graph/attribute_postings.hpp"
#include "graph/match_partition.hpp"
#include "graph/vector_store.hpp"

namespace halqen::graph {

class PartitionCache {
 public:
  // The partition of `value`, built now from its list if it has none.
  // Throws std::bad_alloc.
  std::shared_ptr<const MatchPartition> partition(const AttributePostings& postings,
                                                  ValueCode value, const VectorStore& store);
  // The partition of `value`, or null.
  std::shared_ptr<const MatchPartition> find(ValueCode value) const;
  bool holds(ValueCode value) const {
    return partitioned_.load(std::memory_order_relaxed) > 0 && find(value) != nullptr;
  }
  void put(ValueCode value, std::shared_ptr<const MatchPartition> partition);
  // The list's count when `value` was last judged to need no partition.
  std::optional<std::size_t> declined_at(ValueCode value) const;
  void decline(ValueCode value, std::size_t count);
  // Drops what is kept for a value (its code may name another value next).
  void forget(ValueCode value);
  std::uint64_t heap_bytes() const;

 private:
  struct Entry {
    std::shared_ptr<const MatchPartition> partition;
    std::optional<std::size_t> declined_at;
  };
  using Key = std::pair<std::size_t, std::uint32_t>;
  static Key key_of(ValueCode value) { return {value.position, value.code}; }

  // Sets an entry, keeping partitioned_ (under the lock).
  void set(Key key, Entry entry);

  mutable std::mutex mutex_;
  std::map<Key, Entry> entries_;
  // Entries with a partition: most lookups, as a load's, find none.
  std::atomic<std::size_t> partitioned_{0};
};

}  // namespace halqen::graph
