// The one place that picks a kernel set from the CPU's features.
#include "metrics/dispatch.hpp"

#include <iterator>

#include "common/kernel_levels.hpp"
#include "metrics/kernels.hpp"

namespace halqen {
namespace {

bool supported(KernelLevel level) {
#if defined(__x86_64__)
  __builtin_cpu_init();
  switch (level) {
    case KernelLevel::Scalar:
    case KernelLevel::Sse2:
      return true;
    case KernelLevel::Avx2:
      // The AVX2 kernels also subtract on the FMA units.
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case KernelLevel::Avx512:
      // Also checks that the operating system saves the 512-bit registers.
      return __builtin_cpu_supports("avx512f");
  }
  return false;
#else
  return level == KernelLevel::Scalar;
#endif
}

KernelLevels<KernelLevel, std::size(kKernelLevels)>& levels() {
  static KernelLevels<KernelLevel, std::size(kKernelLevels)> found(kKernelLevels, supported,
                                                                   "kernel level");
  return found;
}

}  // namespace

std::span<const KernelLevel> available_kernels() {
  return levels().available();
}

KernelLevel active_kernel() {
  return levels().active();
}

void force_kernel(KernelLevel level) {
  levels().force(level);
}

std::string_view kernel_name(KernelLevel level) {
  switch (level) {
    case KernelLevel::Scalar:
      return "scalar";
    case KernelLevel::Sse2:
      return "sse2";
    case KernelLevel::Avx2:
      return "avx2";
    case KernelLevel::Avx512:
      return "avx512";
  }
  return "unknown";
}

namespace kernels {

const KernelSet& active_kernel_set() {
  switch (active_kernel()) {
#if defined(__x86_64__)
    case KernelLevel::Avx512:
      return kAvx512Kernels;
    case KernelLevel::Avx2:
      return kAvx2Kernels;
    case KernelLevel::Sse2:
      return kSse2Kernels;
#endif
    default:
      return kScalarKernels;
  }
}

}  // namespace kernels
}  // namespace halqen
