// Each frequent value's match partition, built when a search first needs it
// and kept while the value's list only grows at its end, until it doubles.
// Searches run on several threads at once: one lock guards the entries,
// and a search keeps the partition it was given even if another replaces it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "graph/attribute_postings.hpp"
#include "graph/match_partition.hpp"
#include "graph/vector_store.hpp"

namespace halqen::graph {

class PartitionCache {
 public:
  // The partition over a prefix of the list of `code` at `position`; the
  // slots past its covered() were appended since it was built. Throws
  // std::bad_alloc.
  std::shared_ptr<const MatchPartition> partition(const AttributePostings& postings,
                                                  std::size_t position, std::uint32_t code,
                                                  const VectorStore& store);
  // Drops the partition of a value the postings forgot.
  void forget(ValueCode value);
  std::uint64_t heap_bytes() const;

 private:
  // A list that grew past this multiple of the members a partition covers
  // is partitioned again, so that its pivots keep following the matches.
  static constexpr std::size_t kRebuildGrowth = 2;

  struct Entry {
    std::shared_ptr<const MatchPartition> partition;
    std::uint64_t reorderings = 0;
  };

  mutable std::mutex mutex_;
  std::map<std::pair<std::size_t, std::uint32_t>, Entry> entries_;
};

}  // namespace halqen::graph
