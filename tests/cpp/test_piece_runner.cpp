// The worker threads of a batch: every piece once, stops between pieces,
// failures carried back to the caller.
#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "parallel/piece_runner.hpp"

namespace halqen {
namespace {

using namespace std::chrono_literals;

RunControl control_with(std::size_t threads) {
  return {.threads = threads, .keep_going = [] { return true; }, .poll_interval = 1ms};
}

TEST(PieceRunner, RunsEveryPieceExactlyOnce) {
  for (std::size_t pieces : {0, 1, 7, 1000}) {
    for (std::size_t threads : {1, 2, 5, 64}) {
      auto runs = std::make_unique<std::atomic<int>[]>(pieces + 1);
      const PieceJob job{pieces, [&](std::size_t p) { runs[p].fetch_add(1); }};
      EXPECT_EQ(run_pieces(job, control_with(threads)), RunEnd::Completed);
      for (std::size_t p = 0; p < pieces; ++p) EXPECT_EQ(runs[p].load(), 1) << "piece " << p;
    }
  }
}

TEST(PieceRunner, PiecesRunOffTheCallingThread) {
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<int> on_caller{0};
  const PieceJob job{50, [&](std::size_t) { on_caller += std::this_thread::get_id() == caller; }};
  run_pieces(job, control_with(2));
  EXPECT_EQ(on_caller.load(), 0);
}

TEST(PieceRunner, StopsBetweenPiecesWhenAsked) {
  std::atomic<int> started{0};
  std::atomic<int> polls{0};
  const PieceJob job{10000, [&](std::size_t) {
                       started.fetch_add(1);
                       std::this_thread::sleep_for(1ms);
                     }};
  RunControl control = control_with(2);
  control.keep_going = [&] { return polls.fetch_add(1) < 3; };
  EXPECT_EQ(run_pieces(job, control), RunEnd::Stopped);
  const int at_return = started.load();
  EXPECT_LT(at_return, 10000);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(started.load(), at_return) << "a piece started after the workers were joined";
  EXPECT_EQ(polls.load(), 4) << "keep_going is not asked again once it said no";
}

TEST(PieceRunner, APieceFailureReachesTheCaller) {
  std::atomic<int> started{0};
  const PieceJob job{10000, [&](std::size_t p) {
                       started.fetch_add(1);
                       if (p == 3) throw std::runtime_error("piece 3 failed");
                       std::this_thread::sleep_for(100us);
                     }};
  try {
    run_pieces(job, control_with(3));
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& failure) {
    EXPECT_STREQ(failure.what(), "piece 3 failed");
  }
  EXPECT_LT(started.load(), 10000) << "the failure did not stop the other workers";
}

TEST(PieceRunner, RefusesZeroThreadsAndMissingCalls) {
  const PieceJob job{1, [](std::size_t) {}};
  EXPECT_THROW(run_pieces(job, control_with(0)), std::invalid_argument);
  EXPECT_THROW(run_pieces(PieceJob{1, nullptr}, control_with(1)), std::invalid_argument);
  EXPECT_THROW(run_pieces(job, RunControl{.threads = 1, .keep_going = nullptr}),
               std::invalid_argument);
}

TEST(PieceRunner, UsableCpusFollowTheAffinityMask) {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  ASSERT_EQ(sched_getaffinity(0, sizeof(mask), &mask), 0);
  EXPECT_EQ(usable_cpu_count(), static_cast<std::size_t>(CPU_COUNT(&mask)));
}

}  // namespace
}  // namespace halqen
