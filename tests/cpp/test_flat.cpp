// The exact index against a full sort of every stored vector by rank order:
// distance order (-0.0 equal to 0.0, NaN after every number, NaNs equal),
// then the smaller id first.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "flat/flat.hpp"
#include "flat/top_k.hpp"
#include "metrics/dispatch.hpp"
#include "stop_after.hpp"

namespace halqen {
namespace {

using Vec = std::vector<double>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t kHugeK = std::numeric_limits<std::uint64_t>::max();
constexpr MetricKind kAllMetrics[] = {MetricKind::Euclidean, MetricKind::Cosine,
                                      MetricKind::InnerProduct};

bool reference_ranks_before(const SearchHit& a, const SearchHit& b) {
  const bool a_nan = std::isnan(a.distance);
  const bool b_nan = std::isnan(b.distance);
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && a.distance != b.distance) return a.distance < b.distance;
  return a.id < b.id;
}

std::vector<SearchHit> reference_search(const std::vector<Vec>& stored, MetricKind kind,
                                        const Vec& query, std::uint64_t k) {
  std::vector<SearchHit> all;
  for (std::size_t id = 0; id < stored.size(); ++id) {
    all.push_back({.distance = metric_function(kind)(query, stored[id]), .id = id});
  }
  std::sort(all.begin(), all.end(), reference_ranks_before);
  all.resize(std::min<std::uint64_t>(k, all.size()));
  return all;
}

std::vector<std::uint64_t> ids_of(const std::vector<SearchHit>& hits) {
  std::vector<std::uint64_t> ids;
  for (const SearchHit& hit : hits) ids.push_back(hit.id);
  return ids;
}

void expect_same_hits(const std::vector<SearchHit>& expected,
                      const std::vector<SearchHit>& actual) {
  ASSERT_EQ(ids_of(expected), ids_of(actual));
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(expected[i].distance),
              std::bit_cast<std::uint64_t>(actual[i].distance))
        << "distance of id " << expected[i].id << " is not the metric's raw value";
  }
}

FlatIndex index_of(std::size_t dim, MetricKind kind, const std::vector<Vec>& stored) {
  FlatIndex index(dim, kind);
  for (const Vec& v : stored) index.insert(v);
  return index;
}

// Small integers, so that many distances tie; now and then a zero vector
// (cosine NaN) or a NaN component.
Vec tie_prone_vector(std::mt19937& rng, std::size_t dim) {
  Vec v(dim);
  for (double& x : v) x = std::uniform_int_distribution<int>(-2, 2)(rng);
  const int kind = std::uniform_int_distribution<int>(0, 40)(rng);
  if (kind == 0) std::fill(v.begin(), v.end(), 0.0);
  if (kind == 1 && dim > 0) v[dim / 2] = kNaN;
  return v;
}

class FlatKernelTest : public ::testing::TestWithParam<KernelLevel> {
 protected:
  void SetUp() override {
    original_ = active_kernel();
    force_kernel(GetParam());
  }
  void TearDown() override { force_kernel(original_); }

 private:
  KernelLevel original_ = KernelLevel::Scalar;
};

TEST_P(FlatKernelTest, MatchesFullSortForEveryK) {
  std::mt19937 rng(static_cast<std::uint32_t>(GetParam()) + 1);
  for (std::size_t dim : {1, 2, 3, 5, 8, 17}) {
    for (std::size_t count : {1, 7, 255, 256, 257, 600}) {
      std::vector<Vec> stored;
      for (std::size_t i = 0; i < count; ++i) stored.push_back(tie_prone_vector(rng, dim));
      const Vec query = tie_prone_vector(rng, dim);
      for (MetricKind kind : kAllMetrics) {
        const FlatIndex index = index_of(dim, kind, stored);
        for (std::uint64_t k :
             {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{3}, std::uint64_t{count - 1},
              std::uint64_t{count}, std::uint64_t{count + 1}, kHugeK}) {
          SCOPED_TRACE("dim " + std::to_string(dim) + " count " + std::to_string(count) +
                       " metric " + std::to_string(static_cast<int>(kind)) + " k " +
                       std::to_string(k));
          const auto result = index.search(query, k);
          ASSERT_TRUE(result.has_value());
          expect_same_hits(reference_search(stored, kind, query, k), *result);
        }
      }
    }
  }
}

TEST_P(FlatKernelTest, MatchesFullSortOnWideRandomVectors) {
  std::mt19937 rng(static_cast<std::uint32_t>(GetParam()) + 100);
  std::normal_distribution<double> normal;
  const std::size_t dim = 128;
  std::vector<Vec> stored(1000, Vec(dim));
  for (Vec& v : stored) {
    for (double& x : v) x = normal(rng);
  }
  Vec query(dim);
  for (double& x : query) x = normal(rng);
  for (MetricKind kind : kAllMetrics) {
    const FlatIndex index = index_of(dim, kind, stored);
    const auto result = index.search(query, 10);
    ASSERT_TRUE(result.has_value());
    expect_same_hits(reference_search(stored, kind, query, 10), *result);
  }
}

INSTANTIATE_TEST_SUITE_P(AllAvailable, FlatKernelTest, ::testing::ValuesIn(available_kernels()),
                         [](const ::testing::TestParamInfo<KernelLevel>& info) {
                           return std::string(kernel_name(info.param));
                         });

// The selection fed in runs of several lengths, some ids passed over,
// against the full sort of the candidates it was offered.
TEST(TopKSelection, RunsMatchFullSort) {
  constexpr double kValues[] = {0.0,  -0.0, 1.0, 1.0,
                                -2.5, kNaN, 3.0, std::numeric_limits<double>::infinity()};
  std::mt19937 rng(7);
  auto below = [&](std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng);
  };
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t count = below(60);
    Vec distances(count);
    for (double& d : distances) d = kValues[below(std::size(kValues))];
    std::vector<bool> skipped(count);
    for (std::size_t i = 0; i < count; ++i) skipped[i] = below(4) == 0;
    const std::size_t capacity = below(count + 2) % (count + 1);
    TopK best(capacity);
    for (std::size_t first = 0; first < count;) {
      const std::size_t run = std::min(count - first, 1 + below(9));
      best.offer_run(distances.data() + first, run, first,
                     [&](std::uint64_t id) { return skipped[id]; });
      first += run;
    }
    std::vector<SearchHit> expected;
    for (std::size_t i = 0; i < count; ++i) {
      if (!skipped[i]) expected.push_back({.distance = distances[i], .id = i});
    }
    std::sort(expected.begin(), expected.end(), reference_ranks_before);
    expected.resize(std::min(capacity, expected.size()));
    SCOPED_TRACE("trial " + std::to_string(trial) + " capacity " + std::to_string(capacity));
    expect_same_hits(expected, best.take_ranked());
  }
}

TEST(FlatSearch, EqualDistancesComeInIdOrder) {
  const FlatIndex index = index_of(2, MetricKind::Euclidean, {{5, 5}, {1, 1}, {9, 9}, {1, 1}});
  const auto result = index.search(Vec{1, 1}, 3);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(ids_of(*result), (std::vector<std::uint64_t>{1, 3, 0}));
  EXPECT_EQ((*result)[0].distance, 0.0);
  EXPECT_EQ((*result)[1].distance, 0.0);
}

TEST(FlatSearch, NegativeZeroTiesWithZero) {
  // Against (1, 0): -1 / (1 * inf) is -0.0 and 1 / (1 * inf) is +0.0.
  const FlatIndex index =
      index_of(2, MetricKind::Cosine, {{1, 1e200}, {-1, 1e200}, {1, 1e200}, {-1, 1e200}});
  const auto result = index.search(Vec{1, 0}, kHugeK);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(ids_of(*result), (std::vector<std::uint64_t>{0, 1, 2, 3}));
  EXPECT_TRUE(std::signbit((*result)[1].distance)) << "the raw -0.0 is reported";
}

TEST(FlatSearch, NaNRanksAfterEveryNumber) {
  // Zero vectors have cosine NaN against anything.
  const FlatIndex index = index_of(2, MetricKind::Cosine, {{0, 0}, {1, 0}, {0, 0}, {-1, 0}});
  const auto result = index.search(Vec{1, 0}, 4);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(ids_of(*result), (std::vector<std::uint64_t>{3, 1, 0, 2}));
  EXPECT_TRUE(std::isnan((*result)[2].distance));
}

TEST(FlatSearch, AllNaNComesInIdOrder) {
  const FlatIndex index = index_of(1, MetricKind::Cosine, {{0}, {0}, {0}});
  const auto result = index.search(Vec{1}, 2);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(ids_of(*result), (std::vector<std::uint64_t>{0, 1}));
}

TEST(FlatSearch, SimilaritiesRankLeastSimilarFirst) {
  const std::vector<Vec> stored = {{1, 0}, {-3, 0}, {2, 0}};
  const auto inner = index_of(2, MetricKind::InnerProduct, stored).search(Vec{1, 0}, 3);
  ASSERT_TRUE(inner.has_value());
  EXPECT_EQ(ids_of(*inner), (std::vector<std::uint64_t>{1, 0, 2}));
  EXPECT_EQ((*inner)[0].distance, -3.0);
  const auto cosine =
      index_of(2, MetricKind::Cosine, {{0, 1}, {-1, 0}, {1, 0}}).search(Vec{1, 0}, 1);
  ASSERT_TRUE(cosine.has_value());
  EXPECT_EQ(ids_of(*cosine), (std::vector<std::uint64_t>{1}));
  EXPECT_EQ((*cosine)[0].distance, -1.0);
}

TEST(FlatSearch, KZeroAndHugeK) {
  const FlatIndex index = index_of(1, MetricKind::Euclidean, {{3}, {1}, {2}});
  const auto none = index.search(Vec{0}, 0);
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());
  const auto all = index.search(Vec{0}, kHugeK);
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(ids_of(*all), (std::vector<std::uint64_t>{1, 2, 0}));
}

TEST(FlatSearch, EmptyIndexFails) {
  const FlatIndex index(3, MetricKind::Euclidean);
  const auto result = index.search(Vec{1, 2, 3}, 1);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), FlatError::EmptyIndex);
  EXPECT_FALSE(index.search(Vec{1, 2, 3}, 0).has_value());
}

TEST(FlatSearch, QueryLengthIsCheckedBeforeEmptiness) {
  const FlatIndex index(3, MetricKind::Euclidean);
  EXPECT_THROW((void)index.search(Vec{1, 2}, 1), std::invalid_argument);
}

TEST(FlatSearch, DimZeroConsumesIdsButStoresNothing) {
  FlatIndex index(0, MetricKind::Cosine);
  index.insert(Vec{});
  index.insert(Vec{});
  EXPECT_EQ(index.size(), 2u);
  const auto result = index.search(Vec{}, 1);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), FlatError::EmptyIndex);
}

TEST(FlatInsert, WrongLengthStoresNothing) {
  FlatIndex index(2, MetricKind::Euclidean);
  index.insert(Vec{1, 2});
  try {
    index.insert(Vec{1, 2, 3});
    FAIL() << "no exception";
  } catch (const std::invalid_argument& error) {
    EXPECT_EQ(std::string(error.what()), "Vector length 3 does not match index dimension 2");
  }
  EXPECT_EQ(index.size(), 1u);
  index.insert(Vec{4, 5});
  const auto result = index.search(Vec{4, 5}, kHugeK);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(ids_of(*result), (std::vector<std::uint64_t>{1, 0}));
}

TEST(FlatInsert, AccessorsReportConstruction) {
  FlatIndex index(4, MetricKind::InnerProduct);
  EXPECT_EQ(index.dim(), 4u);
  EXPECT_EQ(index.metric(), MetricKind::InnerProduct);
  EXPECT_EQ(index.size(), 0u);
}

VectorBlock block_of(const std::vector<Vec>& vectors) {
  VectorBlock block;
  for (const Vec& v : vectors) block.values.insert(block.values.end(), v.begin(), v.end());
  block.count = vectors.size();
  return block;
}

bool same_bits(std::span<const double> a, std::span<const double> b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// The index after a bulk insertion against one filled by insert alone: the
// same stored numbers, bit for bit, and the same search results.
void expect_same_index(const FlatIndex& expected, const FlatIndex& actual, const Vec& query) {
  ASSERT_EQ(actual.size(), expected.size());
  ASSERT_TRUE(same_bits(actual.vectors(), expected.vectors()));
  const auto expected_hits = expected.search(query, kHugeK);
  const auto actual_hits = actual.search(query, kHugeK);
  ASSERT_EQ(actual_hits.has_value(), expected_hits.has_value());
  if (expected_hits) expect_same_hits(*expected_hits, *actual_hits);
}

TEST(FlatInsertBlock, MatchesInsertingOneByOne) {
  std::mt19937 rng(5);
  for (MetricKind kind : kAllMetrics) {
    for (std::size_t dim : {0, 1, 3, 17}) {
      for (std::size_t before : {0, 3}) {
        for (std::size_t count : {1, 50}) {
          SCOPED_TRACE("dim " + std::to_string(dim) + " before " + std::to_string(before) +
                       " count " + std::to_string(count));
          std::vector<Vec> all;
          for (std::size_t i = 0; i < before + count; ++i)
            all.push_back(tie_prone_vector(rng, dim));
          FlatIndex bulk = index_of(dim, kind, {all.begin(), all.begin() + before});
          NeverInterrupt never;
          ASSERT_TRUE(bulk.insert_block(block_of({all.begin() + before, all.end()}), never));
          expect_same_index(index_of(dim, kind, all), bulk, tie_prone_vector(rng, dim));
          // Later insertions continue the ids as usual.
          bulk.insert(all.front());
          all.push_back(all.front());
          expect_same_index(index_of(dim, kind, all), bulk, all[1]);
        }
      }
    }
  }
}

TEST(FlatInsertBlock, InterruptKeepsWholeVectorsOnly) {
  // Wide vectors, so that a few of them fill a chunk of the copy.
  const std::size_t dim = std::size_t{1} << 15;
  const std::size_t count = 40;
  std::mt19937 rng(6);
  std::vector<Vec> all;
  for (std::size_t i = 0; i < count + 1; ++i) all.push_back(tie_prone_vector(rng, dim));
  for (MetricKind kind : kAllMetrics) {
    FlatIndex index = index_of(dim, kind, {all.front()});
    StopAfter stop(1);
    const auto stored = index.insert_block(block_of({all.begin() + 1, all.end()}), stop);
    ASSERT_FALSE(stored.has_value());
    EXPECT_EQ(stop.questions, 2u);
    ASSERT_GT(index.size(), 1u);
    ASSERT_LT(index.size(), count + 1);
    const std::vector<Vec> prefix(all.begin(), all.begin() + index.size());
    expect_same_index(index_of(dim, kind, prefix), index, all.back());
  }
  // An empty index measuring cosine norms stops before taking the buffer.
  FlatIndex cosine(dim, MetricKind::Cosine);
  StopAfter stop(1);
  EXPECT_FALSE(cosine.insert_block(block_of(all), stop).has_value());
  EXPECT_EQ(cosine.size(), 0u);
  EXPECT_TRUE(cosine.vectors().empty());
  cosine.insert(all.back());
  expect_same_index(index_of(dim, MetricKind::Cosine, {all.back()}), cosine, all.front());
}

TEST(FlatInsertBlock, WrongSizeThrowsAndStoresNothing) {
  FlatIndex index(2, MetricKind::Euclidean);
  index.insert(Vec{1, 2});
  VectorBlock block;
  block.values = {1, 2, 3};
  block.count = 2;
  NeverInterrupt never;
  EXPECT_THROW((void)index.insert_block(std::move(block), never), std::invalid_argument);
  EXPECT_EQ(index.size(), 1u);
  EXPECT_EQ(index.vectors().size(), 2u);
}

TEST(FlatTypes, ErrorNamesAndOrder) {
  const std::pair<FlatError, std::string_view> names[] = {
      {FlatError::EmptyIndex, "EmptyIndex"},
      {FlatError::EmptyVectors, "EmptyVectors"},
      {FlatError::MetadataMismatch, "MetadataMismatch"},
      {FlatError::NoSchema, "NoSchema"},
      {FlatError::EmptySchema, "EmptySchema"},
      {FlatError::AttributeNotFound, "AttributeNotFound"}};
  for (std::size_t i = 0; i < std::size(names); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(names[i].first), i);
    EXPECT_EQ(flat_error_name(names[i].first), names[i].second);
  }
  EXPECT_THROW(flat_error_name(static_cast<FlatError>(6)), std::invalid_argument);
}

TEST(FlatTypes, TheSharedMetricFunctions) {
  EXPECT_EQ(euclidean_distance(Vec{0, 0}, Vec{3, 4}), 5.0);
  EXPECT_EQ(dot_product(Vec{1, 2, 3}, Vec{4, 5, 6}), 32.0);
  EXPECT_EQ(cosine_similarity(Vec{3, 4}, Vec{3}), 0.6);
}

}  // namespace
}  // namespace halqen
