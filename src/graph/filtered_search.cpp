// A filtered search: count the matches (from the postings for one
// attribute's values, as a set of slots for any other expression), then
// score them all when they are few; else walk the graph over the matches
// where they lie dense around the query, or, where they lie sparse, scan
// the partitions of one attribute's values, or score every match of any
// other expression; finish with the exact scan when a walk or a scan found
// fewer than it must return.
#include <algorithm>
#include <array>
#include <utility>

#include "graph/code_distances.hpp"
#include "graph/exact_distances.hpp"
#include "graph/filtered_walk.hpp"
#include "graph/graph_index.hpp"
#include "graph/match_set.hpp"
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

// kSeedSample slots evenly spaced over `slots`, or all of them.
std::vector<std::uint32_t> spread_over(std::span<const std::uint32_t> slots) {
  const std::size_t wanted = std::min(kSeedSample, slots.size());
  std::vector<std::uint32_t> sample(wanted);
  for (std::size_t i = 0; i < wanted; ++i) sample[i] = slots[i * slots.size() / wanted];
  return sample;
}

// kSeedSample matches evenly spaced over the set, or all of them.
std::vector<std::uint32_t> sample_matches(const MatchSet& matches, std::size_t count) {
  const std::size_t wanted = std::min(kSeedSample, count);
  std::vector<std::uint32_t> ranks(wanted);
  for (std::size_t i = 0; i < wanted; ++i)
    ranks[i] = static_cast<std::uint32_t>(i * count / wanted);
  return matches.at_ranks(ranks);
}

// The slots of `slots` in `within`, into `admitted`.
std::span<const std::uint32_t> admitted_of(std::span<const std::uint32_t> slots,
                                           const MatchSet& within,
                                           std::vector<std::uint32_t>& admitted) {
  admitted.clear();
  for (const std::uint32_t slot : slots) {
    if (within.contains(slot)) admitted.push_back(slot);
  }
  return admitted;
}

// Offers `slots` to `best` by their code keys.
void offer_by_code(std::span<const std::uint32_t> slots, CodeDistances& coded, BestSet& best) {
  std::array<double, kScanChunk> keys;
  for (std::size_t begin = 0; begin < slots.size(); begin += kScanChunk) {
    const std::size_t count = std::min(kScanChunk, slots.size() - begin);
    coded.keys(slots.data() + begin, count, keys.data());
    for (std::size_t i = 0; i < count; ++i) best.offer({keys[i], slots[begin + i]});
  }
}

// A slot is in the set: one bit read.
class AdmitSet {
 public:
  explicit AdmitSet(const MatchSet& matches) : matches_(matches) {}
  bool operator()(std::uint32_t slot) const { return matches_.contains(slot); }

 private:
  const MatchSet& matches_;
};

}  // namespace

std::expected<std::vector<Found>, FilterError> GraphIndex::search_filtered(
    std::span<const double> query, std::size_t k, std::size_t ef, const ValueFilter& filter) const {
  const auto position = attribute_position(filter.attribute, params_.schema);
  if (!position) return std::unexpected(position.error());
  const PreparedFilter prepared =
      prepare_filter(FilterExpression::any_of(*position, filter.values));
  return search_prepared(query, k, ef, &prepared);
}

PreparedFilter GraphIndex::prepare_filter(const FilterExpression& expression) const {
  PreparedFilter prepared;
  if (expression.kind == FilterExpression::Kind::AnyOf) {
    prepared.selection = postings_.select(expression.position, expression.values);
    prepared.count = prepared.selection->count;
    if (prepared.count > kScoreMatchesUpTo) {
      prepared.sample = sample_matches(postings_, *prepared.selection);
    }
    return prepared;
  }
  if (expression.kind == FilterExpression::Kind::Range) {
    // A range's matches are one run of the value order: counted and
    // sampled from the run, with no pass over the set's words.
    const NumericView view = orders_->of(postings_, expression.position);
    prepared.matches.emplace(slot_count());
    prepared.count = add_in_range(*prepared.matches, view, postings_, expression.position,
                                  expression.lower, expression.upper);
    if (prepared.count > kScoreMatchesUpTo) {
      // Slots changed since the order was built may have left the range.
      for (const std::uint32_t slot :
           spread_over(view.order->slots_in(expression.lower, expression.upper))) {
        if (slot < prepared.matches->capacity() && prepared.matches->contains(slot)) {
          prepared.sample.push_back(slot);
        }
      }
    }
    return prepared;
  }
  prepared.matches = matching_slots(
      expression,
      {.postings = postings_, .orders = *orders_, .labels = labels_, .slots = engine_.slots()});
  prepared.count = prepared.matches->count();
  if (prepared.count > kScoreMatchesUpTo) {
    prepared.sample = sample_matches(*prepared.matches, prepared.count);
    prepared.guide = guide_of(expression);
  }
  return prepared;
}

std::vector<Found> GraphIndex::search_filtered(std::span<const double> query, std::size_t k,
                                               std::size_t ef, const PreparedFilter& filter) const {
  if (size() == 0 || k == 0 || filter.count == 0) return {};
  ExactDistances exact(store_, query);
  const MatchWalk walk{.count = filter.count, .sample = filter.sample};
  const bool walks = !scores_every_match(filter.count, k, ef);
  if (filter.selection) {
    const ValueSelection& selection = *filter.selection;
    if (walks) {
      auto found = search_matches(query, k, ef, walk, AdmitSelection(postings_, selection), exact);
      if (found) return std::move(*found);
      // Where the matches lie sparse around the query, or the walk found
      // too few: the values' partitions, unless they give too few as well.
      const PartitionScan scan{.selection = selection,
                               .budget = kScannedPerWidth * std::max(ef, k),
                               .width = walk_width(ef, k, selection.count),
                               .within = nullptr};
      auto scanned = scan_partitions(query, k, scan, exact);
      if (scanned && scanned->size() >= std::min(k, selection.count)) return std::move(*scanned);
    }
    return score_matches(query, selection, selection.count, k, ef, exact);
  }
  const MatchSet& matches = *filter.matches;
  if (walks) {
    auto found = search_matches(query, k, ef, walk, AdmitSet(matches), exact);
    if (found) return std::move(*found);
    // Sparse around the query: the partitions of the values an and
    // requires, their members tested against the whole expression, the
    // budget grown by the share of them it admits.
    if (filter.guide) {
      const std::size_t budget = kScannedPerWidth * std::max(ef, k) * filter.guide->count /
                                 std::max<std::size_t>(filter.count, 1);
      const PartitionScan scan{.selection = *filter.guide,
                               .budget = budget,
                               .width = walk_width(ef, k, filter.count),
                               .within = &matches};
      auto scanned = scan_partitions(query, k, scan, exact);
      if (scanned && scanned->size() >= std::min(k, filter.count)) return std::move(*scanned);
    }
  }
  return score_matches(query, matches, filter.count, k, ef, exact);
}

std::optional<ValueSelection> GraphIndex::guide_of(const FilterExpression& expression) const {
  if (expression.kind != FilterExpression::Kind::And) return std::nullopt;
  std::optional<ValueSelection> fewest;
  for (const FilterExpression& operand : expression.operands) {
    if (operand.kind != FilterExpression::Kind::AnyOf) continue;
    ValueSelection selection = postings_.select(operand.position, operand.values);
    if (!fewest || selection.count < fewest->count) fewest = std::move(selection);
  }
  return fewest;
}

bool GraphIndex::scores_every_match(std::size_t count, std::size_t k, std::size_t ef) const {
  // A walk as wide as the matches would score them all, and might still
  // miss one it cannot reach through the others.
  return count <= kScoreMatchesUpTo || walk_width(ef, k, count) >= count;
}

template <class Admit>
std::optional<std::vector<Found>> GraphIndex::search_matches(std::span<const double> query,
                                                             std::size_t k, std::size_t ef,
                                                             const MatchWalk& walk,
                                                             const Admit& admit,
                                                             ExactDistances& exact) const {
  ScratchPool::Lease lease = engine_.scratch().borrow();
  WalkScratch& scratch = *lease;
  const std::size_t width = walk_width(ef, k, walk.count);
  // Unless the walk finds too few matches, or they lie too sparse for it.
  const std::size_t wanted = std::min(k, walk.count);
  return reads_.for_query(
      query,
      [&]() -> std::optional<std::vector<Found>> {
        const auto walked = walk_filtered(exact, walk, admit, width, scratch);
        if (walked && walked->size() >= wanted) return found_of(query, *walked, k, exact);
        return std::nullopt;
      },
      [&](CodeDistances& coded) -> std::optional<std::vector<Found>> {
        const auto walked = walk_filtered(coded, walk, admit, width, scratch);
        if (walked && walked->size() >= wanted) {
          return rerank(exact, coded, *walked, k, scratch.rerank);
        }
        return std::nullopt;
      });
}

template <class Distances, class Admit>
std::optional<std::vector<Candidate>> GraphIndex::walk_filtered(Distances& distances,
                                                                const MatchWalk& walk,
                                                                const Admit& admit,
                                                                std::size_t width,
                                                                WalkScratch& scratch) const {
  const Candidate start = descend_to(links(), distances, entry(), top_level(), 0, scratch);
  const FilterPlan plan = plan_for(walk.count, match_density_around(links(), start.slot, admit));
  if (plan == FilterPlan::ScanPartitions) return std::nullopt;
  const std::vector<Candidate> entries = walk_entries(start, walk.sample, distances);
  walk_matches(links(), distances, entries, width, links().capacity(0), slot_count(), scratch,
               admit);
  std::vector<Candidate> nearest;
  scratch.best.sorted_into(nearest);
  return nearest;
}

template <class Distances>
std::vector<Candidate> GraphIndex::walk_entries(Candidate start,
                                                std::span<const std::uint32_t> sample,
                                                Distances& distances) const {
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

void GraphIndex::visit_matches(const ValueSelection& selection,
                               FunctionRef<void(std::span<const std::uint32_t>)> visit) const {
  for (const std::uint32_t code : selection.codes) visit(postings_.slots(selection.position, code));
}

void GraphIndex::visit_matches(const MatchSet& matches,
                               FunctionRef<void(std::span<const std::uint32_t>)> visit) const {
  std::vector<std::uint32_t> chunk;
  chunk.reserve(kScanChunk);
  matches.for_each([&](std::uint32_t slot) {
    chunk.push_back(slot);
    if (chunk.size() == kScanChunk) {
      visit(chunk);
      chunk.clear();
    }
  });
  visit(chunk);
}

template <class Matches>
std::vector<Found> GraphIndex::score_matches(std::span<const double> query, const Matches& matches,
                                             std::size_t count, std::size_t k, std::size_t ef,
                                             ExactDistances& exact) const {
  const auto exactly = [&] {
    AnswerSet answers;
    answers.reset(k);
    visit_matches(matches,
                  [&](std::span<const std::uint32_t> slots) { offer_all(slots, exact, answers); });
    return found_of(query, answers.take_sorted());
  };
  if (scores_every_match(count, k, ef)) return exactly();
  // Too many to score each exactly where a walk or a scan found too few:
  // by code where the index keeps codes, the nearest then exactly, as a
  // walk does (a code is a fraction of a row's bytes).
  return reads_.for_query(query, exactly, [&](CodeDistances& coded) {
    ScratchPool::Lease lease = engine_.scratch().borrow();
    WalkScratch& scratch = *lease;
    scratch.best.reset(walk_width(ef, k, count));
    visit_matches(matches, [&](std::span<const std::uint32_t> slots) {
      offer_by_code(slots, coded, scratch.best);
    });
    std::vector<Candidate> nearest;
    scratch.best.sorted_into(nearest);
    return rerank(exact, coded, nearest, k, scratch.rerank);
  });
}

std::optional<std::vector<Found>> GraphIndex::scan_partitions(std::span<const double> query,
                                                              std::size_t k,
                                                              const PartitionScan& scan,
                                                              ExactDistances& exact) const {
  return reads_.for_query(
      query,
      [&]() -> std::optional<std::vector<Found>> {
        AnswerSet answers;
        answers.reset(k);
        scan_buckets(scan, exact, [&](std::span<const std::uint32_t> slots) {
          offer_all(slots, exact, answers);
        });
        return found_of(query, answers.take_sorted());
      },
      [&](CodeDistances& coded) -> std::optional<std::vector<Found>> {
        // The nearest by code, as a walk keeps them, scored exactly at the
        // end: a code is a fraction of a row's bytes.
        ScratchPool::Lease lease = engine_.scratch().borrow();
        WalkScratch& scratch = *lease;
        BestSet& best = scratch.best;
        best.reset(scan.width);
        scan_buckets(scan, coded, [&](std::span<const std::uint32_t> slots) {
          offer_by_code(slots, coded, best);
        });
        std::vector<Candidate> nearest;
        best.sorted_into(nearest);
        return rerank(exact, coded, nearest, k, scratch.rerank);
      });
}

void GraphIndex::scan_buckets(const PartitionScan& scan, DistanceComputer& distances,
                              FunctionRef<void(std::span<const std::uint32_t>)> offer) const {
  const ValueSelection& selection = scan.selection;
  std::vector<std::uint32_t> admitted;
  // The buckets of every selected value, nearest pivots first across
  // values, so that the budget is spent where the nearest matches lie, not
  // once per value.
  struct ValueBucket {
    MatchPartition::KeyedBucket bucket;
    std::uint32_t code;
  };
  std::vector<ValueBucket> buckets;
  std::vector<std::shared_ptr<const MatchPartition>> held;
  for (const std::uint32_t code : selection.codes) {
    const std::span<const std::uint32_t> slots = postings_.slots(selection.position, code);
    if (slots.size() <= kScoreMatchesUpTo) {
      offer(scan.within == nullptr ? slots : admitted_of(slots, *scan.within, admitted));
      continue;
    }
    held.push_back(partitions_->partition(postings_, {selection.position, code}, store_));
    for (const auto& bucket : held.back()->keyed_buckets(distances)) {
      buckets.push_back({bucket, code});
    }
  }
  std::stable_sort(buckets.begin(), buckets.end(), [](const ValueBucket& a, const ValueBucket& b) {
    return a.bucket.key < b.bucket.key;
  });
  std::size_t scanned = 0;
  for (const ValueBucket& next : buckets) {
    if (scanned >= scan.budget) break;
    // A change in progress may have taken a member out of the list since
    // the partition was last revised: only those still in it are offered.
    admitted.clear();
    for (const std::uint32_t slot : next.bucket.members) {
      if (postings_.code(selection.position, slot) == next.code &&
          (scan.within == nullptr || scan.within->contains(slot))) {
        admitted.push_back(slot);
      }
    }
    offer(admitted);
    scanned += next.bucket.members.size();
  }
}

}  // namespace halqen::graph
