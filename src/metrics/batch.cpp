// Batched distances: package the arguments and hand them to the kernel that
// the dispatcher's set holds for the metric.
#include "metrics/batch.hpp"

#include <stdexcept>
#include <string>

#include "metrics/kernels.hpp"
#include "metrics/metric_table.hpp"

namespace halqen {
namespace {

std::size_t index_of(MetricKind kind) {
  return static_cast<std::size_t>(kind);
}

kernels::BatchJob job_over(VectorView query, const double* base, std::size_t dim,
                           const std::uint32_t* ids, std::size_t count, double* out) {
  return {.query = query.data(),
          .query_size = query.size(),
          .rows = {.base = base, .dim = dim, .ids = ids},
          .count = count,
          .out = out};
}

void run(MetricKind kind, kernels::BatchJob job) {
  if (job.count == 0) return;
  if (metric_row(kind).batch.uses_norms()) {
    job.query_norm = squared_norm({job.query, job.query_size});
  }
  kernels::active_kernel_set().rows[index_of(kind)](job);
}

}  // namespace

void distances_rows(MetricKind kind, VectorView query, const double* rows, std::size_t dim,
                    std::size_t count, double* out) {
  run(kind, job_over(query, rows, dim, nullptr, count, out));
}

void distances_gather(MetricKind kind, VectorView query, const double* base, std::size_t dim,
                      const std::uint32_t* ids, std::size_t count, double* out) {
  run(kind, job_over(query, base, dim, ids, count, out));
}

namespace {

void run_with_norms(MetricKind kind, kernels::BatchJob job, double query_norm,
                    const double* row_norms) {
  if (job.count == 0) return;
  const bool uses_norms = metric_row(kind).batch.uses_norms();
  if (uses_norms && row_norms == nullptr) {
    throw std::invalid_argument("metric kind " + std::to_string(index_of(kind)) +
                                " divides by stored norms, but row_norms is null");
  }
  if (uses_norms) {
    job.query_norm = query_norm;
    job.row_norms = row_norms;
  }
  kernels::active_kernel_set().rows_with_norms[index_of(kind)](job);
}

}  // namespace

void distances_rows_with_norms(MetricKind kind, VectorView query, double query_norm,
                               const double* rows, const double* row_norms, std::size_t dim,
                               std::size_t count, double* out) {
  run_with_norms(kind, job_over(query, rows, dim, nullptr, count, out), query_norm, row_norms);
}

void distances_gather_with_norms(MetricKind kind, VectorView query, double query_norm,
                                 const double* base, std::size_t dim, const std::uint32_t* ids,
                                 const double* row_norms, std::size_t count, double* out) {
  run_with_norms(kind, job_over(query, base, dim, ids, count, out), query_norm, row_norms);
}

void distances_gather_with_norms(MetricKind kind, VectorView query, double query_norm,
                                 const float* base, std::size_t dim, const std::uint32_t* ids,
                                 const double* row_norms, std::size_t count, double* out) {
  kernels::BatchJob job = job_over(query, nullptr, dim, ids, count, out);
  job.rows.narrow = base;
  run_with_norms(kind, job, query_norm, row_norms);
}

}  // namespace halqen
