#include "codes/product_quantizer.hpp"

#include <stdexcept>
#include <string>

namespace halqen::codes {

ProductQuantizer::ProductQuantizer(std::size_t dim, std::size_t subspaces)
    : dim_(dim), subspaces_(subspaces) {
  if (subspaces == 0 || subspaces > dim) {
    throw std::invalid_argument("ProductQuantizer: " + std::to_string(subspaces) +
                                " subspaces of " + std::to_string(dim) + " dimensions");
  }
}

void ProductQuantizer::train(std::span<const double> rows, std::uint64_t seed, std::size_t rounds,
                             const KMeansLoop& loop) {
  const std::size_t count = rows.size() / dim_;
  std::vector<double> trained(dim_ * kNibbleCentroids);
  std::vector<double> parts;
  for (std::size_t s = 0; s < subspaces_; ++s) {
    const std::size_t w = width(s);
    parts.resize(count * w);
    for (std::size_t row = 0; row < count; ++row) {
      const auto part = rows.subspan(row * dim_ + first(s), w);
      std::copy(part.begin(), part.end(), parts.begin() + row * w);
    }
    const KMeansResult found =
        kmeans(parts, w, {.clusters = kNibbleCentroids, .seed = seed + s, .rounds = rounds}, loop);
    std::copy(found.centroids.begin(), found.centroids.end(),
              trained.begin() + first(s) * kNibbleCentroids);
  }
  centroids_ = std::move(trained);
}

void ProductQuantizer::restore(std::vector<double> centroids) {
  if (centroids.size() != dim_ * kNibbleCentroids) {
    throw std::invalid_argument("ProductQuantizer::restore: " + std::to_string(centroids.size()) +
                                " numbers for " + std::to_string(dim_) + " dimensions");
  }
  centroids_ = std::move(centroids);
}

double ProductQuantizer::encode(std::span<const double> row, std::span<std::uint8_t> codes) const {
  double error = 0.0;
  for (std::size_t s = 0; s < subspaces_; ++s) {
    const double* part = row.data() + first(s);
    double best = squared_distance(part, centroid(s, 0), width(s));
    codes[s] = 0;
    for (std::size_t c = 1; c < kNibbleCentroids; ++c) {
      const double key = squared_distance(part, centroid(s, c), width(s));
      if (key < best) {
        best = key;
        codes[s] = static_cast<std::uint8_t>(c);
      }
    }
    error += best;
  }
  return error;
}

std::vector<double> ProductQuantizer::query_distances(std::span<const double> query,
                                                      bool inner_product) const {
  std::vector<double> distances(subspaces_ * kNibbleCentroids);
  query_distances(query, inner_product, distances);
  return distances;
}

void ProductQuantizer::query_distances(std::span<const double> query, bool inner_product,
                                       std::span<double> distances) const {
  for (std::size_t s = 0; s < subspaces_; ++s) {
    const double* part = query.data() + first(s);
    for (std::size_t c = 0; c < kNibbleCentroids; ++c) {
      double key = 0.0;
      if (inner_product) {
        const double* centre = centroid(s, c);
        for (std::size_t d = 0; d < width(s); ++d) key -= part[d] * centre[d];
      } else {
        key = squared_distance(part, centroid(s, c), width(s));
      }
      distances[s * kNibbleCentroids + c] = key;
    }
  }
}

}  // namespace halqen::codes
