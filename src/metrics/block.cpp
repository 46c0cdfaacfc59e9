// The block of queries: transposition into panels, then the dispatched kernel.
#include "metrics/block.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "metrics/kernels.hpp"
#include "metrics/metric_table.hpp"

namespace halqen {
namespace {

constexpr std::size_t kWidth = kernels::kPanelWidth;

void require_one_length(std::span<const VectorView> queries) {
  for (std::size_t j = 1; j < queries.size(); ++j) {
    if (queries[j].size() != queries[0].size()) {
      throw std::invalid_argument(
          "query " + std::to_string(j) + " has " + std::to_string(queries[j].size()) +
          " components, but query 0 has " + std::to_string(queries[0].size()));
    }
  }
}

}  // namespace

QueryBlock::QueryBlock(MetricKind kind, std::span<const VectorView> queries)
    : kind_(kind), count_(queries.size()), query_size_(queries.empty() ? 0 : queries[0].size()) {
  const BatchRecipe recipe = metric_row(kind).batch;
  require_one_length(queries);
  const std::size_t panels = (count_ + kWidth - 1) / kWidth;
  // With no components a panel still gets one zero row, so that the kernels'
  // register addresses point into the allocation.
  panels_.assign(panels * std::max<std::size_t>(query_size_, 1) * kWidth, 0.0);
  for (std::size_t j = 0; j < count_; ++j) {
    double* lane = panels_.data() + (j / kWidth) * query_size_ * kWidth + j % kWidth;
    for (std::size_t c = 0; c < query_size_; ++c) lane[c * kWidth] = queries[j][c];
  }
  if (recipe.uses_norms()) {
    roots_.assign(panels * kWidth, 0.0);
    for (std::size_t j = 0; j < count_; ++j) roots_[j] = std::sqrt(squared_norm(queries[j]));
  }
}

void QueryBlock::distances(const double* rows, const double* row_norms, std::size_t dim,
                           std::size_t row_count, double* out) const {
  if (count_ == 0 || row_count == 0) return;
  const kernels::BlockJob job = {.panels = panels_.data(),
                                 .query_count = count_,
                                 .query_size = query_size_,
                                 .query_roots = roots_.data(),
                                 .rows = rows,
                                 .dim = dim,
                                 .row_count = row_count,
                                 .row_norms = row_norms,
                                 .out = out};
  kernels::active_kernel_set().block[static_cast<std::size_t>(kind_)](job);
}

void distances_block(MetricKind kind, std::span<const VectorView> queries, const double* rows,
                     const double* row_norms, std::size_t dim, std::size_t row_count, double* out) {
  QueryBlock(kind, queries).distances(rows, row_norms, dim, row_count, out);
}

}  // namespace halqen
