// Runs the pieces of one job on worker threads started for it, while the
// calling thread watches for a request to stop.
//
// The only threads the library starts. Plain C++: the caller decides what a
// piece is and what asks for a stop (halqen_ext polls the interpreter's
// signals).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

namespace halqen {

enum class RunEnd {
  Completed,  // every piece ran
  Stopped,    // keep_going said no: pieces not yet started never ran
};

struct PieceJob {
  std::size_t piece_count = 0;
  // Runs one piece; called at most once per piece, from any worker, for
  // distinct pieces at the same time.
  std::function<void(std::size_t piece)> run_piece;
};

struct RunControl {
  // Worker threads wanted; fewer are started when there are fewer pieces.
  std::size_t threads = 1;
  // Called on the calling thread about every poll_interval while the
  // pieces run; returning false stops the job between pieces. A stop takes
  // effect an interval and a piece after it was asked at worst, and a poll
  // costs microseconds: a short interval keeps that bounded where a busy
  // machine delays every wake-up besides.
  std::function<bool()> keep_going;
  std::chrono::milliseconds poll_interval{5};
};

// Runs every piece of `job` on min(threads, piece_count) worker threads,
// each taking the next piece no worker has taken, and returns once all
// workers are joined. The calling thread runs no piece while workers run; if
// not one worker thread can be started, it runs the pieces itself, asking
// keep_going between them. An exception thrown by a piece stops the job as
// a stop request does, and the first one is rethrown here after the join.
// Preconditions (std::invalid_argument): threads >= 1, run_piece and
// keep_going set.
RunEnd run_pieces(const PieceJob& job, const RunControl& control);

// The CPUs this process may run on (its affinity mask), at least 1.
std::size_t usable_cpu_count();

}  // namespace halqen
