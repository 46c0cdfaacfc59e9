// Stored rows to and from float64 numbers one after another, for tests.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "common/rows_view.hpp"

namespace halqen {

inline RowsView rows_of(std::span<const double> values, std::size_t dim) {
  return RowsView(values, dim, dim == 0 ? 0 : values.size() / dim);
}

// Every row of `rows` as float64 numbers, one after another.
inline std::vector<double> widened(const RowsView& rows) {
  std::vector<double> values(rows.count() * rows.dim());
  for (std::size_t i = 0; i < rows.count(); ++i) rows.copy_row(i, values.data() + i * rows.dim());
  return values;
}

}  // namespace halqen
