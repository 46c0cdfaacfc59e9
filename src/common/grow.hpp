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

// As reserve_for_append, for the many small arrays that together hold most of
// an index's memory: growing by a sixteenth (plus a few elements) bounds the
// unused capacity to about 6% rather than 100%, for about sixteen element
// copies per element stored over the array's life.
template <typename T>
void reserve_for_append_tight(std::vector<T>& values, std::size_t extra) {
  constexpr std::size_t kGrowthDivisor = 16;
  constexpr std::size_t kMinimumGrowth = 8;
  const std::size_t needed = values.size() + extra;
  if (needed > values.capacity()) {
    const std::size_t capacity = values.capacity();
    values.reserve(std::max(needed, capacity + capacity / kGrowthDivisor + kMinimumGrowth));
  }
}

}  // namespace halqen
