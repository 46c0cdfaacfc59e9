// k-means and 4-bit product codes: the same centroids on any schedule of
// the pieces, every row assigned to its nearest centroid and every
// centroid the mean of its rows once settled, clusters left empty split
// from the largest; codes that are each subspace's nearest centroid, and
// query tables whose 4-bit sums estimate the coded distance.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "codes/code_kernels.hpp"
#include "codes/kmeans.hpp"
#include "codes/nibble_block.hpp"
#include "codes/product_quantizer.hpp"
#include "metrics/metrics.hpp"
#include "schedules.hpp"

namespace halqen::codes {
namespace {

// `count` rows of `dim` around `centres` random centres (spread 10, noise 1).
std::vector<double> clustered_rows(std::size_t count, std::size_t dim, std::size_t centres,
                                   std::uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> middles(centres * dim);
  for (double& x : middles) x = 10.0 * normal(rng);
  std::vector<double> rows(count * dim);
  for (std::size_t row = 0; row < count; ++row) {
    const std::size_t c = rng() % centres;
    for (std::size_t d = 0; d < dim; ++d) rows[row * dim + d] = middles[c * dim + d] + normal(rng);
  }
  return rows;
}

TEST(KMeans, TheSameCentroidsOnAnySchedule) {
  const std::vector<double> rows = clustered_rows(5000, 7, 20, 1);
  const KMeansParams params{.clusters = 24, .seed = 5, .rounds = 8};
  const KMeansResult alone = kmeans(rows, 7, params);
  const KMeansResult shared = kmeans(rows, 7, params, backwards_on_two_threads);
  EXPECT_EQ(alone.centroids, shared.centroids);
  EXPECT_EQ(alone.assignment, shared.assignment);
  const KMeansResult reseeded = kmeans(rows, 7, {.clusters = 24, .seed = 6, .rounds = 8});
  EXPECT_NE(alone.centroids, reseeded.centroids);
}

TEST(KMeans, SettledCentroidsAreTheMeansOfTheirNearestRows) {
  constexpr std::size_t kDim = 3;
  const std::vector<double> rows = clustered_rows(3000, kDim, 12, 2);
  const KMeansResult found = kmeans(rows, kDim, {.clusters = 12, .seed = 1, .rounds = 200});
  const std::size_t count = rows.size() / kDim;
  std::vector<double> sums(found.centroids.size(), 0.0);
  std::vector<std::size_t> members(12, 0);
  for (std::size_t row = 0; row < count; ++row) {
    const std::uint32_t c = found.assignment[row];
    for (std::size_t other = 0; other < 12; ++other) {
      const VectorView vector(&rows[row * kDim], kDim);
      ASSERT_LE(euclidean_distance(vector, {&found.centroids[c * kDim], kDim}),
                euclidean_distance(vector, {&found.centroids[other * kDim], kDim}))
          << "row " << row;
    }
    ++members[c];
    for (std::size_t d = 0; d < kDim; ++d) sums[c * kDim + d] += rows[row * kDim + d];
  }
  for (std::size_t c = 0; c < 12; ++c) {
    ASSERT_GT(members[c], 0u) << "cluster " << c;
    for (std::size_t d = 0; d < kDim; ++d) {
      EXPECT_NEAR(found.centroids[c * kDim + d], sums[c * kDim + d] / members[c], 1e-9);
    }
  }
}

// Two distinct rows, each 50 times, and 4 clusters: the two drawn alike
// leave clusters empty, which split from the largest, and every row still
// goes to a centroid at its own place.
TEST(KMeans, ClustersLeftEmptySplitFromTheLargest) {
  std::vector<double> rows;
  for (int i = 0; i < 100; ++i) rows.insert(rows.end(), {i % 2 == 0 ? 1.0 : -1.0, 2.0});
  const KMeansResult found = kmeans(rows, 2, {.clusters = 4, .seed = 3, .rounds = 20});
  for (std::size_t row = 0; row < 100; ++row) {
    EXPECT_EQ(squared_distance(&rows[row * 2], &found.centroids[found.assignment[row] * 2], 2), 0.0)
        << "row " << row;
  }
  EXPECT_THROW(kmeans(rows, 2, {.clusters = 101}), std::invalid_argument);
}

TEST(ProductCodes, EachCodeIsItsSubspacesNearestCentroid) {
  constexpr std::size_t kDim = 10;
  const std::vector<double> rows = clustered_rows(2000, kDim, 30, 4);
  ProductQuantizer quantizer(kDim, 4);  // widths 2, 3, 2, 3
  quantizer.train(rows, 9, 10);
  ASSERT_EQ(quantizer.centroids().size(), kDim * kNibbleCentroids);
  std::vector<std::uint8_t> codes(4);
  double coded_error = 0.0;
  double spread = 0.0;
  std::vector<double> mean(kDim, 0.0);
  for (std::size_t row = 0; row < 2000; ++row) {
    for (std::size_t d = 0; d < kDim; ++d) mean[d] += rows[row * kDim + d] / 2000;
  }
  for (std::size_t row = 0; row < 2000; ++row) {
    const std::span<const double> vector(&rows[row * kDim], kDim);
    quantizer.encode(vector, codes);
    for (std::size_t s = 0; s < 4; ++s) {
      const std::size_t first = quantizer.first(s);
      const std::size_t width = quantizer.first(s + 1) - first;
      const double* centroids = quantizer.centroids().data() + first * kNibbleCentroids;
      double best = INFINITY;
      for (std::size_t c = 0; c < kNibbleCentroids; ++c) {
        best = std::min(best, squared_distance(&vector[first], centroids + c * width, width));
      }
      const double mine = squared_distance(&vector[first], centroids + codes[s] * width, width);
      ASSERT_EQ(mine, best) << "row " << row << " subspace " << s;
      coded_error += mine;
    }
    spread += squared_distance(vector.data(), mean.data(), kDim);
  }
  // 16 centroids per subspace of 30 clusters: coding keeps well under a
  // tenth of the spread.
  EXPECT_LT(coded_error, spread / 10);
}

// The query's tables, summed by the 4-bit scan, estimate the distance to
// each vector's coded form within half a step per subspace, for both
// kinds of distance; where a term is past what a byte spans (a subspace
// whose spread is far past the others') the estimate is only ever lower,
// as a bound on how near a vector could be needs.
TEST(ProductCodes, ScannedTablesEstimateTheCodedDistance) {
  constexpr std::size_t kDim = 12;
  constexpr std::size_t kSubspaces = 6;
  const std::vector<double> rows = clustered_rows(kNibbleBlock + 500, kDim, 10, 5);
  ProductQuantizer quantizer(kDim, kSubspaces);
  quantizer.train(rows, 2, 10);
  std::vector<std::uint8_t> block(nibble_block_bytes(kSubspaces), 0);
  std::vector<std::vector<std::uint8_t>> codes(kNibbleBlock, std::vector<std::uint8_t>(kSubspaces));
  for (std::size_t j = 0; j < kNibbleBlock; ++j) {
    quantizer.encode({&rows[j * kDim], kDim}, codes[j]);
    put_nibble_codes(block.data(), j, codes[j]);
  }
  const std::span<const double> query(&rows[(kNibbleBlock + 7) * kDim], kDim);
  for (const bool inner_product : {false, true}) {
    const std::vector<double> distances = quantizer.query_distances(query, inner_product);
    const NibbleTables tables = quantized_tables(distances, kSubspaces);
    std::vector<std::uint16_t> sums(kNibbleBlock);
    active_code_kernels().nibble_sums(tables.entries.data(), block.data(),
                                      padded_subspaces(kSubspaces), sums.data());
    std::size_t clamped_vectors = 0;
    for (std::size_t j = 0; j < kNibbleBlock; ++j) {
      double coded = 0.0;
      bool clamped = false;
      for (std::size_t s = 0; s < kSubspaces; ++s) {
        const auto row = std::span(distances).subspan(s * kNibbleCentroids, kNibbleCentroids);
        const double term = distances[s * kNibbleCentroids + codes[j][s]];
        clamped = clamped || term - std::ranges::min(row) > tables.step * 255.5;
        const std::size_t first = quantizer.first(s);
        const std::size_t width = quantizer.first(s + 1) - first;
        const double* centre =
            quantizer.centroids().data() + first * kNibbleCentroids + codes[j][s] * width;
        for (std::size_t d = 0; d < width; ++d) {
          coded += inner_product ? -query[first + d] * centre[d]
                                 : (query[first + d] - centre[d]) * (query[first + d] - centre[d]);
        }
      }
      const double estimate = tables.base + tables.step * sums[j];
      const double rounding = tables.step * kSubspaces / 2 + 1e-9 * std::fabs(coded);
      EXPECT_LE(estimate, coded + rounding)
          << "vector " << j << (inner_product ? " (inner product)" : "");
      if (!clamped) {
        EXPECT_NEAR(estimate, coded, rounding)
            << "vector " << j << (inner_product ? " (inner product)" : "");
      }
      clamped_vectors += clamped ? 1 : 0;
    }
    EXPECT_LT(clamped_vectors, kNibbleBlock / 2);
  }
}

}  // namespace
}  // namespace halqen::codes
