// Float32 codes of data of any finite magnitude: one power of two scales
// every code, so data beyond float32's range codes finitely and small data
// does not go subnormal, while data well within it codes as plain float32.
// Scaling by a power of two keeps float32's rounding, so data scaled by one
// builds the very graph the unscaled data builds.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "codes/code_kernels.hpp"
#include "codes/code_query.hpp"
#include "codes/code_store.hpp"
#include "common/interrupt.hpp"
#include "graph/graph_index.hpp"
#include "rows_of.hpp"

namespace halqen {
namespace {

using codes::CodeKind;
using codes::CodeQuery;
using codes::CodeStore;
using codes::Float32Scale;

constexpr std::size_t kDim = 16;

std::vector<double> normal_rows(std::size_t count, std::uint64_t seed, double scale) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> rows(count * kDim);
  for (double& x : rows) x = normal(rng) * scale;
  return rows;
}

std::vector<double> scaled(std::vector<double> rows, double factor) {
  for (double& x : rows) x *= factor;
  return rows;
}

std::uint32_t bits(float x) {
  return std::bit_cast<std::uint32_t>(x);
}

double largest_code(const CodeStore& store) {
  double largest = 0.0;
  for (std::uint32_t slot = 0; slot < store.size(); ++slot) {
    for (std::size_t d = 0; d < store.dim(); ++d) {
      largest = std::max(largest, std::fabs(double{store.floats(slot)[d]}));
    }
  }
  return largest;
}

std::vector<double> keys_from(const CodeStore& store, std::span<const double> query) {
  const CodeQuery coded(store, query);
  std::vector<std::uint32_t> slots(store.size());
  for (std::uint32_t slot = 0; slot < slots.size(); ++slot) slots[slot] = slot;
  std::vector<double> keys(slots.size());
  coded.keys(slots.data(), slots.size(), keys.data());
  return keys;
}

TEST(Float32Scale, DataWellWithinFloat32CodesAsPlainFloat32) {
  for (const double scale : {1.0, 1e9, 1e-9, 0x1p-40, 0x1p55}) {
    CodeStore store(kDim, MetricKind::Euclidean, CodeKind::Float32);
    EXPECT_EQ(store.scale(), Float32Scale{});
    const std::vector<double> rows = normal_rows(50, 1, scale);
    store.append({}, rows);
    EXPECT_EQ(store.scale(), (Float32Scale{.set = true, .exponent = 0})) << scale;
    EXPECT_EQ(store.scale_of(rows_of(rows, kDim)), store.scale());
    for (std::uint32_t slot = 0; slot < store.size(); ++slot) {
      for (std::size_t d = 0; d < kDim; ++d) {
        ASSERT_EQ(bits(store.floats(slot)[d]), bits(static_cast<float>(rows[slot * kDim + d])));
      }
    }
  }
}

// The largest magnitude comes to [1, 2): every key finite, and every key
// the unscaled data's key times one power of two (the same order, ties and
// all), under both metrics that read magnitudes.
TEST(Float32Scale, FarDataCodesAsTheSameDataNearOne) {
  const std::vector<double> rows = normal_rows(200, 2, 1.0);
  const std::vector<double> query = normal_rows(1, 3, 1.0);
  for (const MetricKind metric : {MetricKind::Euclidean, MetricKind::InnerProduct}) {
    CodeStore near(kDim, metric, CodeKind::Float32);
    near.append({}, rows);
    const std::vector<double> reference = keys_from(near, query);
    for (const int power : {63, 70, 600, 1000, -133, -140, -600, -1000}) {
      SCOPED_TRACE(power);
      const double factor = std::ldexp(1.0, power);
      CodeStore far(kDim, metric, CodeKind::Float32);
      far.append({}, scaled(rows, factor));
      ASSERT_TRUE(far.scale().set);
      const double largest = largest_code(far);
      EXPECT_GE(largest, 1.0);
      EXPECT_LT(largest, 2.0);
      const std::vector<double> keys = keys_from(far, scaled(query, factor));
      const double ratio = keys[0] / reference[0];
      EXPECT_EQ(ratio, std::exp2(std::round(std::log2(ratio))));
      for (std::size_t i = 0; i < keys.size(); ++i) {
        ASSERT_TRUE(std::isfinite(keys[i])) << i;
        ASSERT_EQ(keys[i], reference[i] * ratio) << i;
      }
    }
  }
}

// Out of float32's range a key used to overflow or flush to zero.
TEST(Float32Scale, KeysOfFarDataAreFiniteAndApart) {
  for (const double scale : {1e19, 1e-40, 1e300, 1e-300}) {
    CodeStore store(kDim, MetricKind::Euclidean, CodeKind::Float32);
    const std::vector<double> rows = normal_rows(100, 4, scale);
    store.append({}, rows);
    const std::vector<double> keys = keys_from(store, std::span(rows).first(kDim));
    EXPECT_EQ(keys[0], 0.0);
    for (std::size_t i = 1; i < keys.size(); ++i) {
      EXPECT_TRUE(std::isfinite(keys[i]) && keys[i] > 0.0) << scale << " slot " << i;
    }
  }
}

// Set by the first rows that are not zeros; data that fits keeps it; data
// too large lowers it, and every code is then what a store given all the
// rows at once holds.
TEST(Float32Scale, ALargerRowLowersTheScaleAndEveryCodeFollows) {
  CodeStore store(kDim, MetricKind::Euclidean, CodeKind::Float32);
  std::vector<double> stored(kDim, 0.0);
  store.append({}, stored);
  EXPECT_EQ(store.scale(), Float32Scale{});
  const auto add = [&](const std::vector<double>& rows) {
    store.append(rows_of(stored, kDim), rows);
    stored.insert(stored.end(), rows.begin(), rows.end());
  };
  add(normal_rows(30, 5, 1e-40));
  const Float32Scale tiny = store.scale();
  EXPECT_TRUE(tiny.set);
  EXPECT_GT(tiny.exponent, 100);
  add(normal_rows(30, 6, 1e-30));
  EXPECT_EQ(store.scale(), tiny);
  EXPECT_EQ(store.range_changes(), 0u);
  // What the rows alone would set differs: a copy must keep the scale.
  EXPECT_NE(store.scale_of(rows_of(stored, kDim)), tiny);
  add(normal_rows(30, 7, 1e19));
  EXPECT_EQ(store.range_changes(), 1u);
  EXPECT_LT(store.scale().exponent, 0);

  CodeStore at_once(kDim, MetricKind::Euclidean, CodeKind::Float32);
  at_once.append({}, stored);
  EXPECT_EQ(at_once.scale(), store.scale());
  for (std::uint32_t slot = 0; slot < store.size(); ++slot) {
    for (std::size_t d = 0; d < kDim; ++d) {
      ASSERT_EQ(bits(store.floats(slot)[d]), bits(at_once.floats(slot)[d])) << slot;
    }
  }

  // A slot refilled with a larger row lowers it as well.
  const std::vector<double> huge = normal_rows(1, 8, 1e300);
  std::copy(huge.begin(), huge.end(), stored.begin());
  store.overwrite(0, rows_of(stored, kDim), huge);
  EXPECT_EQ(store.range_changes(), 2u);
  CodeStore again(kDim, MetricKind::Euclidean, CodeKind::Float32);
  again.append({}, stored);
  EXPECT_EQ(again.scale(), store.scale());
  for (std::uint32_t slot = 0; slot < store.size(); ++slot) {
    for (std::size_t d = 0; d < kDim; ++d) {
      ASSERT_EQ(bits(store.floats(slot)[d]), bits(again.floats(slot)[d])) << slot;
    }
  }
}

// A store read back takes the scale it is given where the rows fit it, and
// lowers it where they do not.
TEST(Float32Scale, AStoreReadBackKeepsOrLowersItsScale) {
  const std::vector<double> rows = normal_rows(20, 9, 1e-30);
  const std::vector<std::uint8_t> live(20, 0);
  CodeStore kept(kDim, MetricKind::Euclidean, CodeKind::Float32);
  kept.restore_scale({.set = true, .exponent = 133});
  kept.append_slots(rows_of(rows, kDim), live);
  EXPECT_EQ(kept.scale(), (Float32Scale{.set = true, .exponent = 133}));
  CodeStore lowered(kDim, MetricKind::Euclidean, CodeKind::Float32);
  lowered.restore_scale({.set = true, .exponent = codes::kHighestScaleExponent});
  lowered.append_slots(rows_of(rows, kDim), live);
  EXPECT_EQ(lowered.scale(), lowered.scale_of(rows_of(rows, kDim)));
}

// Unit vectors need no scale.
TEST(Float32Scale, TheCosineCodesUnitVectorsUnscaled) {
  CodeStore store(kDim, MetricKind::Cosine, CodeKind::Float32);
  const std::vector<double> rows = normal_rows(10, 10, 1e300);
  store.append({}, rows);
  EXPECT_EQ(store.scale(), Float32Scale{});
  EXPECT_EQ(store.scale_of(rows_of(rows, kDim)), Float32Scale{});
  EXPECT_LE(largest_code(store), 1.0);
}

// The two codes farthest apart the bound allows, on every kernel level:
// their squared distance stays finite.
TEST(Float32Scale, TheLargestScaledCodesKeepEverySumFinite) {
  for (const std::size_t dim : {1, 2, 16, 17, 1000, 1 << 20}) {
    const double bound = codes::largest_scaled_code(dim);
    EXPECT_LE(4.0 * static_cast<double>(dim) * bound * bound, 0x1p126) << dim;
    EXPECT_GE(bound, 0x1p50) << dim;
    const std::size_t padded =
        (dim + codes::kFloatBlock - 1) / codes::kFloatBlock * codes::kFloatBlock;
    std::vector<float> high(padded, 0.0F);
    std::vector<float> low(padded, 0.0F);
    std::fill_n(high.begin(), dim, static_cast<float>(bound));
    std::fill_n(low.begin(), dim, static_cast<float>(-bound));
    for (const codes::CodeLevel level : codes::available_code_levels()) {
      const codes::CodeLevel original = codes::active_code_level();
      codes::force_code_level(level);
      const codes::CodeKernels& kernels = codes::active_code_kernels();
      EXPECT_TRUE(std::isfinite(kernels.float_l2(high.data(), low.data(), padded))) << dim;
      EXPECT_TRUE(std::isfinite(kernels.float_dot(high.data(), high.data(), padded))) << dim;
      codes::force_code_level(original);
    }
  }
  // Exponents a scale takes: 0 within the bounds, else the largest to [1, 2).
  EXPECT_EQ(codes::fitting_exponent(0x1p-40, kDim), 0);
  EXPECT_EQ(codes::fitting_exponent(0x1p-41, kDim), 41);
  EXPECT_EQ(codes::fitting_exponent(codes::largest_scaled_code(kDim), kDim), 0);
  EXPECT_EQ(codes::fitting_exponent(1e19, kDim), -63);
  EXPECT_EQ(codes::fitting_exponent(5e-324, kDim), codes::kHighestScaleExponent);
  EXPECT_EQ(codes::fitting_exponent(1.7976931348623157e308, kDim), codes::kLowestScaleExponent);
}

graph::GraphIndex built(const std::vector<double>& rows, MetricKind metric, graph::WalkKind walk,
                        std::size_t threads) {
  auto index = graph::GraphIndex::create({.dim = kDim,
                                          .metric = metric,
                                          .m = 6,
                                          .ef_construction = 40,
                                          .ef_search = 20,
                                          .seed = 3,
                                          .schema = std::nullopt,
                                          .walk = walk});
  EXPECT_TRUE(index.has_value());
  NeverInterrupt never;
  graph::ThreadRunner runner(threads, never);
  graph::Addition addition;
  addition.values = rows;
  addition.count = rows.size() / kDim;
  EXPECT_TRUE(index->add(std::move(addition), runner, nullptr).has_value());
  return std::move(*index);
}

// A float32 walk, and an exact walk's large addition (built on float32
// copies), build the same graph from data and from the data scaled by a
// power of two far out of float32's range, on every thread count and code
// level; and find the same answers.
TEST(Float32Scale, DataScaledByAPowerOfTwoBuildsTheSameGraph) {
  const std::vector<double> rows = normal_rows(800, 11, 1.0);
  const std::vector<double> queries = normal_rows(10, 12, 1.0);
  const codes::CodeLevel original = codes::active_code_level();
  for (const MetricKind metric : {MetricKind::Euclidean, MetricKind::InnerProduct}) {
    for (const graph::WalkKind walk : {graph::WalkKind::Exact, graph::WalkKind::Float32}) {
      const graph::GraphIndex reference = built(rows, metric, walk, 1);
      const graph::GraphParts expected = reference.parts();
      for (const int power : {70, -140}) {
        const double factor = std::ldexp(1.0, power);
        for (const codes::CodeLevel level : codes::available_code_levels()) {
          codes::force_code_level(level);
          for (const std::size_t threads : {1, 2}) {
            SCOPED_TRACE(testing::Message()
                         << "metric " << static_cast<int>(metric) << " walk "
                         << static_cast<int>(walk) << " 2^" << power << " "
                         << codes::code_level_name(level) << " threads " << threads);
            const graph::GraphIndex far = built(scaled(rows, factor), metric, walk, threads);
            const graph::GraphParts parts = far.parts();
            EXPECT_EQ(parts.levels, expected.levels);
            EXPECT_EQ(parts.links, expected.links);
            for (std::size_t q = 0; q < 10; ++q) {
              const std::vector<double> query(queries.begin() + q * kDim,
                                              queries.begin() + (q + 1) * kDim);
              const auto near_found = reference.search(query, 10, 20, nullptr);
              const auto far_found = far.search(scaled(query, factor), 10, 20, nullptr);
              ASSERT_TRUE(near_found.has_value() && far_found.has_value());
              ASSERT_EQ(near_found->size(), far_found->size());
              for (std::size_t i = 0; i < near_found->size(); ++i) {
                EXPECT_EQ((*near_found)[i].id, (*far_found)[i].id);
              }
            }
          }
        }
        codes::force_code_level(original);
      }
    }
  }
}

}  // namespace
}  // namespace halqen

namespace halqen {
namespace {

// Codes made in pieces, in any order of the pieces, are each row's own
// code, its padding zeros, and nothing written past it (pieces run
// backwards here: a row that wrote past its end would clear codes of the
// piece after it, already made).
TEST(Float32Scale, CodesMadeInPiecesInAnyOrderAreEachRowsOwn) {
  constexpr std::size_t kRows = 5000;  // more than two pieces
  constexpr std::size_t kOddDim = 20;  // padded to 32
  std::mt19937_64 rng(31);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> rows(kRows * kOddDim);
  for (double& x : rows) x = normal(rng);
  const std::vector<std::uint8_t> live(kRows, 0);
  const CodeStore::PieceLoop backwards = [](std::size_t pieces,
                                            const std::function<void(std::size_t)>& run) {
    for (std::size_t piece = pieces; piece-- > 0;) run(piece);
  };
  CodeStore store(kOddDim, MetricKind::Euclidean, CodeKind::Float32);
  store.append_slots(rows_of(rows, kOddDim), live, {}, backwards);
  ASSERT_EQ(store.size(), kRows);
  for (std::uint32_t slot = 0; slot < kRows; ++slot) {
    const float* code = store.floats(slot);
    for (std::size_t d = 0; d < store.padded(); ++d) {
      const float wanted = d < kOddDim ? store.float_code(rows[slot * kOddDim + d]) : 0.0F;
      ASSERT_EQ(bits(code[d]), bits(wanted)) << "slot " << slot << ", number " << d;
    }
  }
}

}  // namespace
}  // namespace halqen
