// The reference kernel set: one single-pair call per stored vector.
#include <cmath>
#include <span>

#include "metrics/kernels.hpp"
#include "metrics/metrics.hpp"

namespace halqen::kernels {
namespace {

VectorView query_of(const BatchJob& job) {
  return {job.query, job.query_size};
}

VectorView row_of(const BatchJob& job, std::size_t i) {
  return {job.rows.row(i), job.rows.dim};
}

template <MetricFn metric>
void each_row(const BatchJob& job) {
  for (std::size_t i = 0; i < job.count; ++i) job.out[i] = metric(query_of(job), row_of(job, i));
}

void cosine_rows(const BatchJob& job, double query_norm) {
  const double query_root = std::sqrt(query_norm);
  for (std::size_t i = 0; i < job.count; ++i) {
    const VectorView row = row_of(job, i);
    job.out[i] = dot_product(query_of(job), row) / (query_root * std::sqrt(squared_norm(row)));
  }
}

void cosine_from_dots(double query_norm, const double* row_norms, std::size_t count,
                      double* values) {
  const double query_root = std::sqrt(query_norm);
  for (std::size_t i = 0; i < count; ++i) {
    values[i] = values[i] / (query_root * std::sqrt(row_norms[i]));
  }
}

}  // namespace

const KernelSet kScalarKernels = {
    .euclidean = &each_row<&euclidean_distance>,
    .dot = &each_row<&dot_product>,
    .cosine = &cosine_rows,
    .cosine_from_dots = &cosine_from_dots,
};

}  // namespace halqen::kernels
