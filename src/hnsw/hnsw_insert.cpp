// Insertion and bulk creation.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/checked_product.hpp"
#include "common/grow.hpp"
#include "common/size_refused.hpp"
#include "hnsw/hnsw.hpp"
#include "hnsw/layer_scratch.hpp"
#include "hnsw/level_draw.hpp"

namespace halqen {
namespace {

// The longest array of 64-bit ids an address space can hold. Every linking
// layer adds at least one entry to the new node's list as the graph is
// defined, so more linking layers than this could never be stored.
constexpr std::uint64_t kMaxListEntries = PTRDIFF_MAX / sizeof(std::uint64_t);

constexpr std::uint64_t kGreedyWidth = 1;

}  // namespace

std::expected<void, HNSWError> HNSW::insert(VectorView vector, const MetadataRecord* metadata,
                                            RandomSource& rng) {
  check_insert_preconditions(vector, metadata);
  const std::uint64_t level = next_level(rng);
  const std::uint32_t node = store_node(vector, metadata, level);
  if (node == 0) {
    return {};
  }
  return link_new_node(node, thread_layer_scratch());
}

// The first node takes the top level and draws nothing; every later one
// draws its level.
std::uint64_t HNSW::next_level(RandomSource& rng) const {
  if (node_count_ >= kMaxNodes) {
    throw std::length_error("index holds " + std::to_string(node_count_) +
                            " nodes, the most 32-bit ids can number");
  }
  if (node_count_ == 0) {
    return params_.layers - 1;
  }
  const std::uint64_t level = draw_level(level_weights_, level_weight_total_, params_.layers, rng);
  if (level < params_.layers && params_.layers - level > kMaxListEntries) {
    throw SizeRefused("a vector of level " + std::to_string(level) + " in an index of " +
                      std::to_string(params_.layers) + " layers is linked at " +
                      std::to_string(params_.layers - level) +
                      " layers, each adding to its list: more than the " +
                      std::to_string(kMaxListEntries) + " entries a list can hold");
  }
  return level;
}

// Layers 0..level-1 only move the entry (width 1); layers level..layers-1
// link the node to every result. From the second linking layer on, the search
// starts at the node itself. Its own list is then the only list that
// matters and can change: the back links it leaves in other lists name a
// node whose level is below the layer, which the scan passes over. So once a
// layer adds no new link, each following layer repeats it exactly until the
// set of followable nodes changes, at the next level some node holds; those
// layers are skipped. Work is thus bounded by links made and distinct levels,
// not by `layers`.
std::expected<void, HNSWError> HNSW::link_new_node(std::uint32_t node, LayerScratch& scratch) {
  const std::uint64_t level = levels_[node];
  const VectorView query = vector(node);
  start_operation(query, scratch.memo);
  const auto entry = climb_greedy_layers(node, scratch);
  if (!entry) {
    return std::unexpected(entry.error());
  }
  std::uint32_t seed = *entry;
  std::uint64_t layer = level;
  while (layer < params_.layers) {
    const auto searched =
        layer_search(seed, query, params_.ef_construction, layer, nullptr, scratch);
    if (!searched) {
      return searched;
    }
    std::uint64_t new_links = 0;
    const auto linked = link_results(node, scratch.results, new_links);
    if (!linked) {
      return linked;
    }
    const bool repeats_until_next_level = layer > level && new_links == 0;
    layer = repeats_until_next_level ? lowest_level_from(layer) + 1 : layer + 1;
    seed = node;
  }
  return {};
}

// A width-1 search moves only to a strictly nearer node. When it leaves its
// seed in place, no neighbour of the seed that the layer follows is strictly
// nearer; a higher layer follows a subset of those neighbours, so it leaves
// the seed in place too, and the rest of the climb can be skipped.
std::expected<std::uint32_t, HNSWError> HNSW::climb_greedy_layers(std::uint32_t node,
                                                                  LayerScratch& scratch) const {
  const std::uint64_t greedy_layers = std::min(levels_[node], params_.layers);
  const VectorView query = vector(node);
  std::uint32_t entry = 0;
  for (std::uint64_t layer = 0; layer < greedy_layers; ++layer) {
    const auto searched = layer_search(entry, query, kGreedyWidth, layer, nullptr, scratch);
    if (!searched) {
      return std::unexpected(searched.error());
    }
    const auto nearest = static_cast<std::uint32_t>(scratch.results.front().id);
    if (nearest == entry) {
      break;
    }
    entry = nearest;
  }
  return entry;
}

// Links `node` both ways with every result, nearest first. A result already
// linked during this insertion, or the node itself, adds nothing (see
// NeighborList). Counts the links made.
std::expected<void, HNSWError> HNSW::link_results(std::uint32_t node,
                                                  std::span<const SearchHit> results,
                                                  std::uint64_t& new_links) {
  for (const SearchHit& hit : results) {
    if (hit.id >= node_count_) {
      return std::unexpected(HNSWError::InvalidNodeID);
    }
  }
  const std::uint64_t level = levels_[node];
  for (const SearchHit& hit : results) {
    const auto other = static_cast<std::uint32_t>(hit.id);
    if (other == node || link_stamps_[other] == node) {
      continue;
    }
    neighbors_[other].append(node, level);
    neighbors_[node].append(other, levels_[other]);
    link_stamps_[other] = node;
    ++new_links;
  }
  return {};
}

std::expected<void, HNSWError> HNSW::create(std::span<const std::vector<double>> vectors,
                                            std::span<const MetadataRecord> metadata,
                                            RandomSource& rng) {
  if (vectors.empty()) {
    return std::unexpected(HNSWError::EmptyVectors);
  }
  const bool with_records = params_.schema.has_value();
  if (with_records && metadata.size() != vectors.size()) {
    return std::unexpected(HNSWError::AttributeNotFound);
  }
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    check_insert_preconditions(vectors[i], with_records ? &metadata[i] : nullptr);
  }
  VectorBlock block;
  block.values.reserve(vectors.size() * params_.dim);
  for (const std::vector<double>& vector : vectors) {
    block.values.insert(block.values.end(), vector.begin(), vector.end());
  }
  block.count = vectors.size();
  NeverInterrupt never;
  return create(std::move(block), metadata, rng, never);
}

std::expected<void, HNSWError> HNSW::create(VectorBlock vectors,
                                            std::span<const MetadataRecord> metadata,
                                            RandomSource& rng, Interrupt& interrupt) {
  if (vectors.count == 0) {
    return std::unexpected(HNSWError::EmptyVectors);
  }
  const bool with_records = params_.schema.has_value();
  if (with_records && metadata.size() != vectors.count) {
    return std::unexpected(HNSWError::AttributeNotFound);
  }
  return insert_records(std::move(vectors),
                        with_records ? metadata : std::span<const MetadataRecord>(), rng,
                        interrupt);
}

std::expected<void, HNSWError> HNSW::insert_block(VectorBlock vectors, RandomSource& rng,
                                                  Interrupt& interrupt) {
  return insert_records(std::move(vectors), {}, rng, interrupt);
}

// Inserts block vector i with records[i], or without a record when `records`
// is empty.
std::expected<void, HNSWError> HNSW::insert_records(VectorBlock block,
                                                    std::span<const MetadataRecord> records,
                                                    RandomSource& rng, Interrupt& interrupt) {
  const std::optional<std::uint64_t> components = checked_product(block.count, params_.dim);
  if (!components || *components != block.values.size()) {
    throw std::invalid_argument("block of " + std::to_string(block.count) + " vectors with " +
                                std::to_string(block.values.size()) +
                                " numbers for an index of dimension " +
                                std::to_string(params_.dim));
  }
  for (std::size_t i = 0; i < records.size(); ++i) {
    check_insert_preconditions(block.row(i, params_.dim), &records[i]);
  }
  reserve_nodes(block);
  if (node_count_ == 0) {
    return insert_in_place(std::move(block), records, rng, interrupt);
  }
  for (std::uint64_t i = 0; i < block.count; ++i) {
    if (interrupt.requested()) {
      return std::unexpected(HNSWError::Interrupted);
    }
    const auto inserted =
        insert(block.row(i, params_.dim), records.empty() ? nullptr : &records[i], rng);
    if (!inserted) {
      return inserted;
    }
  }
  return {};
}

// Room for every node of the block; a buffer the index takes needs none.
void HNSW::reserve_nodes(const VectorBlock& block) {
  if (node_count_ != 0) {
    reserve_for_append(vectors_, block.values.size());
  }
  reserve_for_append(neighbors_, block.count);
  reserve_for_append(levels_, block.count);
  reserve_for_append(deleted_, block.count);
  reserve_for_append(link_stamps_, block.count);
}

// An empty index takes the block's buffer as vectors_: node i's vector is
// then already where storing node i would append it. Until the loop ends
// vectors_ also holds the vectors of nodes not inserted yet, which no search
// reaches (ids stop at node_count_); however the loop ends, they are cut off
// and the memory they held is given back.
std::expected<void, HNSWError> HNSW::insert_in_place(VectorBlock block,
                                                     std::span<const MetadataRecord> records,
                                                     RandomSource& rng, Interrupt& interrupt) {
  vectors_ = std::move(block.values);
  struct CutOffUninserted {
    HNSW& index;
    ~CutOffUninserted() {
      const std::size_t stored = index.node_count_ * index.params_.dim;
      if (index.vectors_.size() != stored) {
        index.vectors_.resize(stored);
        index.vectors_.shrink_to_fit();
      }
    }
  } cut_off{*this};
  for (std::uint64_t i = 0; i < block.count; ++i) {
    if (interrupt.requested()) {
      return std::unexpected(HNSWError::Interrupted);
    }
    const std::uint64_t level = next_level(rng);
    const std::uint32_t node = store_node_record(records.empty() ? nullptr : &records[i], level);
    if (node != 0) {
      const auto linked = link_new_node(node, thread_layer_scratch());
      if (!linked) {
        return linked;
      }
    }
  }
  return {};
}

}  // namespace halqen
