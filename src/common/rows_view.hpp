// A read-only view of stored rows, kept as float64 or as float32 values
// (where every component is a float32 value, so that nothing is lost). A
// float32 row is read widened into the caller's scratch: widening is exact,
// so every distance from it has the bits the float64 row would give.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

namespace halqen {

class RowsView {
 public:
  RowsView() = default;
  RowsView(std::span<const double> values, std::size_t dim, std::size_t count)
      : wide_(values.data()), dim_(dim), count_(count) {}
  RowsView(std::span<const float> values, std::size_t dim, std::size_t count)
      : narrow_(values.data()), dim_(dim), count_(count) {}

  // Rows of `wide` doubles, or else floats, from `numbers` (rows where
  // they lie, in the width a flag gives).
  static RowsView over(const void* numbers, bool wide, std::size_t dim, std::size_t count) {
    if (wide) return {std::span(static_cast<const double*>(numbers), dim * count), dim, count};
    return {std::span(static_cast<const float*>(numbers), dim * count), dim, count};
  }

  std::size_t count() const { return count_; }
  std::size_t dim() const { return dim_; }
  bool narrow() const { return narrow_ != nullptr; }

  // Row i's numbers as float64: the stored ones, or the float32 ones
  // widened into `scratch` (which the result then points into).
  std::span<const double> row(std::size_t i, std::vector<double>& scratch) const {
    if (narrow_ == nullptr) return {wide_ + i * dim_, dim_};
    const float* first = narrow_ + i * dim_;
    scratch.assign(first, first + dim_);
    return scratch;
  }
  // Row i into `out` (dim numbers), widened where stored as float32.
  void copy_row(std::size_t i, double* out) const {
    if (narrow_ == nullptr) {
      std::copy_n(wide_ + i * dim_, dim_, out);
    } else {
      std::copy_n(narrow_ + i * dim_, dim_, out);
    }
  }
  // The first `rows` rows.
  RowsView first(std::size_t rows) const {
    RowsView view = *this;
    view.count_ = std::min(rows, count_);
    return view;
  }
  // Rows [begin, end) (precondition: begin <= end <= count()).
  RowsView slice(std::size_t begin, std::size_t end) const {
    RowsView view = *this;
    if (wide_ != nullptr) view.wide_ = wide_ + begin * dim_;
    if (narrow_ != nullptr) view.narrow_ = narrow_ + begin * dim_;
    view.count_ = end - begin;
    return view;
  }
  // Every stored number, in one of the two widths.
  std::span<const double> wide_values() const {
    return {wide_, narrow_ == nullptr && wide_ != nullptr ? count_ * dim_ : 0};
  }
  std::span<const float> narrow_values() const {
    return {narrow_, narrow_ != nullptr ? count_ * dim_ : 0};
  }

 private:
  const double* wide_ = nullptr;
  const float* narrow_ = nullptr;
  std::size_t dim_ = 0;
  std::size_t count_ = 0;
};

}  // namespace halqen
