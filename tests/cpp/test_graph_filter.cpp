// Filtered graph search against an exact filtered scan, and the postings'
// value rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "common/interrupt.hpp"
#include "graph/attribute_postings.hpp"
#include "graph/distance_computer.hpp"
#include "graph/filter_plan.hpp"
#include "graph/filtered_walk.hpp"
#include "graph/graph_index.hpp"

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
  std::vector<MetadataRecord> records;  // [cluster tag, common flag]
};

// A Gaussian mixture; each vector tagged with its cluster (correlated) and
// flagged "common" at random with probability 0.7.
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
                            Metadata::String(common ? "common" : "rare")});
  }
  return data;
}

// An index of the first `count` vectors of `data`.
GraphIndex build(const Data& data, std::size_t count) {
  GraphParams params;
  params.dim = kDim;
  params.m = 6;
  params.ef_construction = 40;
  params.schema = Schema{"tag", "kind"};
  auto index = GraphIndex::create(params);
  EXPECT_TRUE(index.has_value());
  NeverInterrupt never;
  ThreadRunner runner(2, never);
  Addition addition;
  addition.count = count;
  addition.values.assign(data.values.begin(), data.values.begin() + count * kDim);
  addition.records.emplace(data.records.begin(), data.records.begin() + count);
  EXPECT_TRUE(index->add(std::move(addition), runner, nullptr).has_value());
  return std::move(*index);
}

// The k nearest admitted slots by scoring every vector.
std::vector<std::uint32_t> exact_filtered(const Data& data, std::span<const double> query,
                                          std::size_t position,
                                          const std::vector<Metadata>& values) {
  const MetricFn metric = metric_function(MetricKind::Euclidean);
  std::vector<Candidate> admitted;
  for (std::uint32_t slot = 0; slot < kCount; ++slot) {
    const Metadata& held = data.records[slot][position];
    if (std::find(values.begin(), values.end(), held) == values.end()) continue;
    admitted.push_back({metric(query, std::span(data.values).subspan(slot * kDim, kDim)), slot});
  }
  std::sort(admitted.begin(), admitted.end(), nearer);
  std::vector<std::uint32_t> slots;
  for (std::size_t i = 0; i < std::min(kK, admitted.size()); ++i) {
    slots.push_back(admitted[i].slot);
  }
  return slots;
}

TEST(GraphFilter, FindsOnlyMatchesKOfThemAndTheNearestAtEverySelectivity) {
  const Data data = clustered(kCount + kQueries, 1);  // the last ones are queries
  const GraphIndex index = build(data, kCount);
  const std::vector<ValueFilter> filters = {
      {"kind", {Metadata::String("common")}},  // walked
      {"tag",
       {Metadata::Int(0), Metadata::Int(1), Metadata::Int(2), Metadata::Int(3), Metadata::Int(4),
        Metadata::Int(5), Metadata::Int(6), Metadata::Int(7)}},  // walked, by cluster
      {"tag", {Metadata::Int(3)}},                               // scored
      {"kind", {Metadata::String("rare"), Metadata::Int(3)}},    // scored
  };
  for (const ValueFilter& filter : filters) {
    const std::size_t position = filter.attribute == "tag" ? 0 : 1;
    std::size_t hits = 0;
    std::size_t wanted = 0;
    for (std::size_t q = 0; q < kQueries; ++q) {
      const std::span<const double> query(data.values.data() + (kCount + q) * kDim, kDim);
      const auto found = index.search(query, kK, 4 * kK, &filter);
      ASSERT_TRUE(found.has_value());
      const std::vector<std::uint32_t> truth = exact_filtered(data, query, position, filter.values);
      ASSERT_EQ(found->size(), truth.size());
      const std::set<std::uint32_t> true_set(truth.begin(), truth.end());
      for (std::size_t i = 0; i < found->size(); ++i) {
        const Metadata& held = data.records[(*found)[i].id][position];
        ASSERT_NE(std::find(filter.values.begin(), filter.values.end(), held), filter.values.end());
        if (i > 0) {
          ASSERT_LE((*found)[i - 1].value, (*found)[i].value);
        }
        hits += true_set.count(static_cast<std::uint32_t>((*found)[i].id));
      }
      wanted += truth.size();
    }
    EXPECT_GE(static_cast<double>(hits), 0.95 * static_cast<double>(wanted))
        << filter.attribute << " with " << filter.values.size() << " values";
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

// Both walks straight on the graph: the one led by every node is planned
// only past tens of thousands of matches.
TEST(GraphFilter, BothWalksFindTheNearestMatchesFromTheDescentsEnd) {
  const Data data = clustered(kCount + kQueries, 4);
  const GraphIndex index = build(data, kCount);
  VectorStore store(kDim, MetricKind::Euclidean);
  store.append(std::vector<double>(data.values.begin(), data.values.begin() + kCount * kDim),
               kCount);
  AttributePostings postings(2);
  for (std::uint32_t slot = 0; slot < kCount; ++slot) postings.insert(slot, data.records[slot]);
  const std::vector<Metadata> rare{Metadata::String("rare")};
  const ValueSelection selection = postings.select(1, rare);
  const AdmitSelection admit(postings, selection);
  for (const bool through_all : {false, true}) {
    std::size_t hits = 0;
    for (std::size_t q = 0; q < kQueries; ++q) {
      const std::span<const double> query(data.values.data() + (kCount + q) * kDim, kDim);
      ExactDistances distances(store, query);
      WalkScratch scratch;
      Candidate start{distances.key(index.entry()), index.entry()};
      for (unsigned layer = index.links().level(index.entry()); layer > 0; --layer) {
        start = greedy_descent(index.links(), distances, start, layer, scratch);
      }
      walk_matches(index.links(), distances, std::span(&start, 1), 4 * kK,
                   index.links().capacity(0), through_all, kCount, scratch, admit);
      const std::vector<Candidate> found = scratch.best.take_sorted();
      const std::vector<std::uint32_t> truth = exact_filtered(data, query, 1, rare);
      for (std::size_t i = 0; i < std::min(kK, found.size()); ++i) {
        ASSERT_TRUE(admit(found[i].slot));
        hits += std::count(truth.begin(), truth.end(), found[i].slot);
      }
    }
    EXPECT_GE(static_cast<double>(hits), 0.95 * kK * kQueries) << "through_all " << through_all;
  }
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

}  // namespace
}  // namespace halqen::graph
