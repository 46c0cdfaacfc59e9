// The layer search and the layered search.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hnsw/hnsw.hpp"
#include "hnsw/layer_scratch.hpp"
#include "metrics/batch.hpp"
#include "metrics/rank_key.hpp"

namespace halqen {
namespace {

constexpr std::uint64_t kDescentWidth = 1;
constexpr std::uint64_t kBottomLayer = 0;

// Scratch buffers only grow: a scan writes into them without a capacity
// check per element.
template <typename T>
void grow_to(std::vector<T>& buffer, std::size_t size) {
  if (buffer.size() < size) {
    buffer.resize(size);
  }
}

}  // namespace

std::expected<std::vector<SearchHit>, HNSWError> HNSW::search(VectorView query, std::uint64_t k,
                                                              const Filter* filter) const {
  return search(query, k, filter, params_.ef_search);
}

std::expected<std::vector<SearchHit>, HNSWError> HNSW::search(VectorView query, std::uint64_t k,
                                                              const Filter* filter,
                                                              std::uint64_t ef) const {
  if (node_count_ == 0) {
    return std::vector<SearchHit>{};
  }
  LayerScratch& scratch = thread_layer_scratch();
  start_operation(query, scratch.memo);
  const auto entry = descend(query, filter, scratch);
  if (!entry) {
    return std::unexpected(entry.error());
  }
  scratch.memo.stop_storing();
  const auto searched = layer_search(*entry, query, ef, kBottomLayer, filter, scratch);
  if (!searched) {
    return std::unexpected(searched.error());
  }
  std::vector<SearchHit> hits;
  for (const SearchHit& hit : scratch.results) {
    if (hits.size() >= k) {
      break;
    }
    if (!deleted_[hit.id]) {
      hits.push_back(hit);
    }
  }
  return hits;
}

// Width-1 searches from node 0 at layers layers-1 down to 1 (for layers = 0
// the first asks for layer 2^64-1 and reports InvalidLayer). A layer search
// depends on its layer only through the nodes it may follow (level >= layer),
// a set that changes only where the layer passes a level some node holds.
// So when a search leaves its seed in place, every layer down to the next
// held level would too, and the descent jumps there: the work is bounded by
// the moves and the distinct levels, whatever `layers` is. The first search
// runs unskipped, so a filter error is reported as before.
std::expected<std::uint32_t, HNSWError> HNSW::descend(VectorView query, const Filter* filter,
                                                      LayerScratch& scratch) const {
  std::uint32_t entry = 0;
  std::uint64_t layer = params_.layers - 1;
  while (layer >= 1) {
    const auto searched = layer_search(entry, query, kDescentWidth, layer, filter, scratch);
    if (!searched) {
      return std::unexpected(searched.error());
    }
    const auto nearest = static_cast<std::uint32_t>(scratch.results.front().id);
    if (deleted_[nearest]) {
      break;
    }
    if (nearest != entry) {
      entry = nearest;
      --layer;
      continue;
    }
    const std::optional<std::uint64_t> lower = highest_level_below(layer);
    if (!lower) {
      break;
    }
    layer = *lower;
  }
  return entry;
}

// Best-first from the seed. Results stay sorted in distance order and never
// exceed ef entries; the search stops when the nearest queued candidate ranks
// after the furthest result (a NaN furthest result never stops it).
std::expected<void, HNSWError> HNSW::layer_search(std::uint64_t seed, VectorView query,
                                                  std::uint64_t ef, std::uint64_t layer,
                                                  const Filter* filter,
                                                  LayerScratch& scratch) const {
  if (ef == 0) {
    return std::unexpected(HNSWError::InvalidEF);
  }
  if (layer >= params_.layers) {
    return std::unexpected(HNSWError::InvalidLayer);
  }
  std::size_t attribute = 0;
  if (filter != nullptr) {
    const auto position = validate_filter(*filter, params_.schema);
    if (!position) {
      return std::unexpected(to_hnsw_error(position.error()));
    }
    attribute = *position;
  }
  check_node(seed);
  const auto seed_id = static_cast<std::uint32_t>(seed);
  scratch.visited.start(node_count_);
  scratch.results.clear();
  scratch.candidates.clear();
  const double seed_distance = seed_distance_of(seed_id, query, scratch.memo);
  scratch.results.push_back(SearchHit{seed_distance, seed});
  push_candidate(scratch.candidates, Candidate{seed_distance, seed_id});
  scratch.visited.insert(seed_id);
  while (!scratch.candidates.empty()) {
    const QueuedCandidate nearest = pop_candidate(scratch.candidates);
    if (rank_key(scratch.results.back().distance) < nearest.key) {
      break;
    }
    expand(nearest.id, query, ef, layer, filter, attribute, scratch);
  }
  return {};
}

// Distances of one node's admitted neighbours are computed together; each is
// independent of the others, and the add rule then runs in list order, so
// the outcome equals handling one neighbour at a time.
void HNSW::expand(std::uint32_t node, VectorView query, std::uint64_t ef, std::uint64_t layer,
                  const Filter* filter, std::size_t attribute, LayerScratch& scratch) const {
  collect_admitted(node, layer, filter, attribute, scratch);
  const std::size_t count = scratch.batch_count;
  if (count == 0) {
    return;
  }
  batch_distances(query, scratch);
  for (std::size_t i = 0; i < count; ++i) {
    offer(scratch.results, scratch.candidates, ef,
          Candidate{scratch.batch_distances[i], scratch.batch_ids[i]});
  }
}

// When this thread's last operation on the graph asked for most of its
// distances, all of them are computed at once, in one pass over the vectors
// in id order: the values a lookup by id would compute, to the bit, read at
// the memory's full speed rather than one scattered vector at a time.
void HNSW::start_operation(VectorView query, DistanceMemo& memo) const {
  if (memo.start_for(this, node_count_)) {
    const std::span<double> all = memo.hold_all();
    distances_rows(params_.metric, query, vectors_.data(), params_.dim, all.size(), all.data());
  }
}

double HNSW::seed_distance_of(std::uint32_t seed, VectorView query, DistanceMemo& memo) const {
  memo.count_requests(1);
  if (memo.contains(seed)) {
    return memo.value(seed);
  }
  const double distance = metric_fn_(query, vector(seed));
  memo.store(seed, distance);
  return distance;
}

// The distances of the batch's ids into batch_distances: those the memo
// holds from it, the others computed in one batched call and remembered.
void HNSW::batch_distances(VectorView query, LayerScratch& scratch) const {
  const std::size_t count = scratch.batch_count;
  scratch.memo.count_requests(count);
  grow_to(scratch.batch_distances, count);
  grow_to(scratch.missing_ids, count);
  grow_to(scratch.missing_positions, count);
  std::size_t missing = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t id = scratch.batch_ids[i];
    if (scratch.memo.contains(id)) {
      scratch.batch_distances[i] = scratch.memo.value(id);
    } else {
      scratch.missing_ids[missing] = id;
      scratch.missing_positions[missing] = i;
      ++missing;
    }
  }
  if (missing == 0) {
    return;
  }
  grow_to(scratch.missing_distances, missing);
  distances_gather(params_.metric, query, vectors_.data(), params_.dim, scratch.missing_ids.data(),
                   missing, scratch.missing_distances.data());
  for (std::size_t j = 0; j < missing; ++j) {
    const double distance = scratch.missing_distances[j];
    scratch.batch_distances[scratch.missing_positions[j]] = distance;
    scratch.memo.store(scratch.missing_ids[j], distance);
  }
}

// The node's neighbours, in list order, that are not yet visited, whose level
// reaches the layer and that the filter admits; each is marked visited once
// the scan is done (the ids of one list are distinct, so marking later
// changes no test). Nodes passed over stay unvisited and are tested again
// when met again. Testing "visited" first is equivalent: a visited node
// passed both other tests at this layer, except the seed, which every path
// passes over.
void HNSW::collect_admitted(std::uint32_t node, std::uint64_t layer, const Filter* filter,
                            std::size_t attribute, LayerScratch& scratch) const {
  const NeighborList::LayerScan scan = neighbors_[node].for_layer(layer);
  const std::size_t count = scan.with_ids([&](auto ids) {
    grow_to(scratch.batch_ids, ids.size());
    std::uint32_t* admitted = scratch.batch_ids.data();
    if (!scan.needs_level_check && filter == nullptr) {
      return scratch.visited.keep_unvisited(ids, admitted);
    }
    std::size_t kept = 0;
    for (const std::uint32_t neighbor : ids) {
      if (scratch.visited.contains(neighbor)) {
        continue;
      }
      if (scan.needs_level_check && levels_[neighbor] < layer) {
        continue;
      }
      if (filter != nullptr && !node_matches(*filter, attribute, metadata_, neighbor)) {
        continue;
      }
      admitted[kept++] = neighbor;
    }
    return kept;
  });
  for (std::size_t i = 0; i < count; ++i) {
    scratch.visited.insert(scratch.batch_ids[i]);
  }
  scratch.batch_count = count;
}

}  // namespace halqen
