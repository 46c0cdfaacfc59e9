// The stored vectors of a graph index, by slot, with what the metric keeps
// beside them (the squared norms, for the cosine).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/search_door.hpp"
#include "metrics/metrics.hpp"

namespace halqen::graph {

class VectorStore {
 public:
  VectorStore(std::size_t dim, MetricKind metric) : dim_(dim), metric_(metric) {}

  // Appends `count` rows of dim numbers. An empty store adopts the buffer
  // rather than copying it. Throws std::bad_alloc with the store unchanged.
  void append(std::vector<double>&& rows, std::size_t count);
  // Room for `count` more rows, as append() would make it; where that
  // moves the rows, the copy is made while `door` lets searches read the
  // rows where they are, and takes their place once the searches have left.
  void make_room(std::size_t count, SearchDoor& door);
  // Keeps the first `count` rows (what an interrupted addition leaves).
  void truncate(std::size_t count);
  // Writes a row in place of a free slot's (precondition: slot < size()).
  void set_row(std::uint32_t slot, std::span<const double> row);
  // Zeroes a removed vector's row, so nothing of it stays behind.
  void clear_row(std::uint32_t slot);

  std::size_t size() const { return count_; }
  std::size_t dim() const { return dim_; }
  MetricKind metric() const { return metric_; }
  bool keeps_norms() const;

  const double* data() const { return values_.data(); }
  std::span<const double> row(std::uint32_t slot) const {
    return {values_.data() + static_cast<std::size_t>(slot) * dim_, dim_};
  }
  // squared_norm(row(slot)); only where keeps_norms().
  double norm(std::uint32_t slot) const { return norms_[slot]; }
  // Every slot's squared norm; empty unless keeps_norms().
  std::span<const double> norms() const { return norms_; }
  std::span<const double> values() const { return {values_.data(), count_ * dim_}; }
  std::uint64_t heap_bytes() const {
    return (values_.capacity() + norms_.capacity()) * sizeof(double);
  }

 private:
  std::size_t dim_;
  MetricKind metric_;
  std::size_t count_ = 0;
  std::vector<double> values_;
  std::vector<double> norms_;
};

}  // namespace halqen::graph
