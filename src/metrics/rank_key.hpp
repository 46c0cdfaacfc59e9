// Distances as unsigned keys whose integer order is the distance order:
// numbers ascending with -0.0 equal to +0.0, every NaN after every number and
// all NaNs equal. Ranking by (key, id) is then plain integer comparison.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>

namespace halqen {

using RankKey = std::uint64_t;

// Computed with masks rather than branches: searches call it where the sign
// and kind of a value are unpredictable.
inline RankKey rank_key(double distance) {
  constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
  constexpr std::uint64_t kInfinityBits = 0x7FF0000000000000;
  const auto bits = std::bit_cast<std::uint64_t>(distance);
  const std::uint64_t magnitude = bits & ~kSignBit;
  // -0.0 becomes +0.0.
  const std::uint64_t unsigned_zero = bits & (std::uint64_t{0} - (magnitude != 0 ? 1U : 0U));
  // Negative numbers: larger magnitude, smaller key; positive ones above them.
  const std::uint64_t flip =
      static_cast<std::uint64_t>(static_cast<std::int64_t>(unsigned_zero) >> 63) | kSignBit;
  const std::uint64_t nan_mask = std::uint64_t{0} - (magnitude > kInfinityBits ? 1U : 0U);
  return (unsigned_zero ^ flip) | nan_mask;
}

}  // namespace halqen
