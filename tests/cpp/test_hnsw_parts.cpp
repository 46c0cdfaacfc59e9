// The building blocks of the graph: result list, candidate queue, visited
// set, neighbour lists and the level draw.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "hnsw/distance_order.hpp"
#include "hnsw/level_draw.hpp"
#include "hnsw/neighbor_list.hpp"
#include "hnsw/result_list.hpp"
#include "hnsw/visited_set.hpp"
#include "test_hnsw_support.hpp"

namespace halqen::testing {
namespace {

const double kNaN = std::nan("");

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
  std::vector<Candidate> queue;
  offer(results, queue, 2, {kNaN, 1});
  EXPECT_EQ(ids(results), (std::vector<std::uint64_t>{0, 1}));
  offer(results, queue, 2, {1.0, 2});
  EXPECT_EQ(ids(results), (std::vector<std::uint64_t>{0, 1}));
  EXPECT_EQ(queue.size(), 1u);

  std::vector<SearchHit> numeric{{2.0, 0}, {3.0, 1}};
  std::vector<Candidate> numeric_queue;
  offer(numeric, numeric_queue, 2, {3.0, 2});
  EXPECT_EQ(ids(numeric), (std::vector<std::uint64_t>{0, 1}));
  offer(numeric, numeric_queue, 2, {2.5, 3});
  EXPECT_EQ(ids(numeric), (std::vector<std::uint64_t>{0, 3}));
  EXPECT_EQ(numeric_queue.size(), 1u);
}

TEST(CandidateQueue, ServesInRankOrder) {
  std::vector<Candidate> queue;
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

TEST(NeighborList, SubListsKeepOrderPerLayer) {
  NeighborList list(3);
  const std::array<std::pair<std::uint32_t, std::uint64_t>, 6> links{
      {{10, 0}, {11, 2}, {12, 1}, {13, 5}, {14, 3}, {15, 0}}};
  for (const auto& [id, level] : links) {
    list.append(id, level);
  }
  const auto scan = [&list](std::uint64_t layer) {
    const NeighborList::LayerScan view = list.for_layer(layer);
    return std::pair(std::vector<std::uint32_t>(view.ids.begin(), view.ids.end()),
                     view.needs_level_check);
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
  EXPECT_EQ(view.ids.size(), 2u);
  EXPECT_TRUE(view.needs_level_check);
}

TEST(NeighborList, IndexesAtMostTheCapLayers) {
  NeighborList list(std::numeric_limits<std::uint64_t>::max());
  list.append(1, std::numeric_limits<std::uint64_t>::max());
  list.append(2, 40);
  EXPECT_FALSE(list.for_layer(NeighborList::kMaxIndexedLayer).needs_level_check);
  EXPECT_EQ(list.for_layer(NeighborList::kMaxIndexedLayer).ids.size(), 2u);
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
