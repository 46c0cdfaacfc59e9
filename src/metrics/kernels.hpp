// Internal interface between the batch entry points and the kernels that
// implement them, one kernel set per instruction-set level.
//
// Every kernel writes, for each stored vector, exactly the bits that the
// single-pair metric function returns: lanes hold different stored vectors and
// each lane adds its own terms from +0.0 in index order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halqen::kernels {

// Stored vector i of a batch starts at base + (ids ? ids[i] : i) * dim and
// has exactly `dim` components.
struct RowSource {
  const double* base;
  std::size_t dim;
  const std::uint32_t* ids;  // null: the rows follow each other from `base`

  const double* row(std::size_t i) const {
    return base + (ids != nullptr ? static_cast<std::size_t>(ids[i]) : i) * dim;
  }
};

// One batch: out[i] = metric(query, row(i)) for i < count. The pairwise terms
// run over min(query_size, rows.dim) components.
struct BatchJob {
  const double* query;
  std::size_t query_size;
  RowSource rows;
  std::size_t count;
  double* out;

  std::size_t common_size() const { return query_size < rows.dim ? query_size : rows.dim; }
};

struct KernelSet {
  void (*euclidean)(const BatchJob& job);
  void (*dot)(const BatchJob& job);
  // `query_norm` is squared_norm(query); the stored norms are computed here.
  void (*cosine)(const BatchJob& job, double query_norm);
  // values[i] = values[i] / (sqrt(query_norm) * sqrt(row_norms[i])) for
  // i < count: cosine from dot products and squared norms computed apart.
  void (*cosine_from_dots)(double query_norm, const double* row_norms, std::size_t count,
                           double* values);
};

// Plain loops over the single-pair functions; available everywhere.
extern const KernelSet kScalarKernels;

#if defined(__x86_64__)
// Two stored vectors per 128-bit SSE2 register (SSE2 is part of x86-64).
extern const KernelSet kSse2Kernels;
// Four stored vectors per 256-bit AVX2 register; only for CPUs reporting AVX2.
extern const KernelSet kAvx2Kernels;
#endif

// The set chosen by the dispatcher (metrics/dispatch.hpp).
const KernelSet& active_kernel_set();

}  // namespace halqen::kernels
