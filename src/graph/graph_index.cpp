#include "graph/graph_index.hpp"

#include <algorithm>
#include <utility>

#include "graph/distance_computer.hpp"
#include "graph/layer_walk.hpp"
#include "metrics/metrics.hpp"

namespace halqen::graph {
namespace {

// Admits the nodes whose metadata matches the filter.
struct AdmitMatching {
  static constexpr bool kFilters = true;
  const Filter& filter;
  std::size_t position;
  const MetadataStore& store;
  bool operator()(std::uint32_t slot) const { return node_matches(filter, position, store, slot); }
};

}  // namespace

GraphIndex::GraphIndex(GraphParams params)
    : params_(std::move(params)),
      store_(params_.dim, params_.metric),
      links_(params_.m),
      scratch_(std::make_unique<ScratchPool>()) {}

std::expected<GraphIndex, GraphError> GraphIndex::create(GraphParams params) {
  if (params.m < kMinLinks || params.m > kMaxLinks) {
    return std::unexpected(GraphError{.kind = GraphErrorKind::BadParameter, .detail = params.m});
  }
  metric_function(params.metric);  // throws for a kind that is no metric
  return GraphIndex(std::move(params));
}

std::expected<std::vector<Found>, FilterError> GraphIndex::search(std::span<const double> query,
                                                                  std::size_t k, std::size_t ef,
                                                                  const Filter* filter) const {
  std::optional<std::size_t> position;
  if (filter != nullptr) {
    auto validated = validate_filter(*filter, params_.schema);
    if (!validated) return std::unexpected(validated.error());
    position = *validated;
  }
  const std::size_t count = size();
  if (count == 0 || k == 0) return std::vector<Found>();
  // No walk keeps more than every node; ef never sizes more than exists.
  const std::size_t width = std::min(std::max(ef, k), count);
  ScratchPool::Lease lease = scratch_->borrow();
  WalkScratch& scratch = *lease;
  ExactDistances distances(store_, query);
  Candidate here{distances.key(entry_), entry_};
  for (unsigned layer = top_level_; layer > 0; --layer) {
    here = greedy_descent(links_, distances, here, layer, scratch);
  }
  std::vector<Candidate> nearest;
  if (filter == nullptr) {
    walk_layer(links_, distances, std::span(&here, 1), 0, width, count, scratch, AdmitAll{});
    scratch.best.sorted_into(nearest);
  } else {
    const AdmitMatching admit{*filter, *position, metadata_};
    walk_layer(links_, distances, std::span(&here, 1), 0, width, count, scratch, admit);
    scratch.admitted.sorted_into(nearest);
    if (nearest.size() < k) return exact_matches(query, k, *filter, *position);
  }
  if (nearest.size() > k) nearest.resize(k);
  const MetricFn metric = metric_function(params_.metric);
  std::vector<Found> found;
  found.reserve(nearest.size());
  for (const Candidate& c : nearest) {
    found.push_back({labels_.label_of(c.slot), metric(query, store_.row(c.slot))});
  }
  return found;
}

std::vector<Found> GraphIndex::exact_matches(std::span<const double> query, std::size_t k,
                                             const Filter& filter, std::size_t position) const {
  const KeyOrder order(params_.metric);
  const MetricFn metric = metric_function(params_.metric);
  BestSet best;
  best.reset(k);
  for (std::uint32_t slot = 0; slot < size(); ++slot) {
    if (!node_matches(filter, position, metadata_, slot)) continue;
    best.offer({order.key(metric(query, store_.row(slot))), slot});
  }
  std::vector<Found> found;
  for (const Candidate& c : best.take_sorted()) {
    found.push_back({labels_.label_of(c.slot), metric(query, store_.row(c.slot))});
  }
  return found;
}

}  // namespace halqen::graph
