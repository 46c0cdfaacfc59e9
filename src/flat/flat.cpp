#include "flat/flat.hpp"

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <string>

#include "common/checked_product.hpp"
#include "common/grow.hpp"
#include "flat/top_k.hpp"
#include "metrics/batch.hpp"
#include "metrics/metric_table.hpp"

namespace halqen {
namespace {

// Stored vectors scored per batched call. The kernels read each call's rows
// as a few long sequential streams, so a block must span megabytes for the
// streams to be long, while its distances (128 KiB) stay in L2.
constexpr std::size_t kScoreBlockRows = 16384;

// Numbers a bulk insertion copies (or measures) between two questions to its
// interrupt: 2 MiB, well under a millisecond of work.
constexpr std::uint64_t kInsertChunkComponents = std::uint64_t{1} << 18;

void require_dimension(const char* what, std::size_t length, std::uint64_t dim) {
  if (length != dim) {
    throw std::invalid_argument(std::string(what) + " length " + std::to_string(length) +
                                " does not match index dimension " + std::to_string(dim));
  }
}

}  // namespace

// metric_row rejects a value outside the enumeration.
FlatIndex::FlatIndex(std::uint64_t dim, MetricKind metric)
    : dim_(dim), metric_(metric), keeps_norms_(metric_row(metric).batch.uses_norms()) {}

void FlatIndex::insert(VectorView vector) {
  require_dimension("Vector", vector.size(), dim_);
  const std::size_t old_components = vectors_.size();
  try {
    vectors_.insert(vectors_.end(), vector.begin(), vector.end());
    if (keeps_norms_) norms_.push_back(squared_norm(vector));
    deleted_.push_back(false);
  } catch (...) {
    vectors_.resize(old_components);
    norms_.resize(count_);
    throw;
  }
  ++count_;
}

std::expected<void, Interrupted> FlatIndex::insert_block(VectorBlock block, Interrupt& interrupt) {
  const std::optional<std::uint64_t> components = checked_product(block.count, dim_);
  if (!components || *components != block.values.size()) {
    throw std::invalid_argument("block of " + std::to_string(block.count) + " vectors with " +
                                std::to_string(block.values.size()) +
                                " numbers for an index of dimension " + std::to_string(dim_));
  }
  if (block.count == 0) return {};
  reserve_for_block(block);
  if (count_ == 0) return take_block(std::move(block), interrupt);
  const std::uint64_t chunk = rows_per_chunk(block.count);
  for (std::uint64_t first = 0; first < block.count; first += chunk) {
    if (interrupt.requested()) return std::unexpected(Interrupted{});
    append_rows(block, first, std::min(chunk, block.count - first));
  }
  return {};
}

// Everything that allocates, so that appending afterwards cannot fail. A
// buffer the index takes needs no room of its own.
void FlatIndex::reserve_for_block(const VectorBlock& block) {
  if (count_ != 0) reserve_for_append(vectors_, block.values.size());
  if (keeps_norms_) reserve_for_append(norms_, block.count);
  deleted_.reserve(deleted_.size() + block.count);
}

std::expected<void, Interrupted> FlatIndex::take_block(VectorBlock block, Interrupt& interrupt) {
  const std::uint64_t chunk = rows_per_chunk(block.count);
  if (keeps_norms_) {
    for (std::uint64_t first = 0; first < block.count; first += chunk) {
      if (interrupt.requested()) {
        norms_.clear();
        return std::unexpected(Interrupted{});
      }
      const std::uint64_t end = std::min(block.count, first + chunk);
      for (std::uint64_t id = first; id < end; ++id) {
        norms_.push_back(squared_norm(block.row(id, dim_)));
      }
    }
  }
  deleted_.insert(deleted_.end(), block.count, false);
  vectors_ = std::move(block.values);
  count_ = block.count;
  return {};
}

void FlatIndex::append_rows(const VectorBlock& block, std::uint64_t first, std::uint64_t rows) {
  const auto values = block.values.begin() + static_cast<std::ptrdiff_t>(first * dim_);
  vectors_.insert(vectors_.end(), values, values + static_cast<std::ptrdiff_t>(rows * dim_));
  if (keeps_norms_) {
    for (std::uint64_t id = first; id < first + rows; ++id) {
      norms_.push_back(squared_norm(block.row(id, dim_)));
    }
  }
  deleted_.insert(deleted_.end(), rows, false);
  count_ += rows;
}

std::uint64_t FlatIndex::heap_bytes() const {
  return (vectors_.capacity() + norms_.capacity()) * sizeof(double) +
         deleted_.capacity() / CHAR_BIT;
}

std::uint64_t FlatIndex::rows_per_chunk(std::uint64_t count) const {
  return dim_ == 0 ? count : std::max<std::uint64_t>(1, kInsertChunkComponents / dim_);
}

std::expected<std::vector<SearchHit>, FlatError> FlatIndex::search(VectorView query,
                                                                   std::uint64_t k) const {
  require_dimension("Query", query.size(), dim_);
  if (vectors_.empty()) return std::unexpected(FlatError::EmptyIndex);
  if (k == 0) return std::vector<SearchHit>{};
  const std::size_t count = count_;
  TopK best(std::min<std::uint64_t>(k, count));
  const double query_norm = keeps_norms_ ? squared_norm(query) : 0.0;
  std::vector<double> distances(std::min(kScoreBlockRows, count));
  for (std::size_t first = 0; first < count; first += kScoreBlockRows) {
    const std::size_t rows = std::min(kScoreBlockRows, count - first);
    score_block(query, query_norm, first, rows, distances.data());
    best.offer_run(distances.data(), rows, first, [&](std::uint64_t id) { return deleted_[id]; });
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
