// Product codes of 4 bits: a vector's dimensions cut into consecutive
// subspaces, each coded by the nearest of its 16 centroids (k-means of
// the training rows' parts in that subspace). A query's distance to every
// centroid of every subspace makes the tables the 4-bit scan sums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codes/kmeans.hpp"

namespace halqen::codes {

inline constexpr std::size_t kNibbleCentroids = 16;

class ProductQuantizer {
 public:
  // Precondition: 1 <= subspaces <= dim.
  ProductQuantizer(std::size_t dim, std::size_t subspaces);

  std::size_t dim() const { return dim_; }
  std::size_t subspaces() const { return subspaces_; }
  bool trained() const { return !centroids_.empty(); }

  // Subspace s covers dimensions [first(s), first(s + 1)).
  std::size_t first(std::size_t subspace) const { return subspace * dim_ / subspaces_; }

  // Trains every subspace's centroids on `rows` (at least 16 of them):
  // subspace s by k-means seeded with seed + s, `rounds` rounds.
  void train(std::span<const double> rows, std::uint64_t seed, std::size_t rounds,
             const KMeansLoop& loop = {});
  // The centroids as trained: per subspace, 16 of its width.
  std::span<const double> centroids() const { return centroids_; }
  // Restores trained centroids (precondition: 16 per subspace, each of its
  // width).
  void restore(std::vector<double> centroids);

  // `row`'s code in each subspace (the lowest of equally near centroids);
  // returns the squared distance from the row to what its codes stand for.
  double encode(std::span<const double> row, std::span<std::uint8_t> codes) const;
  // Per subspace and centroid: the squared euclidean distance of the
  // query's part to it (euclidean), or minus their dot product (inner
  // product), so that smaller is nearer in both. subspaces * 16 numbers.
  std::vector<double> query_distances(std::span<const double> query, bool inner_product) const;
  // The same into `out` (subspaces * 16 numbers).
  void query_distances(std::span<const double> query, bool inner_product,
                       std::span<double> out) const;

 private:
  std::size_t width(std::size_t subspace) const { return first(subspace + 1) - first(subspace); }
  const double* centroid(std::size_t subspace, std::size_t code) const {
    return centroids_.data() + first(subspace) * kNibbleCentroids + code * width(subspace);
  }

  std::size_t dim_;
  std::size_t subspaces_;
  // Subspace after subspace: 16 centroids of its width each.
  std::vector<double> centroids_;
};

}  // namespace halqen::codes
