// Exact search for many queries at once, cut into pieces that may run on any
// threads.
//
// The queries are taken a block at a time and the stored vectors a range at
// a time. A piece scores one block against one range, reading each stored
// vector of the range once for the whole block, and keeps for each query of
// the block the best k of the range in rank order. Rank order (distance
// order, then the smaller id) is total, so the best k of the whole index are
// the best k among those the ranges kept: take_results merges them into
// exactly what FlatIndex::search returns, bit for bit.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/search_hit.hpp"
#include "flat/flat.hpp"
#include "metrics/block.hpp"
#include "metrics/metrics.hpp"

namespace halqen {

class FlatBatch {
 public:
  // How the work is cut: queries per block, stored vectors per range.
  struct Shape {
    std::size_t queries_per_block;
    std::size_t range_rows;

    // Blocks large enough that arithmetic, not the memory read, bounds a
    // piece; ranges of tens of milliseconds of work, so that a stop request
    // is honoured soon and the pieces balance over the threads.
    static Shape for_dim(std::uint64_t dim);
  };

  // Preconditions (std::invalid_argument): every query has index.dim()
  // components, the index stores components (search's EmptyIndex is the
  // caller's to report first), and both sizes of `shape` are at least 1.
  // The queries are copied into blocks for the block kernel; the index
  // must stay unchanged until take_results.
  FlatBatch(const FlatIndex& index, std::span<const VectorView> queries, std::uint64_t k);
  FlatBatch(const FlatIndex& index, std::span<const VectorView> queries, std::uint64_t k,
            Shape shape);

  std::size_t piece_count() const { return kept_.size(); }

  // Scores piece `piece` (< piece_count(), else std::out_of_range). Distinct
  // pieces may run at the same time on different threads; each runs once.
  void run_piece(std::size_t piece);

  // For each query in order, what index.search(query, k) returns.
  // Precondition: every piece ran (std::logic_error otherwise).
  std::vector<std::vector<SearchHit>> take_results();

 private:
  // The queries [first, first + count) of one block.
  struct Span {
    std::size_t first;
    std::size_t count;
  };
  Span block_of(std::size_t piece) const;
  Span range_of(std::size_t piece) const;
  void score_run(std::size_t piece, std::size_t first_row, std::size_t rows, double* out) const;
  std::vector<SearchHit> merged(std::size_t query);

  const FlatIndex& index_;
  std::size_t query_count_;
  // Each block's queries, prepared for the block kernel.
  std::vector<QueryBlock> blocks_;
  std::uint64_t k_;
  Shape shape_;
  std::size_t range_count_ = 0;
  // One slot per piece, block-major: for each query of the piece's block,
  // its best k in the piece's range. Each slot is written by its piece only.
  std::vector<std::vector<std::vector<SearchHit>>> kept_;
  std::atomic<std::size_t> pieces_run_{0};
};

}  // namespace halqen
