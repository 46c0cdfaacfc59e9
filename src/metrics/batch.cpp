// Batched distances: package the arguments and hand them to the kernel set
// that the dispatcher chose.
#include "metrics/batch.hpp"

#include <stdexcept>
#include <string>

#include "metrics/kernels.hpp"

namespace halqen {
namespace {

void run(MetricKind kind, const kernels::BatchJob& job) {
  if (job.count == 0) return;
  const kernels::KernelSet& set = kernels::active_kernel_set();
  switch (kind) {
    case MetricKind::Euclidean:
      return set.euclidean(job);
    case MetricKind::InnerProduct:
      return set.dot(job);
    case MetricKind::Cosine: {
      const double query_norm = squared_norm({job.query, job.query_size});
      return set.cosine(job, query_norm);
    }
  }
  throw std::invalid_argument("unknown metric kind " + std::to_string(static_cast<int>(kind)));
}

}  // namespace

void distances_rows(MetricKind kind, VectorView query, const double* rows, std::size_t dim,
                    std::size_t count, double* out) {
  run(kind, {.query = query.data(),
             .query_size = query.size(),
             .rows = {.base = rows, .dim = dim, .ids = nullptr},
             .count = count,
             .out = out});
}

void distances_gather(MetricKind kind, VectorView query, const double* base, std::size_t dim,
                      const std::uint32_t* ids, std::size_t count, double* out) {
  run(kind, {.query = query.data(),
             .query_size = query.size(),
             .rows = {.base = base, .dim = dim, .ids = ids},
             .count = count,
             .out = out});
}

void cosine_rows_with_norms(VectorView query, double query_norm, const double* rows,
                            const double* row_norms, std::size_t dim, std::size_t count,
                            double* out) {
  if (count == 0) return;
  const kernels::BatchJob job = {.query = query.data(),
                                 .query_size = query.size(),
                                 .rows = {.base = rows, .dim = dim, .ids = nullptr},
                                 .count = count,
                                 .out = out};
  // Dot products first, then the quotients: two passes that each read memory
  // as few sequential streams, rather than the stored norms as extra streams.
  const kernels::KernelSet& set = kernels::active_kernel_set();
  set.dot(job);
  set.cosine_from_dots(query_norm, row_norms, count, out);
}

}  // namespace halqen
