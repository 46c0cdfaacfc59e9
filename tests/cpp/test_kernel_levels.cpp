// Every kernel level against the single-pair metric functions, bit for bit
// (any NaN matches any NaN): the row, gather and stored-norm kernels and the
// block kernel. Levels this CPU cannot run are skipped, so the AVX-512
// kernels are checked wherever the tests run on a CPU that has them.
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

#include "metrics/batch.hpp"
#include "metrics/block.hpp"
#include "metrics/dispatch.hpp"
#include "metrics/metric_table.hpp"
#include "metrics/metrics.hpp"

namespace halqen {
namespace {

using Vec = std::vector<double>;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Written just past the results, to catch a kernel writing too far.
constexpr double kSentinel = 12345.0;
// Around the register widths and the two-component steps, and the usual
// embedding sizes on either side of a power of two.
constexpr std::size_t kDims[] = {0, 1, 2, 3, 5, 8, 9, 17, 127, 128, 129};
// More queries than the widest tile holds (3 registers of 8), so that every
// remainder of query registers occurs.
constexpr std::size_t kMaxQueries = 27;

bool same_bits(double x, double y) {
  return (std::isnan(x) && std::isnan(y)) ||
         std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
}

// Components over many magnitudes, so that another order of additions
// changes the rounded sums, and now and then a special value.
class Values {
 public:
  explicit Values(std::uint32_t seed) : rng_(seed) {}

  Vec vector(std::size_t length) {
    Vec v(length);
    for (double& x : v) x = component();
    return v;
  }

  std::size_t below(std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng_);
  }

  // dim itself, or a few components shorter or longer.
  std::size_t query_length(std::size_t dim) {
    const std::size_t shift = below(7);
    return shift < 3 ? (dim > shift ? dim - shift : 0) : dim + shift - 3;
  }

 private:
  double component() {
    constexpr double kSpecials[] = {0.0, -0.0, kNaN, kInf, -kInf, 1e300, -1e300, 5e-324};
    if (below(60) == 0) return kSpecials[below(std::size(kSpecials))];
    const double magnitude = std::pow(10.0, std::uniform_real_distribution<double>(-6, 6)(rng_));
    return std::normal_distribution<double>(0.0, 1.0)(rng_) * magnitude;
  }

  std::mt19937 rng_;
};

VectorView row_of(const Vec& rows, std::size_t dim, std::size_t i) {
  return {rows.data() + i * dim, dim};
}

Vec norms_of(const Vec& rows, std::size_t dim, std::size_t count) {
  Vec norms(count);
  for (std::size_t i = 0; i < count; ++i) norms[i] = squared_norm(row_of(rows, dim, i));
  return norms;
}

class EveryLevel : public ::testing::TestWithParam<KernelLevel> {
 protected:
  void SetUp() override {
    original_ = active_kernel();
    const auto levels = available_kernels();
    if (std::find(levels.begin(), levels.end(), GetParam()) == levels.end()) {
      GTEST_SKIP() << "this CPU cannot run the " << kernel_name(GetParam()) << " kernels";
    }
    force_kernel(GetParam());
  }
  void TearDown() override { force_kernel(original_); }

  std::uint32_t seed(std::uint32_t salt) const {
    return salt * 16 + static_cast<std::uint32_t>(GetParam());
  }

 private:
  KernelLevel original_ = KernelLevel::Scalar;
};

TEST_P(EveryLevel, RowGatherAndStoredNormKernelsMatchPairFunctions) {
  Values values(seed(1));
  for (std::size_t dim : kDims) {
    for (int trial = 0; trial < 4; ++trial) {
      const std::size_t count = values.below(40);
      const Vec rows = values.vector(count * dim);
      const Vec norms = norms_of(rows, dim, count);
      const Vec query = values.vector(values.query_length(dim));
      std::vector<std::uint32_t> ids(values.below(20));
      for (auto& id : ids) id = static_cast<std::uint32_t>(count == 0 ? 0 : values.below(count));
      if (count == 0) ids.clear();
      for (const MetricRow& metric : kMetrics) {
        Vec out(count + 1, kSentinel);
        Vec with_norms(count + 1, kSentinel);
        Vec gathered(ids.size() + 1, kSentinel);
        distances_rows(metric.kind, query, rows.data(), dim, count, out.data());
        distances_rows_with_norms(metric.kind, query, squared_norm(query), rows.data(),
                                  norms.data(), dim, count, with_norms.data());
        distances_gather(metric.kind, query, rows.data(), dim, ids.data(), ids.size(),
                         gathered.data());
        for (std::size_t i = 0; i < count; ++i) {
          const double expected = metric.pair(query, row_of(rows, dim, i));
          EXPECT_TRUE(same_bits(expected, out[i]))
              << metric.hnsw_name << " dim " << dim << " query " << query.size() << " row " << i
              << ": " << expected << " vs " << out[i];
          EXPECT_TRUE(same_bits(expected, with_norms[i]))
              << metric.hnsw_name << " with norms, dim " << dim << " row " << i;
        }
        for (std::size_t i = 0; i < ids.size(); ++i) {
          EXPECT_TRUE(same_bits(metric.pair(query, row_of(rows, dim, ids[i])), gathered[i]))
              << metric.hnsw_name << " gather, dim " << dim << " id " << ids[i];
        }
        EXPECT_EQ(out[count], kSentinel);
        EXPECT_EQ(with_norms[count], kSentinel);
        EXPECT_EQ(gathered[ids.size()], kSentinel);
      }
    }
  }
}

// Every block size from 1 to kMaxQueries, row counts that are and are not
// multiples of a tile, and norms given or computed by the kernel.
TEST_P(EveryLevel, BlockKernelMatchesPairFunctions) {
  Values values(seed(2));
  for (std::size_t dim : kDims) {
    for (std::size_t query_count = 1; query_count <= kMaxQueries; ++query_count) {
      const std::size_t count = values.below(30);
      const Vec rows = values.vector(count * dim);
      const Vec norms = norms_of(rows, dim, count);
      const std::size_t query_size = values.query_length(dim);
      std::vector<Vec> queries;
      for (std::size_t j = 0; j < query_count; ++j) queries.push_back(values.vector(query_size));
      const std::vector<VectorView> views(queries.begin(), queries.end());
      for (const MetricRow& metric : kMetrics) {
        const QueryBlock block(metric.kind, views);
        const std::size_t results = query_count * count;
        Vec out(results + 1, kSentinel);
        Vec with_norms(results + 1, kSentinel);
        block.distances(rows.data(), nullptr, dim, count, out.data());
        block.distances(rows.data(), norms.data(), dim, count, with_norms.data());
        for (std::size_t j = 0; j < query_count; ++j) {
          for (std::size_t i = 0; i < count; ++i) {
            const double expected = metric.pair(queries[j], row_of(rows, dim, i));
            EXPECT_TRUE(same_bits(expected, out[j * count + i]))
                << metric.hnsw_name << " dim " << dim << " query " << j << " of " << query_count
                << " (size " << query_size << ") row " << i << " of " << count << ": " << expected
                << " vs " << out[j * count + i];
            EXPECT_TRUE(same_bits(expected, with_norms[j * count + i]))
                << metric.hnsw_name << " with norms, dim " << dim << " query " << j << " row " << i;
          }
        }
        EXPECT_EQ(out[results], kSentinel);
        EXPECT_EQ(with_norms[results], kSentinel);
      }
    }
  }
}

// Enough rows that the kernel takes them in several chunks.
TEST_P(EveryLevel, BlockKernelOverManyRows) {
  Values values(seed(3));
  const std::size_t dim = 128;
  const std::size_t count = 517;
  const Vec rows = values.vector(count * dim);
  std::vector<Vec> queries;
  for (std::size_t j = 0; j < 13; ++j) queries.push_back(values.vector(dim));
  const std::vector<VectorView> views(queries.begin(), queries.end());
  for (const MetricRow& metric : kMetrics) {
    Vec out(queries.size() * count);
    distances_block(metric.kind, views, rows.data(), nullptr, dim, count, out.data());
    for (std::size_t j = 0; j < queries.size(); ++j) {
      for (std::size_t i = 0; i < count; ++i) {
        ASSERT_TRUE(same_bits(metric.pair(queries[j], row_of(rows, dim, i)), out[j * count + i]))
            << metric.hnsw_name << " query " << j << " row " << i;
      }
    }
  }
}

std::string level_name(const ::testing::TestParamInfo<KernelLevel>& info) {
  return std::string(kernel_name(info.param));
}

INSTANTIATE_TEST_SUITE_P(Kernels, EveryLevel, ::testing::ValuesIn(kKernelLevels), level_name);

TEST(QueryBlock, QueriesOfDifferentLengthsAreRejected) {
  const Vec a = {1.0, 2.0};
  const Vec b = {1.0, 2.0, 3.0};
  const std::vector<VectorView> views = {a, a, b};
  try {
    const QueryBlock block(MetricKind::Euclidean, views);
    FAIL() << "accepted queries of lengths 2 and 3";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "query 2 has 3 components, but query 0 has 2");
  }
}

TEST(QueryBlock, UnknownMetricIsRejected) {
  const Vec a = {1.0};
  const std::vector<VectorView> views = {a};
  EXPECT_THROW(QueryBlock(static_cast<MetricKind>(kMetricCount), views), std::invalid_argument);
}

TEST(QueryBlock, NoQueriesOrNoRowsWriteNothing) {
  const Vec rows = {1.0, 2.0};
  double out = kSentinel;
  distances_block(MetricKind::Euclidean, {}, rows.data(), nullptr, 2, 1, &out);
  const std::vector<VectorView> views = {rows};
  distances_block(MetricKind::Cosine, views, rows.data(), nullptr, 2, 0, &out);
  EXPECT_EQ(out, kSentinel);
}

}  // namespace
}  // namespace halqen
