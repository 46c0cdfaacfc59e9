// The distances from one query, or one stored vector, to stored slots, read
// from the full rows (CodeDistances reads compact codes instead). Rows kept
// as float32 are widened as the kernels read them, which is exact: the same
// bits either way.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/distance_computer.hpp"
#include "graph/vector_store.hpp"

namespace halqen::graph {

class ExactDistances final : public DistanceComputer {
 public:
  static constexpr std::size_t kPrefetchLines = 4;
  static constexpr std::size_t kLineBytes = 64;

  // `query` must outlive the computer; it has store.dim() components.
  ExactDistances(const VectorStore& store, std::span<const double> query);
  // From a stored vector, whose norm the store keeps.
  ExactDistances(const VectorStore& store, std::uint32_t slot);
  // The query may point into the computer itself.
  ExactDistances(const ExactDistances&) = delete;
  ExactDistances& operator=(const ExactDistances&) = delete;

  // keys[i] = walk key of slot slots[i], i < count.
  void keys(const std::uint32_t* slots, std::size_t count, double* keys) override;
  // values[i] = the metric's value for slot slots[i], i < count.
  void values(const std::uint32_t* slots, std::size_t count, double* values);
  const KeyOrder& order() const { return order_; }
  double key(std::uint32_t slot);
  // Asks the memory for the first lines of a row that a later keys() call
  // reads, so that the rows of a hop start arriving together; the hardware
  // prefetcher follows each row from there.
  void prefetch(std::uint32_t slot) const override {
    const auto* row = static_cast<const char*>(store_.row_address(slot));
    const std::size_t lines = std::min(kPrefetchLines, prefetch_lines_);
    for (std::size_t line = 0; line < lines; ++line) __builtin_prefetch(row + line * kLineBytes);
  }

 private:
  const VectorStore& store_;
  // A stored vector's own numbers, where the store keeps them as float32.
  std::vector<double> own_query_;
  std::span<const double> query_;
  double query_norm_ = 0.0;
  KeyOrder order_;
  std::vector<double> gathered_norms_;
  std::size_t prefetch_lines_;
};

}  // namespace halqen::graph
