// AVX-512 code kernels: 16 floats or 32 widened codes per 512-bit register;
// where the CPU has the VNNI instructions, the multiply and add of the 8-bit
// kernels are one instruction. Only the dispatcher's check of the CPU lets
// these run.
#if defined(__x86_64__)

// GCC 12's own _mm512_undefined_*, behind several intrinsics used here,
// initialises a variable from itself and so trips these two warnings where
// the intrinsics are inlined.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "codes/code_kernels.hpp"
#include "codes/simd_fold.hpp"

namespace halqen::codes {
namespace {

#define HALQEN_AVX512 [[gnu::target("avx2,avx512f,avx512bw")]]
#define HALQEN_AVX512_VNNI [[gnu::target("avx2,avx512f,avx512bw,avx512vnni")]]

HALQEN_AVX512 float fold_sixteen(__m512 sums) {
  const __m256 low = _mm512_castps512_ps256(sums);
  const __m256 high = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(sums), 1));
  return fold_eight(_mm256_add_ps(low, high));
}

HALQEN_AVX512 float float_l2(const float* query, const float* row, std::size_t padded) {
  __m512 sums = _mm512_setzero_ps();
  for (std::size_t d = 0; d < padded; d += kFloatBlock) {
    const __m512 diff = _mm512_sub_ps(_mm512_loadu_ps(query + d), _mm512_loadu_ps(row + d));
    sums = _mm512_add_ps(sums, _mm512_mul_ps(diff, diff));
  }
  return fold_sixteen(sums);
}

HALQEN_AVX512 float float_dot(const float* query, const float* row, std::size_t padded) {
  __m512 sums = _mm512_setzero_ps();
  for (std::size_t d = 0; d < padded; d += kFloatBlock) {
    sums = _mm512_add_ps(sums, _mm512_mul_ps(_mm512_loadu_ps(query + d), _mm512_loadu_ps(row + d)));
  }
  return fold_sixteen(sums);
}

HALQEN_AVX512 __m512i widened_codes(const std::uint8_t* row) {
  return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row)));
}

HALQEN_AVX512 __m512i l2_terms(const std::int16_t* query, const std::uint8_t* row) {
  return _mm512_sub_epi16(_mm512_loadu_si512(query), widened_codes(row));
}

HALQEN_AVX512 std::int64_t lane_total(__m512i sums) {
  alignas(64) std::int32_t lanes[16];
  _mm512_store_si512(lanes, sums);
  std::int64_t total = 0;
  for (const std::int32_t lane : lanes) total += lane;
  return total;
}

// The 8-bit euclidean kernels keep four sums, each 32-code step into the
// next, so that no addition waits on the one before (integer sums: the
// grouping changes no bit). `padded` is a multiple of 64, and so is a
// chunk's end: after the rounds of four steps, two steps may be left.
constexpr std::size_t kWordsPerStep = 32;
constexpr std::size_t kWordsPerRound = 4 * kWordsPerStep;

HALQEN_AVX512 __m512i add_l2_step(__m512i sum, const std::int16_t* query, const std::uint8_t* row) {
  const __m512i diff = l2_terms(query, row);
  return _mm512_add_epi32(sum, _mm512_madd_epi16(diff, diff));
}

HALQEN_AVX512_VNNI __m512i add_l2_step_vnni(__m512i sum, const std::int16_t* query,
                                            const std::uint8_t* row) {
  const __m512i diff = l2_terms(query, row);
  return _mm512_dpwssd_epi32(sum, diff, diff);
}

HALQEN_AVX512 std::int64_t four_sums_total(__m512i a, __m512i b, __m512i c, __m512i d) {
  return lane_total(_mm512_add_epi32(_mm512_add_epi32(a, b), _mm512_add_epi32(c, d)));
}

HALQEN_AVX512 std::int64_t byte_l2(const std::int16_t* query, const std::uint8_t* row,
                                   std::size_t padded) {
  std::int64_t total = 0;
  for (std::size_t chunk = 0; chunk < padded; chunk += kLaneSafeCodes) {
    const std::size_t end = padded - chunk < kLaneSafeCodes ? padded : chunk + kLaneSafeCodes;
    __m512i a = _mm512_setzero_si512(), b = a, c = a, e = a;
    std::size_t d = chunk;
    for (; d + kWordsPerRound <= end; d += kWordsPerRound) {
      a = add_l2_step(a, query + d, row + d);
      b = add_l2_step(b, query + d + kWordsPerStep, row + d + kWordsPerStep);
      c = add_l2_step(c, query + d + 2 * kWordsPerStep, row + d + 2 * kWordsPerStep);
      e = add_l2_step(e, query + d + 3 * kWordsPerStep, row + d + 3 * kWordsPerStep);
    }
    if (d < end) {
      a = add_l2_step(a, query + d, row + d);
      b = add_l2_step(b, query + d + kWordsPerStep, row + d + kWordsPerStep);
    }
    total += four_sums_total(a, b, c, e);
  }
  return total;
}

HALQEN_AVX512 std::int64_t byte_dot(const std::int16_t* query, const std::uint8_t* row,
                                    std::size_t padded) {
  std::int64_t total = 0;
  for (std::size_t chunk = 0; chunk < padded; chunk += kDotLaneSafeCodes) {
    const std::size_t end = padded - chunk < kDotLaneSafeCodes ? padded : chunk + kDotLaneSafeCodes;
    __m512i a = _mm512_setzero_si512(), b = a;
    for (std::size_t d = chunk; d < end; d += 2 * kWordsPerStep) {
      a = _mm512_add_epi32(
          a, _mm512_madd_epi16(_mm512_loadu_si512(query + d), widened_codes(row + d)));
      b = _mm512_add_epi32(b, _mm512_madd_epi16(_mm512_loadu_si512(query + d + kWordsPerStep),
                                                widened_codes(row + d + kWordsPerStep)));
    }
    total += lane_total(a) + lane_total(b);
  }
  return total;
}

HALQEN_AVX512_VNNI std::int64_t byte_l2_vnni(const std::int16_t* query, const std::uint8_t* row,
                                             std::size_t padded) {
  std::int64_t total = 0;
  for (std::size_t chunk = 0; chunk < padded; chunk += kLaneSafeCodes) {
    const std::size_t end = padded - chunk < kLaneSafeCodes ? padded : chunk + kLaneSafeCodes;
    __m512i a = _mm512_setzero_si512(), b = a, c = a, e = a;
    std::size_t d = chunk;
    for (; d + kWordsPerRound <= end; d += kWordsPerRound) {
      a = add_l2_step_vnni(a, query + d, row + d);
      b = add_l2_step_vnni(b, query + d + kWordsPerStep, row + d + kWordsPerStep);
      c = add_l2_step_vnni(c, query + d + 2 * kWordsPerStep, row + d + 2 * kWordsPerStep);
      e = add_l2_step_vnni(e, query + d + 3 * kWordsPerStep, row + d + 3 * kWordsPerStep);
    }
    if (d < end) {
      a = add_l2_step_vnni(a, query + d, row + d);
      b = add_l2_step_vnni(b, query + d + kWordsPerStep, row + d + kWordsPerStep);
    }
    total += four_sums_total(a, b, c, e);
  }
  return total;
}

HALQEN_AVX512_VNNI std::int64_t byte_dot_vnni(const std::int16_t* query, const std::uint8_t* row,
                                              std::size_t padded) {
  std::int64_t total = 0;
  for (std::size_t chunk = 0; chunk < padded; chunk += kDotLaneSafeCodes) {
    const std::size_t end = padded - chunk < kDotLaneSafeCodes ? padded : chunk + kDotLaneSafeCodes;
    __m512i a = _mm512_setzero_si512(), b = a;
    for (std::size_t d = chunk; d < end; d += 2 * kWordsPerStep) {
      a = _mm512_dpwssd_epi32(a, _mm512_loadu_si512(query + d), widened_codes(row + d));
      b = _mm512_dpwssd_epi32(b, _mm512_loadu_si512(query + d + kWordsPerStep),
                              widened_codes(row + d + kWordsPerStep));
    }
    total += lane_total(a) + lane_total(b);
  }
  return total;
}

HALQEN_AVX512 __m256i halves_added(__m512i both) {
  return _mm256_adds_epu16(_mm512_castsi512_si256(both), _mm512_extracti64x4_epi64(both, 1));
}

// Four subspaces per 512-bit step, one per 128-bit lane; the two 256-bit
// halves of each sum hold two subspaces' additions to the same 16
// vectors, added together at the end.
HALQEN_AVX512 void nibble_sums(const std::uint8_t* tables, const std::uint8_t* block,
                               std::size_t subspaces, std::uint16_t* sums) {
  const __m512i low_mask = _mm512_set1_epi8(0x0F);
  __m512i first = _mm512_setzero_si512();   // vectors 0..15, twice
  __m512i second = _mm512_setzero_si512();  // vectors 16..31, twice
  for (std::size_t s = 0; s < subspaces; s += kNibbleGroup) {
    const __m512i codes = _mm512_loadu_si512(block + s * kNibbleBytes);
    const __m512i table = _mm512_loadu_si512(tables + s * kNibbleBytes);
    const __m512i low = _mm512_shuffle_epi8(table, _mm512_and_si512(codes, low_mask));
    const __m512i high =
        _mm512_shuffle_epi8(table, _mm512_and_si512(_mm512_srli_epi16(codes, 4), low_mask));
    first = _mm512_adds_epu16(first, _mm512_cvtepu8_epi16(_mm512_castsi512_si256(low)));
    first = _mm512_adds_epu16(first, _mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(low, 1)));
    second = _mm512_adds_epu16(second, _mm512_cvtepu8_epi16(_mm512_castsi512_si256(high)));
    second = _mm512_adds_epu16(second, _mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(high, 1)));
  }
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums), halves_added(first));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + kNibbleBlock / 2), halves_added(second));
}

}  // namespace

const CodeKernels kAvx512CodeKernels{float_l2, float_dot, byte_l2, byte_dot, nibble_sums};
const CodeKernels kAvx512VnniCodeKernels{float_l2, float_dot, byte_l2_vnni, byte_dot_vnni,
                                         nibble_sums};

}  // namespace halqen::codes

#endif
