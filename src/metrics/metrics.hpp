// The three metric functions shared by both indexes.
//
// Every function is bit-exact: sums start at +0.0 and add one term at a time
// in increasing index order, each product and sum rounded separately. Pairwise
// terms run over the shorter of the two lengths; the cosine norms run over the
// full length of each vector. No function fails: empty vectors, unequal
// lengths, zero norms and non-finite components all yield a float.
#pragma once

#include <cstddef>
#include <span>

namespace halqen {

using VectorView = std::span<const double>;
using MetricFn = double (*)(VectorView a, VectorView b);

// Metric codes in the order the approximate index numbers them.
enum class MetricKind { Euclidean, Cosine, InnerProduct };

double euclidean_distance(VectorView a, VectorView b);
double dot_product(VectorView a, VectorView b);
double cosine_similarity(VectorView a, VectorView b);

// The sequential sum of v[i] * v[i] over all of `v`: the squared norm that
// cosine_similarity uses, to the bit, so callers may precompute it.
double squared_norm(VectorView v);
// out[i] = squared_norm of row i of `count` rows of `dim` values, to the
// bit; several rows at once, each summed in its own order, so the sums do not
// wait on one another.
void squared_norms(const double* rows, std::size_t count, std::size_t dim, double* out);

// The single-pair function for a metric kind. Throws std::invalid_argument
// when `kind` is not one of the enumerators.
MetricFn metric_function(MetricKind kind);

}  // namespace halqen
