// Searches of one graph from several threads at once give what the same
// searches give one after another; the final width can be chosen per call.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "hnsw/hnsw.hpp"
#include "test_hnsw_support.hpp"

namespace halqen::testing {
namespace {

using Answer = std::expected<std::vector<SearchHit>, HNSWError>;

constexpr std::uint64_t kDim = 6;
constexpr std::size_t kThreads = 4;

HNSW filled_graph(std::size_t nodes, std::uint64_t ef_search) {
  HNSWParams params;
  params.dim = kDim;
  params.ef_construction = 40;
  params.ef_search = ef_search;
  params.schema = Schema{"color"};
  HNSW graph(params);
  SplitMixSource rng(11);
  std::mt19937_64 engine(12);
  for (std::size_t i = 0; i < nodes; ++i) {
    const MetadataRecord record = {Metadata::Int(static_cast<std::int64_t>(engine() % 3))};
    EXPECT_TRUE(graph.insert(make_vector(engine, kDim, DataKind::WithNaN), &record, rng));
  }
  return graph;
}

bool same_answer(const Answer& a, const Answer& b) {
  if (a.has_value() != b.has_value()) return false;
  return a.has_value() ? same_hits(*a, *b) : a.error() == b.error();
}

TEST(HnswConcurrentSearch, ThreadsGetTheSequentialAnswers) {
  const HNSW graph = filled_graph(1500, 30);
  const Filter filter = equality_filter("color", Metadata::Int(1));
  const Filter unknown = equality_filter("weight", Metadata::Int(1));
  const Filter* filters[] = {nullptr, &filter, &unknown};
  std::mt19937_64 engine(13);
  std::vector<std::vector<double>> queries;
  for (int q = 0; q < 60; ++q) queries.push_back(make_vector(engine, kDim, DataKind::Real));
  // Query q with filter q % 3 and a width that varies with q.
  auto ask = [&](std::size_t q) {
    return graph.search(queries[q], 1 + q % 40, filters[q % 3], 1 + q % 70);
  };
  std::vector<Answer> expected;
  for (std::size_t q = 0; q < queries.size(); ++q) expected.push_back(ask(q));

  std::vector<std::vector<Answer>> seen(kThreads);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = 0; i < queries.size(); ++i) {
        seen[t].push_back(ask((i + t * 17) % queries.size()));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t t = 0; t < kThreads; ++t) {
    for (std::size_t i = 0; i < queries.size(); ++i) {
      const std::size_t q = (i + t * 17) % queries.size();
      EXPECT_TRUE(same_answer(expected[q], seen[t][i])) << "thread " << t << " query " << q;
    }
  }
}

TEST(HnswSearchWidth, DefaultWidthIsEfSearch) {
  const HNSW graph = filled_graph(400, 25);
  std::mt19937_64 engine(14);
  for (int q = 0; q < 20; ++q) {
    const std::vector<double> query = make_vector(engine, kDim, DataKind::Real);
    const Answer plain = graph.search(query, 100, nullptr);
    const Answer explicit_width = graph.search(query, 100, nullptr, 25);
    EXPECT_TRUE(same_answer(plain, explicit_width));
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(plain->size(), 25u);
  }
}

TEST(HnswSearchWidth, WiderFinalSearchGivesMoreResults) {
  const HNSW graph = filled_graph(400, 10);
  const std::vector<double> query(kDim, 0.25);
  const Answer wide = graph.search(query, 1000, nullptr, 400);
  ASSERT_TRUE(wide.has_value());
  EXPECT_GT(wide->size(), 10u);
  EXPECT_LE(wide->size(), 400u);
  const Answer cut = graph.search(query, 7, nullptr, 400);
  ASSERT_TRUE(cut.has_value());
  EXPECT_TRUE(same_hits(*cut, std::vector<SearchHit>(wide->begin(), wide->begin() + 7)));
  const Answer none = graph.search(query, 5, nullptr, 0);
  ASSERT_FALSE(none.has_value());
  EXPECT_EQ(none.error(), HNSWError::InvalidEF);
}

}  // namespace
}  // namespace halqen::testing
