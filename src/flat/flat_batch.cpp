#include "flat/flat_batch.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "flat/top_k.hpp"
#include "metrics/rank_key.hpp"

namespace halqen {
namespace {

constexpr std::size_t kQueriesPerBlock = 128;
constexpr std::size_t kRangeBytes = std::size_t{32} << 20;
// Stored vectors per scoring call: their distances to a full block stay in
// the second-level cache until they are selected.
constexpr std::size_t kRunRows = 256;

std::size_t ceil_div(std::size_t a, std::size_t b) {
  return a / b + (a % b != 0 ? 1 : 0);
}

bool ranks_before(const SearchHit& a, const SearchHit& b) {
  const RankKey key_a = rank_key(a.distance);
  const RankKey key_b = rank_key(b.distance);
  return key_a != key_b ? key_a < key_b : a.id < b.id;
}

}  // namespace

FlatBatch::Shape FlatBatch::Shape::for_dim(std::uint64_t dim) {
  const std::uint64_t rows = kRangeBytes / sizeof(double) / std::max<std::uint64_t>(dim, 1);
  return {kQueriesPerBlock, static_cast<std::size_t>(std::max<std::uint64_t>(rows, 1))};
}

FlatBatch::FlatBatch(const FlatIndex& index, std::span<const VectorView> queries, std::uint64_t k)
    : FlatBatch(index, queries, k, Shape::for_dim(index.dim())) {}

FlatBatch::FlatBatch(const FlatIndex& index, std::span<const VectorView> queries, std::uint64_t k,
                     Shape shape)
    : index_(index), query_count_(queries.size()), k_(k), shape_(shape) {
  if (index.vectors().empty()) {
    throw std::invalid_argument("batch search of an index that stores no components");
  }
  if (shape.queries_per_block == 0 || shape.range_rows == 0) {
    throw std::invalid_argument("batch shape of " + std::to_string(shape.queries_per_block) +
                                " queries per block and " + std::to_string(shape.range_rows) +
                                " rows per range");
  }
  for (std::size_t j = 0; j < queries.size(); ++j) {
    if (queries[j].size() != index.dim()) {
      throw std::invalid_argument("query " + std::to_string(j) + " has length " +
                                  std::to_string(queries[j].size()) + ", index dimension " +
                                  std::to_string(index.dim()));
    }
  }
  range_count_ = ceil_div(index.size(), shape.range_rows);
  // With k = 0 every answer is empty and there is nothing to score.
  const std::size_t blocks = k == 0 ? 0 : ceil_div(queries.size(), shape.queries_per_block);
  blocks_.reserve(blocks);
  for (std::size_t first = 0; blocks_.size() < blocks; first += shape.queries_per_block) {
    blocks_.emplace_back(index.metric(), queries.subspan(first, std::min(shape.queries_per_block,
                                                                         queries.size() - first)));
  }
  kept_.resize(blocks * range_count_);
}

FlatBatch::Span FlatBatch::block_of(std::size_t piece) const {
  const std::size_t first = piece / range_count_ * shape_.queries_per_block;
  return {first, std::min(shape_.queries_per_block, query_count_ - first)};
}

FlatBatch::Span FlatBatch::range_of(std::size_t piece) const {
  const std::size_t first = piece % range_count_ * shape_.range_rows;
  return {first, std::min<std::size_t>(shape_.range_rows, index_.size() - first)};
}

void FlatBatch::run_piece(std::size_t piece) {
  if (piece >= kept_.size()) {
    throw std::out_of_range("piece " + std::to_string(piece) + " of " +
                            std::to_string(kept_.size()));
  }
  const Span block = block_of(piece);
  const Span range = range_of(piece);
  std::vector<TopK> best;
  best.reserve(block.count);
  for (std::size_t j = 0; j < block.count; ++j) {
    best.emplace_back(std::min<std::uint64_t>(k_, range.count));
  }
  std::vector<double> distances(block.count * std::min(kRunRows, range.count));
  const std::size_t end = range.first + range.count;
  for (std::size_t first = range.first; first < end; first += kRunRows) {
    const std::size_t rows = std::min(kRunRows, end - first);
    score_run(piece, first, rows, distances.data());
    for (std::size_t j = 0; j < block.count; ++j) {
      best[j].offer_run(distances.data() + j * rows, rows, first,
                        [&](std::uint64_t id) { return index_.deleted_[id]; });
    }
  }
  std::vector<std::vector<SearchHit>>& slot = kept_[piece];
  slot.reserve(block.count);
  for (TopK& selection : best) slot.push_back(selection.take_ranked());
  pieces_run_.fetch_add(1);
}

// out[j * rows + i] = the distance of query j of the piece's block to stored
// vector first_row + i: the block kernel, with the stored cosine norms.
void FlatBatch::score_run(std::size_t piece, std::size_t first_row, std::size_t rows,
                          double* out) const {
  const double* row_norms = index_.norms_.empty() ? nullptr : index_.norms_.data() + first_row;
  blocks_[piece / range_count_].distances(index_.vectors_.data() + first_row * index_.dim_,
                                          row_norms, index_.dim_, rows, out);
}

std::vector<std::vector<SearchHit>> FlatBatch::take_results() {
  if (pieces_run_.load() != kept_.size()) {
    throw std::logic_error("batch results taken after " + std::to_string(pieces_run_.load()) +
                           " of " + std::to_string(kept_.size()) + " pieces ran");
  }
  std::vector<std::vector<SearchHit>> results(query_count_);
  if (!kept_.empty()) {
    for (std::size_t query = 0; query < query_count_; ++query) results[query] = merged(query);
  }
  kept_.clear();
  return results;
}

// The query's kept hits of every range, in rank order, cut to k.
std::vector<SearchHit> FlatBatch::merged(std::size_t query) {
  const std::size_t block = query / shape_.queries_per_block;
  const std::size_t position = query % shape_.queries_per_block;
  auto kept_in = [&](std::size_t range) -> std::vector<SearchHit>& {
    return kept_[block * range_count_ + range][position];
  };
  if (range_count_ == 1) return std::move(kept_in(0));
  std::vector<SearchHit> all;
  for (std::size_t range = 0; range < range_count_; ++range) {
    const std::vector<SearchHit>& part = kept_in(range);
    all.insert(all.end(), part.begin(), part.end());
  }
  std::sort(all.begin(), all.end(), ranks_before);
  all.resize(std::min<std::uint64_t>(k_, all.size()));
  return all;
}

}  // namespace halqen
