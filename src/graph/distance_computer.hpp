// What a walk asks for: the distances from one query to stored slots, as
// walk keys (smaller is nearer). This computer reads the full float64 rows;
// one that reads compact codes can take its place without changing the walk.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "graph/vector_store.hpp"

namespace halqen::graph {

// The metric's value as a walk key: a distance as it is, a similarity
// negated (most similar first); NaN last. -(-x) == x, so a similarity comes
// back bit for bit.
class KeyOrder {
 public:
  explicit KeyOrder(MetricKind metric) : negate_(metric != MetricKind::Euclidean) {}
  double key(double value) const {
    if (value != value) return std::numeric_limits<double>::infinity();
    return negate_ ? -value : value;
  }
  double value(double key) const { return negate_ ? -key : key; }

 private:
  bool negate_;
};

class ExactDistances {
 public:
  static constexpr std::size_t kPrefetchLines = 4;
  static constexpr std::size_t kDoublesPerLine = 8;

  // `query` must outlive the computer; it has store.dim() components.
  ExactDistances(const VectorStore& store, std::span<const double> query);
  // From a stored vector, whose norm the store keeps.
  ExactDistances(const VectorStore& store, std::uint32_t slot);

  // keys[i] = walk key of slot slots[i], i < count.
  void keys(const std::uint32_t* slots, std::size_t count, double* keys);
  // values[i] = the metric's value for slot slots[i], i < count.
  void values(const std::uint32_t* slots, std::size_t count, double* values);
  const KeyOrder& order() const { return order_; }
  double key(std::uint32_t slot);
  // Asks the memory for the first lines of a row that a later keys() call
  // reads, so that the rows of a hop start arriving together; the hardware
  // prefetcher follows each row from there.
  void prefetch(std::uint32_t slot) const {
    const double* row = store_.row(slot).data();
    const std::size_t lines = std::min(kPrefetchLines, prefetch_lines_);
    for (std::size_t line = 0; line < lines; ++line) {
      __builtin_prefetch(row + line * kDoublesPerLine);
    }
  }

 private:
  const VectorStore& store_;
  std::span<const double> query_;
  double query_norm_ = 0.0;
  KeyOrder order_;
  std::vector<double> gathered_norms_;
  std::size_t prefetch_lines_;
};

}  // namespace halqen::graph
