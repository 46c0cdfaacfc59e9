// Products and sums of counts read from outside, which must not wrap.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

namespace halqen {

// a * b, or nullopt when it exceeds 64 bits.
constexpr std::optional<std::uint64_t> checked_product(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) {
    return std::nullopt;
  }
  return a * b;
}

// a + b, or nullopt when it exceeds 64 bits.
constexpr std::optional<std::uint64_t> checked_sum(std::uint64_t a, std::uint64_t b) {
  if (b > std::numeric_limits<std::uint64_t>::max() - a) return std::nullopt;
  return a + b;
}

}  // namespace halqen
