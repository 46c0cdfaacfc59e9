// AVX-512 kernels: the skeleton with eight stored rows (row kernels) or eight
// queries (block kernel) per 512-bit register. Only the dispatcher's check of
// the CPU lets these run. No instruction here fuses a product into a sum.
#if defined(__x86_64__)

// GCC 12's own _mm512_undefined_pd, behind several intrinsics used here,
// initialises a variable from itself and so trips these two warnings where
// the intrinsics are inlined.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#define HALQEN_ISA_TARGET "avx512f"
#include "metrics/kernel_skeleton.hpp"

namespace halqen::kernels {
namespace {

struct Avx512 {
  using Vec = __m512d;
  static constexpr std::size_t kLanes = 8;
  // Eight rows per step already keep eight streams and enough sums in flight.
  static constexpr std::size_t kGroups = 1;
  // Block tiles: 24 accumulators, 3 query registers, a broadcast row
  // component and a difference within the 32 registers.
  static constexpr std::size_t kTileVectors = 3;
  static constexpr std::size_t kTileRows = 8;
  static constexpr bool kSplitsSubtractions = false;

  HALQEN_KERNEL_INLINE static Vec zero() { return _mm512_setzero_pd(); }
  HALQEN_KERNEL_INLINE static Vec broadcast(double x) { return _mm512_set1_pd(x); }
  HALQEN_KERNEL_INLINE static Vec add(Vec a, Vec b) { return _mm512_add_pd(a, b); }
  HALQEN_KERNEL_INLINE static Vec sub(Vec a, Vec b) { return _mm512_sub_pd(a, b); }
  HALQEN_KERNEL_INLINE static Vec mul(Vec a, Vec b) { return _mm512_mul_pd(a, b); }
  HALQEN_KERNEL_INLINE static Vec div(Vec a, Vec b) { return _mm512_div_pd(a, b); }
  HALQEN_KERNEL_INLINE static Vec sqrt(Vec a) { return _mm512_sqrt_pd(a); }
  HALQEN_KERNEL_INLINE static Vec load(const double* p) { return _mm512_loadu_pd(p); }
  HALQEN_KERNEL_INLINE static void store(double* p, Vec v) { _mm512_storeu_pd(p, v); }

  // Components c, c+1 of rows 0, 2, 4, 6 in one register (one row per
  // 128-bit part) and of rows 1, 3, 5, 7 in another; the in-part unpacks then
  // give one register per component.
  HALQEN_KERNEL_INLINE static void load_columns(const double* const* rows, std::size_t c,
                                                Vec& first, Vec& second) {
    const Vec even = pairs_of(rows[0] + c, rows[2] + c, rows[4] + c, rows[6] + c);
    const Vec odd = pairs_of(rows[1] + c, rows[3] + c, rows[5] + c, rows[7] + c);
    first = _mm512_unpacklo_pd(even, odd);
    second = _mm512_unpackhi_pd(even, odd);
  }

  HALQEN_KERNEL_INLINE static Vec load_column(const double* const* rows, std::size_t c) {
    return _mm512_set_pd(rows[7][c], rows[6][c], rows[5][c], rows[4][c], rows[3][c], rows[2][c],
                         rows[1][c], rows[0][c]);
  }

  // Float32 rows: components c, c+1 of two rows in each 128-bit register;
  // the shuffles gather each component of rows 0-3 and of rows 4-7, which
  // widen exactly to one register of doubles per component.
  HALQEN_KERNEL_INLINE static void load_columns(const float* const* rows, std::size_t c, Vec& first,
                                                Vec& second) {
    const __m128 rows_01 = two_pairs(rows[0] + c, rows[1] + c);
    const __m128 rows_23 = two_pairs(rows[2] + c, rows[3] + c);
    const __m128 rows_45 = two_pairs(rows[4] + c, rows[5] + c);
    const __m128 rows_67 = two_pairs(rows[6] + c, rows[7] + c);
    constexpr int kFirsts = _MM_SHUFFLE(2, 0, 2, 0);
    constexpr int kSeconds = _MM_SHUFFLE(3, 1, 3, 1);
    first = _mm512_cvtps_pd(_mm256_set_m128(_mm_shuffle_ps(rows_45, rows_67, kFirsts),
                                            _mm_shuffle_ps(rows_01, rows_23, kFirsts)));
    second = _mm512_cvtps_pd(_mm256_set_m128(_mm_shuffle_ps(rows_45, rows_67, kSeconds),
                                             _mm_shuffle_ps(rows_01, rows_23, kSeconds)));
  }

  HALQEN_KERNEL_INLINE static Vec load_column(const float* const* rows, std::size_t c) {
    return _mm512_cvtps_pd(_mm256_set_ps(rows[7][c], rows[6][c], rows[5][c], rows[4][c], rows[3][c],
                                         rows[2][c], rows[1][c], rows[0][c]));
  }

  // Two floats from `low`, then two from `high`.
  HALQEN_KERNEL_INLINE static __m128 two_pairs(const float* low, const float* high) {
    const __m128 lower = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(low));
    return _mm_loadh_pi(lower, reinterpret_cast<const __m64*>(high));
  }

  // Two doubles from each address, the first address in the lowest part.
  HALQEN_KERNEL_INLINE static Vec pairs_of(const double* p0, const double* p1, const double* p2,
                                           const double* p3) {
    const __m256d low = _mm256_loadu2_m128d(p1, p0);
    const __m256d high = _mm256_loadu2_m128d(p3, p2);
    return _mm512_insertf64x4(_mm512_castpd256_pd512(low), high, 1);
  }
};

}  // namespace

constinit const KernelSet kAvx512Kernels = kernel_set<Avx512>();

}  // namespace halqen::kernels

#endif
