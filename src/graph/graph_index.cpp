#include "graph/graph_index.hpp"

#include <algorithm>
#include <utility>

#include "graph/code_distances.hpp"
#include "graph/distance_computer.hpp"
#include "graph/layer_walk.hpp"
#include "metrics/metrics.hpp"

namespace halqen::graph {
namespace {

// A code walk's best candidates rescored exactly: this many per answer
// wanted, and never fewer than this share of the walk's width.
constexpr std::size_t kRerankPerAnswer = 4;
constexpr std::size_t kRerankWidthShare = 2;

std::optional<codes::CodeStore> code_store_for(const GraphParams& params) {
  switch (params.walk) {
    case WalkKind::Float32:
      return codes::CodeStore(params.dim, params.metric, codes::CodeKind::Float32);
    case WalkKind::Sq8:
      return codes::CodeStore(params.dim, params.metric, codes::CodeKind::Sq8);
    case WalkKind::Exact:
      break;
  }
  return std::nullopt;
}

}  // namespace

GraphIndex::GraphIndex(GraphParams params)
    : params_(std::move(params)),
      store_(params_.dim, params_.metric),
      links_(params_.m),
      codes_(code_store_for(params_)),
      postings_(params_.schema ? params_.schema->size() : 0),
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
                                                                  const ValueFilter* filter) const {
  if (filter != nullptr) return search_filtered(query, k, ef, *filter);
  const std::size_t count = size();
  if (count == 0 || k == 0) return std::vector<Found>();
  // No walk keeps more than every node; ef never sizes more than exists.
  const std::size_t width = std::min(std::max(ef, k), count);
  ScratchPool::Lease lease = scratch_->borrow();
  WalkScratch& scratch = *lease;
  ExactDistances exact(store_, query);
  if (!codes_) return found_of(query, walk(exact, width, scratch), k);
  CodeDistances coded(*codes_, query);
  return found_of(query, rerank(exact, walk(coded, width, scratch), k), k);
}

template <class Distances>
std::vector<Candidate> GraphIndex::walk(Distances& distances, std::size_t width,
                                        WalkScratch& scratch) const {
  const Candidate here = descend_to(links_, distances, entry_, top_level_, 0, scratch);
  walk_layer(links_, distances, std::span(&here, 1), 0, width, size(), scratch);
  std::vector<Candidate> nearest;
  scratch.best.sorted_into(nearest);
  return nearest;
}

std::vector<Candidate> GraphIndex::rerank(ExactDistances& exact, std::vector<Candidate> walked,
                                          std::size_t k) const {
  const std::size_t depth =
      std::max(k * kRerankPerAnswer, (walked.size() + kRerankWidthShare - 1) / kRerankWidthShare);
  if (walked.size() > depth) walked.resize(depth);
  std::vector<std::uint32_t> slots(walked.size());
  std::vector<double> keys(walked.size());
  for (std::size_t i = 0; i < walked.size(); ++i) {
    slots[i] = walked[i].slot;
    exact.prefetch(slots[i]);
  }
  exact.keys(slots.data(), slots.size(), keys.data());
  for (std::size_t i = 0; i < walked.size(); ++i) walked[i].key = keys[i];
  std::sort(walked.begin(), walked.end(), Nearer{});
  return walked;
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
  return store_.heap_bytes() + links_.heap_bytes() + labels_.heap_bytes() + metadata_.heap_bytes() +
         postings_.heap_bytes() + (codes_ ? codes_->heap_bytes() : 0);
}

void GraphIndex::append_metadata(const MetadataRecord* record) {
  const auto slot = static_cast<std::uint32_t>(metadata_.node_count());
  if (record == nullptr) {
    metadata_.append_without_record();
    postings_.insert(slot, {});
    return;
  }
  metadata_.append(*record);
  postings_.insert(slot, *record);
}

}  // namespace halqen::graph
