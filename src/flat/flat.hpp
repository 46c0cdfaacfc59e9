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
#include <string_view>
#include <vector>

#include "flat/flat_hit.hpp"
#include "metrics/metrics.hpp"

namespace halqen {

// The flat index's metric functions: the shared ones, under its own name.
struct Flat {
  static double euclidean_distance(VectorView a, VectorView b) {
    return halqen::euclidean_distance(a, b);
  }
  static double dot_product(VectorView a, VectorView b) { return halqen::dot_product(a, b); }
  static double cosine_similarity(VectorView a, VectorView b) {
    return halqen::cosine_similarity(a, b);
  }
};

// Declaration order fixes the discriminants 0 to 5. The index itself produces
// only EmptyIndex; EmptyVectors belongs to bulk creation by the caller; the
// other four exist for parity with the approximate index's errors.
enum class FlatError {
  EmptyIndex,
  EmptyVectors,
  MetadataMismatch,
  NoSchema,
  EmptySchema,
  AttributeNotFound
};

// The variant's name exactly as declared, e.g. "EmptyIndex". Throws
// std::invalid_argument for a value outside the enumeration.
std::string_view flat_error_name(FlatError error);

class FlatIndex {
 public:
  // Any dim is accepted, 0 included.
  FlatIndex(std::uint64_t dim, MetricKind metric);

  std::uint64_t dim() const { return dim_; }
  MetricKind metric() const { return metric_; }
  // Vectors stored so far; with dim 0 they consume ids but hold no components.
  std::uint64_t count() const { return count_; }

  // Stores a copy of `vector` under the id count(). Precondition:
  // vector.size() == dim(), else throws std::invalid_argument ("Vector length
  // {len} does not match index dimension {dim}") and stores nothing.
  // std::bad_alloc leaves the index as it was.
  void append(VectorView vector);

  // The first min(k, count()) stored vectors in rank order by their distance
  // to `query`; k may be any value. Precondition: query.size() == dim(), else
  // throws std::invalid_argument. Fails with EmptyIndex when no components are
  // stored (no vectors, or dim 0).
  std::expected<std::vector<FlatHit>, FlatError> search(VectorView query, std::uint64_t k) const;

 private:
  void score_block(VectorView query, double query_norm, std::size_t first, std::size_t rows,
                   double* out) const;

  std::uint64_t dim_;
  MetricKind metric_;
  std::uint64_t count_ = 0;
  std::vector<double> vectors_;
  // One flag per vector; nothing sets one yet, but search honours them.
  std::vector<bool> deleted_;
  // Cosine only: squared_norm of each stored vector, so searches skip it.
  std::vector<double> norms_;
};

}  // namespace halqen
