// AVX2 kernels: the skeleton with four stored rows per 256-bit register. Only
// the dispatcher's check of the CPU (AVX2 and FMA) lets these run. The one
// fused instruction subtracts a product by 1.0 (sub_on_multiplier): no
// instruction here fuses a rounded product into a sum.
#if defined(__x86_64__)

#include <immintrin.h>

#define HALQEN_ISA_TARGET "avx2,fma"
#include "metrics/kernel_skeleton.hpp"

namespace halqen::kernels {
namespace {

struct Avx2 {
  using Vec = __m256d;
  static constexpr std::size_t kLanes = 4;
  // Independent accumulator chains per step, enough to hide the add latency.
  static constexpr std::size_t kGroups = 2;
  // Block tiles: 10 accumulators, 2 query registers, a broadcast row
  // component, a difference and the 1.0 of the split subtractions in the 16
  // registers; the adding and multiplying units then share the work evenly.
  static constexpr std::size_t kTileVectors = 2;
  static constexpr std::size_t kTileRows = 5;
  static constexpr bool kSplitsSubtractions = true;

  HALQEN_KERNEL_INLINE static Vec zero() { return _mm256_setzero_pd(); }
  HALQEN_KERNEL_INLINE static Vec broadcast(double x) { return _mm256_set1_pd(x); }
  HALQEN_KERNEL_INLINE static Vec add(Vec a, Vec b) { return _mm256_add_pd(a, b); }
  HALQEN_KERNEL_INLINE static Vec sub(Vec a, Vec b) { return _mm256_sub_pd(a, b); }
  HALQEN_KERNEL_INLINE static Vec mul(Vec a, Vec b) { return _mm256_mul_pd(a, b); }
  // a - b * 1.0 rounded once: a - b, computed by a multiplying unit.
  HALQEN_KERNEL_INLINE static Vec sub_on_multiplier(Vec a, Vec b) {
    return _mm256_fnmadd_pd(b, _mm256_set1_pd(1.0), a);
  }
  HALQEN_KERNEL_INLINE static Vec div(Vec a, Vec b) { return _mm256_div_pd(a, b); }
  HALQEN_KERNEL_INLINE static Vec sqrt(Vec a) { return _mm256_sqrt_pd(a); }
  HALQEN_KERNEL_INLINE static Vec load(const double* p) { return _mm256_loadu_pd(p); }
  HALQEN_KERNEL_INLINE static void store(double* p, Vec v) { _mm256_storeu_pd(p, v); }

  // Components c, c+1 of rows 0 and 2 in one register, of rows 1 and 3 in
  // another; the in-lane unpacks then give one register per component.
  HALQEN_KERNEL_INLINE static void load_columns(const double* const* rows, std::size_t c,
                                                Vec& first, Vec& second) {
    const Vec rows_02 = _mm256_loadu2_m128d(rows[2] + c, rows[0] + c);
    const Vec rows_13 = _mm256_loadu2_m128d(rows[3] + c, rows[1] + c);
    first = _mm256_unpacklo_pd(rows_02, rows_13);
    second = _mm256_unpackhi_pd(rows_02, rows_13);
  }

  HALQEN_KERNEL_INLINE static Vec load_column(const double* const* rows, std::size_t c) {
    return _mm256_set_pd(rows[3][c], rows[2][c], rows[1][c], rows[0][c]);
  }

  // Float32 rows: components c, c+1 of rows 0 and 1 in one register, of
  // rows 2 and 3 in another; the shuffles give one per component, widened
  // exactly to doubles.
  HALQEN_KERNEL_INLINE static void load_columns(const float* const* rows, std::size_t c, Vec& first,
                                                Vec& second) {
    const __m128 rows_01 = load_two_pairs(rows[0] + c, rows[1] + c);
    const __m128 rows_23 = load_two_pairs(rows[2] + c, rows[3] + c);
    first = _mm256_cvtps_pd(_mm_shuffle_ps(rows_01, rows_23, _MM_SHUFFLE(2, 0, 2, 0)));
    second = _mm256_cvtps_pd(_mm_shuffle_ps(rows_01, rows_23, _MM_SHUFFLE(3, 1, 3, 1)));
  }

  HALQEN_KERNEL_INLINE static Vec load_column(const float* const* rows, std::size_t c) {
    return _mm256_cvtps_pd(_mm_set_ps(rows[3][c], rows[2][c], rows[1][c], rows[0][c]));
  }

  // Two floats from `low`, then two from `high`.
  HALQEN_KERNEL_INLINE static __m128 load_two_pairs(const float* low, const float* high) {
    const __m128 lower = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(low));
    return _mm_loadh_pi(lower, reinterpret_cast<const __m64*>(high));
  }
};

}  // namespace

constinit const KernelSet kAvx2Kernels = kernel_set<Avx2>();

}  // namespace halqen::kernels

#endif
