// Many queries against many stored rows in one pass: the exact index's
// kernel for batches of queries.
//
// What it computes: out[j * row_count + i] = metric(queries[j], row i), with
// row i = rows[i * dim .. i * dim + dim), for every query j and row i, each
// value bit-identical to the single-pair metric function (terms added from
// +0.0 in index order, products and sums rounded separately, no FMA). The
// pairwise terms run over min(query length, dim) components; a cosine norm
// runs over its whole vector, as in the single-pair function.
//
// How: the queries are copied once into a transposed layout (QueryBlock);
// each stored row is then read from memory once per call and scored against
// every query from cache and registers. The kernel is the one the dispatcher
// chose for this CPU (metrics/dispatch.hpp); every level gives the same bits.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "metrics/metrics.hpp"

namespace halqen {

// A block of queries prepared for distances_block: transposed copies, and
// their norms where the metric divides by norms. Immutable once built, so
// any number of threads may score with one QueryBlock at once.
class QueryBlock {
 public:
  // Every query must have the same length: throws std::invalid_argument
  // (naming the first query whose length differs) otherwise, and for a
  // `kind` that is not one of the enumerators. Throws std::bad_alloc when
  // the copy does not fit in memory. The queries are not referenced later.
  QueryBlock(MetricKind kind, std::span<const VectorView> queries);

  MetricKind kind() const { return kind_; }
  std::size_t count() const { return count_; }
  // The common length of the queries (0 when there are none).
  std::size_t query_size() const { return query_size_; }

  // Scores every query against `row_count` rows of `dim` components starting
  // at `rows`, writing count() * row_count values to `out` (layout above).
  // `row_norms` may be null; when the metric divides by norms and it is not,
  // row_norms[i] must be squared_norm(row i) (other values give those
  // values' quotients). Preconditions (not checked): `rows` addresses
  // row_count * dim doubles, `out` has room for count() * row_count and
  // overlaps neither. Allocates nothing and cannot fail.
  void distances(const double* rows, const double* row_norms, std::size_t dim,
                 std::size_t row_count, double* out) const;

 private:
  MetricKind kind_;
  std::size_t count_;
  std::size_t query_size_;
  // Panels of kernels::kPanelWidth queries, component-major within a panel.
  std::vector<double> panels_;
  // sqrt(squared_norm(query)) per query, padded like the panels; empty
  // unless the metric divides by norms.
  std::vector<double> roots_;
};

// One-off form: QueryBlock(kind, queries).distances(rows, row_norms, dim,
// row_count, out). Scoring several runs of rows with the same queries is
// cheaper through one QueryBlock.
void distances_block(MetricKind kind, std::span<const VectorView> queries, const double* rows,
                     const double* row_norms, std::size_t dim, std::size_t row_count, double* out);

}  // namespace halqen
