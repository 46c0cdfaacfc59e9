// The floor of one exact query: every double of the store read once and
// summed, vectorised by the compiler for this machine (built -O3
// -march=native). Sixteen independent sums keep the additions off the
// critical path, so the loop runs at the speed memory delivers. The store is
// read as `stripes` contiguous parts side by side, a block from each per
// step, as the row kernels read it: several streams keep more reads in
// flight than one.
#include "read_once.hpp"

namespace kernel_timing {

double read_once(const double* values, std::size_t count, std::size_t stripes) {
  constexpr std::size_t kSums = 16;
  double sums[kSums] = {};
  const std::size_t blocks = count / kSums;
  const std::size_t per_stripe = blocks / stripes;
  for (std::size_t step = 0; step < per_stripe; ++step) {
    for (std::size_t s = 0; s < stripes; ++s) {
      const double* block = values + (s * per_stripe + step) * kSums;
      for (std::size_t lane = 0; lane < kSums; ++lane) sums[lane] += block[lane];
    }
  }
  for (std::size_t i = per_stripe * stripes * kSums; i < count; ++i) sums[0] += values[i];
  double total = 0.0;
  for (double s : sums) total += s;
  return total;
}

}  // namespace kernel_timing
