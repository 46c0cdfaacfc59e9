// The one place that picks a code kernel set from the CPU's features.
#include <array>
#include <atomic>
#include <iterator>
#include <stdexcept>
#include <string>

#include "codes/code_kernels.hpp"

namespace halqen::codes {
namespace {

struct Available {
  std::array<CodeLevel, std::size(kCodeLevels)> levels{};
  std::size_t size = 0;
};

Available detect() {
  Available found;
  found.levels[found.size++] = CodeLevel::Scalar;
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("avx2")) return found;
  found.levels[found.size++] = CodeLevel::Avx2;
  // Also checks that the operating system saves the 512-bit registers.
  if (!__builtin_cpu_supports("avx512f") || !__builtin_cpu_supports("avx512bw")) return found;
  found.levels[found.size++] = CodeLevel::Avx512;
  if (__builtin_cpu_supports("avx512vnni")) found.levels[found.size++] = CodeLevel::Avx512Vnni;
#endif
  return found;
}

const Available& available() {
  static const Available found = detect();
  return found;
}

std::atomic<CodeLevel>& selected() {
  static std::atomic<CodeLevel> level{available().levels[available().size - 1]};
  return level;
}

}  // namespace

std::span<const CodeLevel> available_code_levels() {
  return {available().levels.data(), available().size};
}

CodeLevel active_code_level() {
  return selected().load(std::memory_order_relaxed);
}

void force_code_level(CodeLevel level) {
  for (const CodeLevel candidate : available_code_levels()) {
    if (candidate == level) {
      selected().store(level, std::memory_order_relaxed);
      return;
    }
  }
  throw std::invalid_argument("code kernel level " + std::to_string(static_cast<int>(level)) +
                              " is not available on this CPU");
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
