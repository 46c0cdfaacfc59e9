// Distances as unsigned keys whose integer order is the distance order:
// numbers ascending with -0.0 equal to +0.0, every NaN after every number and
// all NaNs equal. Ranking by (key, id) is then plain integer comparison.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace halqen {

using RankKey = std::uint64_t;

inline RankKey rank_key(double distance) {
  constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
  if (std::isnan(distance)) return std::numeric_limits<RankKey>::max();
  const double unsigned_zero = distance == 0.0 ? 0.0 : distance;
  const auto bits = std::bit_cast<std::uint64_t>(unsigned_zero);
  // Negative numbers: larger magnitude, smaller key; positive ones above them.
  return (bits & kSignBit) != 0 ? ~bits : bits | kSignBit;
}

}  // namespace halqen
