#include "codes/kmeans.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "codes/centroid_groups.hpp"
#include "metrics/batch.hpp"
#include "metrics/block.hpp"
#include "random/chacha.hpp"

namespace halqen::codes {
namespace {

constexpr std::size_t kRowsPerPiece = 1024;
// Rows scored against every centroid at once: their distances stay in cache.
constexpr std::size_t kRowsPerRun = 64;
// How far apart the two halves of a split cluster start, relative to their
// centroid's magnitude.
constexpr double kSplitNudge = 1.0 / 1024;

void run(std::size_t pieces, const std::function<void(std::size_t)>& each, const KMeansLoop& loop) {
  if (loop) {
    loop(pieces, each);
  } else {
    for (std::size_t piece = 0; piece < pieces; ++piece) each(piece);
  }
}

// Words drawn from the seed alone: ChaCha's block `counter` of stream 0.
class SeededWords {
 public:
  explicit SeededWords(std::uint64_t seed) {
    key_[0] = static_cast<std::uint32_t>(seed);
    key_[1] = static_cast<std::uint32_t>(seed >> 32);
  }
  std::uint64_t next() {
    if (next_word_ + 1 >= block_.size()) {
      block_ = chacha_block(key_, counter_++, 0, kChaCha12Rounds);
      next_word_ = 0;
    }
    const std::uint64_t low = block_[next_word_];
    const std::uint64_t high = block_[next_word_ + 1];
    next_word_ += 2;
    return low | (high << 32);
  }
  // Uniform in [0, bound), bound >= 1 (by rejection, so without bias).
  std::uint64_t below(std::uint64_t bound) {
    const std::uint64_t limit = ~std::uint64_t{0} - ~std::uint64_t{0} % bound;
    std::uint64_t word = next();
    while (word >= limit) word = next();
    return word % bound;
  }

 private:
  ChaChaKey key_{};
  ChaChaBlock block_{};
  std::uint64_t counter_ = 0;
  std::size_t next_word_ = kChaChaBlockWords;
};

// `clusters` distinct rows, by a partial shuffle of the row numbers.
std::vector<double> drawn_rows(std::span<const double> rows, std::size_t dim, std::size_t clusters,
                               std::uint64_t seed) {
  const std::size_t count = rows.size() / dim;
  std::vector<std::uint32_t> order(count);
  std::iota(order.begin(), order.end(), 0U);
  SeededWords words(seed);
  std::vector<double> centroids;
  centroids.reserve(clusters * dim);
  for (std::size_t c = 0; c < clusters; ++c) {
    std::swap(order[c], order[c + words.below(count - c)]);
    const auto row = rows.subspan(std::size_t{order[c]} * dim, dim);
    centroids.insert(centroids.end(), row.begin(), row.end());
  }
  return centroids;
}

// The means of the rows assigned to each cluster, in row order; an empty
// cluster keeps its centroid and is counted 0.
std::vector<std::size_t> take_means(std::span<const double> rows, std::size_t dim,
                                    std::span<const std::uint32_t> assignment,
                                    std::vector<double>& centroids) {
  const std::size_t clusters = centroids.size() / dim;
  std::vector<std::size_t> members(clusters, 0);
  std::vector<double> sums(centroids.size(), 0.0);
  for (std::size_t row = 0; row < assignment.size(); ++row) {
    const std::size_t c = assignment[row];
    ++members[c];
    for (std::size_t d = 0; d < dim; ++d) sums[c * dim + d] += rows[row * dim + d];
  }
  for (std::size_t c = 0; c < clusters; ++c) {
    if (members[c] == 0) continue;
    for (std::size_t d = 0; d < dim; ++d) {
      centroids[c * dim + d] = sums[c * dim + d] / static_cast<double>(members[c]);
    }
  }
  return members;
}

// Each empty cluster, lowest first, takes half of the largest (the lowest
// of equals): the two centroids start a little apart along the centroid.
// Whether any did.
bool split_for_empty(std::vector<std::size_t>& members, std::vector<double>& centroids,
                     std::size_t dim) {
  bool split = false;
  for (std::size_t empty = 0; empty < members.size(); ++empty) {
    if (members[empty] != 0) continue;
    const auto largest =
        static_cast<std::size_t>(std::ranges::max_element(members) - members.begin());
    if (members[largest] < 2) break;
    split = true;
    for (std::size_t d = 0; d < dim; ++d) {
      const double x = centroids[largest * dim + d];
      centroids[empty * dim + d] = x * (1 + kSplitNudge) + kSplitNudge;
      centroids[largest * dim + d] = x * (1 - kSplitNudge) - kSplitNudge;
    }
    members[empty] = members[largest] / 2;
    members[largest] -= members[empty];
  }
  return split;
}

}  // namespace

namespace {

// Every row scored against every centroid.
std::vector<std::uint32_t> nearest_of_all(std::span<const double> rows, std::size_t dim,
                                          std::span<const double> centroids, const KMeansLoop& loop,
                                          MetricKind metric) {
  const std::size_t count = rows.size() / dim;
  const std::size_t clusters = centroids.size() / dim;
  // The centroids as a block of queries for the metrics' blocked kernel:
  // each stored row is read once per run against all of them.
  std::vector<VectorView> views;
  views.reserve(clusters);
  for (std::size_t c = 0; c < clusters; ++c) views.emplace_back(&centroids[c * dim], dim);
  const QueryBlock block(metric, views);
  // The inner product's nearest is its largest: its values are negated.
  const double sign = metric == MetricKind::InnerProduct ? -1.0 : 1.0;
  std::vector<std::uint32_t> nearest(count, 0);
  const std::size_t pieces = (count + kRowsPerPiece - 1) / kRowsPerPiece;
  run(
      pieces,
      [&](std::size_t piece) {
        std::vector<double> out(clusters * kRowsPerRun);
        std::array<double, kRowsPerRun> best;
        const std::size_t end = std::min(count, (piece + 1) * kRowsPerPiece);
        for (std::size_t first = piece * kRowsPerPiece; first < end; first += kRowsPerRun) {
          const std::size_t run_rows = std::min(kRowsPerRun, end - first);
          block.distances(&rows[first * dim], nullptr, dim, run_rows, out.data());
          // Centroid by centroid over the run's rows, so that the rows'
          // comparisons go in lanes; a later centroid wins only if nearer.
          std::uint32_t* chosen = &nearest[first];
          for (std::size_t i = 0; i < run_rows; ++i) best[i] = sign * out[i];
          for (std::size_t c = 1; c < clusters; ++c) {
            const double* values = &out[c * run_rows];
            for (std::size_t i = 0; i < run_rows; ++i) {
              const double key = sign * values[i];
              const bool nearer = key < best[i];
              best[i] = nearer ? key : best[i];
              chosen[i] = nearer ? static_cast<std::uint32_t>(c) : chosen[i];
            }
          }
        }
      },
      loop);
  return nearest;
}

}  // namespace

std::vector<std::uint32_t> nearest_centroids(std::span<const double> rows, std::size_t dim,
                                             std::span<const double> centroids,
                                             const KMeansLoop& loop, MetricKind metric) {
  if (metric != MetricKind::Euclidean || centroids.size() / dim < kGroupedFrom) {
    return nearest_of_all(rows, dim, centroids, loop, metric);
  }
  return CentroidGroups(centroids, dim, loop).nearest(rows, loop);
}

KMeansResult kmeans(std::span<const double> rows, std::size_t dim, const KMeansParams& params,
                    const KMeansLoop& loop) {
  if (dim == 0 || params.clusters == 0 || params.clusters > rows.size() / dim) {
    throw std::invalid_argument("kmeans: " + std::to_string(params.clusters) + " clusters of " +
                                std::to_string(rows.size() / std::max<std::size_t>(dim, 1)) +
                                " rows");
  }
  KMeansResult result;
  result.centroids = drawn_rows(rows, dim, params.clusters, params.seed);
  bool split = false;
  for (std::size_t round = 0; round < params.rounds; ++round) {
    std::vector<std::uint32_t> assignment = nearest_centroids(rows, dim, result.centroids, loop);
    // Settled: the centroids are the means of the rows nearest to them.
    if (round > 0 && !split && assignment == result.assignment) return result;
    result.assignment = std::move(assignment);
    std::vector<std::size_t> members = take_means(rows, dim, result.assignment, result.centroids);
    // The last round leaves every centroid the mean of its rows.
    split = round + 1 < params.rounds && split_for_empty(members, result.centroids, dim);
  }
  result.assignment = nearest_centroids(rows, dim, result.centroids, loop);
  return result;
}

}  // namespace halqen::codes
