// The metric functions and every batched kernel against plain sequential
// loops written here, compared bit for bit (any NaN matches any NaN).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "metrics/batch.hpp"
#include "metrics/dispatch.hpp"
#include "metrics/metric_table.hpp"
#include "metrics/metrics.hpp"

namespace halqen {
namespace {

using Vec = std::vector<double>;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kMaxLength = 70;
// Written just past the results, to catch a kernel writing too far.
constexpr double kSentinel = 12345.0;
constexpr MetricKind kAllMetrics[] = {MetricKind::Euclidean, MetricKind::Cosine,
                                      MetricKind::InnerProduct};

// --- The definitions, as plain loops -------------------------------------

double reference_euclidean(const Vec& a, const Vec& b) {
  double s = 0.0;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    const double d = a[i] - b[i];
    s = s + d * d;
  }
  return std::sqrt(s);
}

double reference_dot(const Vec& a, const Vec& b) {
  double s = 0.0;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) s = s + a[i] * b[i];
  return s;
}

double reference_cosine(const Vec& a, const Vec& b) {
  const double dot = reference_dot(a, b);
  double na = 0.0;
  for (double x : a) na = na + x * x;
  double nb = 0.0;
  for (double x : b) nb = nb + x * x;
  return dot / (std::sqrt(na) * std::sqrt(nb));
}

double reference(MetricKind kind, const Vec& a, const Vec& b) {
  switch (kind) {
    case MetricKind::Euclidean:
      return reference_euclidean(a, b);
    case MetricKind::Cosine:
      return reference_cosine(a, b);
    case MetricKind::InnerProduct:
      return reference_dot(a, b);
  }
  return kNaN;
}

bool same_bits(double x, double y) {
  return (std::isnan(x) && std::isnan(y)) ||
         std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
}

#define EXPECT_SAME_BITS(expected, actual) \
  EXPECT_TRUE(same_bits(expected, actual)) << "expected " << (expected) << ", got " << (actual)

// --- Data ----------------------------------------------------------------

// Components spanning many magnitudes, so that adding the same terms in
// another order changes the rounded sum; now and then a special value.
class Data {
 public:
  explicit Data(std::uint32_t seed) : rng_(seed) {}

  double component(bool with_specials) {
    if (with_specials && std::uniform_int_distribution<int>(0, 40)(rng_) == 0) return special();
    const double magnitude = std::pow(10.0, std::uniform_real_distribution<double>(-6, 6)(rng_));
    return std::normal_distribution<double>(0.0, 1.0)(rng_) * magnitude;
  }

  Vec vector(std::size_t length, bool with_specials = true) {
    Vec v(length);
    for (double& x : v) x = component(with_specials);
    if (length > 0 && std::uniform_int_distribution<int>(0, 30)(rng_) == 0) {
      std::fill(v.begin(), v.end(), 0.0);  // a zero vector now and then
    }
    return v;
  }

  std::size_t length(std::size_t max = kMaxLength) {
    return std::uniform_int_distribution<std::size_t>(0, max)(rng_);
  }

  std::mt19937& rng() { return rng_; }

 private:
  double special() {
    constexpr double kSpecials[] = {0.0, -0.0, kNaN, kInf, -kInf, 1e300, -1e300, 1e-300, 5e-324};
    return kSpecials[std::uniform_int_distribution<std::size_t>(0, std::size(kSpecials) - 1)(rng_)];
  }

  std::mt19937 rng_;
};

// --- Single-pair functions -----------------------------------------------

TEST(MetricEdgeCases, ValuesFromTheDefinition) {
  EXPECT_EQ(euclidean_distance(Vec{0, 0}, Vec{3, 4}), 5.0);
  EXPECT_EQ(dot_product(Vec{1, 2, 3}, Vec{4, 5, 6}), 32.0);
  EXPECT_EQ(cosine_similarity(Vec{1, 0}, Vec{0, 1}), 0.0);
  EXPECT_NEAR(cosine_similarity(Vec{1, 2}, Vec{2, 4}), 1.0, 1e-15);
}

TEST(MetricEdgeCases, EmptyAndZeroVectors) {
  EXPECT_TRUE(std::isnan(cosine_similarity(Vec{0, 0, 0}, Vec{1, 2, 3})));
  EXPECT_TRUE(std::isnan(cosine_similarity(Vec{1, 2, 3}, Vec{0, 0, 0})));
  EXPECT_TRUE(std::isnan(cosine_similarity(Vec{}, Vec{})));
  EXPECT_SAME_BITS(0.0, euclidean_distance(Vec{}, Vec{}));
  EXPECT_SAME_BITS(0.0, dot_product(Vec{}, Vec{}));
}

TEST(MetricEdgeCases, UnequalLengths) {
  EXPECT_EQ(euclidean_distance(Vec{1, 2, 3}, Vec{1, 2}), 0.0);
  EXPECT_EQ(dot_product(Vec{1, 2, 3}, Vec{1, 2}), 5.0);
  EXPECT_EQ(cosine_similarity(Vec{3, 4}, Vec{3}), 9.0 / (5.0 * 3.0));
  EXPECT_EQ(cosine_similarity(Vec{3}, Vec{3, 4}), 9.0 / (3.0 * 5.0));
}

TEST(MetricEdgeCases, NonFiniteComponents) {
  EXPECT_TRUE(std::isnan(euclidean_distance(Vec{1, kNaN}, Vec{1, 2})));
  EXPECT_TRUE(std::isnan(dot_product(Vec{1, 2}, Vec{kNaN, 2})));
  EXPECT_TRUE(std::isnan(cosine_similarity(Vec{1, 2, kNaN}, Vec{1, 2})));  // only in a's norm
  EXPECT_EQ(euclidean_distance(Vec{kInf, 0}, Vec{1, 2}), kInf);
  EXPECT_TRUE(std::isnan(euclidean_distance(Vec{kInf}, Vec{kInf})));
}

TEST(MetricEdgeCases, UnderflowedNormsGiveInfinityOrNaN) {
  // 1e-170 squared underflows to 0 while its product with 1e150 does not.
  EXPECT_EQ(cosine_similarity(Vec{1e-170}, Vec{1e150}), kInf);
  EXPECT_EQ(cosine_similarity(Vec{-1e-170}, Vec{1e150}), -kInf);
  // Here the dot product underflows too: 0 / 0.
  EXPECT_TRUE(std::isnan(cosine_similarity(Vec{1e-200}, Vec{1e-200})));
}

TEST(MetricEdgeCases, SymmetricInTheArguments) {
  Data data(7);
  for (int trial = 0; trial < 500; ++trial) {
    const Vec a = data.vector(data.length());
    const Vec b = data.vector(data.length());
    EXPECT_SAME_BITS(euclidean_distance(a, b), euclidean_distance(b, a));
    EXPECT_SAME_BITS(dot_product(a, b), dot_product(b, a));
    EXPECT_SAME_BITS(cosine_similarity(a, b), cosine_similarity(b, a));
  }
}

TEST(MetricFunctions, MatchSequentialLoopsBitForBit) {
  Data data(1);
  for (int trial = 0; trial < 5000; ++trial) {
    const Vec a = data.vector(data.length());
    const Vec b = data.vector(data.length());
    for (MetricKind kind : kAllMetrics) {
      EXPECT_SAME_BITS(reference(kind, a, b), metric_function(kind)(a, b));
    }
    double norm = 0.0;
    for (double x : a) norm = norm + x * x;
    EXPECT_SAME_BITS(norm, squared_norm(a));
  }
}

// Several rows at once, any count and length: each row's own sum, to the bit.
TEST(MetricFunctions, SquaredNormsOfManyRowsAreEachRowsSquaredNorm) {
  Data data(3);
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t dim = data.length();
    const std::size_t count = static_cast<std::size_t>(trial % 11);
    std::vector<double> rows;
    for (std::size_t row = 0; row < count; ++row) {
      const Vec v = data.vector(dim, false);
      rows.insert(rows.end(), v.begin(), v.end());
    }
    std::vector<double> norms(count);
    squared_norms(rows.data(), count, dim, norms.data());
    for (std::size_t row = 0; row < count; ++row) {
      EXPECT_SAME_BITS(squared_norm(VectorView(rows).subspan(row * dim, dim)), norms[row]);
    }
  }
}

// The data above must be able to expose a changed order of additions, or the
// bit-for-bit comparisons would prove nothing.
TEST(MetricFunctions, TestDataDetectsReorderedSums) {
  Data data(2);
  int differs = 0;
  constexpr int kTrials = 200;
  for (int trial = 0; trial < kTrials; ++trial) {
    const Vec a = data.vector(64, false);
    const Vec b = data.vector(64, false);
    double lanes[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < a.size(); ++i) lanes[i % 4] += a[i] * b[i];
    const double reordered = ((lanes[0] + lanes[1]) + lanes[2]) + lanes[3];
    if (!same_bits(reordered, reference_dot(a, b))) ++differs;
  }
  EXPECT_GT(differs, kTrials / 2);
}

TEST(MetricFunctions, UnknownKindIsRejected) {
  EXPECT_THROW(metric_function(static_cast<MetricKind>(7)), std::invalid_argument);
}

// The two classes spell cosine differently; PyFlat's fallback and PyHNSW's
// rejection of other names live in the classes, on top of these look-ups.
TEST(MetricTable, NamesSelectTheirRowsOnly) {
  for (const MetricRow& row : kMetrics) {
    EXPECT_EQ(metric_with_flat_name(row.flat_name), row.kind) << row.flat_name;
    EXPECT_EQ(metric_with_hnsw_name(row.hnsw_name), row.kind) << row.hnsw_name;
    EXPECT_EQ(metric_row(row.kind).pair, metric_function(row.kind));
  }
  EXPECT_EQ(metric_with_flat_name("cosine"), MetricKind::Cosine);
  EXPECT_EQ(metric_with_hnsw_name("angular"), MetricKind::Cosine);
  EXPECT_EQ(metric_with_flat_name("angular"), std::nullopt);
  EXPECT_EQ(metric_with_hnsw_name("cosine"), std::nullopt);
  EXPECT_EQ(metric_with_hnsw_name("Euclidean"), std::nullopt);
  EXPECT_EQ(metric_with_hnsw_name(""), std::nullopt);
  EXPECT_THROW(metric_row(static_cast<MetricKind>(kMetricCount)), std::invalid_argument);
}

// --- Kernels -------------------------------------------------------------

class KernelTest : public ::testing::TestWithParam<KernelLevel> {
 protected:
  void SetUp() override {
    original_ = active_kernel();
    force_kernel(GetParam());
  }
  void TearDown() override { force_kernel(original_); }

 private:
  KernelLevel original_ = KernelLevel::Scalar;
};

std::string level_name(const ::testing::TestParamInfo<KernelLevel>& info) {
  return std::string(kernel_name(info.param));
}

Vec stored_row(const Vec& rows, std::size_t dim, std::size_t i) {
  return Vec(rows.begin() + static_cast<std::ptrdiff_t>(i * dim),
             rows.begin() + static_cast<std::ptrdiff_t>((i + 1) * dim));
}

// A query whose length is dim, or a little shorter or longer.
Vec query_for(Data& data, std::size_t dim) {
  const int shift = std::uniform_int_distribution<int>(-3, 3)(data.rng());
  const int length = std::max(0, static_cast<int>(dim) + shift);
  return data.vector(static_cast<std::size_t>(length));
}

TEST_P(KernelTest, ForcedLevelIsActive) {
  EXPECT_EQ(active_kernel(), GetParam());
}

TEST_P(KernelTest, RowsMatchSequentialLoops) {
  Data data(10 + static_cast<std::uint32_t>(GetParam()));
  for (std::size_t dim = 0; dim <= kMaxLength; ++dim) {
    for (int trial = 0; trial < 6; ++trial) {
      const std::size_t count = data.length(21);
      const Vec rows = data.vector(count * dim);
      const Vec query = query_for(data, dim);
      for (MetricKind kind : kAllMetrics) {
        Vec out(count + 1, kSentinel);
        distances_rows(kind, query, rows.data(), dim, count, out.data());
        for (std::size_t i = 0; i < count; ++i) {
          EXPECT_SAME_BITS(reference(kind, query, stored_row(rows, dim, i)), out[i])
              << "dim " << dim << " query " << query.size() << " row " << i << " of " << count;
        }
        EXPECT_EQ(out[count], kSentinel) << "wrote past the last result";
      }
    }
  }
}

TEST_P(KernelTest, GatherMatchesSequentialLoops) {
  Data data(20 + static_cast<std::uint32_t>(GetParam()));
  for (std::size_t dim = 0; dim <= kMaxLength; ++dim) {
    const std::size_t stored = 1 + data.length(30);
    const Vec base = data.vector(stored * dim);
    for (int trial = 0; trial < 4; ++trial) {
      std::vector<std::uint32_t> ids(data.length(19));
      for (auto& id : ids) {
        id = std::uniform_int_distribution<std::uint32_t>(0, stored - 1)(data.rng());
      }
      const Vec query = query_for(data, dim);
      for (MetricKind kind : kAllMetrics) {
        Vec out(ids.size());
        distances_gather(kind, query, base.data(), dim, ids.data(), ids.size(), out.data());
        for (std::size_t i = 0; i < ids.size(); ++i) {
          EXPECT_SAME_BITS(reference(kind, query, stored_row(base, dim, ids[i])), out[i])
              << "dim " << dim << " query " << query.size() << " id " << ids[i];
        }
      }
    }
  }
}

TEST_P(KernelTest, CosineWithStoredNormsMatchesSequentialLoops) {
  Data data(30 + static_cast<std::uint32_t>(GetParam()));
  for (std::size_t dim = 0; dim <= kMaxLength; ++dim) {
    for (int trial = 0; trial < 6; ++trial) {
      const std::size_t count = data.length(21);
      const Vec rows = data.vector(count * dim);
      Vec norms(count);
      for (std::size_t i = 0; i < count; ++i) norms[i] = squared_norm(stored_row(rows, dim, i));
      const Vec query = query_for(data, dim);
      Vec out(count);
      distances_rows_with_norms(MetricKind::Cosine, query, squared_norm(query), rows.data(),
                                norms.data(), dim, count, out.data());
      for (std::size_t i = 0; i < count; ++i) {
        EXPECT_SAME_BITS(reference_cosine(query, stored_row(rows, dim, i)), out[i])
            << "dim " << dim << " query " << query.size() << " row " << i;
      }
    }
  }
}

// Rows stored as float32 numbers (specials among them), gathered with and
// without stored norms: the bits of the float64 rows they widen to.
TEST_P(KernelTest, Float32RowsGiveTheBitsOfTheirFloat64Values) {
  Data data(40 + static_cast<std::uint32_t>(GetParam()));
  for (std::size_t dim = 0; dim <= kMaxLength; ++dim) {
    const std::size_t stored = 1 + data.length(30);
    std::vector<float> narrow(stored * dim);
    for (float& x : narrow) x = static_cast<float>(data.vector(1)[0]);
    if (!narrow.empty()) narrow[narrow.size() / 2] = std::numeric_limits<float>::infinity();
    const Vec wide(narrow.begin(), narrow.end());
    Vec norms(stored);
    for (std::size_t i = 0; i < stored; ++i) norms[i] = squared_norm(stored_row(wide, dim, i));
    std::vector<std::uint32_t> ids(data.length(19));
    for (auto& id : ids)
      id = std::uniform_int_distribution<std::uint32_t>(0, stored - 1)(data.rng());
    Vec gathered_norms(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) gathered_norms[i] = norms[ids[i]];
    const Vec query = query_for(data, dim);
    for (MetricKind kind : kAllMetrics) {
      Vec out(ids.size());
      distances_gather_with_norms(kind, query, squared_norm(query), narrow.data(), dim, ids.data(),
                                  gathered_norms.data(), ids.size(), out.data());
      for (std::size_t i = 0; i < ids.size(); ++i) {
        EXPECT_SAME_BITS(reference(kind, query, stored_row(wide, dim, ids[i])), out[i])
            << "dim " << dim << " query " << query.size() << " id " << ids[i];
      }
    }
  }
}

// Rows that are all special values: every lane must propagate them itself.
TEST_P(KernelTest, NonFiniteRowsStayInTheirLanes) {
  const std::size_t dim = 5;
  const Vec rows = {1, 2, 3, 4, 5, kNaN, 0, 0, 0, 0,    kInf, 1, 1, 1, 1,
                    0, 0, 0, 0, 0, 1,    2, 3, 4, kInf, -0.0, 0, 0, 0, 0};
  const Vec query = {1, 2, 3, 4, 5};
  const std::size_t count = rows.size() / dim;
  for (MetricKind kind : kAllMetrics) {
    Vec out(count);
    distances_rows(kind, query, rows.data(), dim, count, out.data());
    for (std::size_t i = 0; i < count; ++i) {
      EXPECT_SAME_BITS(reference(kind, query, stored_row(rows, dim, i)), out[i]) << "row " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllAvailable, KernelTest, ::testing::ValuesIn(available_kernels()),
                         level_name);

TEST(KernelDispatch, ScalarFirstAndFastestByDefault) {
  const auto levels = available_kernels();
  ASSERT_FALSE(levels.empty());
  EXPECT_EQ(levels.front(), KernelLevel::Scalar);
  EXPECT_EQ(active_kernel(), levels.back());
}

TEST(KernelDispatch, UnknownLevelIsRejected) {
  const KernelLevel before = active_kernel();
  EXPECT_THROW(force_kernel(static_cast<KernelLevel>(9)), std::invalid_argument);
  EXPECT_EQ(active_kernel(), before);
}

TEST(KernelDispatch, UnknownMetricIsRejected) {
  const Vec query = {1.0};
  double out = 0.0;
  EXPECT_THROW(distances_rows(static_cast<MetricKind>(5), query, query.data(), 1, 1, &out),
               std::invalid_argument);
}

}  // namespace
}  // namespace halqen
