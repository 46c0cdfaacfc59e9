#include "hnsw/level_draw.hpp"

#include <cmath>

namespace halqen {

std::vector<double> make_level_weights(std::uint64_t layers) {
  std::vector<double> weights;
  for (std::uint64_t j = 0; j < layers; ++j) {
    const double weight = std::exp(-static_cast<double>(j));
    if (weight == 0.0) {
      break;
    }
    weights.push_back(weight);
  }
  return weights;
}

double level_weight_total(std::span<const double> weights) {
  double total = 0.0;
  for (const double weight : weights) {
    total += weight;
  }
  return total;
}

std::uint64_t draw_level(std::span<const double> weights, double total, std::uint64_t layers,
                         RandomSource& source) {
  const double threshold = total * uniform_double(source);
  double prefix = 0.0;
  for (std::size_t level = 0; level < weights.size(); ++level) {
    prefix += weights[level];
    if (prefix > threshold) {
      return level;
    }
  }
  return layers - 1;
}

}  // namespace halqen
