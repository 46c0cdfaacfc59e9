// The gate's tally of search waits: every wait lands in the one bucket
// whose bounds hold it, whatever its length.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>

#include "graph/wait_tally.hpp"

namespace halqen::graph {
namespace {

TEST(WaitTally, EveryWaitLandsInTheBucketWhoseBoundsHoldIt) {
  std::mt19937_64 rng(3);
  // Waits from none to ten seconds, spread evenly over their magnitudes.
  std::uniform_real_distribution<double> magnitude(-10.0, 1.0);
  for (int trial = 0; trial < 20000; ++trial) {
    const double seconds = trial == 0 ? 0.0 : std::pow(10.0, magnitude(rng));
    WaitTally tally;
    tally.note(std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(seconds)));
    const auto& counts = tally.counts();
    ASSERT_EQ(std::accumulate(counts.begin(), counts.end(), std::uint64_t{0}), 1u);
    const std::size_t bucket =
        static_cast<std::size_t>(std::find(counts.begin(), counts.end(), 1u) - counts.begin());
    const double stored =
        std::chrono::duration<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::duration<double>(seconds)))
            .count();
    EXPECT_LE(stored, WaitTally::upper_seconds(bucket)) << seconds;
    if (bucket > 0) {
      EXPECT_GT(stored, WaitTally::upper_seconds(bucket - 1)) << seconds;
    }
  }
}

}  // namespace
}  // namespace halqen::graph
