// The exact index's batch against its own search, query by query: the same
// hits bit for bit, whatever the cut into pieces, their order and threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "flat/flat.hpp"
#include "flat/flat_batch.hpp"
#include "metrics/dispatch.hpp"
#include "parallel/piece_runner.hpp"

namespace halqen {
namespace {

using Vec = std::vector<double>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kHugeK = std::numeric_limits<std::uint64_t>::max();
constexpr MetricKind kAllMetrics[] = {MetricKind::Euclidean, MetricKind::Cosine,
                                      MetricKind::InnerProduct};

// Small integers, so that distances tie within and across ranges; now and
// then a zero vector (cosine NaN), a NaN, an infinity or a negative zero.
Vec tie_prone_vector(std::mt19937& rng, std::size_t dim) {
  Vec v(dim);
  for (double& x : v) x = std::uniform_int_distribution<int>(-2, 2)(rng);
  switch (std::uniform_int_distribution<int>(0, 30)(rng)) {
    case 0:
      std::fill(v.begin(), v.end(), 0.0);
      break;
    case 1:
      v[dim / 2] = kNaN;
      break;
    case 2:
      v[0] = -kInf;
      break;
    case 3:
      v[dim - 1] = -0.0;
      break;
    default:
      break;
  }
  return v;
}

FlatIndex index_of(std::size_t dim, MetricKind kind, const std::vector<Vec>& stored) {
  FlatIndex index(dim, kind);
  for (const Vec& v : stored) index.insert(v);
  return index;
}

std::vector<VectorView> views_of(const std::vector<Vec>& queries) {
  return {queries.begin(), queries.end()};
}

// The same bits, or both NaN: where two NaNs meet in one distance, IEEE
// leaves open which one the result carries, and kernels order their
// operands differently.
bool same_value(double expected, double actual) {
  return std::bit_cast<std::uint64_t>(expected) == std::bit_cast<std::uint64_t>(actual) ||
         (std::isnan(expected) && std::isnan(actual));
}

void expect_same_hits(const std::vector<SearchHit>& expected,
                      const std::vector<SearchHit>& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i].id, actual[i].id) << "rank " << i;
    EXPECT_TRUE(same_value(expected[i].distance, actual[i].distance))
        << "rank " << i << ": " << expected[i].distance << " vs " << actual[i].distance;
  }
}

void expect_matches_search(const FlatIndex& index, const std::vector<Vec>& queries, std::uint64_t k,
                           const std::vector<std::vector<SearchHit>>& answers) {
  ASSERT_EQ(answers.size(), queries.size());
  for (std::size_t q = 0; q < queries.size(); ++q) {
    SCOPED_TRACE("query " + std::to_string(q));
    const auto expected = index.search(queries[q], k);
    ASSERT_TRUE(expected.has_value());
    expect_same_hits(*expected, answers[q]);
  }
}

class FlatBatchTest : public ::testing::TestWithParam<KernelLevel> {
 protected:
  void SetUp() override {
    original_ = active_kernel();
    force_kernel(GetParam());
  }
  void TearDown() override { force_kernel(original_); }

 private:
  KernelLevel original_ = KernelLevel::Scalar;
};

// Every shape, the pieces run in a shuffled order.
TEST_P(FlatBatchTest, EqualsSearchForEveryShapeAndK) {
  std::mt19937 rng(static_cast<std::uint32_t>(GetParam()) + 7);
  const FlatBatch::Shape shapes[] = {{1, 1}, {3, 7}, {5, 300}, {64, 1000}};
  for (std::size_t dim : {1, 3, 8, 17}) {
    for (std::size_t count : {1, 2, 257, 700}) {
      std::vector<Vec> stored;
      for (std::size_t i = 0; i < count; ++i) stored.push_back(tie_prone_vector(rng, dim));
      std::vector<Vec> queries;
      for (std::size_t q = 0; q < 9; ++q) queries.push_back(tie_prone_vector(rng, dim));
      const std::vector<VectorView> views = views_of(queries);
      for (MetricKind kind : kAllMetrics) {
        const FlatIndex index = index_of(dim, kind, stored);
        for (const FlatBatch::Shape shape : shapes) {
          for (std::uint64_t k : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{4},
                                  std::uint64_t{count}, std::uint64_t{count + 3}, kHugeK}) {
            SCOPED_TRACE("dim " + std::to_string(dim) + " count " + std::to_string(count) +
                         " metric " + std::to_string(static_cast<int>(kind)) + " shape " +
                         std::to_string(shape.queries_per_block) + "x" +
                         std::to_string(shape.range_rows) + " k " + std::to_string(k));
            FlatBatch batch(index, views, k, shape);
            std::vector<std::size_t> order(batch.piece_count());
            for (std::size_t p = 0; p < order.size(); ++p) order[p] = p;
            std::shuffle(order.begin(), order.end(), rng);
            for (const std::size_t piece : order) batch.run_piece(piece);
            expect_matches_search(index, queries, k, batch.take_results());
          }
        }
      }
    }
  }
}

TEST_P(FlatBatchTest, EqualsSearchOnWideVectorsRunOnThreads) {
  std::mt19937 rng(static_cast<std::uint32_t>(GetParam()) + 100);
  std::normal_distribution<double> normal;
  const std::size_t dim = 128;
  std::vector<Vec> stored(3000, Vec(dim));
  for (Vec& v : stored) {
    for (double& x : v) x = normal(rng);
  }
  std::vector<Vec> queries(70, Vec(dim));
  for (Vec& v : queries) {
    for (double& x : v) x = normal(rng);
  }
  const std::vector<VectorView> views = views_of(queries);
  for (MetricKind kind : kAllMetrics) {
    const FlatIndex index = index_of(dim, kind, stored);
    for (std::size_t threads : {1, 3}) {
      FlatBatch batch(index, views, 10, {.queries_per_block = 16, .range_rows = 512});
      const PieceJob job{batch.piece_count(), [&](std::size_t p) { batch.run_piece(p); }};
      ASSERT_EQ(run_pieces(job, {.threads = threads, .keep_going = [] { return true; }}),
                RunEnd::Completed);
      expect_matches_search(index, queries, 10, batch.take_results());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllAvailable, FlatBatchTest, ::testing::ValuesIn(available_kernels()),
                         [](const ::testing::TestParamInfo<KernelLevel>& info) {
                           return std::string(kernel_name(info.param));
                         });

TEST(FlatBatch, NoQueriesNoPieces) {
  const FlatIndex index = index_of(2, MetricKind::Euclidean, {{1, 2}});
  FlatBatch batch(index, {}, 5);
  EXPECT_EQ(batch.piece_count(), 0u);
  EXPECT_TRUE(batch.take_results().empty());
}

TEST(FlatBatch, RefusesBrokenPreconditions) {
  const FlatIndex index = index_of(2, MetricKind::Euclidean, {{1, 2}, {3, 4}});
  const std::vector<Vec> short_query = {{1, 2}, {1}};
  EXPECT_THROW(FlatBatch(index, views_of(short_query), 1), std::invalid_argument);
  const FlatIndex empty(2, MetricKind::Euclidean);
  const std::vector<Vec> query = {{1, 2}};
  EXPECT_THROW(FlatBatch(empty, views_of(query), 1), std::invalid_argument);
  EXPECT_THROW(FlatBatch(index, views_of(query), 1, {.queries_per_block = 0, .range_rows = 1}),
               std::invalid_argument);

  FlatBatch batch(index, views_of(query), 1, {.queries_per_block = 1, .range_rows = 1});
  ASSERT_EQ(batch.piece_count(), 2u);
  EXPECT_THROW(batch.run_piece(2), std::out_of_range);
  batch.run_piece(0);
  EXPECT_THROW(batch.take_results(), std::logic_error);
}

}  // namespace
}  // namespace halqen
