// The exact index: every stored vector scored against the query.
//
// Vectors are kept concatenated in one contiguous array; a search scores them
// in blocks with the batched kernels and keeps the best k in rank order
// (distance order, then smaller id first), passing over vectors flagged
// deleted without counting them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "common/interrupt.hpp"
#include "common/invalid_parts.hpp"
#include "common/kind_capabilities.hpp"
#include "common/search_hit.hpp"
#include "common/vector_block.hpp"
#include "flat/flat_error.hpp"
#include "metrics/metrics.hpp"

namespace halqen {

// Everything the index holds, as plain values: what from_parts rebuilds an
// index from and what the read-out accessors give back. The cosine norms are
// derived and recomputed.
struct FlatParts {
  std::uint64_t dim = 0;
  MetricKind metric = MetricKind::Euclidean;
  std::uint64_t count = 0;      // vectors stored, ids 0..count-1
  std::vector<double> vectors;  // count * dim components, id-major
};

class FlatIndex {
 public:
  // With dim 0 the vectors hold no components, so nothing bounds a count but
  // this; the ids of one index fit comfortably below it.
  static constexpr std::uint64_t kMaxCountWithoutComponents = std::uint64_t{1} << 32;

  static constexpr KindCapabilities kCapabilities{};

  // Any dim is accepted, 0 included.
  FlatIndex(std::uint64_t dim, MetricKind metric);

  std::uint64_t dim() const { return dim_; }
  MetricKind metric() const { return metric_; }
  // Vectors stored so far; with dim 0 they consume ids but hold no components.
  std::uint64_t size() const { return count_; }
  // Every stored vector, id-major (size() * dim() components).
  std::span<const double> vectors() const { return vectors_; }
  // The bytes the index holds on the heap (allocated capacity).
  std::uint64_t heap_bytes() const;

  // Checks `parts` (sizes agree with count and dim, a known metric, with dim
  // 0 at most kMaxCountWithoutComponents vectors) and builds the index they
  // describe, which then behaves bit for bit like the index they were read
  // from. Allocates nothing before the sizes have been checked.
  static std::expected<FlatIndex, InvalidParts> from_parts(FlatParts parts);

  // Stores a copy of `vector` under the id size(). Precondition:
  // vector.size() == dim(), else throws std::invalid_argument ("Vector length
  // {len} does not match index dimension {dim}") and stores nothing.
  // std::bad_alloc leaves the index as it was.
  void insert(VectorView vector);

  // Stores the block's vectors in order under the next ids, with the same
  // result as inserting them one by one. Precondition: block.values.size()
  // == block.count * dim(), else throws std::invalid_argument and stores
  // nothing. Room for every vector is made first, so std::bad_alloc leaves
  // the index as it was. An empty index takes the block's buffer as its
  // store; a non-empty one copies the vectors in chunks of a few megabytes.
  // `interrupt` is asked before each chunk of work (copying, or measuring
  // cosine norms); when it asks to stop, the result is Interrupted and the
  // vectors of the chunks copied before stay stored (none when the buffer
  // was to be taken).
  std::expected<void, Interrupted> insert_block(VectorBlock block, Interrupt& interrupt);

  // The first min(k, size()) stored vectors in rank order by their distance
  // to `query`; k may be any value. Precondition: query.size() == dim(), else
  // throws std::invalid_argument. Fails with EmptyIndex when no components are
  // stored (no vectors, or dim 0).
  std::expected<std::vector<SearchHit>, FlatError> search(VectorView query, std::uint64_t k) const;

 private:
  friend class FlatBatch;

  void score_block(VectorView query, double query_norm, std::size_t first, std::size_t rows,
                   double* out) const;
  void reserve_for_block(const VectorBlock& block);
  std::expected<void, Interrupted> take_block(VectorBlock block, Interrupt& interrupt);
  void append_rows(const VectorBlock& block, std::uint64_t first, std::uint64_t rows);
  std::uint64_t rows_per_chunk(std::uint64_t count) const;

  std::uint64_t dim_;
  MetricKind metric_;
  std::uint64_t count_ = 0;
  std::vector<double> vectors_;
  // One flag per vector; nothing sets one yet, but search honours them.
  std::vector<bool> deleted_;
  // Whether the metric divides by norms (cosine): then norms_ holds the
  // squared_norm of each stored vector, so searches skip it.
  bool keeps_norms_;
  std::vector<double> norms_;
};

}  // namespace halqen
