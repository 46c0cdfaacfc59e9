// The one place that picks a kernel set from the CPU's features.
#include "metrics/dispatch.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <iterator>
#include <stdexcept>
#include <string>

#include "metrics/kernels.hpp"

namespace halqen {
namespace {

constexpr std::size_t kLevelCount = std::size(kKernelLevels);

struct Available {
  std::array<KernelLevel, kLevelCount> levels{};
  std::size_t size = 0;
};

Available detect() {
  Available found;
  found.levels[found.size++] = KernelLevel::Scalar;
#if defined(__x86_64__)
  found.levels[found.size++] = KernelLevel::Sse2;
  __builtin_cpu_init();
  // The AVX2 kernels also subtract on the FMA units.
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
    found.levels[found.size++] = KernelLevel::Avx2;
  }
  // Also checks that the operating system saves the 512-bit registers.
  if (__builtin_cpu_supports("avx512f")) found.levels[found.size++] = KernelLevel::Avx512;
#endif
  return found;
}

const Available& available() {
  static const Available found = detect();
  return found;
}

std::atomic<KernelLevel>& selected() {
  static std::atomic<KernelLevel> level{available().levels[available().size - 1]};
  return level;
}

}  // namespace

std::span<const KernelLevel> available_kernels() {
  const Available& found = available();
  return {found.levels.data(), found.size};
}

KernelLevel active_kernel() {
  return selected().load(std::memory_order_relaxed);
}

void force_kernel(KernelLevel level) {
  for (KernelLevel candidate : available_kernels()) {
    if (candidate == level) {
      selected().store(level, std::memory_order_relaxed);
      return;
    }
  }
  throw std::invalid_argument("kernel level " + std::to_string(static_cast<int>(level)) +
                              " is not available on this CPU");
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
