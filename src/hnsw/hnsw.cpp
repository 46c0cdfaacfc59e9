#include "hnsw/hnsw.hpp"

#include <climits>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/grow.hpp"
#include "hnsw/level_draw.hpp"

namespace halqen {

HNSW::HNSW(HNSWParams params)
    : level_weights_(make_level_weights(params.layers)),
      level_weight_total_(level_weight_total(level_weights_)),
      params_(std::move(params)),
      metric_fn_(metric_function(params_.metric)),
      m_factor_(1.0 - 1.0 / static_cast<double>(params_.m)) {}

void HNSW::check_node(std::uint64_t node) const {
  if (node >= node_count_) {
    throw std::out_of_range("node " + std::to_string(node) + " requested, " +
                            std::to_string(node_count_) + " nodes stored");
  }
}

VectorView HNSW::vector(std::uint64_t node) const {
  check_node(node);
  return VectorView(vectors_).subspan(node * params_.dim, params_.dim);
}

std::uint64_t HNSW::level(std::uint64_t node) const {
  check_node(node);
  return levels_[node];
}

bool HNSW::deleted(std::uint64_t node) const {
  check_node(node);
  return deleted_[node];
}

std::vector<std::uint32_t> HNSW::neighbors(std::uint64_t node) const {
  check_node(node);
  return neighbors_[node].ids();
}

std::size_t HNSW::neighbor_count(std::uint64_t node) const {
  check_node(node);
  return neighbors_[node].size();
}

void HNSW::check_insert_preconditions(VectorView vector, const MetadataRecord* metadata) const {
  if (vector.size() != params_.dim) {
    throw std::invalid_argument("vector of length " + std::to_string(vector.size()) +
                                " inserted into an index of dimension " +
                                std::to_string(params_.dim));
  }
  if (metadata != nullptr && params_.schema && metadata->size() != params_.schema->size()) {
    throw std::invalid_argument("metadata record of " + std::to_string(metadata->size()) +
                                " values for a schema of " +
                                std::to_string(params_.schema->size()) + " names");
  }
}

// Everything that can throw happens before the first append, so a failed
// allocation leaves the index as it was.
std::uint32_t HNSW::store_node(VectorView vector, const MetadataRecord* metadata,
                               std::uint64_t level) {
  // The caller's view may point into vectors_, which reserving can move.
  const std::vector<double> staged(vector.begin(), vector.end());
  reserve_for_append(vectors_, staged.size());
  const std::uint32_t node = store_node_record(metadata, level);
  vectors_.insert(vectors_.end(), staged.begin(), staged.end());
  return node;
}

// Everything of a new node but its vector, which the caller has already
// placed or appends next without allocating.
std::uint32_t HNSW::store_node_record(const MetadataRecord* metadata, std::uint64_t level) {
  NeighborList list(level);
  // A level recorded for a node that then fails to store only stops a skip
  // early; it never changes a search.
  distinct_levels_.insert(level);
  reserve_for_append(neighbors_, 1);
  reserve_for_append(levels_, 1);
  reserve_for_append(deleted_, 1);
  reserve_for_append(link_stamps_, 1);
  if (metadata != nullptr) {
    metadata_.append(*metadata);
  } else {
    metadata_.append_without_record();
  }
  neighbors_.push_back(std::move(list));
  levels_.push_back(level);
  deleted_.push_back(false);
  link_stamps_.push_back(0);
  return static_cast<std::uint32_t>(node_count_++);
}

std::uint64_t HNSW::lowest_level_from(std::uint64_t layer) const {
  const auto found = distinct_levels_.lower_bound(layer);
  return found == distinct_levels_.end() ? layer : *found;
}

std::optional<std::uint64_t> HNSW::highest_level_below(std::uint64_t layer) const {
  const auto found = distinct_levels_.lower_bound(layer);
  if (found == distinct_levels_.begin()) {
    return std::nullopt;
  }
  return *std::prev(found);
}

std::uint64_t HNSW::heap_bytes() const {
  std::uint64_t bytes =
      vectors_.capacity() * sizeof(double) + neighbors_.capacity() * sizeof(NeighborList) +
      levels_.capacity() * sizeof(std::uint64_t) + deleted_.capacity() / CHAR_BIT +
      link_stamps_.capacity() * sizeof(std::uint32_t) + metadata_.heap_bytes();
  for (const NeighborList& list : neighbors_) bytes += list.heap_bytes();
  return bytes;
}

}  // namespace halqen
