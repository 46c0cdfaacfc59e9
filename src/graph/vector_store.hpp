// The stored vectors of a graph index, by slot, with what the metric keeps
// beside them (the squared norms, for the cosine). Rows are kept as float32
// while every number stored is a float32 value, which loses nothing: a
// float32 row widens to exactly the float64 row, so every distance keeps
// its bits. The first number that is not such a value widens the store to
// float64, once and for good. A store may also be held to either width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/rows_view.hpp"
#include "engine/search_door.hpp"
#include "graph/graph_params.hpp"
#include "metrics/metrics.hpp"

namespace halqen::graph {

// Whether every number is a float32 value (widening it back gives it).
bool float32_values(std::span<const double> values);

class VectorStore {
 public:
  VectorStore(std::size_t dim, MetricKind metric, RowStorage storage);

  // Makes the store float64 where `values` hold a number float32 rows
  // cannot keep (adaptive storage only): the wide copy is made while `door`
  // lets searches read the narrow rows, and takes their place once they
  // have left.
  void widen_for(std::span<const double> values, SearchDoor& door);
  // Float64 from now on, whatever comes (a copy read back as it was).
  void widen();
  // Appends `count` rows of dim numbers, which fit the store's width
  // (widen_for). Throws std::bad_alloc with the store unchanged.
  void append(std::span<const double> rows, std::size_t count);
  // As append, but an empty float64 store adopts the buffer rather than
  // copying it.
  void append(std::vector<double>&& rows, std::size_t count);
  // An empty store takes every slot's rows as read back, in its width (the
  // other vector empty): those of the slots flagged in `free` are cleared.
  void adopt(std::vector<double>&& wide, std::vector<float>&& narrow, std::size_t count,
             std::span<const std::uint8_t> free);
  // An empty store takes `count` slots' rows where they lie (a mapped file),
  // in its width, with their squared norms where the metric keeps them,
  // kept alive by `owner`: read-only from then on, nothing of them read now.
  void map(const void* rows, const double* norms, std::size_t count,
           std::shared_ptr<const void> owner);
  bool mapped() const { return mapping_ != nullptr; }
  // Room for `rows` rows in all, reserved but not touched.
  void reserve(std::size_t rows);
  // Room for `count` more rows, as append() would make it; where that
  // moves the rows, the copy is made while `door` lets searches read the
  // rows where they are, and takes their place once the searches have left.
  void make_room(std::size_t count, SearchDoor& door);
  // Keeps the first `count` rows (what an interrupted addition leaves).
  void truncate(std::size_t count);
  // Writes a row in place of a free slot's (precondition: slot < size(),
  // and the row fits the store's width).
  void set_row(std::uint32_t slot, std::span<const double> row);
  // Zeroes a removed vector's row, so nothing of it stays behind.
  void clear_row(std::uint32_t slot);

  std::size_t size() const { return count_; }
  std::size_t dim() const { return dim_; }
  MetricKind metric() const { return metric_; }
  RowStorage storage() const { return storage_; }
  // Whether the rows are kept as float32 numbers.
  bool narrow() const { return !wide_; }
  bool keeps_norms() const;

  RowsView rows() const;
  // The slot's row as float64: the stored numbers, or widened into scratch.
  std::span<const double> row(std::uint32_t slot, std::vector<double>& scratch) const {
    return rows().row(slot, scratch);
  }
  void copy_row(std::uint32_t slot, double* out) const { rows().copy_row(slot, out); }
  // Where the slot's row starts in memory, and its bytes (for prefetching).
  const void* row_address(std::uint32_t slot) const;
  std::size_t row_bytes() const { return dim_ * (wide_ ? sizeof(double) : sizeof(float)); }
  // squared_norm of the slot's row; only where keeps_norms().
  double norm(std::uint32_t slot) const { return norms()[slot]; }
  // Every slot's squared norm; empty unless keeps_norms().
  std::span<const double> norms() const {
    return mapped_norms_ != nullptr ? std::span<const double>(mapped_norms_, count_)
                                    : std::span<const double>(norms_);
  }
  std::uint64_t heap_bytes() const {
    return (wide_values_.capacity() + norms_.capacity()) * sizeof(double) +
           narrow_values_.capacity() * sizeof(float);
  }

 private:
  // The first row's numbers, in the store's width.
  const void* numbers() const;

  std::size_t dim_;
  MetricKind metric_;
  RowStorage storage_;
  bool wide_;
  std::size_t count_ = 0;
  std::vector<double> wide_values_;
  std::vector<float> narrow_values_;
  std::vector<double> norms_;
  // Set for rows used where they lie (map): the vectors above stay empty.
  std::shared_ptr<const void> mapping_;
  const void* mapped_rows_ = nullptr;
  const double* mapped_norms_ = nullptr;
};

}  // namespace halqen::graph
