// Many distances against one query at once, bit-identical to calling the
// single-pair metric function for each stored vector in turn.
//
// Stored vectors have exactly `dim` components; the query may have any length
// (the pairwise terms then run over the shorter length, as in the single-pair
// functions). The kernel is chosen once per process from the CPU's features.
#pragma once

#include <cstddef>
#include <cstdint>

#include "metrics/metrics.hpp"

namespace halqen {

// Preconditions (not checked): `rows` / `base` and `ids` address count stored
// vectors of `dim` components each, and `out` has room for `count` results.
// Throws std::invalid_argument when `kind` is not one of the enumerators.

// out[i] = metric(query, rows[i * dim .. i * dim + dim)) for i < count.
void distances_rows(MetricKind kind, VectorView query, const double* rows, std::size_t dim,
                    std::size_t count, double* out);

// out[i] = metric(query, base[ids[i] * dim .. ids[i] * dim + dim)) for i < count.
void distances_gather(MetricKind kind, VectorView query, const double* base, std::size_t dim,
                      const std::uint32_t* ids, std::size_t count, double* out);

// As distances_rows, for a caller that keeps the stored squared norms: when
// the metric's recipe uses norms (cosine), query_norm must be
// squared_norm(query) and row_norms[i] squared_norm(row i), which spares
// recomputing them on every search; with other values the results are those
// values' quotients. For the other metrics both are ignored and row_norms may
// be null. Throws std::invalid_argument when the metric uses norms and
// row_norms is null.
void distances_rows_with_norms(MetricKind kind, VectorView query, double query_norm,
                               const double* rows, const double* row_norms, std::size_t dim,
                               std::size_t count, double* out);

// As distances_gather with stored norms, as distances_rows_with_norms has
// them: row_norms[i] is squared_norm of the row of ids[i] (gathered by the
// caller, in batch order).
void distances_gather_with_norms(MetricKind kind, VectorView query, double query_norm,
                                 const double* base, std::size_t dim, const std::uint32_t* ids,
                                 const double* row_norms, std::size_t count, double* out);

// As above, for rows stored as float32 numbers: each is read widened to the
// double it is, so the results are those of the float64 rows.
void distances_gather_with_norms(MetricKind kind, VectorView query, double query_norm,
                                 const float* base, std::size_t dim, const std::uint32_t* ids,
                                 const double* row_norms, std::size_t count, double* out);

}  // namespace halqen
