// The building blocks of the graph: result list, candidate queue, visited
// set, neighbour lists and the level draw.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "distance_order.hpp"
#include "hnsw/distance_memo.hpp"
#include "hnsw/level_draw.hpp"
#include "hnsw/neighbor_list.hpp"
#include "hnsw/result_list.hpp"
#include "hnsw/visited_set.hpp"
#include "test_hnsw_support.hpp"

namespace halqen::testing {
namespace {

const double kNaN = std::nan("");

// The ids a layer scan reads, in order, whatever their width.
std::vector<std::uint32_t> scanned_ids(const NeighborList::LayerScan& scan) {
  return scan.with_ids([](auto ids) { return std::vector<std::uint32_t>(ids.begin(), ids.end()); });
}

std::vector<std::uint64_t> ids(const std::vector<SearchHit>& hits) {
  std::vector<std::uint64_t> result;
  for (const SearchHit& hit : hits) {
    result.push_back(hit.id);
  }
  return result;
}

TEST(DistanceOrder, NumbersThenNaN) {
  EXPECT_TRUE(distance_before(1.0, 2.0));
  EXPECT_FALSE(distance_before(2.0, 1.0));
  EXPECT_FALSE(distance_before(-0.0, 0.0));
  EXPECT_FALSE(distance_before(0.0, -0.0));
  EXPECT_TRUE(distance_before(1e300, kNaN));
  EXPECT_FALSE(distance_before(kNaN, 1.0));
  EXPECT_FALSE(distance_before(kNaN, kNaN));
}

// The queue and the result list rank by keys; key order must be the
// distance order exactly, for every kind of value.
TEST(DistanceOrder, RankKeysOrderAsDistances) {
  const double kInf = std::numeric_limits<double>::infinity();
  const double kTiny = std::numeric_limits<double>::denorm_min();
  const std::array<double, 12> values{-kInf, -1e300, -1.0,  -kTiny, -0.0, 0.0,
                                      kTiny, 1.0,    1e300, kInf,   kNaN, -kNaN};
  for (const double a : values) {
    for (const double b : values) {
      EXPECT_EQ(rank_key(a) < rank_key(b), distance_before(a, b)) << a << " " << b;
    }
  }
}

// The position rule written out literally: before the last equal entry, or
// after every entry that ranks before the new one.
std::size_t literal_position(const std::vector<SearchHit>& results, double distance) {
  std::size_t last_equal = results.size();
  std::size_t after_before = 0;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const double d = results[i].distance;
    if (!distance_before(d, distance) && !distance_before(distance, d)) {
      last_equal = i;
    }
    if (distance_before(d, distance)) {
      after_before = i + 1;
    }
  }
  return last_equal != results.size() ? last_equal : after_before;
}

TEST(ResultList, PositionMatchesTheLiteralRule) {
  const std::array<double, 8> pool{
      -1.0, -0.0, 0.0, 0.5, 1.0, 2.0, std::numeric_limits<double>::infinity(), kNaN};
  std::mt19937_64 engine(5);
  for (int trial = 0; trial < 2000; ++trial) {
    std::vector<SearchHit> results;
    const std::size_t length = engine() % 12;
    for (std::size_t i = 0; i < length; ++i) {
      const double d = pool[engine() % pool.size()];
      results.insert(results.begin() + static_cast<std::ptrdiff_t>(literal_position(results, d)),
                     SearchHit{d, i});
    }
    const double probe = pool[engine() % pool.size()];
    ASSERT_EQ(result_position(results, probe), literal_position(results, probe))
        << "trial " << trial << " probe " << probe;
  }
}

TEST(ResultList, EqualArrivalsEndAsBCA) {
  std::vector<SearchHit> results{{0.5, 9}};
  insert_result(results, {1.0, 1});
  insert_result(results, {1.0, 2});
  insert_result(results, {1.0, 3});
  EXPECT_EQ(ids(results), (std::vector<std::uint64_t>{9, 2, 3, 1}));
}

TEST(ResultList, NewDistanceGoesAfterEverythingBeforeIt) {
  std::vector<SearchHit> results{{1.0, 1}, {3.0, 3}, {kNaN, 5}};
  insert_result(results, {2.0, 2});
  insert_result(results, {4.0, 4});
  insert_result(results, {0.0, 0});
  EXPECT_EQ(ids(results), (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5}));
}

TEST(ResultList, NaNsAreEqualAndNegativeZeroEqualsZero) {
  std::vector<SearchHit> results{{0.0, 1}, {kNaN, 2}};
  insert_result(results, {kNaN, 3});
  insert_result(results, {-0.0, 4});
  EXPECT_EQ(ids(results), (std::vector<std::uint64_t>{4, 1, 3, 2}));
}

TEST(ResultList, OfferFollowsTheAddRule) {
  std::vector<SearchHit> results{{2.0, 0}};
  CandidateQueue queue;
  offer(results, queue, 2, {kNaN, 1});
  EXPECT_EQ(ids(results), (std::vector<std::uint64_t>{0, 1}));
  offer(results, queue, 2, {1.0, 2});
  EXPECT_EQ(ids(results), (std::vector<std::uint64_t>{0, 1}));
  EXPECT_EQ(queue.size(), 1u);

  std::vector<SearchHit> numeric{{2.0, 0}, {3.0, 1}};
  CandidateQueue numeric_queue;
  offer(numeric, numeric_queue, 2, {3.0, 2});
  EXPECT_EQ(ids(numeric), (std::vector<std::uint64_t>{0, 1}));
  offer(numeric, numeric_queue, 2, {2.5, 3});
  EXPECT_EQ(ids(numeric), (std::vector<std::uint64_t>{0, 3}));
  EXPECT_EQ(numeric_queue.size(), 1u);
}

TEST(CandidateQueue, ServesInRankOrder) {
  CandidateQueue queue;
  for (const Candidate c :
       {Candidate{2.0, 7}, Candidate{kNaN, 1}, Candidate{1.0, 9}, Candidate{2.0, 3},
        Candidate{-0.0, 8}, Candidate{0.0, 4}, Candidate{kNaN, 0}}) {
    push_candidate(queue, c);
  }
  std::vector<std::uint32_t> order;
  while (!queue.empty()) {
    order.push_back(pop_candidate(queue).id);
  }
  EXPECT_EQ(order, (std::vector<std::uint32_t>{4, 8, 9, 3, 7, 0, 1}));
}

TEST(VisitedSet, StartForgetsEarlierSearches) {
  VisitedSet visited;
  visited.start(4);
  visited.insert(2);
  EXPECT_TRUE(visited.contains(2));
  EXPECT_FALSE(visited.contains(3));
  visited.start(10);
  EXPECT_FALSE(visited.contains(2));
  visited.insert(9);
  EXPECT_TRUE(visited.contains(9));
}

// Stamps are bytes: the epoch wraps every 255 searches and must then forget
// every earlier stamp, including those of the search just before the wrap.
TEST(VisitedSet, EpochWrapForgetsEverything) {
  constexpr std::uint32_t kNodes = 8;
  constexpr int kSearches = 1000;
  VisitedSet visited;
  for (int search = 0; search < kSearches; ++search) {
    visited.start(kNodes);
    for (std::uint32_t id = 0; id < kNodes; ++id) {
      ASSERT_FALSE(visited.contains(id)) << "search " << search << " id " << id;
    }
    for (std::uint32_t id = 0; id < kNodes; id += 1 + search % 3) {
      visited.insert(id);
    }
  }
}

TEST(DistanceMemo, RemembersWithinOneOperationOnly) {
  DistanceMemo memo;
  memo.start(4);
  EXPECT_FALSE(memo.contains(2));
  memo.store(2, -0.0);
  memo.store(3, kNaN);
  ASSERT_TRUE(memo.contains(2));
  EXPECT_TRUE(std::signbit(memo.value(2)));
  EXPECT_TRUE(std::isnan(memo.value(3)));
  memo.start(6);
  EXPECT_FALSE(memo.contains(2));
  EXPECT_FALSE(memo.contains(5));
  memo.store(5, 1.5);
  EXPECT_EQ(memo.value(5), 1.5);
}

// Every distance up front only after an operation on the same graph asked
// for at least half of its nodes' distances; a plain start forgets.
TEST(DistanceMemo, HoldsEverythingAfterAnOperationThatAskedForMost) {
  DistanceMemo memo;
  const int graph = 0;
  const int other = 0;
  EXPECT_FALSE(memo.start_for(&graph, 5));
  memo.count_requests(3);
  EXPECT_TRUE(memo.start_for(&graph, 6));
  memo.count_requests(2);
  EXPECT_FALSE(memo.start_for(&graph, 6));
  memo.count_requests(6);
  EXPECT_FALSE(memo.start_for(&other, 6));
  memo.count_requests(6);
  memo.start(6);
  memo.count_requests(6);
  EXPECT_FALSE(memo.start_for(&other, 6));
  const std::span<double> all = memo.hold_all();
  ASSERT_EQ(all.size(), 6u);
  for (std::size_t id = 0; id < all.size(); ++id) {
    all[id] = static_cast<double>(id);
    EXPECT_TRUE(memo.contains(static_cast<std::uint32_t>(id)));
  }
  EXPECT_EQ(memo.value(4), 4.0);
}

TEST(VisitedSet, KeepUnvisitedKeepsOrderAndCount) {
  VisitedSet visited;
  visited.start(10);
  visited.insert(3);
  visited.insert(7);
  const std::vector<std::uint32_t> ids{7, 1, 3, 9, 0, 3, 5};
  std::vector<std::uint32_t> out(ids.size());
  const std::size_t kept = visited.keep_unvisited(ids, out.data());
  out.resize(kept);
  EXPECT_EQ(out, (std::vector<std::uint32_t>{1, 9, 0, 5}));
  EXPECT_EQ(visited.keep_unvisited({}, out.data()), 0u);
}

// The list and its sub-lists start with 16-bit ids and widen together at
// the first id beyond them, whatever its level; every layer's scan still
// reads the entries of level >= the layer, in list order, before and after.
TEST(NeighborList, ListsWidenAtTheFirstLargeId) {
  constexpr std::uint64_t kOwnerLevel = 3;
  NeighborList list(kOwnerLevel);
  std::vector<std::pair<std::uint32_t, std::uint64_t>> links;
  const auto link = [&](std::uint32_t id, std::uint64_t level) {
    links.emplace_back(id, level);
    list.append(id, level);
  };
  const auto expect_scans = [&](const std::string& when) {
    for (std::uint64_t layer = 0; layer <= kOwnerLevel + 1; ++layer) {
      std::vector<std::uint32_t> expected;
      for (const auto& [id, level] : links) {
        if (level >= std::min(layer, kOwnerLevel)) {
          expected.push_back(id);
        }
      }
      EXPECT_EQ(scanned_ids(list.for_layer(layer)), expected) << when << " layer " << layer;
    }
  };
  const auto all_of_width = [&]<typename Id>(Id) {
    for (std::uint64_t layer = 0; layer <= kOwnerLevel + 1; ++layer) {
      if (!std::holds_alternative<std::span<const Id>>(list.for_layer(layer).ids)) return false;
    }
    return true;
  };
  link(65535, 3);
  link(7, 1);
  link(9, 2);
  EXPECT_TRUE(all_of_width(NeighborList::NarrowId{}));
  expect_scans("narrow");
  link(70000, 0);  // level 0: in the full list only, which widens with the rest
  EXPECT_TRUE(all_of_width(NeighborList::WideId{}));
  link(4000000000U, 2);
  link(12, 3);
  expect_scans("wide");
  EXPECT_EQ(list.ids(), (std::vector<std::uint32_t>{65535, 7, 9, 70000, 4000000000U, 12}));
  EXPECT_EQ(list.sub_list_entries(), 5u + 4u + 2u);
}

TEST(NeighborList, SubListsKeepOrderPerLayer) {
  NeighborList list(3);
  const std::array<std::pair<std::uint32_t, std::uint64_t>, 6> links{
      {{10, 0}, {11, 2}, {12, 1}, {13, 5}, {14, 3}, {15, 0}}};
  for (const auto& [id, level] : links) {
    list.append(id, level);
  }
  const auto scan = [&list](std::uint64_t layer) {
    const NeighborList::LayerScan view = list.for_layer(layer);
    return std::pair(scanned_ids(view), view.needs_level_check);
  };
  using Scan = std::pair<std::vector<std::uint32_t>, bool>;
  EXPECT_EQ(scan(0), (Scan{{10, 11, 12, 13, 14, 15}, false}));
  EXPECT_EQ(scan(1), (Scan{{11, 12, 13, 14}, false}));
  EXPECT_EQ(scan(2), (Scan{{11, 13, 14}, false}));
  EXPECT_EQ(scan(3), (Scan{{13, 14}, false}));
  EXPECT_EQ(scan(4), (Scan{{13, 14}, true}));
  EXPECT_EQ(list.size(), 6u);
}

TEST(NeighborList, LevelZeroOwnerScansItsOnlyListWithChecks) {
  NeighborList list(0);
  list.append(4, 0);
  list.append(5, 9);
  const NeighborList::LayerScan view = list.for_layer(2);
  EXPECT_EQ(scanned_ids(view).size(), 2u);
  EXPECT_TRUE(view.needs_level_check);
}

TEST(NeighborList, IndexesAtMostTheCapLayers) {
  NeighborList list(std::numeric_limits<std::uint64_t>::max());
  list.append(1, std::numeric_limits<std::uint64_t>::max());
  list.append(2, 40);
  EXPECT_FALSE(list.for_layer(NeighborList::kMaxIndexedLayer).needs_level_check);
  EXPECT_EQ(scanned_ids(list.for_layer(NeighborList::kMaxIndexedLayer)).size(), 2u);
  EXPECT_TRUE(list.for_layer(NeighborList::kMaxIndexedLayer + 1).needs_level_check);
}

TEST(LevelWeights, StopBeforeUnderflow) {
  const std::vector<double> few = make_level_weights(3);
  EXPECT_EQ(few, (std::vector<double>{1.0, std::exp(-1.0), std::exp(-2.0)}));
  const std::vector<double> many = make_level_weights(std::numeric_limits<std::uint64_t>::max());
  ASSERT_GT(many.size(), 700u);
  ASSERT_LT(many.size(), 800u);
  EXPECT_GT(many.back(), 0.0);
  EXPECT_EQ(std::exp(-static_cast<double>(many.size())), 0.0);
  double full_total = 0.0;
  for (std::uint64_t j = 0; j < 5000; ++j) {
    full_total += std::exp(-static_cast<double>(j));
  }
  EXPECT_EQ(level_weight_total(many), full_total);
}

TEST(LevelDraw, FirstPrefixAboveTheThreshold) {
  for (const std::uint64_t layers : {1u, 5u, 9u, 30u}) {
    const std::vector<double> weights = make_level_weights(layers);
    const double total = level_weight_total(weights);
    for (std::uint64_t level = 0; level < std::min<std::uint64_t>(layers, 12); ++level) {
      ScriptedSource source({word_for_level(layers, level)});
      EXPECT_EQ(draw_level(weights, total, layers, source), level) << layers;
      EXPECT_EQ(source.draws, 1u);
    }
  }
  const std::vector<double> five = make_level_weights(5);
  ScriptedSource zero({0});
  EXPECT_EQ(draw_level(five, level_weight_total(five), 5, zero), 0u);
  ScriptedSource top({~std::uint64_t{0}});
  EXPECT_EQ(draw_level(five, level_weight_total(five), 5, top), 4u);
}

TEST(LevelDraw, NoPrefixAboveTheThresholdMeansTheTopLayer) {
  const std::vector<double> weights{0.5, 0.25};
  ScriptedSource high({~std::uint64_t{0}});
  EXPECT_EQ(draw_level(weights, 10.0, 7, high), 6u);
  ScriptedSource any({123});
  EXPECT_EQ(draw_level({}, 0.0, 0, any), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(any.draws, 1u);
}

TEST(LevelDraw, DistributionRoughlyFollowsTheWeights) {
  constexpr int kDraws = 100000;
  const std::vector<double> weights = make_level_weights(5);
  const double total = level_weight_total(weights);
  SplitMixSource source(99);
  std::array<int, 5> counts{};
  for (int i = 0; i < kDraws; ++i) {
    ++counts[draw_level(weights, total, 5, source)];
  }
  const std::array<double, 5> expected{0.636, 0.234, 0.086, 0.032, 0.012};
  for (std::size_t level = 0; level < counts.size(); ++level) {
    const double share = static_cast<double>(counts[level]) / kDraws;
    EXPECT_NEAR(share, expected[level], expected[level] * 0.15) << level;
  }
}

}  // namespace
}  // namespace halqen::testing
