// AVX2 code kernels: 8 floats or 16 widened codes per 256-bit register.
// Only the dispatcher's check of the CPU lets these run.
#if defined(__x86_64__)

#include <immintrin.h>

#include "codes/code_kernels.hpp"
#include "codes/simd_fold.hpp"

namespace halqen::codes {
namespace {

#define HALQEN_AVX2 [[gnu::target("avx2")]]

HALQEN_AVX2 float float_l2(const float* query, const float* row, std::size_t padded) {
  __m256 low = _mm256_setzero_ps();   // partial sums 0..7
  __m256 high = _mm256_setzero_ps();  // partial sums 8..15
  for (std::size_t d = 0; d < padded; d += kFloatBlock) {
    const __m256 diff_low = _mm256_sub_ps(_mm256_loadu_ps(query + d), _mm256_loadu_ps(row + d));
    const __m256 diff_high =
        _mm256_sub_ps(_mm256_loadu_ps(query + d + 8), _mm256_loadu_ps(row + d + 8));
    low = _mm256_add_ps(low, _mm256_mul_ps(diff_low, diff_low));
    high = _mm256_add_ps(high, _mm256_mul_ps(diff_high, diff_high));
  }
  return fold_eight(_mm256_add_ps(low, high));
}

HALQEN_AVX2 float float_dot(const float* query, const float* row, std::size_t padded) {
  __m256 low = _mm256_setzero_ps();
  __m256 high = _mm256_setzero_ps();
  for (std::size_t d = 0; d < padded; d += kFloatBlock) {
    low = _mm256_add_ps(low, _mm256_mul_ps(_mm256_loadu_ps(query + d), _mm256_loadu_ps(row + d)));
    high = _mm256_add_ps(
        high, _mm256_mul_ps(_mm256_loadu_ps(query + d + 8), _mm256_loadu_ps(row + d + 8)));
  }
  return fold_eight(_mm256_add_ps(low, high));
}

HALQEN_AVX2 __m256i widened_codes(const std::uint8_t* row) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row)));
}

HALQEN_AVX2 __m256i query_words(const std::int16_t* query) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query));
}

HALQEN_AVX2 std::int64_t lane_total(__m256i sums) {
  alignas(32) std::int32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
  std::int64_t total = 0;
  for (const std::int32_t lane : lanes) total += lane;
  return total;
}

// The 8-bit euclidean kernel keeps four sums, each 16-code step into the
// next, so that no addition waits on the one before (integer sums: the
// grouping changes no bit). `padded` is a multiple of 64, and so is a
// chunk's end: the steps come in whole rounds of four.
constexpr std::size_t kWordsPerStep = 16;
constexpr std::size_t kWordsPerRound = 4 * kWordsPerStep;

HALQEN_AVX2 __m256i add_l2_step(__m256i sum, const std::int16_t* query, const std::uint8_t* row) {
  const __m256i diff = _mm256_sub_epi16(query_words(query), widened_codes(row));
  return _mm256_add_epi32(sum, _mm256_madd_epi16(diff, diff));
}

HALQEN_AVX2 std::int64_t byte_l2(const std::int16_t* query, const std::uint8_t* row,
                                 std::size_t padded) {
  std::int64_t total = 0;
  for (std::size_t chunk = 0; chunk < padded; chunk += kLaneSafeCodes) {
    const std::size_t end = padded - chunk < kLaneSafeCodes ? padded : chunk + kLaneSafeCodes;
    __m256i a = _mm256_setzero_si256(), b = a, c = a, e = a;
    for (std::size_t d = chunk; d < end; d += kWordsPerRound) {
      a = add_l2_step(a, query + d, row + d);
      b = add_l2_step(b, query + d + kWordsPerStep, row + d + kWordsPerStep);
      c = add_l2_step(c, query + d + 2 * kWordsPerStep, row + d + 2 * kWordsPerStep);
      e = add_l2_step(e, query + d + 3 * kWordsPerStep, row + d + 3 * kWordsPerStep);
    }
    total += lane_total(_mm256_add_epi32(_mm256_add_epi32(a, b), _mm256_add_epi32(c, e)));
  }
  return total;
}

HALQEN_AVX2 __m256i add_dot_step(__m256i sum, const std::int16_t* query, const std::uint8_t* row) {
  return _mm256_add_epi32(sum, _mm256_madd_epi16(query_words(query), widened_codes(row)));
}

// Two sums, each 16-code step into the next; a chunk's end is a multiple of
// 64, so the steps come in pairs.
HALQEN_AVX2 std::int64_t byte_dot(const std::int16_t* query, const std::uint8_t* row,
                                  std::size_t padded) {
  std::int64_t total = 0;
  for (std::size_t chunk = 0; chunk < padded; chunk += kDotLaneSafeCodes) {
    const std::size_t end = padded - chunk < kDotLaneSafeCodes ? padded : chunk + kDotLaneSafeCodes;
    __m256i a = _mm256_setzero_si256(), b = a;
    for (std::size_t d = chunk; d < end; d += 2 * kWordsPerStep) {
      a = add_dot_step(a, query + d, row + d);
      b = add_dot_step(b, query + d + kWordsPerStep, row + d + kWordsPerStep);
    }
    total += lane_total(a) + lane_total(b);
  }
  return total;
}

// Two subspaces per 256-bit step, one per 128-bit lane, each lane looking
// its codes up in its own subspace's table: the low halves give vectors
// 0..15, the high halves vectors 16..31.
HALQEN_AVX2 void nibble_sums(const std::uint8_t* tables, const std::uint8_t* block,
                             std::size_t subspaces, std::uint16_t* sums) {
  const __m256i low_mask = _mm256_set1_epi8(0x0F);
  __m256i first = _mm256_setzero_si256();   // vectors 0..15
  __m256i second = _mm256_setzero_si256();  // vectors 16..31
  for (std::size_t s = 0; s < subspaces; s += 2) {
    const __m256i codes =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + s * kNibbleBytes));
    const __m256i table =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(tables + s * kNibbleBytes));
    const __m256i low = _mm256_shuffle_epi8(table, _mm256_and_si256(codes, low_mask));
    const __m256i high =
        _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(codes, 4), low_mask));
    first = _mm256_adds_epu16(first, _mm256_cvtepu8_epi16(_mm256_castsi256_si128(low)));
    first = _mm256_adds_epu16(first, _mm256_cvtepu8_epi16(_mm256_extracti128_si256(low, 1)));
    second = _mm256_adds_epu16(second, _mm256_cvtepu8_epi16(_mm256_castsi256_si128(high)));
    second = _mm256_adds_epu16(second, _mm256_cvtepu8_epi16(_mm256_extracti128_si256(high, 1)));
  }
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums), first);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + kNibbleBlock / 2), second);
}

}  // namespace

const CodeKernels kAvx2CodeKernels{float_l2, float_dot, byte_l2, byte_dot, nibble_sums};

}  // namespace halqen::codes

#endif
