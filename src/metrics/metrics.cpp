// Scalar metric functions. Each loop takes four components per step and
// computes their terms independently (the compiler may vectorise that part),
// then adds the four terms to the one accumulator in index order, so the sum
// is the plain sequential loop's to the bit.
#include "metrics/metrics.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "metrics/metric_table.hpp"

namespace halqen {
namespace {

constexpr std::size_t kStep = 4;

// Sum of term(i) for i < n, added one at a time from +0.0 in index order.
template <typename Term>
double sequential_sum(std::size_t n, Term term) {
  double sum = 0.0;
  std::size_t i = 0;
  for (; i + kStep <= n; i += kStep) {
    const double t0 = term(i);
    const double t1 = term(i + 1);
    const double t2 = term(i + 2);
    const double t3 = term(i + 3);
    sum += t0;
    sum += t1;
    sum += t2;
    sum += t3;
  }
  for (; i < n; ++i) sum += term(i);
  return sum;
}

std::size_t common_length(VectorView a, VectorView b) {
  return std::min(a.size(), b.size());
}

}  // namespace

double euclidean_distance(VectorView a, VectorView b) {
  const double sum = sequential_sum(common_length(a, b), [a, b](std::size_t i) {
    const double d = a[i] - b[i];
    return d * d;
  });
  return std::sqrt(sum);
}

double dot_product(VectorView a, VectorView b) {
  return sequential_sum(common_length(a, b), [a, b](std::size_t i) { return a[i] * b[i]; });
}

double squared_norm(VectorView v) {
  return sequential_sum(v.size(), [v](std::size_t i) { return v[i] * v[i]; });
}

double cosine_similarity(VectorView a, VectorView b) {
  const double dot = dot_product(a, b);
  const double norm_a = squared_norm(a);
  const double norm_b = squared_norm(b);
  return dot / (std::sqrt(norm_a) * std::sqrt(norm_b));
}

void squared_norms(const double* rows, std::size_t count, std::size_t dim, double* out) {
  constexpr std::size_t kRowsAtOnce = 4;
  std::size_t row = 0;
  for (; row + kRowsAtOnce <= count; row += kRowsAtOnce) {
    const double* first = rows + row * dim;
    double sums[kRowsAtOnce] = {};
    for (std::size_t i = 0; i < dim; ++i) {
      for (std::size_t r = 0; r < kRowsAtOnce; ++r) {
        const double x = first[r * dim + i];
        sums[r] += x * x;
      }
    }
    for (std::size_t r = 0; r < kRowsAtOnce; ++r) out[row + r] = sums[r];
  }
  for (; row < count; ++row) out[row] = squared_norm(VectorView(rows + row * dim, dim));
}

MetricFn metric_function(MetricKind kind) {
  return metric_row(kind).pair;
}

}  // namespace halqen
