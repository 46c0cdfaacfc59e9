// The one place that picks a code kernel set from the CPU's features.
#include <iterator>

#include "codes/code_kernels.hpp"
#include "common/kernel_levels.hpp"

namespace halqen::codes {
namespace {

bool supported(CodeLevel level) {
#if defined(__x86_64__)
  __builtin_cpu_init();
  // The 512-bit checks also check that the operating system saves the
  // 512-bit registers.
  const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  switch (level) {
    case CodeLevel::Scalar:
      return true;
    case CodeLevel::Avx2:
      return __builtin_cpu_supports("avx2");
    case CodeLevel::Avx512:
      return __builtin_cpu_supports("avx2") && avx512;
    case CodeLevel::Avx512Vnni:
      return __builtin_cpu_supports("avx2") && avx512 && __builtin_cpu_supports("avx512vnni");
  }
  return false;
#else
  return level == CodeLevel::Scalar;
#endif
}

KernelLevels<CodeLevel, std::size(kCodeLevels)>& levels() {
  static KernelLevels<CodeLevel, std::size(kCodeLevels)> found(kCodeLevels, supported,
                                                               "code kernel level");
  return found;
}

}  // namespace

std::span<const CodeLevel> available_code_levels() {
  return levels().available();
}

CodeLevel active_code_level() {
  return levels().active();
}

void force_code_level(CodeLevel level) {
  levels().force(level);
}

std::string_view code_level_name(CodeLevel level) {
  switch (level) {
    case CodeLevel::Scalar:
      return "scalar";
    case CodeLevel::Avx2:
      return "avx2";
    case CodeLevel::Avx512:
      return "avx512";
    case CodeLevel::Avx512Vnni:
      return "avx512vnni";
  }
  return "unknown";
}

const CodeKernels& active_code_kernels() {
  switch (active_code_level()) {
#if defined(__x86_64__)
    case CodeLevel::Avx512Vnni:
      return kAvx512VnniCodeKernels;
    case CodeLevel::Avx512:
      return kAvx512CodeKernels;
    case CodeLevel::Avx2:
      return kAvx2CodeKernels;
#endif
    default:
      return kScalarCodeKernels;
  }
}

}  // namespace halqen::codes
