// A schedule for work split in pieces that differs from running them in
// order on one thread: what makes a result that depends on the threads show.
#pragma once

#include <cstddef>
#include <functional>
#include <thread>

#include "engine/job_runner.hpp"

namespace halqen {

// Runs the pieces last first, half on another thread.
inline void backwards_on_two_threads(std::size_t pieces,
                                     const std::function<void(std::size_t)>& each) {
  std::thread other([&] {
    for (std::size_t piece = pieces; piece-- > pieces / 2;) each(piece);
  });
  for (std::size_t piece = pieces / 2; piece-- > 0;) each(piece);
  other.join();
}

// A job runner on either schedule; with `stops_after`, it stops every job
// after that many have run (what Ctrl-C during a long call does).
class ScheduleRunner final : public graph::JobRunner {
 public:
  explicit ScheduleRunner(bool backwards = false, std::size_t stops_after = ~std::size_t{0})
      : backwards_(backwards), stops_after_(stops_after) {}

  bool run(const PieceJob& job, bool may_stop) override {
    if (may_stop && jobs_ >= stops_after_) return false;
    ++jobs_;
    if (backwards_) {
      backwards_on_two_threads(job.piece_count, job.run_piece);
    } else {
      for (std::size_t piece = 0; piece < job.piece_count; ++piece) job.run_piece(piece);
    }
    return true;
  }
  bool stop_requested() override { return jobs_ >= stops_after_; }

 private:
  bool backwards_;
  std::size_t stops_after_;
  std::size_t jobs_ = 0;
};

}  // namespace halqen
