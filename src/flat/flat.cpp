#include "flat/flat.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "flat/top_k.hpp"
#include "metrics/batch.hpp"

namespace halqen {
namespace {

// Stored vectors scored per batched call. The kernels read each call's rows
// as a few long sequential streams, so a block must span megabytes for the
// streams to be long, while its distances (128 KiB) stay in L2.
constexpr std::size_t kScoreBlockRows = 16384;

void require_dimension(const char* what, std::size_t length, std::uint64_t dim) {
  if (length != dim) {
    throw std::invalid_argument(std::string(what) + " length " + std::to_string(length) +
                                " does not match index dimension " + std::to_string(dim));
  }
}

}  // namespace

FlatIndex::FlatIndex(std::uint64_t dim, MetricKind metric) : dim_(dim), metric_(metric) {
  metric_function(metric);  // rejects a value outside the enumeration
}

void FlatIndex::insert(VectorView vector) {
  require_dimension("Vector", vector.size(), dim_);
  const std::size_t old_components = vectors_.size();
  try {
    vectors_.insert(vectors_.end(), vector.begin(), vector.end());
    if (metric_ == MetricKind::Cosine) norms_.push_back(squared_norm(vector));
    deleted_.push_back(false);
  } catch (...) {
    vectors_.resize(old_components);
    norms_.resize(count_);
    throw;
  }
  ++count_;
}

std::expected<std::vector<SearchHit>, FlatError> FlatIndex::search(VectorView query,
                                                                   std::uint64_t k) const {
  require_dimension("Query", query.size(), dim_);
  if (vectors_.empty()) return std::unexpected(FlatError::EmptyIndex);
  if (k == 0) return std::vector<SearchHit>{};
  const std::size_t count = count_;
  TopK best(std::min<std::uint64_t>(k, count));
  const double query_norm = metric_ == MetricKind::Cosine ? squared_norm(query) : 0.0;
  std::vector<double> distances(std::min(kScoreBlockRows, count));
  for (std::size_t first = 0; first < count; first += kScoreBlockRows) {
    const std::size_t rows = std::min(kScoreBlockRows, count - first);
    score_block(query, query_norm, first, rows, distances.data());
    for (std::size_t i = 0; i < rows; ++i) {
      const std::size_t id = first + i;
      if (best.admits(rank_key(distances[i])) && !deleted_[id]) best.insert(id, distances[i]);
    }
  }
  return best.take_ranked();
}

void FlatIndex::score_block(VectorView query, double query_norm, std::size_t first,
                            std::size_t rows, double* out) const {
  const double* row_norms = norms_.empty() ? nullptr : norms_.data() + first;
  distances_rows_with_norms(metric_, query, query_norm, vectors_.data() + first * dim_, row_norms,
                            dim_, rows, out);
}

}  // namespace halqen
