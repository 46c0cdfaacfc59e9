#include "graph/rerank.hpp"

#include <algorithm>
#include <limits>

namespace halqen::graph {
namespace {

// Scored candidates by exact key, a NaN value after the +inf keys of
// numbers, ties to the lower id.
struct ByExactKey {
  const std::vector<std::uint64_t>& ids;
  const std::vector<double>& values;
  bool operator()(const Candidate& a, const Candidate& b) const {
    if (a.key != b.key) return a.key < b.key;
    const bool a_nan = values[a.slot] != values[a.slot];
    const bool b_nan = values[b.slot] != values[b.slot];
    return a_nan != b_nan ? b_nan : ids[a.slot] < ids[b.slot];
  }
};

// The candidates with their lower bounds (the least possible without
// bounds; the value itself where the code tells it), in the walk's order.
void bound_each(std::span<const Candidate> walked, const CodeDistances& coded,
                std::vector<Candidate>& pending) {
  constexpr double kNoBound = -std::numeric_limits<double>::infinity();
  pending.clear();
  for (const Candidate& c : walked) {
    double bound = kNoBound;
    if (coded.knows_value(c.slot)) {
      bound = coded.value_of_key(c.key);
    } else if (coded.bounds_values()) {
      bound = coded.lower_bound(c.key, c.slot);
    }
    // A NaN bound (from a NaN coding error) bounds nothing.
    pending.push_back({bound == bound ? bound : kNoBound, c.slot});
  }
}

// Scores pending[from, to) into scratch.slots / values: from the code where
// it tells the value, else from the rows, read together.
void score(std::size_t from, std::size_t to, ExactDistances& exact, const CodeDistances& coded,
           const LabelMap& labels, RerankScratch& scratch) {
  scratch.values.resize(to);
  scratch.read_slots.clear();
  scratch.read_places.clear();
  for (std::size_t i = from; i < to; ++i) {
    const std::uint32_t slot = scratch.pending[i].slot;
    scratch.slots.push_back(slot);
    scratch.ids.push_back(labels.label_of(slot));
    if (coded.knows_value(slot)) {
      scratch.values[i] = scratch.pending[i].key;
      continue;
    }
    exact.prefetch(slot);
    scratch.read_slots.push_back(slot);
    scratch.read_places.push_back(static_cast<std::uint32_t>(i));
  }
  scratch.read_values.resize(scratch.read_slots.size());
  exact.values(scratch.read_slots.data(), scratch.read_slots.size(), scratch.read_values.data());
  for (std::size_t j = 0; j < scratch.read_slots.size(); ++j) {
    scratch.values[scratch.read_places[j]] = scratch.read_values[j];
  }
  for (std::size_t i = from; i < to; ++i) {
    scratch.ranked.push_back({exact.order().key(scratch.values[i]), static_cast<std::uint32_t>(i)});
  }
}

// The exact key of the k-th nearest scored so far (k <= scored).
double kth_key(std::size_t k, RerankScratch& scratch) {
  std::nth_element(scratch.ranked.begin(),
                   scratch.ranked.begin() + static_cast<std::ptrdiff_t>(k - 1),
                   scratch.ranked.end(), ByExactKey{scratch.ids, scratch.values});
  return scratch.ranked[k - 1].key;
}

}  // namespace

Reranked rerank(std::span<const Candidate> walked, std::size_t k, ExactDistances& exact,
                const CodeDistances& coded, const LabelMap& labels, RerankScratch& scratch) {
  bound_each(walked, coded, scratch.pending);
  scratch.slots.clear();
  scratch.ids.clear();
  scratch.ranked.clear();
  const std::size_t count = walked.size();
  const std::size_t kept = std::min(k, count);
  // Without bounds every candidate is scored, in one round. With them, the
  // k least bounds first, then in each round every candidate whose bound
  // does not exceed the k-th value so far: a distance's key is its value,
  // so a bound beyond it keeps its candidate out of the k. Which ones are
  // scored in which round changes no answer, only the work: the scored set
  // always holds every candidate that could be among the k.
  auto pending = scratch.pending.begin();
  std::size_t end = count;
  if (coded.bounds_values() && kept > 0 && kept < count) {
    std::nth_element(pending, pending + static_cast<std::ptrdiff_t>(kept - 1),
                     scratch.pending.end(), Nearer{});
    end = kept;
  }
  for (std::size_t done = 0; end > done;) {
    score(done, end, exact, coded, labels, scratch);
    done = end;
    if (done == count || kept == 0) break;
    const double kth = kth_key(kept, scratch);
    end = static_cast<std::size_t>(
        std::partition(pending + static_cast<std::ptrdiff_t>(done), scratch.pending.end(),
                       [kth](const Candidate& c) { return !(c.key > kth); }) -
        pending);
  }
  std::partial_sort(scratch.ranked.begin(),
                    scratch.ranked.begin() + static_cast<std::ptrdiff_t>(kept),
                    scratch.ranked.end(), ByExactKey{scratch.ids, scratch.values});
  Reranked reranked;
  reranked.scored = scratch.slots.size();
  reranked.nearest.reserve(kept);
  for (std::size_t i = 0; i < kept; ++i) {
    const std::uint32_t index = scratch.ranked[i].slot;
    reranked.nearest.push_back({scratch.slots[index], scratch.values[index]});
  }
  return reranked;
}

}  // namespace halqen::graph
