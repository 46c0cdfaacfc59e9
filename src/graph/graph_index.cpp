#include "graph/graph_index.hpp"

#include <algorithm>
#include <utility>

#include "graph/distance_computer.hpp"
#include "graph/layer_walk.hpp"
#include "metrics/metrics.hpp"

namespace halqen::graph {

GraphIndex::GraphIndex(GraphParams params)
    : params_(std::move(params)),
      store_(params_.dim, params_.metric),
      links_(params_.m),
      postings_(params_.schema ? params_.schema->size() : 0),
      scratch_(std::make_unique<ScratchPool>()),
      partitions_(std::make_unique<PartitionCache>()) {}

std::expected<GraphIndex, GraphError> GraphIndex::create(GraphParams params) {
  if (params.m < kMinLinks || params.m > kMaxLinks) {
    return std::unexpected(GraphError{.kind = GraphErrorKind::BadParameter, .detail = params.m});
  }
  metric_function(params.metric);  // throws for a kind that is no metric
  return GraphIndex(std::move(params));
}

std::expected<std::vector<Found>, FilterError> GraphIndex::search(std::span<const double> query,
                                                                  std::size_t k, std::size_t ef,
                                                                  const ValueFilter* filter) const {
  if (filter != nullptr) return search_filtered(query, k, ef, *filter);
  const std::size_t count = size();
  if (count == 0 || k == 0) return std::vector<Found>();
  // No walk keeps more than every node; ef never sizes more than exists.
  const std::size_t width = std::min(std::max(ef, k), count);
  ScratchPool::Lease lease = scratch_->borrow();
  WalkScratch& scratch = *lease;
  ExactDistances distances(store_, query);
  const Candidate here = descend(distances, scratch);
  std::vector<Candidate> nearest;
  walk_layer(links_, distances, std::span(&here, 1), 0, width, slot_count(), scratch);
  scratch.best.sorted_into(nearest);
  return found_of(query, std::move(nearest), k);
}

Candidate GraphIndex::descend(ExactDistances& distances, WalkScratch& scratch) const {
  Candidate here{distances.key(entry_), entry_};
  for (unsigned layer = top_level_; layer > 0; --layer) {
    here = greedy_descent(links_, distances, here, layer, scratch);
  }
  return here;
}

std::vector<Found> GraphIndex::found_of(std::span<const double> query,
                                        std::vector<Candidate> nearest, std::size_t k) const {
  if (nearest.size() > k) nearest.resize(k);
  const MetricFn metric = metric_function(params_.metric);
  std::vector<Found> found;
  found.reserve(nearest.size());
  for (const Candidate& c : nearest) {
    found.push_back({labels_.label_of(c.slot), metric(query, store_.row(c.slot))});
  }
  return found;
}

std::uint64_t GraphIndex::heap_bytes() const {
  return store_.heap_bytes() + links_.heap_bytes() + labels_.heap_bytes() + slots_.heap_bytes() +
         records_.heap_bytes() + postings_.heap_bytes() + partitions_->heap_bytes();
}

}  // namespace halqen::graph
