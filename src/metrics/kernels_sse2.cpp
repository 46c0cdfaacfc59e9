// SSE2 kernels: the skeleton with two stored rows per 128-bit register.
#if defined(__x86_64__)

#include <emmintrin.h>

#define HALQEN_ISA_TARGET "sse2"
#include "metrics/kernel_skeleton.hpp"

namespace halqen::kernels {
namespace {

struct Sse2 {
  using Vec = __m128d;
  static constexpr std::size_t kLanes = 2;
  // Independent accumulator chains per step, enough to hide the add latency.
  static constexpr std::size_t kGroups = 4;
  // Block tiles: accumulators, query registers and one broadcast row
  // component fill the 16 registers.
  static constexpr std::size_t kTileVectors = 3;
  static constexpr std::size_t kTileRows = 4;
  static constexpr bool kSplitsSubtractions = false;

  HALQEN_KERNEL_INLINE static Vec zero() { return _mm_setzero_pd(); }
  HALQEN_KERNEL_INLINE static Vec broadcast(double x) { return _mm_set1_pd(x); }
  HALQEN_KERNEL_INLINE static Vec add(Vec a, Vec b) { return _mm_add_pd(a, b); }
  HALQEN_KERNEL_INLINE static Vec sub(Vec a, Vec b) { return _mm_sub_pd(a, b); }
  HALQEN_KERNEL_INLINE static Vec mul(Vec a, Vec b) { return _mm_mul_pd(a, b); }
  HALQEN_KERNEL_INLINE static Vec div(Vec a, Vec b) { return _mm_div_pd(a, b); }
  HALQEN_KERNEL_INLINE static Vec sqrt(Vec a) { return _mm_sqrt_pd(a); }
  HALQEN_KERNEL_INLINE static Vec load(const double* p) { return _mm_loadu_pd(p); }
  HALQEN_KERNEL_INLINE static void store(double* p, Vec v) { _mm_storeu_pd(p, v); }

  // Components c, c+1 of each row, then one unpack per component.
  HALQEN_KERNEL_INLINE static void load_columns(const double* const* rows, std::size_t c,
                                                Vec& first, Vec& second) {
    const Vec row_0 = _mm_loadu_pd(rows[0] + c);
    const Vec row_1 = _mm_loadu_pd(rows[1] + c);
    first = _mm_unpacklo_pd(row_0, row_1);
    second = _mm_unpackhi_pd(row_0, row_1);
  }

  HALQEN_KERNEL_INLINE static Vec load_column(const double* const* rows, std::size_t c) {
    return _mm_set_pd(rows[1][c], rows[0][c]);
  }
};

}  // namespace

constinit const KernelSet kSse2Kernels = kernel_set<Sse2>();

}  // namespace halqen::kernels

#endif
