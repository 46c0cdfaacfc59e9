// Vectors handed over whole to a bulk insertion.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace halqen {

// `count` vectors of one length, owned and stored one after another: vector
// i occupies values[i * length, (i + 1) * length). With length 0 the values
// are empty and only the count says how many vectors there are. Handing the
// buffer over lets an empty index take it as its own store instead of
// copying it.
struct VectorBlock {
  std::vector<double> values;
  std::uint64_t count = 0;

  // Vector `i` of a block whose vectors have `length` numbers.
  std::span<const double> row(std::uint64_t i, std::uint64_t length) const {
    return std::span<const double>(values).subspan(i * length, length);
  }
};

}  // namespace halqen
