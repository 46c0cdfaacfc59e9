// A filtered search: count the matches from the postings, then score them
// all when they are few; else walk the graph over the matches where they
// lie dense around the query, or scan the partitions of the values where
// they lie sparse; finish with the exact scan when either found fewer than
// it must return.
#include <algorithm>
#include <array>
#include <utility>

#include "graph/code_distances.hpp"
#include "graph/exact_distances.hpp"
#include "graph/filtered_walk.hpp"
#include "graph/graph_index.hpp"
#include "metrics/metrics.hpp"

namespace halqen::graph {
namespace {

// Matches scored to choose where the walk starts: a few dozen, spread over
// the matches, find the region of the nearest ones even when it lies away
// from where the unfiltered descent ends (attributes that follow clusters).
constexpr std::size_t kSeedSample = 32;
// Slots per kernel call of the exact scan: enough rows in flight.
constexpr std::size_t kScanChunk = 64;

// kSeedSample matches evenly spaced over the selection, or all of them.
std::vector<std::uint32_t> sample_matches(const AttributePostings& postings,
                                          const ValueSelection& selection) {
  const std::size_t wanted = std::min(kSeedSample, selection.count);
  std::vector<std::uint32_t> sample;
  sample.reserve(wanted);
  std::size_t passed = 0;  // matches in the lists before the current one
  for (const std::uint32_t code : selection.codes) {
    const std::span<const std::uint32_t> slots = postings.slots(selection.position, code);
    while (sample.size() < wanted) {
      const std::size_t at = sample.size() * selection.count / wanted;
      if (at >= passed + slots.size()) break;
      sample.push_back(slots[at - passed]);
    }
    passed += slots.size();
  }
  return sample;
}

}  // namespace

std::expected<std::vector<Found>, FilterError> GraphIndex::search_filtered(
    std::span<const double> query, std::size_t k, std::size_t ef, const ValueFilter& filter) const {
  const auto position = attribute_position(filter.attribute, params_.schema);
  if (!position) return std::unexpected(position.error());
  if (size() == 0 || k == 0) return std::vector<Found>();
  const ValueSelection selection = postings_.select(*position, filter.values);
  if (selection.count == 0) return std::vector<Found>();
  ScratchPool::Lease lease = engine_.scratch().borrow();
  WalkScratch& scratch = *lease;
  ExactDistances exact(store_, query);
  if (selection.count <= kScoreMatchesUpTo) {
    return found_of(query, score_matches(selection, k, exact));
  }
  const std::size_t width = walk_width(ef, k, selection.count);
  // Unless the walk finds too few matches, or they are better all scored.
  const std::size_t wanted = std::min(k, selection.count);
  std::optional<std::vector<Candidate>> walked;
  std::optional<std::vector<Found>> found = reads_.for_query(
      query,
      [&]() -> std::optional<std::vector<Found>> {
        walked = walk_filtered(exact, selection, width, scratch);
        if (walked && walked->size() >= wanted) return found_of(query, *walked, k, exact);
        return std::nullopt;
      },
      [&](CodeDistances& coded) -> std::optional<std::vector<Found>> {
        walked = walk_filtered(coded, selection, width, scratch);
        if (walked && walked->size() >= wanted) {
          return rerank(exact, coded, *walked, k, scratch.rerank);
        }
        return std::nullopt;
      });
  if (found) return std::move(*found);
  if (!walked) {
    const std::vector<Answer> scanned = scan_partitions(selection, k, ef, exact);
    if (scanned.size() >= wanted) return found_of(query, scanned);
  }
  return found_of(query, score_matches(selection, k, exact));
}

template <class Distances>
std::optional<std::vector<Candidate>> GraphIndex::walk_filtered(Distances& distances,
                                                                const ValueSelection& selection,
                                                                std::size_t width,
                                                                WalkScratch& scratch) const {
  const Candidate start = descend_to(links(), distances, entry(), top_level(), 0, scratch);
  const AdmitSelection admit(postings_, selection);
  const FilterPlan plan =
      plan_for(selection.count, match_density_around(links(), start.slot, admit));
  if (plan == FilterPlan::ScanPartitions) return std::nullopt;
  const std::vector<Candidate> entries = walk_entries(start, selection, distances);
  walk_matches(links(), distances, entries, width, links().capacity(0), slot_count(), scratch,
               admit);
  std::vector<Candidate> nearest;
  scratch.best.sorted_into(nearest);
  return nearest;
}

template <class Distances>
std::vector<Candidate> GraphIndex::walk_entries(Candidate start, const ValueSelection& selection,
                                                Distances& distances) const {
  const std::vector<std::uint32_t> sample = sample_matches(postings_, selection);
  std::vector<double> keys(sample.size());
  distances.keys(sample.data(), sample.size(), keys.data());
  std::vector<Candidate> entries{start};
  for (std::size_t i = 0; i < sample.size(); ++i) entries.push_back({keys[i], sample[i]});
  return entries;
}

void GraphIndex::offer_all(std::span<const std::uint32_t> slots, ExactDistances& distances,
                           AnswerSet& answers) const {
  std::array<double, kScanChunk> keys;
  for (std::size_t begin = 0; begin < slots.size(); begin += kScanChunk) {
    const std::size_t count = std::min(kScanChunk, slots.size() - begin);
    distances.keys(slots.data() + begin, count, keys.data());
    for (std::size_t i = 0; i < count; ++i) {
      offer_answer(answers, {keys[i], slots[begin + i]}, distances);
    }
  }
}

std::vector<Answer> GraphIndex::score_matches(const ValueSelection& selection, std::size_t k,
                                              ExactDistances& distances) const {
  AnswerSet answers;
  answers.reset(k);
  for (const std::uint32_t code : selection.codes) {
    offer_all(postings_.slots(selection.position, code), distances, answers);
  }
  return answers.take_sorted();
}

std::vector<Answer> GraphIndex::scan_partitions(const ValueSelection& selection, std::size_t k,
                                                std::size_t ef, ExactDistances& distances) const {
  AnswerSet answers;
  answers.reset(k);
  const std::size_t budget = kScannedPerWidth * std::max(ef, k);
  for (const std::uint32_t code : selection.codes) {
    const std::span<const std::uint32_t> slots = postings_.slots(selection.position, code);
    if (slots.size() <= kScoreMatchesUpTo) {
      offer_all(slots, distances, answers);
      continue;
    }
    const auto partition = partitions_->partition(postings_, selection.position, code, store_);
    for (const auto bucket : partition->nearest_buckets(distances, budget)) {
      offer_all(bucket, distances, answers);
    }
    offer_all(slots.subspan(partition->covered()), distances, answers);
  }
  return answers.take_sorted();
}

}  // namespace halqen::graph
