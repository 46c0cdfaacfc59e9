#include "engine/level_draw.hpp"

#include <algorithm>
#include <cmath>

namespace halqen::graph {
namespace {

// SplitMix64's finaliser: every input bit reaches every output bit.
std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

constexpr int kMantissaBits = 53;
constexpr int kWordBits = 64;

// The level of u, by the same arithmetic for a draw and for its bound.
unsigned level_of(double u, std::uint64_t m) {
  const double level = -std::log(u) / std::log(static_cast<double>(m));
  return static_cast<unsigned>(std::min(level, static_cast<double>(kMaxLevel)));
}

}  // namespace

unsigned draw_level(std::uint64_t seed, std::uint64_t number, std::uint64_t m) {
  const std::uint64_t word = mix(mix(seed) ^ number);
  // (0, 1]: the top 53 bits plus one, so the logarithm is finite.
  const double u =
      std::ldexp(static_cast<double>((word >> (kWordBits - kMantissaBits)) + 1), -kMantissaBits);
  return level_of(u, m);
}

unsigned highest_drawn_level(std::uint64_t m) {
  return level_of(std::ldexp(1.0, -kMantissaBits), m);
}

}  // namespace halqen::graph
