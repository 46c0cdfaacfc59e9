// Which kernel set computes the batched distances. The best set the CPU
// supports is chosen on first use; tests list the sets and force each in turn.
#pragma once

#include <span>
#include <string_view>

namespace halqen {

enum class KernelLevel { Scalar, Sse2, Avx2, Avx512 };

// Every level, whether or not this CPU runs it.
inline constexpr KernelLevel kKernelLevels[] = {KernelLevel::Scalar, KernelLevel::Sse2,
                                                KernelLevel::Avx2, KernelLevel::Avx512};

// The levels this CPU can run, from the plainest to the fastest.
std::span<const KernelLevel> available_kernels();

// The level that batched distances currently use.
KernelLevel active_kernel();

// Makes every later batch use `level`. For tests: the results do not change,
// only the speed. Throws std::invalid_argument if this CPU cannot run `level`.
void force_kernel(KernelLevel level);

// "scalar", "sse2", "avx2" or "avx512".
std::string_view kernel_name(KernelLevel level);

}  // namespace halqen
