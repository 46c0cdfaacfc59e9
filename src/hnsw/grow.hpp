// Room-making for append-only arrays.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace halqen {

// Ensures `extra` more elements fit without reallocation, growing
// geometrically so repeated appends stay amortised O(1). Afterwards the
// appends cannot throw; this call throws std::bad_alloc (or length_error)
// with the vector unchanged.
template <typename T>
void reserve_for_append(std::vector<T>& values, std::size_t extra) {
  const std::size_t needed = values.size() + extra;
  if (needed > values.capacity()) {
    values.reserve(std::max(needed, values.capacity() * 2));
  }
}

}  // namespace halqen
