// The layer a node reaches, decided by the seed and its insertion number
// alone, so that it never depends on threads or on the order work is done.
#pragma once

#include <cstdint>

namespace halqen::graph {

// No node rises above this layer; reaching it by chance with m >= 2 takes
// odds below 2^-24.
inline constexpr unsigned kMaxLevel = 24;

// floor(-ln(u) / ln(m)) for u in (0, 1] drawn from (seed, number), capped at
// kMaxLevel. Precondition: m >= 2.
unsigned draw_level(std::uint64_t seed, std::uint64_t number, std::uint64_t m);

// The highest level draw_level can return for m: the one of the smallest u.
unsigned highest_drawn_level(std::uint64_t m);

}  // namespace halqen::graph
