// How long searches waited for their pass at an index's gate: a count per
// bucket of wait, the buckets a quarter of a power of two wide (19% apart)
// from one microsecond to about a second, the last open above. Enough to
// read a percentile of the waits to within a bucket, in fixed memory
// however long the index serves.
#pragma once

#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace halqen::graph {

class WaitTally {
 public:
  // Bucket 0 holds the waits under a microsecond (a pass given at once).
  static constexpr std::size_t kStepsPerDoubling = 4;
  static constexpr std::size_t kDoublings = 20;
  static constexpr std::size_t kBuckets = kStepsPerDoubling * kDoublings + 2;

  void note(std::chrono::nanoseconds waited) { ++counts_[bucket_of(waited)]; }
  const std::array<std::uint64_t, kBuckets>& counts() const { return counts_; }

  // The longest wait bucket `bucket` holds (infinity for the last).
  static double upper_seconds(std::size_t bucket) {
    if (bucket + 1 == kBuckets) return HUGE_VAL;
    return kMicrosecond * std::exp2(static_cast<double>(bucket) / kStepsPerDoubling);
  }

 private:
  static constexpr double kMicrosecond = 1e-6;

  static std::size_t bucket_of(std::chrono::nanoseconds waited) {
    const double seconds = std::chrono::duration<double>(waited).count();
    if (seconds < kMicrosecond) return 0;
    const double steps = std::ceil(std::log2(seconds / kMicrosecond) * kStepsPerDoubling);
    return steps >= kBuckets - 1 ? kBuckets - 1 : static_cast<std::size_t>(steps);
  }

  std::array<std::uint64_t, kBuckets> counts_{};
};

}  // namespace halqen::graph
