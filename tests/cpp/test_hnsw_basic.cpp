// Behaviour of insertion, creation and search on small hand-made inputs.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "hnsw/hnsw.hpp"
#include "hnsw/hnsw_inspect.hpp"
#include "test_hnsw_reference.hpp"
#include "test_hnsw_support.hpp"

namespace halqen::testing {
namespace {

using Ids = std::vector<std::uint32_t>;
using Ids64 = std::vector<std::uint64_t>;

HNSWParams params_with(std::uint64_t dim, std::uint64_t layers, std::uint64_t ef_construction,
                       std::uint64_t ef_search, MetricKind metric = MetricKind::Euclidean,
                       std::optional<Schema> schema = std::nullopt) {
  return HNSWParams{dim, layers, 16, ef_construction, ef_search, metric, std::move(schema)};
}

Ids ids_of(std::span<const std::uint32_t> ids) {
  return Ids(ids.begin(), ids.end());
}

Ids64 hit_ids(const std::vector<SearchHit>& hits) {
  Ids64 ids;
  for (const SearchHit& hit : hits) {
    ids.push_back(hit.id);
  }
  return ids;
}

TEST(HnswConstruct, FillsDerivedParameters) {
  const HNSW graph(params_with(3, 5, 200, 50));
  EXPECT_EQ(graph.m(), 16u);
  EXPECT_EQ(graph.m_factor(), 0.9375);
  ASSERT_EQ(graph.level_weights().size(), 5u);
  EXPECT_EQ(graph.level_weights()[0], 1.0);
  EXPECT_EQ(graph.level_weights()[1], 0.36787944117144233);
  EXPECT_EQ(graph.size(), 0u);
  EXPECT_EQ(graph.dim(), 3u);
  EXPECT_TRUE(HNSW(params_with(3, 0, 1, 1)).level_weights().empty());
}

TEST(HnswInsert, FirstNodeDrawsNothingAndTakesTheTopLevel) {
  HNSW graph(params_with(2, 5, 200, 50));
  ScriptedSource rng({});
  ASSERT_TRUE(graph.insert(std::vector<double>{1, 2}, nullptr, rng));
  EXPECT_EQ(rng.draws, 0u);
  EXPECT_EQ(graph.size(), 1u);
  EXPECT_EQ(graph.level(0), 4u);
  EXPECT_TRUE(graph.neighbors(0).empty());
  EXPECT_FALSE(graph.deleted(0));
  EXPECT_EQ(graph.vector(0).size(), 2u);
}

// Node 1 at level l: node 0 receives node 1 at each of the 5 - l linking
// layers; node 1 receives node 0, then (1, 1, 0) at each later layer. Without
// repeats and self-links both lists hold the other node once.
TEST(HnswInsert, TwoNodesAtEveryLevel) {
  for (std::uint64_t l = 0; l < 5; ++l) {
    const HNSWParams params = params_with(2, 5, 200, 50);
    HNSW graph(params);
    ReferenceHNSW reference(params);
    ScriptedSource rng({word_for_level(5, l)});
    ScriptedSource reference_rng({word_for_level(5, l)});
    for (const std::vector<double>& vector : {std::vector<double>{0, 0}, {3, 4}}) {
      ASSERT_TRUE(graph.insert(vector, nullptr, rng));
      ASSERT_TRUE(reference.insert(vector, nullptr, reference_rng));
    }
    EXPECT_EQ(rng.draws, 1u);
    ASSERT_EQ(graph.level(1), l);
    Ids64 node1_list{0};
    for (std::uint64_t i = 0; i < 4 - l; ++i) {
      node1_list.insert(node1_list.end(), {1, 1, 0});
    }
    EXPECT_EQ(reference.list(0), Ids64(5 - l, 1)) << "level " << l;
    EXPECT_EQ(reference.list(1), node1_list) << "level " << l;
    EXPECT_EQ(ids_of(graph.neighbors(0)), Ids{1});
    EXPECT_EQ(ids_of(graph.neighbors(1)), Ids{0});
  }
}

TEST(HnswInsert, OneLayerDrawsLevelZeroAndStillConsumesAWord) {
  HNSW graph(params_with(1, 1, 10, 10));
  ScriptedSource rng({}, ~std::uint64_t{0});
  for (double x = 0; x < 6; ++x) {
    ASSERT_TRUE(graph.insert(std::vector<double>{x}, nullptr, rng));
  }
  EXPECT_EQ(rng.draws, 5u);
  for (std::uint64_t node = 0; node < graph.size(); ++node) {
    EXPECT_EQ(graph.level(node), 0u);
    EXPECT_FALSE(graph.neighbors(node).empty());
  }
}

TEST(HnswInsert, ZeroLayersLinksNothingAndSearchReportsInvalidLayer) {
  HNSW graph(params_with(1, 0, 10, 10));
  SplitMixSource rng(1);
  EXPECT_TRUE(graph.search(std::vector<double>{0}, 3, nullptr)->empty());
  for (double x = 0; x < 4; ++x) {
    ASSERT_TRUE(graph.insert(std::vector<double>{x}, nullptr, rng));
  }
  for (std::uint64_t node = 0; node < graph.size(); ++node) {
    EXPECT_EQ(graph.level(node), std::numeric_limits<std::uint64_t>::max());
    EXPECT_TRUE(graph.neighbors(node).empty());
  }
  EXPECT_EQ(graph.search(std::vector<double>{0}, 3, nullptr).error(), HNSWError::InvalidLayer);
}

TEST(HnswInsert, ZeroConstructionWidthStoresUnreachableNodes) {
  HNSW graph(params_with(1, 3, 0, 10));
  SplitMixSource rng(2);
  ASSERT_TRUE(graph.insert(std::vector<double>{5}, nullptr, rng));
  for (double x = 0; x < 3; ++x) {
    const auto inserted = graph.insert(std::vector<double>{x}, nullptr, rng);
    ASSERT_FALSE(inserted);
    EXPECT_EQ(inserted.error(), HNSWError::InvalidEF);
  }
  EXPECT_EQ(graph.size(), 4u);
  EXPECT_TRUE(graph.neighbors(0).empty());
  const auto hits = graph.search(std::vector<double>{0}, 10, nullptr);
  ASSERT_TRUE(hits);
  EXPECT_EQ(hit_ids(*hits), Ids64{0});
}

TEST(HnswInsert, IdenticalVectorsAreBothLinked) {
  HNSW graph(params_with(2, 3, 10, 10));
  SplitMixSource rng(3);
  ASSERT_TRUE(graph.insert(std::vector<double>{1, 1}, nullptr, rng));
  ASSERT_TRUE(graph.insert(std::vector<double>{1, 1}, nullptr, rng));
  EXPECT_EQ(ids_of(graph.neighbors(0)), Ids{1});
  const auto hits = graph.search(std::vector<double>{1, 1}, 5, nullptr);
  ASSERT_EQ(hits->size(), 2u);
  EXPECT_EQ((*hits)[0].distance, 0.0);
  EXPECT_EQ((*hits)[1].distance, 0.0);
}

TEST(HnswInsert, PreconditionsThrowBeforeAnythingChanges) {
  HNSW graph(params_with(2, 3, 10, 10, MetricKind::Euclidean, Schema{"a", "b"}));
  SplitMixSource rng(4);
  EXPECT_THROW(graph.insert(std::vector<double>{1}, nullptr, rng), std::invalid_argument);
  const MetadataRecord short_record{Metadata::Int(1)};
  EXPECT_THROW(graph.insert(std::vector<double>{1, 2}, &short_record, rng), std::invalid_argument);
  EXPECT_EQ(graph.size(), 0u);
  EXPECT_THROW(graph.vector(0), std::out_of_range);
  EXPECT_THROW(graph.neighbors(0), std::out_of_range);
}

TEST(HnswInsert, MetadataWithoutSchemaIsStoredAsGiven) {
  HNSW graph(params_with(1, 3, 10, 10));
  SplitMixSource rng(5);
  const MetadataRecord record{Metadata::String("x"), Metadata::Int(2), Metadata::Float(1.5)};
  ASSERT_TRUE(graph.insert(std::vector<double>{1}, &record, rng));
  ASSERT_TRUE(graph.insert(std::vector<double>{2}, nullptr, rng));
  EXPECT_EQ(graph.metadata().value_count(), 3u);
  EXPECT_EQ(graph.metadata().record(0).size(), 3u);
  EXPECT_TRUE(graph.metadata().record(1).empty());
}

TEST(HnswInsert, TakesAVectorThatPointsIntoTheIndex) {
  HNSW graph(params_with(3, 3, 10, 10));
  SplitMixSource rng(6);
  ASSERT_TRUE(graph.insert(std::vector<double>{1, 2, 3}, nullptr, rng));
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(graph.insert(graph.vector(0), nullptr, rng));
  }
  for (std::uint64_t node = 0; node < graph.size(); ++node) {
    EXPECT_EQ(std::vector<double>(graph.vector(node).begin(), graph.vector(node).end()),
              (std::vector<double>{1, 2, 3}));
  }
}

TEST(HnswCreate, EmptyListChangesNothing) {
  HNSW graph(params_with(1, 3, 10, 10, MetricKind::Euclidean, Schema{"a"}));
  SplitMixSource rng(7);
  EXPECT_EQ(graph.create({}, {}, rng).error(), HNSWError::EmptyVectors);
  EXPECT_EQ(graph.size(), 0u);
}

TEST(HnswCreate, RecordCountMismatchWithSchemaChangesNothing) {
  HNSW graph(params_with(1, 3, 10, 10, MetricKind::Euclidean, Schema{"a"}));
  SplitMixSource rng(8);
  const std::vector<std::vector<double>> vectors{{1}, {2}, {3}};
  const std::vector<MetadataRecord> records{{Metadata::Int(1)}, {Metadata::Int(2)}};
  EXPECT_EQ(graph.create(vectors, records, rng).error(), HNSWError::AttributeNotFound);
  EXPECT_EQ(graph.size(), 0u);
}

TEST(HnswCreate, WithoutSchemaIgnoresMetadata) {
  HNSW graph(params_with(1, 3, 10, 10));
  SplitMixSource rng(9);
  const std::vector<std::vector<double>> vectors{{1}, {2}, {3}};
  const std::vector<MetadataRecord> records{{Metadata::Int(1)}};
  ASSERT_TRUE(graph.create(vectors, records, rng));
  EXPECT_EQ(graph.size(), 3u);
  EXPECT_EQ(graph.metadata().value_count(), 0u);
}

TEST(HnswCreate, StopsAtTheFirstFailureKeepingEarlierNodes) {
  HNSW graph(params_with(1, 3, 0, 10));
  SplitMixSource rng(10);
  const std::vector<std::vector<double>> vectors{{1}, {2}, {3}};
  EXPECT_EQ(graph.create(vectors, {}, rng).error(), HNSWError::InvalidEF);
  EXPECT_EQ(graph.size(), 2u);
}

TEST(HnswCreate, ChecksEveryVectorBeforeInserting) {
  HNSW graph(params_with(2, 3, 10, 10));
  SplitMixSource rng(11);
  const std::vector<std::vector<double>> vectors{{1, 2}, {3, 4}, {5}};
  EXPECT_THROW(graph.create(vectors, {}, rng), std::invalid_argument);
  EXPECT_EQ(graph.size(), 0u);
}

TEST(HnswCreate, AddsToWhatIsThere) {
  HNSW graph(params_with(1, 3, 10, 10));
  SplitMixSource rng(12);
  ASSERT_TRUE(graph.insert(std::vector<double>{0}, nullptr, rng));
  ASSERT_TRUE(graph.create(std::vector<std::vector<double>>{{1}, {2}}, {}, rng));
  EXPECT_EQ(graph.size(), 3u);
}

class HnswSearchTest : public ::testing::Test {
 protected:
  // Nodes at 0, 1, ..., 9 on a line; even nodes "even", odd nodes "odd",
  // node 4 without a record.
  void build(std::uint64_t ef_search, std::optional<Schema> schema = Schema{"parity"}) {
    graph_.emplace(params_with(1, 3, 10, ef_search, MetricKind::Euclidean, schema));
    SplitMixSource rng(13);
    for (int x = 0; x < 10; ++x) {
      const MetadataRecord record{Metadata::String(x % 2 == 0 ? "even" : "odd")};
      const bool with_record = schema && !schema->empty() && x != 4;
      ASSERT_TRUE(graph_->insert(std::vector<double>{static_cast<double>(x)},
                                 with_record ? &record : nullptr, rng));
    }
  }
  std::optional<HNSW> graph_;
};

TEST_F(HnswSearchTest, EmptyIndexReturnsNothingBeforeAnyCheck) {
  HNSW graph(params_with(1, 0, 0, 0));
  const Filter unknown = equality_filter("nope", Metadata::Int(1));
  EXPECT_TRUE(graph.search(std::vector<double>{1}, 5, &unknown)->empty());
}

TEST_F(HnswSearchTest, ReturnsNearestFirstCutToK) {
  build(10);
  const auto hits = graph_->search(std::vector<double>{3.2}, 3, nullptr);
  ASSERT_TRUE(hits);
  EXPECT_EQ(hit_ids(*hits), (Ids64{3, 4, 2}));
  EXPECT_EQ((*hits)[0].distance, std::sqrt((3.2 - 3.0) * (3.2 - 3.0)));
  EXPECT_TRUE(graph_->search(std::vector<double>{3.2}, 0, nullptr)->empty());
}

TEST_F(HnswSearchTest, LargeKReturnsAtMostEfSearchEntries) {
  build(4);
  const auto hits = graph_->search(std::vector<double>{3.2}, 1000, nullptr);
  EXPECT_EQ(hits->size(), 4u);
}

TEST_F(HnswSearchTest, FilterAdmitsOnlyMatchingRecords) {
  build(10);
  const Filter even = equality_filter("parity", Metadata::String("even"));
  const auto hits = graph_->search(std::vector<double>{4.1}, 10, &even);
  ASSERT_TRUE(hits);
  for (const SearchHit& hit : *hits) {
    EXPECT_TRUE(hit.id == 0 || (hit.id % 2 == 0 && hit.id != 4)) << hit.id;
  }
  EXPECT_EQ(hits->front().id, 6u);
}

TEST_F(HnswSearchTest, FilterNoNodeSatisfiesReturnsNodeZero) {
  build(10);
  const Filter none = equality_filter("parity", Metadata::String("prime"));
  const auto hits = graph_->search(std::vector<double>{7}, 5, &none);
  ASSERT_TRUE(hits);
  EXPECT_EQ(hit_ids(*hits), Ids64{0});
  EXPECT_EQ((*hits)[0].distance, 7.0);
}

TEST_F(HnswSearchTest, SeedIsReturnedEvenWhenItFailsTheFilter) {
  build(10);
  const Filter odd = equality_filter("parity", Metadata::String("odd"));
  const auto hits = HNSWInspect::layer_search(*graph_, 4, std::vector<double>{4}, 3, 0, &odd);
  ASSERT_TRUE(hits);
  EXPECT_EQ(hits->front().id, 4u);
  for (std::size_t i = 1; i < hits->size(); ++i) {
    EXPECT_EQ((*hits)[i].id % 2, 1u);
  }
}

TEST_F(HnswSearchTest, FilterErrors) {
  build(10);
  const Filter unknown = equality_filter("Parity", Metadata::String("odd"));
  EXPECT_EQ(graph_->search(std::vector<double>{1}, 1, &unknown).error(),
            HNSWError::AttributeNotFound);
  build(10, std::nullopt);
  EXPECT_EQ(graph_->search(std::vector<double>{1}, 1, &unknown).error(), HNSWError::NoSchema);
  build(10, Schema{});
  EXPECT_EQ(graph_->search(std::vector<double>{1}, 1, &unknown).error(), HNSWError::EmptySchema);
}

TEST_F(HnswSearchTest, ZeroEfSearchReportedAfterFilterErrors) {
  build(0);
  EXPECT_EQ(graph_->search(std::vector<double>{1}, 1, nullptr).error(), HNSWError::InvalidEF);
  const Filter unknown = equality_filter("size", Metadata::Int(1));
  EXPECT_EQ(graph_->search(std::vector<double>{1}, 1, &unknown).error(),
            HNSWError::AttributeNotFound);
}

TEST_F(HnswSearchTest, KnnChecksEfThenLayerThenFilterThenSeed) {
  build(10);
  const Filter unknown = equality_filter("size", Metadata::Int(1));
  const std::vector<double> query{1};
  EXPECT_EQ(HNSWInspect::layer_search(*graph_, 99, query, 0, 99, &unknown).error(),
            HNSWError::InvalidEF);
  EXPECT_EQ(HNSWInspect::layer_search(*graph_, 99, query, 1, 3, &unknown).error(),
            HNSWError::InvalidLayer);
  EXPECT_EQ(HNSWInspect::layer_search(*graph_, 99, query, 1, 2, &unknown).error(),
            HNSWError::AttributeNotFound);
  EXPECT_THROW(HNSWInspect::layer_search(*graph_, 99, query, 1, 2, nullptr), std::out_of_range);
}

TEST_F(HnswSearchTest, QueryLengthIsNotChecked) {
  build(10);
  const auto hits = graph_->search(std::vector<double>{2, 100}, 1, nullptr);
  ASSERT_TRUE(hits);
  EXPECT_EQ(hits->front().id, 2u);
  EXPECT_EQ(hits->front().distance, 0.0);
}

TEST(HnswSearch, OneVectorIsAlwaysTheAnswer) {
  HNSW graph(params_with(2, 5, 10, 1, MetricKind::Euclidean, Schema{"c"}));
  SplitMixSource rng(14);
  const MetadataRecord record{Metadata::String("red")};
  ASSERT_TRUE(graph.insert(std::vector<double>{3, 4}, &record, rng));
  const Filter blue = equality_filter("c", Metadata::String("blue"));
  for (const std::uint64_t k : {std::uint64_t{1}, std::uint64_t{7}}) {
    const auto hits = graph.search(std::vector<double>{0, 0}, k, &blue);
    ASSERT_TRUE(hits);
    ASSERT_EQ(hits->size(), 1u);
    EXPECT_EQ((*hits)[0].distance, 5.0);
    EXPECT_EQ((*hits)[0].id, 0u);
  }
}

TEST(HnswSearch, RawMetricValuesRankSmallestFirst) {
  HNSW graph(params_with(2, 2, 10, 10, MetricKind::InnerProduct));
  SplitMixSource rng(15);
  for (const std::vector<double>& v : {std::vector<double>{1, 0}, {3, 0}, {-2, 0}, {0, 1}}) {
    ASSERT_TRUE(graph.insert(v, nullptr, rng));
  }
  const auto hits = graph.search(std::vector<double>{1, 0}, 4, nullptr);
  ASSERT_TRUE(hits);
  EXPECT_EQ(hit_ids(*hits), (Ids64{2, 3, 0, 1}));
  EXPECT_EQ((*hits)[0].distance, -2.0);
}

TEST(HnswSearch, CosineZeroVectorRanksLast) {
  HNSW graph(params_with(2, 2, 10, 10, MetricKind::Cosine));
  SplitMixSource rng(16);
  for (const std::vector<double>& v : {std::vector<double>{1, 0}, {0, 0}, {0, 1}, {-1, 0}}) {
    ASSERT_TRUE(graph.insert(v, nullptr, rng));
  }
  const auto hits = graph.search(std::vector<double>{1, 0}, 4, nullptr);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 4u);
  EXPECT_EQ(hit_ids(*hits), (Ids64{3, 2, 0, 1}));
  EXPECT_TRUE(std::isnan(hits->back().distance));
}

// Nodes 1, 2, 3 lie at distance 1 from the query and reach node 0's list in
// that order; among equal distances each arrival goes before the first one.
TEST(HnswSearch, EqualDistancesEndInArrivalOrderBCA) {
  const HNSWParams params = params_with(1, 1, 10, 10);
  HNSW graph(params);
  ReferenceHNSW reference(params);
  SplitMixSource rng(17);
  SplitMixSource reference_rng(17);
  for (const double x : {0.0, 1.0, -1.0, 1.0}) {
    ASSERT_TRUE(graph.insert(std::vector<double>{x}, nullptr, rng));
    ASSERT_TRUE(reference.insert(std::vector<double>{x}, nullptr, reference_rng));
  }
  ASSERT_EQ(ids_of(graph.neighbors(0)), (Ids{1, 2, 3}));
  const auto hits = HNSWInspect::layer_search(graph, 0, std::vector<double>{0}, 10, 0, nullptr);
  ASSERT_TRUE(hits);
  EXPECT_EQ(hit_ids(*hits), (Ids64{0, 2, 3, 1}));
  EXPECT_TRUE(same_hits(*hits, *reference.knn(0, std::vector<double>{0}, 10, 0, nullptr)));
}

}  // namespace
}  // namespace halqen::testing
