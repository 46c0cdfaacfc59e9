#include "graph/graph_index.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>

#include "engine/layer_walk.hpp"
#include "graph/code_distances.hpp"
#include "graph/exact_distances.hpp"
#include "graph/rerank.hpp"
#include "metrics/metrics.hpp"

namespace halqen::graph {
namespace {

// A code walk's best candidates rescored exactly (by the batch kernels,
// whose values are the metric's bit for bit): this many per answer
// wanted. Measured on 100,000 clustered vectors of 128 dimensions with 8-bit
// codes: the k best by code lose up to 2% of recall@10, the 2k best lose
// nothing against rescoring the walk's every candidate; 3k leaves a margin.
constexpr std::size_t kRerankPerAnswer = 3;

// A walk on 8-bit codes keeps a few more candidates than the k wanted: its
// keys are coarse, and in a list exactly k wide a near tie at the k-th
// place ends the walk a step early. Measured at ef = k = 10 on rows whose
// distances three dimensions rule: 3.5% of the true neighbours lost against
// the float32 walk, 0.4% with one more candidate, none with two.
constexpr std::size_t kCoarseWalkMargin = 2;
constexpr std::size_t kCoarseWalkMarginShare = 8;

}  // namespace

GraphIndex::GraphIndex(GraphParams params)
    : params_(std::move(params)),
      engine_(params_.m),
      store_(params_.dim, params_.metric, params_.storage),
      reads_(params_),
      postings_(params_.schema ? params_.schema->size() : 0),
      partitions_(std::make_unique<PartitionCache>()),
      orders_(std::make_unique<NumericOrders>()),
      gate_(std::make_unique<ChangeGate>()) {}

std::expected<GraphIndex, GraphError> GraphIndex::create(GraphParams params) {
  if (params.m < kMinLinks || params.m > kMaxLinks) {
    return std::unexpected(GraphError{.kind = GraphErrorKind::BadParameter, .detail = params.m});
  }
  if (params.dim > kMaxDim) {
    return std::unexpected(GraphError{.kind = GraphErrorKind::BadParameter, .detail = params.dim});
  }
  metric_function(params.metric);  // throws for a kind that is no metric
  return GraphIndex(std::move(params));
}

std::expected<std::vector<Found>, FilterError> GraphIndex::search(std::span<const double> query,
                                                                  std::size_t k, std::size_t ef,
                                                                  const ValueFilter* filter) const {
  if (filter != nullptr) return search_filtered(query, k, ef, *filter);
  return search_prepared(query, k, ef, nullptr);
}

std::vector<Found> GraphIndex::search_prepared(std::span<const double> query, std::size_t k,
                                               std::size_t ef, const PreparedFilter* filter) const {
  if (filter != nullptr) return search_filtered(query, k, ef, *filter);
  const std::size_t count = size();
  if (count == 0 || k == 0) return std::vector<Found>();
  const std::size_t width = walk_width(ef, k, count);
  ScratchPool::Lease lease = engine_.scratch().borrow();
  WalkScratch& scratch = *lease;
  ExactDistances exact(store_, query);
  return reads_.for_query(
      query, [&] { return found_of(query, engine_.walk(exact, width, scratch), k, exact); },
      [&](CodeDistances& coded) {
        return rerank(exact, coded, engine_.walk(coded, width, scratch), k, scratch.rerank);
      });
}

std::size_t GraphIndex::walk_width(std::size_t ef, std::size_t k, std::size_t count) const {
  const std::size_t least =
      reads_.coarse() ? k + std::max(kCoarseWalkMargin, k / kCoarseWalkMarginShare) : k;
  // No walk keeps more than every node; ef never sizes more than exists.
  return std::min(std::max(ef, least), count);
}

std::vector<Found> GraphIndex::rerank(ExactDistances& exact, const CodeDistances& coded,
                                      std::span<const Candidate> walked, std::size_t k,
                                      RerankScratch& scratch) const {
  // Candidates tied by code key with the last one kept are kept too: which
  // of equals is returned is decided by id, not by where they are stored.
  // Where keys bound values, every walked candidate may be scored: the
  // rerank stops at the first whose bound no longer beats the k-th value,
  // so coarse codes cost more scoring instead of lost answers.
  std::size_t kept =
      coded.bounds_values() ? walked.size() : std::min(walked.size(), k * kRerankPerAnswer);
  while (kept > 0 && kept < walked.size() && walked[kept].key == walked[kept - 1].key) ++kept;
  const Reranked reranked = graph::rerank(walked.first(kept), k, exact, coded, labels_, scratch);
  std::vector<Found> found;
  found.reserve(reranked.nearest.size());
  for (const Scored& s : reranked.nearest) found.push_back({labels_.label_of(s.slot), s.value});
  return found;
}

void GraphIndex::offer_answer(AnswerSet& answers, Candidate c, ExactDistances& distances) const {
  if (answers.full() && c.key > answers.farthest().key) return;
  bool nan = false;
  if (c.key == std::numeric_limits<double>::infinity()) {
    double value = 0.0;
    distances.values(&c.slot, 1, &value);
    nan = value != value;
  }
  answers.offer({.key = c.key, .id = labels_.label_of(c.slot), .slot = c.slot, .nan = nan});
}

std::vector<Found> GraphIndex::found_of(std::span<const double> query,
                                        std::span<const Candidate> nearest, std::size_t k,
                                        ExactDistances& distances) const {
  AnswerSet answers;
  answers.reset(k);
  for (const Candidate& c : nearest) offer_answer(answers, c, distances);
  return found_of(query, answers.take_sorted());
}

std::vector<Found> GraphIndex::found_of(std::span<const double> query,
                                        std::span<const Answer> nearest) const {
  const MetricFn metric = metric_function(params_.metric);
  std::vector<Found> found;
  found.reserve(nearest.size());
  std::vector<double> scratch;
  for (const Answer& a : nearest) {
    found.push_back({a.id, metric(query, store_.row(a.slot, scratch))});
  }
  return found;
}

std::uint64_t GraphIndex::heap_bytes() const {
  return engine_.heap_bytes() + store_.heap_bytes() + reads_.heap_bytes() + labels_.heap_bytes() +
         records_.heap_bytes() + postings_.heap_bytes() + partitions_->heap_bytes() +
         orders_->heap_bytes();
}

}  // namespace halqen::graph
