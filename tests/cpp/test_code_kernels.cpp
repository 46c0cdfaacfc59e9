// Every code kernel level against the scalar reference, bit for bit, on
// rows of every padded length up to a few blocks, with values of mixed
// magnitudes (float) and the extreme codes (8-bit). Levels this CPU cannot
// run are skipped: the AVX-512 ones run wherever the tests run on a CPU
// that has them. And the 8-bit range's promise: every stored component it
// holds within half its dimension's step of its code, as the data grows.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "codes/code_kernels.hpp"
#include "codes/code_store.hpp"
#include "codes/nibble_block.hpp"
#include "codes/sq8_range.hpp"
#include "rows_of.hpp"

namespace halqen::codes {
namespace {

constexpr std::size_t kMaxBlocks = 5;
constexpr int kRowsPerLength = 20;
// The largest weight of a query whose steps are folded in.
constexpr std::int16_t kWeight = 32767;

template <class T>
std::vector<T> random_values(std::mt19937& rng, std::size_t n, T low, T high) {
  std::vector<T> values(n);
  if constexpr (std::is_floating_point_v<T>) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> scale(-8, 8);
    for (T& x : values)
      x = static_cast<T>((low + (high - low) * unit(rng)) * std::ldexp(1.0, scale(rng)));
  } else {
    std::uniform_int_distribution<int> pick(low, high);
    for (T& x : values) x = static_cast<T>(pick(rng));
  }
  return values;
}

class RestoreLevel {
 public:
  RestoreLevel() : level_(active_code_level()) {}
  ~RestoreLevel() { force_code_level(level_); }

 private:
  CodeLevel level_;
};

TEST(CodeKernels, EveryLevelGivesTheScalarBits) {
  RestoreLevel restore;
  std::mt19937 rng(7);
  const CodeKernels& reference = kScalarCodeKernels;
  for (const CodeLevel level : available_code_levels()) {
    SCOPED_TRACE(std::string(code_level_name(level)));
    force_code_level(level);
    const CodeKernels& kernels = active_code_kernels();
    for (std::size_t blocks = 1; blocks <= kMaxBlocks; ++blocks) {
      const std::size_t floats = blocks * kFloatBlock;
      const std::size_t bytes = blocks * kByteBlock;
      for (int trial = 0; trial < kRowsPerLength; ++trial) {
        const auto fq = random_values<float>(rng, floats, -1.0F, 1.0F);
        const auto fr = random_values<float>(rng, floats, -1.0F, 1.0F);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(kernels.float_l2(fq.data(), fr.data(), floats)),
                  std::bit_cast<std::uint32_t>(reference.float_l2(fq.data(), fr.data(), floats)));
        EXPECT_EQ(std::bit_cast<std::uint32_t>(kernels.float_dot(fq.data(), fr.data(), floats)),
                  std::bit_cast<std::uint32_t>(reference.float_dot(fq.data(), fr.data(), floats)));
        const auto words = random_values<std::int16_t>(rng, bytes, Sq8Range::kQueryCodeLow,
                                                       Sq8Range::kQueryCodeHigh);
        const auto weights = random_values<std::int16_t>(rng, bytes, -kWeight, kWeight);
        const auto row = random_values<std::uint8_t>(rng, bytes, 0, Sq8Range::kLargestCode);
        EXPECT_EQ(kernels.byte_l2(words.data(), row.data(), bytes),
                  reference.byte_l2(words.data(), row.data(), bytes));
        EXPECT_EQ(kernels.byte_dot(weights.data(), row.data(), bytes),
                  reference.byte_dot(weights.data(), row.data(), bytes));
      }
    }
    // The extremes, where a lane sum would overflow without the chunks.
    const std::size_t long_row = std::size_t{1} << 16;
    const std::vector<std::int16_t> far(long_row, Sq8Range::kQueryCodeHigh);
    const std::vector<std::int16_t> low(long_row, -kWeight);
    const std::vector<std::uint8_t> zeros(long_row, 0);
    const std::vector<std::uint8_t> full(long_row, Sq8Range::kLargestCode);
    EXPECT_EQ(kernels.byte_l2(far.data(), zeros.data(), long_row),
              std::int64_t{383} * 383 * static_cast<std::int64_t>(long_row));
    EXPECT_EQ(kernels.byte_dot(low.data(), full.data(), long_row),
              std::int64_t{-kWeight} * 255 * static_cast<std::int64_t>(long_row));
  }
}

// Every component the range holds is within half its dimension's step of
// its code's value; one beyond is clamped to the nearest end and counted.
void expect_coded_within_half_a_step(const CodeStore& store, std::span<const double> stored) {
  const Sq8Range& range = store.range();
  std::vector<std::uint64_t> clamped(store.dim(), 0);
  for (std::uint32_t slot = 0; slot < store.size(); ++slot) {
    for (std::size_t d = 0; d < store.dim(); ++d) {
      const double x = stored[slot * store.dim() + d];
      const std::uint8_t code = store.bytes(slot)[d];
      const double value = range.offset(d) + range.step(d) * code;
      const double end = range.offset(d) + range.step(d) * Sq8Range::kLargestCode;
      if (x < range.offset(d) || x > end) {
        ++clamped[d];
        EXPECT_EQ(code, x < range.offset(d) ? 0 : Sq8Range::kLargestCode);
      } else {
        EXPECT_LE(std::fabs(value - x), range.step(d) / 2 * (1 + 1e-9)) << "slot " << slot;
      }
    }
  }
  for (std::size_t d = 0; d < store.dim(); ++d) {
    EXPECT_EQ(clamped[d], range.clamped()[d]) << "dimension " << d;
  }
}

// Batches reaching ever further out derive the range again; a lone far row
// among many is clamped and leaves every step as it was.
// A block of random 4-bit codes, and each vector's codes as put in it.
std::pair<std::vector<std::uint8_t>, std::vector<std::vector<std::uint8_t>>> random_block(
    std::mt19937& rng, std::size_t subspaces) {
  std::vector<std::uint8_t> block(nibble_block_bytes(subspaces), 0);
  std::vector<std::vector<std::uint8_t>> codes(kNibbleBlock);
  for (std::size_t j = 0; j < kNibbleBlock; ++j) {
    codes[j] = random_values<std::uint8_t>(rng, subspaces, 0, 15);
    put_nibble_codes(block.data(), j, codes[j]);
  }
  return {std::move(block), std::move(codes)};
}

// The 4-bit scan on every level against the scalar sums, over subspace
// counts up to where the 16-bit sums stop at 65535 (300 subspaces of
// entries up to 255), and those sums against ones added plainly.
TEST(NibbleCodes, EveryLevelGivesTheScalarSums) {
  RestoreLevel restore;
  std::mt19937 rng(11);
  for (const std::size_t subspaces : {1, 3, 4, 5, 8, 25, 50, 64, 257, 300}) {
    SCOPED_TRACE("subspaces " + std::to_string(subspaces));
    const std::size_t padded = padded_subspaces(subspaces);
    // Tables leaning to their top, so that many subspaces stop the sums.
    std::vector<std::uint8_t> tables(padded * kNibbleBytes, 0);
    for (std::size_t i = 0; i < subspaces * kNibbleBytes; ++i) {
      tables[i] = static_cast<std::uint8_t>(255 - rng() % (subspaces > 256 ? 8 : 256));
    }
    const auto [block, codes] = random_block(rng, subspaces);
    std::vector<std::uint16_t> expected(kNibbleBlock);
    kScalarCodeKernels.nibble_sums(tables.data(), block.data(), padded, expected.data());
    for (std::size_t j = 0; j < kNibbleBlock; ++j) {
      std::uint32_t plain = 0;
      for (std::size_t s = 0; s < subspaces; ++s) {
        ASSERT_EQ(nibble_code(block.data(), j, s), codes[j][s]);
        plain += tables[s * kNibbleBytes + codes[j][s]];
      }
      ASSERT_EQ(expected[j], std::min<std::uint32_t>(plain, 65535)) << "vector " << j;
    }
    for (const CodeLevel level : available_code_levels()) {
      SCOPED_TRACE(std::string(code_level_name(level)));
      force_code_level(level);
      std::vector<std::uint16_t> sums(kNibbleBlock, 1);
      active_code_kernels().nibble_sums(tables.data(), block.data(), padded, sums.data());
      EXPECT_EQ(sums, expected);
    }
  }
}

// A query's byte tables estimate each vector's distance within half a step
// per subspace, the step set by the widest subspace.
TEST(NibbleCodes, TablesEstimateDistancesWithinHalfAStepEach) {
  std::mt19937 rng(12);
  constexpr std::size_t kSubspaces = 13;
  std::vector<double> distances(kSubspaces * kNibbleBytes);
  for (std::size_t i = 0; i < distances.size(); ++i) {
    distances[i] = std::ldexp(static_cast<double>(rng() % 1000), static_cast<int>(i % 7)) + 0.25;
  }
  const NibbleTables tables = quantized_tables(distances, kSubspaces);
  ASSERT_EQ(tables.entries.size(), nibble_block_bytes(kSubspaces));
  EXPECT_EQ(*std::ranges::max_element(tables.entries), 255);
  const auto [block, codes] = random_block(rng, kSubspaces);
  std::vector<std::uint16_t> sums(kNibbleBlock);
  active_code_kernels().nibble_sums(tables.entries.data(), block.data(),
                                    padded_subspaces(kSubspaces), sums.data());
  for (std::size_t j = 0; j < kNibbleBlock; ++j) {
    double exact = 0.0;
    for (std::size_t s = 0; s < kSubspaces; ++s) exact += distances[s * kNibbleBytes + codes[j][s]];
    const double estimate = tables.base + tables.step * sums[j];
    EXPECT_LE(std::fabs(estimate - exact), tables.step * kSubspaces / 2 * (1 + 1e-12))
        << "vector " << j;
  }
  // Every centroid alike: entries 0, the base the whole distance.
  const NibbleTables flat = quantized_tables(std::vector<double>(2 * kNibbleBytes, 3.0), 2);
  EXPECT_EQ(flat.base, 6.0);
  EXPECT_TRUE(std::ranges::all_of(flat.entries, [](std::uint8_t e) { return e == 0; }));
}

TEST(Sq8Codes, FollowTheDataNotItsFarthestRow) {
  constexpr std::size_t kDim = 7;
  std::mt19937 rng(11);
  CodeStore store(kDim, MetricKind::Euclidean, CodeKind::Sq8);
  std::vector<double> stored;
  for (int batch = 0; batch < 6; ++batch) {
    const double spread = std::ldexp(1.0, 3 * batch);
    std::uniform_real_distribution<double> within(-spread, spread);
    std::vector<double> rows(kDim * 100);
    for (double& x : rows) x = within(rng);
    store.append(rows_of(stored, kDim), rows);
    stored.insert(stored.end(), rows.begin(), rows.end());
    SCOPED_TRACE("batch " + std::to_string(batch));
    ASSERT_EQ(store.kind(), CodeKind::Sq8);
    expect_coded_within_half_a_step(store, stored);
    // Each batch is 8 times wider: the steps follow it.
    EXPECT_GT(store.range().largest_step(), spread / 2 / Sq8Range::kLargestCode);
  }
  const std::vector<double> steps(store.range().steps().begin(), store.range().steps().end());
  std::vector<double> far(kDim, 1.0);
  far[3] = 1e12;
  store.append(rows_of(stored, kDim), far);
  stored.insert(stored.end(), far.begin(), far.end());
  expect_coded_within_half_a_step(store, stored);
  EXPECT_EQ(std::vector<double>(store.range().steps().begin(), store.range().steps().end()), steps);
}

// Counts restored from a file may stand at their top: coding more rows
// keeps them there, where a wrap would claim nothing had been coded since
// the range was derived (and a copy would refuse to load).
TEST(Sq8Codes, CountsAtTheirTopStayThere) {
  constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();
  // Derived from enough rows that growth alone never asks for a new range.
  constexpr std::uint64_t kDerivedFrom = std::uint64_t{1} << 20;
  Sq8Range range({0.0, 0.0}, {1.0, 1.0}, {kTop, 0}, kTop, kDerivedFrom);
  const std::vector<double> outside{-1.0, 300.0};
  range.count_clamped(outside);
  EXPECT_EQ(range.rows(), kTop);
  EXPECT_EQ(range.clamped()[0], kTop);
  EXPECT_EQ(range.clamped()[1], 1U);
  EXPECT_TRUE(range.needs_new_range());
  Sq8Range inside({0.0, 0.0}, {1.0, 1.0}, {kTop / Sq8Range::kToleratedShare, 0}, kTop,
                  kDerivedFrom);
  inside.count_clamped(std::vector<double>{1.0, 1.0});
  EXPECT_FALSE(inside.needs_new_range()) << "a share of exactly 1 in 128 is tolerated";
}

// Where one dimension rules every distance, 256 codes of it cannot tell
// neighbours apart: the store turns to float32 codes, of every row.
TEST(Sq8Codes, TurnToFloat32WhereTheyCannotTellNeighboursApart) {
  constexpr std::size_t kDim = 8;
  constexpr std::size_t kRows = 4000;
  std::mt19937 rng(9);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> rows(kDim * kRows);
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = normal(rng) * (i % kDim == 0 ? 1e3 : 1.0);
  CodeStore store(kDim, MetricKind::Euclidean, CodeKind::Sq8);
  store.append({}, std::span(rows).first(kDim * kRows / 2));
  EXPECT_EQ(store.kind(), CodeKind::Float32);
  store.append(rows_of(std::span(rows).first(kDim * kRows / 2), kDim),
               std::span(rows).subspan(kDim * kRows / 2));
  ASSERT_EQ(store.size(), kRows);
  for (std::uint32_t slot = 0; slot < kRows; ++slot) {
    for (std::size_t d = 0; d < kDim; ++d) {
      EXPECT_EQ(store.floats(slot)[d], store.float_code(rows[slot * kDim + d])) << slot;
    }
  }
  // The same data in like units keeps its 8-bit codes.
  for (std::size_t i = 0; i < rows.size(); i += kDim) rows[i] /= 1e3;
  CodeStore even(kDim, MetricKind::Euclidean, CodeKind::Sq8);
  even.append({}, rows);
  EXPECT_EQ(even.kind(), CodeKind::Sq8);
}

// Dimensions in units a million apart each keep 256 codes over their own
// values; integers spanning at most 256 keep step 1, coded exactly.
TEST(Sq8Codes, EachDimensionHasItsOwnStep) {
  constexpr std::size_t kRows = 500;
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_int_distribution<int> pixel(0, 255);
  std::vector<double> rows;
  for (std::size_t i = 0; i < kRows; ++i) {
    rows.insert(rows.end(), {1e6 * unit(rng), 1e-6 * unit(rng), double(pixel(rng))});
  }
  CodeStore store(3, MetricKind::Euclidean, CodeKind::Sq8);
  store.append({}, rows);
  const Sq8Range& range = store.range();
  EXPECT_NEAR(range.step(0), 1e6 / Sq8Range::kLargestCode, 1e6 / Sq8Range::kLargestCode * 0.05);
  EXPECT_NEAR(range.step(1), 1e-6 / Sq8Range::kLargestCode, 1e-6 / Sq8Range::kLargestCode * 0.05);
  EXPECT_EQ(range.step(2), 1.0);
  EXPECT_FALSE(range.uniform());
  for (std::uint32_t slot = 0; slot < kRows; ++slot) {
    EXPECT_EQ(range.offset(2) + store.bytes(slot)[2], rows[slot * 3 + 2]);
  }
  expect_coded_within_half_a_step(store, rows);
}

// The batch of query codes against one component at a time, bit for bit,
// over steps that are powers of two (multiplied by their reciprocal), the
// extremes among them, and steps that are not; components exactly halfway
// between codes (integer offsets), where a rounded reciprocal would tip.
TEST(Sq8Codes, QueryCodesAreEachComponentsCode) {
  constexpr std::size_t kDim = 512;
  std::mt19937 rng(5);
  const double steps[] = {1.0, 0x1p-30, 0x1p-1023, 0x1p-1060, 0x1p1000, 0x1p1023, 0.75, 3.0, 0.1};
  for (const double step : steps) {
    std::vector<double> offsets = random_values<double>(rng, kDim, -300.0, 300.0);
    for (double& offset : offsets) offset = std::round(offset);
    const Sq8Range range(offsets, step);
    std::vector<double> x = random_values<double>(rng, kDim, -1000.0, 1000.0);
    for (std::size_t d = 0; d < kDim; d += 2) {
      x[d] = offsets[d] + step * (static_cast<double>(d / 2) - 128.0 + 0.5);
    }
    x[1] = 1e300;
    x[3] = -1e300;
    std::vector<std::int16_t> codes(kDim);
    range.query_codes(x, codes.data());
    for (std::size_t d = 0; d < kDim; ++d) {
      EXPECT_EQ(codes[d], range.query_code(d, x[d])) << "step " << step << ", component " << d;
    }
  }
}

}  // namespace
}  // namespace halqen::codes
