// Filtered graph search against an exact filtered scan, and the postings'
// value rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/interrupt.hpp"
#include "graph/attribute_postings.hpp"
#include "graph/exact_distances.hpp"
#include "graph/filter_plan.hpp"
#include "graph/filtered_walk.hpp"
#include "graph/graph_index.hpp"
#include "graph/match_partition.hpp"
#include "graph/match_set.hpp"

namespace halqen::graph {
namespace {

constexpr std::size_t kDim = 12;
constexpr std::size_t kClusters = 10;
// Enough vectors that a 70% attribute is walked, a cluster's tag scored.
constexpr std::size_t kCount = 2 * kScoreMatchesUpTo;
constexpr std::size_t kQueries = 40;
constexpr std::size_t kK = 10;

struct Data {
  std::vector<double> values;
  std::vector<MetadataRecord> records;  // [cluster tag, common flag, cluster half]
};

// Clusters in the "low" half: more than kScoreMatchesUpTo vectors.
constexpr std::size_t kLowClusters = 6;

// A Gaussian mixture; each vector tagged with its cluster (correlated),
// flagged "common" at random with probability 0.7, and marked "low" in the
// first kLowClusters clusters.
Data clustered(std::size_t count, std::uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> wide(0.0, 10.0);
  std::normal_distribution<double> tight(0.0, 1.0);
  std::vector<double> centres(kClusters * kDim);
  for (double& x : centres) x = wide(rng);
  Data data;
  for (std::size_t row = 0; row < count; ++row) {
    const std::size_t cluster = rng() % kClusters;
    for (std::size_t c = 0; c < kDim; ++c) {
      data.values.push_back(centres[cluster * kDim + c] + tight(rng));
    }
    const bool common = rng() % 10 < 7;
    data.records.push_back({Metadata::Int(static_cast<std::int64_t>(cluster)),
                            Metadata::String(common ? "common" : "rare"),
                            Metadata::String(cluster < kLowClusters ? "low" : "high")});
  }
  return data;
}

// Adds the vectors [begin, end) of `data`.
void add_rows(GraphIndex& index, const Data& data, std::size_t begin, std::size_t end) {
  NeverInterrupt never;
  ThreadRunner runner(2, never);
  Addition addition;
  addition.count = end - begin;
  addition.values.assign(data.values.begin() + begin * kDim, data.values.begin() + end * kDim);
  addition.records.emplace(data.records.begin() + begin, data.records.begin() + end);
  EXPECT_TRUE(index.add(std::move(addition), runner, nullptr).has_value());
}

// An index of the first `count` vectors of `data`.
GraphIndex build(const Data& data, std::size_t count, WalkKind walk = WalkKind::Exact) {
  GraphParams params;
  params.walk = walk;
  params.dim = kDim;
  params.m = 6;
  params.ef_construction = 40;
  params.schema = Schema{"tag", "kind", "half"};
  auto index = GraphIndex::create(params);
  EXPECT_TRUE(index.has_value());
  add_rows(*index, data, 0, count);
  return std::move(*index);
}

// The k nearest admitted slots by scoring every vector.
std::vector<std::uint32_t> exact_filtered(const Data& data, std::span<const double> query,
                                          std::size_t position, const std::vector<Metadata>& values,
                                          std::size_t k = kK) {
  const MetricFn metric = metric_function(MetricKind::Euclidean);
  std::vector<Candidate> admitted;
  for (std::uint32_t slot = 0; slot < kCount; ++slot) {
    const Metadata& held = data.records[slot][position];
    if (std::find(values.begin(), values.end(), held) == values.end()) continue;
    admitted.push_back({metric(query, std::span(data.values).subspan(slot * kDim, kDim)), slot});
  }
  std::sort(admitted.begin(), admitted.end(), Nearer{});
  std::vector<std::uint32_t> slots;
  for (std::size_t i = 0; i < std::min(k, admitted.size()); ++i) {
    slots.push_back(admitted[i].slot);
  }
  return slots;
}

// The first kCount vectors of `data` and their postings, without a graph.
struct Stored {
  explicit Stored(const Data& data) {
    store.append(std::vector<double>(data.values.begin(), data.values.begin() + kCount * kDim),
                 kCount);
    for (std::uint32_t slot = 0; slot < kCount; ++slot) postings.insert(slot, data.records[slot]);
  }
  VectorStore store{kDim, MetricKind::Euclidean, RowStorage::Adaptive};
  AttributePostings postings{3};
};

std::size_t position_of(const std::string& attribute) {
  return attribute == "tag" ? 0 : attribute == "kind" ? 1 : 2;
}

// Searches every query, checks that only matches come, nearest first, as
// many as exist up to k, and returns the share of the exact answer found.
double filtered_recall(const GraphIndex& index, const Data& data, const ValueFilter& filter) {
  const std::size_t position = position_of(filter.attribute);
  std::size_t hits = 0;
  std::size_t wanted = 0;
  for (std::size_t q = 0; q < kQueries; ++q) {
    const std::span<const double> query(data.values.data() + (kCount + q) * kDim, kDim);
    const auto found = index.search(query, kK, 4 * kK, &filter);
    EXPECT_TRUE(found.has_value());
    const std::vector<std::uint32_t> truth = exact_filtered(data, query, position, filter.values);
    EXPECT_EQ(found->size(), truth.size());
    const std::set<std::uint32_t> true_set(truth.begin(), truth.end());
    for (std::size_t i = 0; i < found->size(); ++i) {
      const Metadata& held = data.records[(*found)[i].id][position];
      EXPECT_NE(std::find(filter.values.begin(), filter.values.end(), held), filter.values.end());
      if (i > 0) {
        EXPECT_LE((*found)[i - 1].value, (*found)[i].value);
      }
      hits += true_set.count(static_cast<std::uint32_t>((*found)[i].id));
    }
    wanted += truth.size();
  }
  return static_cast<double>(hits) / static_cast<double>(wanted);
}

TEST(GraphFilter, FindsOnlyMatchesKOfThemAndTheNearestAtEverySelectivity) {
  const Data data = clustered(kCount + kQueries, 1);  // the last ones are queries
  const GraphIndex index = build(data, kCount);
  const std::vector<ValueFilter> filters = {
      {"kind", {Metadata::String("common")}},  // walked
      {"tag",
       {Metadata::Int(0), Metadata::Int(1), Metadata::Int(2), Metadata::Int(3), Metadata::Int(4),
        Metadata::Int(5), Metadata::Int(6), Metadata::Int(7)}},  // walked, by cluster
      {"half",
       {Metadata::String("low")}},  // walked, or partitions where the query's cluster has none
      {"tag", {Metadata::Int(3)}},  // scored
      {"kind", {Metadata::String("rare"), Metadata::Int(3)}},  // scored
  };
  for (const ValueFilter& filter : filters) {
    EXPECT_GE(filtered_recall(index, data, filter), 0.95)
        << filter.attribute << " with " << filter.values.size() << " values";
  }
}

// A frequent value that follows the clusters has its partition when the
// add that made it frequent returns: the first searches build nothing. As
// rows come and go, it is revised with them, and the searches still find
// the nearest matches among the rows then held.
// On the rows, and on codes, where the scan keeps the nearest by code and
// scores those exactly.
class PartitionsFollowValues : public testing::TestWithParam<WalkKind> {};

TEST_P(PartitionsFollowValues, ReadyAfterAChangeAndFindingTheNearestLiveMatches) {
  const Data data = clustered(kCount + kQueries, 5);
  const std::size_t first = kCount * 7 / 8;  // more "low" matches than are scored
  GraphIndex index = build(data, first, GetParam());
  const ValueFilter low{"half", {Metadata::String("low")}};
  // Searches change nothing kept where every partition they scan is ready.
  const auto searched_alone = [&](const GraphIndex& searched) {
    const std::uint64_t bytes_before = searched.heap_bytes();
    for (std::size_t q = 0; q < kQueries; ++q) {
      const std::span<const double> query(data.values.data() + (kCount + q) * kDim, kDim);
      EXPECT_TRUE(searched.search(query, kK, 4 * kK, &low).has_value());
    }
    return searched.heap_bytes() == bytes_before;
  };
  EXPECT_TRUE(searched_alone(index)) << "a search built a partition after the add";
  add_rows(index, data, first, kCount);
  EXPECT_GE(filtered_recall(index, data, low), 0.95);
  NeverInterrupt never;
  ThreadRunner runner(2, never);
  std::vector<std::uint64_t> gone;
  for (std::uint64_t id = 0; id < kCount; id += 7) gone.push_back(id);
  ASSERT_TRUE(index.remove(gone, runner).has_value());
  std::vector<std::uint64_t> moved;
  std::vector<MetadataRecord> records;
  for (std::uint64_t id = 1; id < kCount; id += 7) {
    moved.push_back(id);
    records.push_back({Metadata::Int(0), Metadata::String("rare"), Metadata::String("high")});
  }
  ASSERT_TRUE(index.update_records(moved, records, runner).has_value());
  EXPECT_TRUE(searched_alone(index)) << "a search built a partition after the changes";
  auto loaded = GraphIndex::from_parts(index.parts());
  ASSERT_TRUE(loaded.has_value());
  EXPECT_TRUE(searched_alone(*loaded)) << "a search built a partition after a load";
  // Ids 7j were removed, 7j + 1 moved to "high": the others keep their half.
  const auto still_low = [&](std::uint64_t id) {
    return id % 7 > 1 && data.records[id][2] == Metadata::String("low");
  };
  const MetricFn metric = metric_function(MetricKind::Euclidean);
  std::size_t hits = 0;
  for (std::size_t q = 0; q < kQueries; ++q) {
    const std::span<const double> query(data.values.data() + (kCount + q) * kDim, kDim);
    std::vector<Candidate> truth;
    for (std::uint32_t id = 0; id < kCount; ++id) {
      if (still_low(id)) {
        truth.push_back({metric(query, std::span(data.values).subspan(id * kDim, kDim)), id});
      }
    }
    std::sort(truth.begin(), truth.end(), Nearer{});
    std::set<std::uint64_t> nearest;
    for (std::size_t i = 0; i < kK; ++i) nearest.insert(truth[i].slot);
    const auto found = index.search(query, kK, 4 * kK, &low);
    ASSERT_TRUE(found.has_value());
    ASSERT_EQ(found->size(), kK);
    for (const Found& hit : *found) {
      EXPECT_TRUE(still_low(hit.id)) << hit.id;
      EXPECT_EQ(hit.value, metric(query, std::span(data.values).subspan(hit.id * kDim, kDim)));
      hits += nearest.count(hit.id);
    }
  }
  EXPECT_GE(static_cast<double>(hits) / static_cast<double>(kQueries * kK), 0.95);
}

// An or of six clusters' tags: more matches than are scored one by one, none
// near a query in the other clusters, and no partition to scan: every
// match is scored, by code on codes, and the nearest exactly.
TEST_P(PartitionsFollowValues, ManyMatchesAwayFromTheQueryAreAllLookedAt) {
  const Data data = clustered(kCount + kQueries, 9);
  const GraphIndex index = build(data, kCount, GetParam());
  const auto tags = [](std::int64_t first) {
    return FilterExpression::any_of(
        0, {Metadata::Int(first), Metadata::Int(first + 1), Metadata::Int(first + 2)});
  };
  const PreparedFilter six = index.prepare_filter(FilterExpression::one_of({tags(0), tags(3)}));
  ASSERT_GT(six.count, kScoreMatchesUpTo);
  const std::vector<Metadata> values = {Metadata::Int(0), Metadata::Int(1), Metadata::Int(2),
                                        Metadata::Int(3), Metadata::Int(4), Metadata::Int(5)};
  const MetricFn metric = metric_function(MetricKind::Euclidean);
  std::size_t hits = 0;
  for (std::size_t q = 0; q < kQueries; ++q) {
    const std::span<const double> query(data.values.data() + (kCount + q) * kDim, kDim);
    const std::vector<Found> found = index.search_prepared(query, kK, 4 * kK, &six);
    ASSERT_EQ(found.size(), kK);
    const std::vector<std::uint32_t> truth = exact_filtered(data, query, 0, values);
    for (const Found& hit : found) {
      EXPECT_LT(std::get<std::int64_t>(data.records[hit.id][0].value), 6);
      EXPECT_EQ(hit.value, metric(query, std::span(data.values).subspan(hit.id * kDim, kDim)));
      hits += std::count(truth.begin(), truth.end(), hit.id);
    }
  }
  EXPECT_GE(static_cast<double>(hits) / static_cast<double>(kQueries * kK), 0.95);
}

INSTANTIATE_TEST_SUITE_P(Walks, PartitionsFollowValues,
                         testing::Values(WalkKind::Exact, WalkKind::Sq8));

// A partition revised by random changes holds each member of the value
// once, and scanning all its buckets is the exact scan of those members.
TEST(MatchPartition, ARevisedPartitionHoldsEachMemberOnce) {
  const Data data = clustered(kCount + kQueries, 8);
  const Stored stored(data);
  std::mt19937_64 rng(8);
  std::set<std::uint32_t> model;
  for (std::uint32_t slot = 0; slot < kCount; ++slot) {
    if (rng() % 2 == 0) model.insert(slot);
  }
  const std::vector<std::uint32_t> first(model.begin(), model.end());
  MatchPartition partition = MatchPartition::build(first, stored.store);
  for (int round = 0; round < 20; ++round) {
    // Slots touched: some leave, some join, some leave and come back.
    std::set<std::uint32_t> touched;
    const std::size_t count = 1 + rng() % (round % 5 == 0 ? kCount : 64);
    for (std::size_t i = 0; i < count; ++i) {
      touched.insert(static_cast<std::uint32_t>(rng() % kCount));
    }
    std::vector<std::uint32_t> joining;
    for (const std::uint32_t slot : touched) {
      model.erase(slot);
      if (rng() % 3 == 0) {
        model.insert(slot);
        joining.push_back(slot);
      }
    }
    const std::vector<std::uint32_t> leaving(touched.begin(), touched.end());
    partition = partition.revised(leaving, joining, stored.store);
    ASSERT_EQ(partition.size(), model.size()) << "round " << round;
    const std::span<const double> query(data.values.data() + (kCount + round % kQueries) * kDim,
                                        kDim);
    ExactDistances distances(stored.store, query);
    std::vector<std::uint32_t> scanned;
    for (const auto& bucket : partition.keyed_buckets(distances)) {
      scanned.insert(scanned.end(), bucket.members.begin(), bucket.members.end());
    }
    std::sort(scanned.begin(), scanned.end());
    ASSERT_TRUE(std::equal(scanned.begin(), scanned.end(), model.begin(), model.end()))
        << "round " << round;
  }
}

// Scanning every bucket is scoring every member: the same keys, bit for bit.
TEST(MatchPartition, ScanningEveryBucketIsTheExactScan) {
  const Data data = clustered(kCount + kQueries, 6);
  const Stored stored(data);
  const VectorStore& store = stored.store;
  const AttributePostings& postings = stored.postings;
  const std::vector<Metadata> common{Metadata::String("common")};
  const ValueSelection selection = postings.select(1, common);
  const auto members = postings.slots(1, selection.codes.front());
  const MatchPartition partition = MatchPartition::build(members, store);
  ASSERT_EQ(partition.size(), members.size());
  for (std::size_t q = 0; q < kQueries; ++q) {
    const std::span<const double> query(data.values.data() + (kCount + q) * kDim, kDim);
    ExactDistances distances(store, query);
    BestSet best;
    best.reset(kK);
    for (const auto& bucket : partition.keyed_buckets(distances)) {
      for (const std::uint32_t slot : bucket.members) best.offer({distances.key(slot), slot});
    }
    const std::vector<Candidate> found = best.take_sorted();
    const std::vector<std::uint32_t> truth = exact_filtered(data, query, 1, common);
    ASSERT_EQ(found.size(), truth.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
      EXPECT_EQ(found[i].slot, truth[i]);
      EXPECT_EQ(found[i].key, distances.key(truth[i]));
    }
  }
}

TEST(GraphFilter, MatchingNothingOrEveryVector) {
  const Data data = clustered(kCount, 3);
  const GraphIndex index = build(data, kCount);
  const std::span<const double> query(data.values.data(), kDim);
  const ValueFilter none{"tag", {Metadata::Float(0.0), Metadata::Int(kClusters)}};
  EXPECT_TRUE(index.search(query, kK, kK, &none)->empty());
  const ValueFilter no_values{"tag", {}};
  EXPECT_TRUE(index.search(query, kK, kK, &no_values)->empty());
  ValueFilter every{"tag", {}};
  for (std::size_t c = 0; c < kClusters; ++c) every.values.push_back(Metadata::Int(c));
  const auto found_all = index.search(query, kK, kK, &every);
  const auto unfiltered = index.search(query, kK, kCount, nullptr);
  ASSERT_EQ(found_all->size(), kK);
  EXPECT_EQ(found_all->front().id, unfiltered->front().id);
}

// The two-hop walk straight on the graph, from the descent's end.
TEST(GraphFilter, TheWalkFindsTheNearestMatchesFromTheDescentsEnd) {
  const Data data = clustered(kCount + kQueries, 4);
  const GraphIndex index = build(data, kCount);
  const Stored stored(data);
  const VectorStore& store = stored.store;
  const AttributePostings& postings = stored.postings;
  const std::vector<Metadata> rare{Metadata::String("rare")};
  const ValueSelection selection = postings.select(1, rare);
  const AdmitSelection admit(postings, selection);
  std::size_t hits = 0;
  for (std::size_t q = 0; q < kQueries; ++q) {
    const std::span<const double> query(data.values.data() + (kCount + q) * kDim, kDim);
    ExactDistances distances(store, query);
    WalkScratch scratch;
    Candidate start{distances.key(index.entry()), index.entry()};
    for (unsigned layer = index.links().level(index.entry()); layer > 0; --layer) {
      start = greedy_descent(index.links(), distances, start, layer, scratch);
    }
    walk_matches(index.links(), distances, std::span(&start, 1), 4 * kK, index.links().capacity(0),
                 kCount, scratch, admit);
    const std::vector<Candidate> found = scratch.best.take_sorted();
    const std::vector<std::uint32_t> truth = exact_filtered(data, query, 1, rare);
    for (std::size_t i = 0; i < std::min(kK, found.size()); ++i) {
      ASSERT_TRUE(admit(found[i].slot));
      hits += std::count(truth.begin(), truth.end(), found[i].slot);
    }
  }
  EXPECT_GE(static_cast<double>(hits), 0.95 * kK * kQueries);
}

TEST(AttributePostings, EqualityIsTheMetadataEquality) {
  AttributePostings postings(1);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  postings.insert(7, std::vector{Metadata::Float(0.0)});
  postings.insert(3, std::vector{Metadata::Float(-0.0)});
  postings.insert(5, std::vector{Metadata::Float(nan)});
  postings.insert(1, std::vector{Metadata::Int(1)});
  postings.insert(2, std::vector{Metadata::Float(1.0)});
  postings.insert(4, std::vector{Metadata::String("1")});
  postings.insert(6, std::vector<Metadata>{});
  const auto count = [&](std::vector<Metadata> values) { return postings.select(0, values).count; };
  EXPECT_EQ(count({Metadata::Float(-0.0)}), 2u);
  EXPECT_EQ(count({Metadata::Float(nan)}), 0u);
  EXPECT_EQ(count({Metadata::Int(1)}), 1u);
  EXPECT_EQ(count({Metadata::Int(1), Metadata::Int(1), Metadata::Float(1.0)}), 2u);
  EXPECT_EQ(count({Metadata::String("1"), Metadata::Int(0)}), 1u);
  const ValueSelection zero = postings.select(0, std::vector{Metadata::Float(0.0)});
  const auto zeros = postings.slots(0, zero.codes.front());
  EXPECT_EQ(std::vector(zeros.begin(), zeros.end()), (std::vector<std::uint32_t>{3, 7}));
  EXPECT_EQ(postings.code(0, 5), AttributePostings::kNoCode);
  EXPECT_EQ(postings.code(0, 6), AttributePostings::kNoCode);
  postings.erase(3);
  EXPECT_EQ(count({Metadata::Float(0.0)}), 1u);
  EXPECT_EQ(postings.code(0, 3), AttributePostings::kNoCode);
}

// Random sets of slots against std::set: every operation, the count, the
// order of a visit and the slots at given ranks.
TEST(MatchSetModel, EveryOperationAgreesWithAPlainSet) {
  constexpr std::uint32_t kSlots = 517;  // not a whole number of words
  std::mt19937 rng(9);
  const auto drawn = [&](MatchSet& set, std::set<std::uint32_t>& model) {
    for (std::uint32_t i = rng() % kSlots; i > 0; --i) {
      const std::uint32_t slot = rng() % kSlots;
      set.add(slot);
      model.insert(slot);
    }
  };
  std::set<std::uint32_t> live_model;
  MatchSet live(kSlots);
  drawn(live, live_model);
  for (int trial = 0; trial < 200; ++trial) {
    MatchSet a(kSlots);
    MatchSet b(kSlots);
    std::set<std::uint32_t> a_model;
    std::set<std::uint32_t> b_model;
    drawn(a, a_model);
    drawn(b, b_model);
    std::set<std::uint32_t> expected;
    switch (trial % 3) {
      case 0:
        a.keep_common(b);
        std::ranges::set_intersection(a_model, b_model, std::inserter(expected, expected.end()));
        break;
      case 1:
        a.add_all(b);
        std::ranges::set_union(a_model, b_model, std::inserter(expected, expected.end()));
        break;
      default:
        a.complement_within(live);
        std::ranges::set_difference(live_model, a_model, std::inserter(expected, expected.end()));
    }
    std::vector<std::uint32_t> visited;
    a.for_each([&](std::uint32_t slot) { visited.push_back(slot); });
    ASSERT_TRUE(std::ranges::equal(visited, expected)) << trial;
    ASSERT_EQ(a.count(), expected.size());
    ASSERT_EQ(a.empty(), expected.empty());
    std::vector<std::uint32_t> ranks;
    for (std::uint32_t r = 0; r < expected.size(); ++r) {
      if (rng() % 3 == 0) ranks.push_back(r);
    }
    std::vector<std::uint32_t> at;
    for (const std::uint32_t r : ranks) at.push_back(visited[r]);
    ASSERT_EQ(a.at_ranks(ranks), at) << trial;
  }
}

}  // namespace
}  // namespace halqen::graph
