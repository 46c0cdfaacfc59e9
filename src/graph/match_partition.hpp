// The matches of one attribute value in buckets around pivots drawn evenly
// from them. Where matches lie sparse around a query (an attribute that
// follows the clusters, the query in a cluster with few matches), a walk
// over the graph loses them and scoring them all costs as much as their
// count; scanning the buckets of the pivots nearest the query finds them
// at the cost of a few pivots and buckets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/candidate.hpp"
#include "graph/exact_distances.hpp"
#include "graph/vector_store.hpp"

namespace halqen::graph {

class MatchPartition {
 public:
  // Pivots per square root of the matches: measured on Gaussian mixtures
  // (bench/filtered.py, 10,000 and 50,000 matches), one per root left
  // buckets too coarse (recall 0.91 scanning 1,024 matches), two reached
  // 0.95-0.99 there, three bought little more for half again the pivots.
  static constexpr double kPivotsPerRoot = 2.0;

  // Buckets `members` (ascending slots of stored vectors) by their nearest
  // pivot, ties to the lower pivot: the same buckets for the same rows.
  // Throws std::bad_alloc.
  static MatchPartition build(std::span<const std::uint32_t> members, const VectorStore& store);

  // This partition after a change: without the slots of `leaving`
  // (ascending), with `joining` in the buckets of their nearest pivots. A
  // pivot that left hands its bucket to the bucket's lowest remaining
  // member, which lies near it; an emptied bucket goes. A slot may be in
  // both lists (it left and came back). Throws std::bad_alloc.
  MatchPartition revised(std::span<const std::uint32_t> leaving,
                         std::span<const std::uint32_t> joining, const VectorStore& store) const;

  std::size_t size() const { return members_.size(); }
  // Whether the members moved so far from those it was built over that
  // its pivots no longer follow them: built again.
  bool drifted() const {
    return members_.size() > kDriftFactor * built_size_ ||
           kDriftFactor * members_.size() < built_size_;
  }

  // A bucket and its pivot's key from the query.
  struct KeyedBucket {
    double key;
    std::span<const std::uint32_t> members;
  };
  // Every bucket with its key, in pivot order: a scan takes the nearest
  // first, across the partitions of the values it reads.
  std::vector<KeyedBucket> keyed_buckets(DistanceComputer& distances) const;

  std::uint64_t heap_bytes() const {
    return (pivots_.capacity() + bucket_begins_.capacity() + members_.capacity()) *
           sizeof(std::uint32_t);
  }

 private:
  // Grown or shrunk by this factor since its build, a partition is built
  // again, as one that doubles through appends was before it was revised.
  static constexpr std::size_t kDriftFactor = 2;

  // Fills bucket_begins_ and members_ from each member's bucket.
  void group(std::span<const std::uint32_t> members, std::span<const std::uint32_t> bucket);

  std::vector<std::uint32_t> pivots_;         // slots
  std::vector<std::uint32_t> bucket_begins_;  // per pivot, into members_; one more at the end
  std::vector<std::uint32_t> members_;        // grouped by bucket, ascending within one
  std::size_t built_size_ = 0;
};

}  // namespace halqen::graph
