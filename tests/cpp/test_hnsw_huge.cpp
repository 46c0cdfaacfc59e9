// Parameters near 2^64: no hang, no allocation sized by them.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include "common/size_refused.hpp"
#include "hnsw/hnsw.hpp"
#include "hnsw/hnsw_inspect.hpp"
#include "test_hnsw_support.hpp"

namespace halqen::testing {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

HNSWParams params_with(std::uint64_t layers, std::uint64_t ef_construction,
                       std::uint64_t ef_search) {
  return HNSWParams{
      3, layers, 16, ef_construction, ef_search, MetricKind::Euclidean, Schema{"tag"}};
}

std::vector<std::vector<double>> some_vectors(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 engine(seed);
  std::vector<std::vector<double>> vectors;
  for (std::size_t i = 0; i < count; ++i) {
    vectors.push_back(make_vector(engine, 3, DataKind::Real));
  }
  return vectors;
}

// Every linking layer would give the new node a list entry; 2^64 of them
// cannot be stored, so the insertion fails as an allocation would, first.
TEST(HnswHuge, MaximalLayersRefusesTheSecondNodeUpFront) {
  HNSW graph(params_with(kMax, 10, 10));
  SplitMixSource rng(1);
  const std::vector<double> vector{1, 2, 3};
  ASSERT_TRUE(graph.insert(vector, nullptr, rng));
  EXPECT_EQ(graph.level(0), kMax - 1);
  EXPECT_THROW(graph.insert(vector, nullptr, rng), SizeRefused);
  EXPECT_THROW(graph.insert(vector, nullptr, rng), SizeRefused);
  EXPECT_EQ(graph.size(), 1u);
  EXPECT_EQ(graph.metadata().node_count(), 1u);
  const Filter tag = equality_filter("tag", Metadata::Int(1));
  const auto hits = graph.search(std::vector<double>{0, 0, 0}, kMax, &tag);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_EQ((*hits)[0].id, 0u);
}

// With 2^59 layers nearly all layers are above every drawn level. The graph
// and the answers equal those of a 64-layer index built from the same
// draws, which the reference checks directly.
TEST(HnswHuge, VastLayerCountBehavesLikeEnoughLayers) {
  const std::uint64_t vast = std::uint64_t{1} << 59;
  HNSW vast_graph(params_with(vast, 8, 8));
  HNSW plain_graph(params_with(64, 8, 8));
  SplitMixSource vast_rng(2);
  SplitMixSource plain_rng(2);
  const std::vector<std::vector<double>> vectors = some_vectors(300, 3);
  for (const std::vector<double>& vector : vectors) {
    ASSERT_TRUE(vast_graph.insert(vector, nullptr, vast_rng));
    ASSERT_TRUE(plain_graph.insert(vector, nullptr, plain_rng));
  }
  EXPECT_EQ(vast_graph.level(0), vast - 1);
  for (std::uint64_t node = 1; node < vectors.size(); ++node) {
    ASSERT_EQ(vast_graph.level(node), plain_graph.level(node));
    const auto vast_list = vast_graph.neighbors(node);
    const auto plain_list = plain_graph.neighbors(node);
    ASSERT_TRUE(
        std::equal(vast_list.begin(), vast_list.end(), plain_list.begin(), plain_list.end()))
        << node;
  }
  for (const std::vector<double>& query : some_vectors(30, 4)) {
    ASSERT_TRUE(
        same_hits(*vast_graph.search(query, 5, nullptr), *plain_graph.search(query, 5, nullptr)));
  }
}

TEST(HnswHuge, MaximalWidthsAndKGrowWithTheGraphOnly) {
  HNSW graph(params_with(4, kMax, kMax));
  SplitMixSource rng(5);
  const std::vector<std::vector<double>> vectors = some_vectors(120, 6);
  ASSERT_TRUE(graph.create(vectors, std::vector<MetadataRecord>(120, {Metadata::Int(0)}), rng));
  const auto hits = graph.search(std::vector<double>{0, 0, 0}, kMax, nullptr);
  ASSERT_TRUE(hits);
  EXPECT_EQ(hits->size(), vectors.size());
  const auto layer_hits =
      HNSWInspect::layer_search(graph, 7, std::vector<double>{0, 0, 0}, kMax, 0, nullptr);
  ASSERT_TRUE(layer_hits);
  EXPECT_EQ(layer_hits->size(), vectors.size());
}

TEST(HnswHuge, LayerAndSeedNearTheLimit) {
  HNSW graph(params_with(kMax, 10, 10));
  SplitMixSource rng(7);
  ASSERT_TRUE(graph.insert(std::vector<double>{1, 2, 3}, nullptr, rng));
  EXPECT_EQ(HNSWInspect::layer_search(graph, 0, std::vector<double>{0}, 1, kMax, nullptr).error(),
            HNSWError::InvalidLayer);
  EXPECT_TRUE(HNSWInspect::layer_search(graph, 0, std::vector<double>{0}, kMax, kMax - 1, nullptr));
  EXPECT_THROW(HNSWInspect::layer_search(graph, kMax, std::vector<double>{0}, 1, 0, nullptr),
               std::out_of_range);
}

// A width-1 search that leaves its seed in place at one layer leaves it in
// place at every higher layer (it may follow only a subset of the same
// neighbours); insertion relies on this to stop climbing early.
TEST(HnswHuge, GreedyStayAtOneLayerHoldsAbove) {
  HNSW graph(params_with(9, 6, 6));
  LevelScriptSource rng(9, {0, 0, 1, 2, 4, 6}, 8);
  for (const std::vector<double>& vector : some_vectors(300, 9)) {
    ASSERT_TRUE(graph.insert(vector, nullptr, rng));
  }
  std::mt19937_64 engine(10);
  for (int trial = 0; trial < 300; ++trial) {
    const std::vector<double> query = make_vector(engine, 3, DataKind::Real);
    const std::uint64_t seed = engine() % graph.size();
    bool stayed = false;
    for (std::uint64_t layer = 0; layer < graph.layers(); ++layer) {
      const auto hits = HNSWInspect::layer_search(graph, seed, query, 1, layer, nullptr);
      ASSERT_TRUE(hits);
      const bool stays = (*hits)[0].id == seed;
      ASSERT_TRUE(stays || !stayed) << "seed " << seed << " layer " << layer;
      stayed = stayed || stays;
    }
  }
}

// More nodes than 16-bit ids can number: the layer sub-lists of the nodes
// linked to the later ones widen, and every layer scan still reads exactly
// the neighbours of level >= the layer (up to the node's level), in list
// order, in the graph as built and in its rebuild from parts.
TEST(HnswHuge, SubListsPastSixteenBitIds) {
  constexpr std::uint64_t kNodes = 70'000;
  constexpr std::uint64_t kLayers = 3;
  HNSW graph(HNSWParams{2, kLayers, 16, 2, 4, MetricKind::Euclidean, std::nullopt});
  SplitMixSource rng(3);
  std::mt19937_64 engine(3);
  for (std::uint64_t i = 0; i < kNodes; ++i) {
    ASSERT_TRUE(graph.insert(make_vector(engine, 2, DataKind::Real), nullptr, rng));
  }
  HNSWParts parts{.params = graph.params(),
                  .count = graph.size(),
                  .vectors = {graph.vectors().begin(), graph.vectors().end()},
                  .levels = {graph.levels().begin(), graph.levels().end()},
                  .neighbor_offsets = {0},
                  .neighbor_ids = {},
                  .records = std::vector<MetadataRecord>(graph.size())};
  for (std::uint64_t node = 0; node < graph.size(); ++node) {
    const auto list = graph.neighbors(node);
    parts.neighbor_ids.insert(parts.neighbor_ids.end(), list.begin(), list.end());
    parts.neighbor_offsets.push_back(parts.neighbor_ids.size());
  }
  const auto rebuilt = HNSW::from_parts(std::move(parts));
  ASSERT_TRUE(rebuilt) << rebuilt.error().reason;
  std::uint64_t large_ids_scanned = 0;
  for (std::uint64_t node = 0; node < graph.size(); ++node) {
    const std::uint64_t level = graph.level(node);
    for (std::uint64_t layer = 1; layer <= std::min(level, kLayers); ++layer) {
      std::vector<std::uint32_t> expected;
      for (const std::uint32_t id : graph.neighbors(node)) {
        if (graph.level(id) >= layer) {
          expected.push_back(id);
          large_ids_scanned += id > 65'535 ? 1 : 0;
        }
      }
      ASSERT_EQ(HNSWInspect::layer_scan(graph, node, layer), expected) << node << " " << layer;
      ASSERT_EQ(HNSWInspect::layer_scan(*rebuilt, node, layer), expected) << node << " " << layer;
    }
  }
  EXPECT_GT(large_ids_scanned, 0u);
  for (int i = 0; i < 50; ++i) {
    const std::vector<double> query = make_vector(engine, 2, DataKind::Real);
    ASSERT_TRUE(same_hits(*graph.search(query, 10, nullptr), *rebuilt->search(query, 10, nullptr)));
  }
}

}  // namespace
}  // namespace halqen::testing
