// Internal interface between the batch entry points and the kernels that
// implement them, one kernel set per instruction-set level.
//
// Every kernel writes, for each stored vector, exactly the bits that the
// single-pair metric function returns: lanes hold different stored vectors and
// each lane adds its own terms from +0.0 in index order. All sets are built
// from one skeleton (metrics/kernel_skeleton.hpp) and the metric table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "metrics/metric_table.hpp"

namespace halqen::kernels {

// Stored vector i of a batch starts at base + (ids ? ids[i] : i) * dim and
// has exactly `dim` components; or, where `narrow` is set instead of base,
// it is stored as float32 numbers from narrow + (ids ? ids[i] : i) * dim,
// each widened exactly to the double it is.
struct RowSource {
  const double* base;
  std::size_t dim;
  const std::uint32_t* ids;  // null: the rows follow each other from `base`
  const float* narrow = nullptr;

  std::size_t offset(std::size_t i) const {
    return (ids != nullptr ? static_cast<std::size_t>(ids[i]) : i) * dim;
  }
  const double* row(std::size_t i) const { return base + offset(i); }
  const float* narrow_row(std::size_t i) const { return narrow + offset(i); }
  // Row i as the kernels read it, in the width it is stored.
  template <class T>
  const T* row_of(std::size_t i) const {
    if constexpr (sizeof(T) == sizeof(float)) {
      return narrow_row(i);
    } else {
      return row(i);
    }
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
  // For metrics whose recipe uses norms: squared_norm(query), and either null
  // (the kernel computes the stored norms) or row_norms[i] == squared_norm of
  // row(i). Ignored by the other metrics.
  double query_norm = 0.0;
  const double* row_norms = nullptr;

  std::size_t common_size() const { return query_size < rows.dim ? query_size : rows.dim; }
};

using BatchKernel = void (*)(const BatchJob& job);

// Queries are handed to the block kernels transposed, in panels of this many
// (the widest register's doubles): component c of query p * kPanelWidth + l
// is at panels[(p * query_size + c) * kPanelWidth + l]. A narrower register
// takes a panel in several parts; lanes past the last query hold zeros.
inline constexpr std::size_t kPanelWidth = 8;

// A block of queries against a run of rows: out[j * row_count + i] =
// metric(query j, row i) for j < query_count, i < row_count. The pairwise
// terms run over min(query_size, dim) components.
struct BlockJob {
  const double* panels;
  std::size_t query_count;
  std::size_t query_size;
  // For metrics whose recipe uses norms: query_roots[j] is
  // sqrt(squared_norm(query j)), for j below the panels' padded size.
  const double* query_roots;
  const double* rows;
  std::size_t dim;
  std::size_t row_count;
  // For metrics whose recipe uses norms: null (the kernel computes them) or
  // row_norms[i] == squared_norm of row i.
  const double* row_norms;
  double* out;

  std::size_t common_size() const { return query_size < dim ? query_size : dim; }
};

using BlockKernel = void (*)(const BlockJob& job);

// Every array is indexed by MetricKind.
struct KernelSet {
  // Computes any stored norms it needs; job.row_norms must be null.
  std::array<BatchKernel, kMetricCount> rows;
  // Reads the stored norms from job.row_norms where the metric uses norms.
  std::array<BatchKernel, kMetricCount> rows_with_norms;
  std::array<BlockKernel, kMetricCount> block;
};

// Plain one-lane loops; available everywhere.
extern const KernelSet kScalarKernels;

#if defined(__x86_64__)
// Two stored vectors per 128-bit SSE2 register (SSE2 is part of x86-64).
extern const KernelSet kSse2Kernels;
// Four stored vectors per 256-bit AVX2 register; only for CPUs reporting AVX2.
extern const KernelSet kAvx2Kernels;
// Eight per 512-bit register; only for CPUs reporting AVX-512F.
extern const KernelSet kAvx512Kernels;
#endif

// The set chosen by the dispatcher (metrics/dispatch.hpp).
const KernelSet& active_kernel_set();

}  // namespace halqen::kernels
