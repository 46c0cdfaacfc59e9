// The random level of a new graph node.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "random/random.hpp"

namespace halqen {

// e^-j for j = 0, 1, ... below `layers`, stopping before the first weight
// that underflows to exactly 0 (j around 746). Later weights would all be 0,
// and adding 0 changes neither the total nor any prefix-sum comparison, so
// draws are the same as with all `layers` weights, while a huge `layers`
// costs nothing.
std::vector<double> make_level_weights(std::uint64_t layers);

// The weights added from index 0 upward.
double level_weight_total(std::span<const double> weights);

// Draws one level, consuming exactly one word of `source`: t = total * u, the
// level is the first index whose prefix sum exceeds t, else `layers` - 1
// (unsigned: the largest value when `layers` is 0).
std::uint64_t draw_level(std::span<const double> weights, double total, std::uint64_t layers,
                         RandomSource& source);

}  // namespace halqen
