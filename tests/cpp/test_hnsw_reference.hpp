// A plain, literal implementation of the graph, used to check the real one:
// one concatenated neighbour array with start positions, lists keeping
// repeats and self-links, a hash-set of visited nodes, a priority queue, all
// layers walked one by one, the level weights summed at every draw.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "filter/filter.hpp"
#include "hnsw/hnsw.hpp"

namespace halqen::testing {

class ReferenceHNSW {
 public:
  explicit ReferenceHNSW(const HNSWParams& params);

  std::expected<void, HNSWError> insert(VectorView vector, const MetadataRecord* metadata,
                                        RandomSource& rng);
  std::expected<void, HNSWError> create(std::span<const std::vector<double>> vectors,
                                        std::span<const MetadataRecord> metadata,
                                        RandomSource& rng);
  std::expected<std::vector<SearchHit>, HNSWError> search(VectorView query, std::uint64_t k,
                                                          const Filter* filter) const;
  std::expected<std::vector<SearchHit>, HNSWError> knn(std::uint64_t seed, VectorView query,
                                                       std::uint64_t ef, std::uint64_t layer,
                                                       const Filter* filter) const;

  std::uint64_t size() const { return levels_.size(); }
  std::uint64_t level(std::uint64_t node) const { return levels_[node]; }
  std::vector<std::uint64_t> list(std::uint64_t node) const;

 private:
  VectorView node_vector(std::uint64_t node) const;
  std::uint64_t draw(RandomSource& rng) const;
  void add_to_list(std::uint64_t owner, std::uint64_t id);
  bool matches(const Filter& filter, std::size_t attribute, std::uint64_t node) const;

  std::vector<double> vectors_;
  std::vector<std::uint64_t> neighbors_;
  std::vector<std::uint64_t> neighbor_starts_;
  std::vector<std::uint64_t> levels_;
  std::vector<bool> deleted_;
  std::vector<double> level_weights_;
  std::optional<Schema> schema_;
  std::vector<std::optional<MetadataRecord>> records_;
  MetricFn metric_;
  std::uint64_t dim_;
  std::uint64_t layers_;
  std::uint64_t ef_construction_;
  std::uint64_t ef_search_;
};

}  // namespace halqen::testing
