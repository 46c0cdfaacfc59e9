// How a graph index runs the parallel parts of a build: on threads, and
// stoppable from outside (Ctrl-C) only where stopping leaves nothing torn.
#pragma once

#include <cstddef>

#include "common/interrupt.hpp"
#include "parallel/piece_runner.hpp"

namespace halqen::graph {

class JobRunner {
 public:
  // Runs the pieces of `job`; with `may_stop`, a stop request ends it early
  // and the answer is false. Without, every piece runs.
  virtual bool run(const PieceJob& job, bool may_stop) = 0;
  // Whether a stop was requested since the last question (between jobs).
  virtual bool stop_requested() = 0;

 protected:
  JobRunner() = default;
  JobRunner(const JobRunner&) = default;
  JobRunner& operator=(const JobRunner&) = default;
  ~JobRunner() = default;
};

// Pieces on `threads` worker threads (parallel/piece_runner.hpp), asking
// `interrupt` while they run.
class ThreadRunner final : public JobRunner {
 public:
  ThreadRunner(std::size_t threads, Interrupt& interrupt)
      : threads_(threads), interrupt_(interrupt) {}

  bool run(const PieceJob& job, bool may_stop) override;
  bool stop_requested() override { return interrupt_.requested(); }

 private:
  std::size_t threads_;
  Interrupt& interrupt_;
};

}  // namespace halqen::graph
