// k-means, the same centroids for the same rows, count, seed and rounds on
// any number of threads: the rows are assigned in pieces that may run at
// once, and everything else (the first centroids, the means, the clusters
// left empty) is decided in row order on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "metrics/metrics.hpp"

namespace halqen::codes {

// Runs each(0), ..., each(pieces - 1), perhaps at once on several threads.
using KMeansLoop =
    std::function<void(std::size_t pieces, const std::function<void(std::size_t)>& each)>;

struct KMeansParams {
  std::size_t clusters = 1;
  std::uint64_t seed = 0;
  std::size_t rounds = 10;
};

struct KMeansResult {
  std::vector<double> centroids;          // clusters * dim
  std::vector<std::uint32_t> assignment;  // per row, its nearest centroid
};

// Precondition: 1 <= params.clusters <= rows.size() / dim, every number
// finite. The first centroids are distinct rows drawn by the seed; a
// cluster left empty takes half of the largest one, in every round but
// the last.
KMeansResult kmeans(std::span<const double> rows, std::size_t dim, const KMeansParams& params,
                    const KMeansLoop& loop = {});

// Per row, the centroid nearest to it in euclidean distance (or of the
// largest inner product), as the metrics' blocked kernel gives it (the
// lowest of equals).
std::vector<std::uint32_t> nearest_centroids(std::span<const double> rows, std::size_t dim,
                                             std::span<const double> centroids,
                                             const KMeansLoop& loop = {},
                                             MetricKind metric = MetricKind::Euclidean);

// Squared euclidean distance, added in index order: a subspace's few
// numbers (the centroids themselves are assigned by the metrics' kernels).
inline double squared_distance(const double* a, const double* b, std::size_t dim) {
  double sum = 0.0;
  for (std::size_t d = 0; d < dim; ++d) {
    const double diff = a[d] - b[d];
    sum += diff * diff;
  }
  return sum;
}

}  // namespace halqen::codes
