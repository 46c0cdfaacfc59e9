// The read-once loop that kernel_timing measures the single-query kernel
// against; compiled apart, for the machine it runs on.
#pragma once

#include <cstddef>

namespace kernel_timing {

// The sum of values[0 .. count), in an order of its own, read as `stripes`
// (at least 1) contiguous parts side by side.
double read_once(const double* values, std::size_t count, std::size_t stripes);

}  // namespace kernel_timing
