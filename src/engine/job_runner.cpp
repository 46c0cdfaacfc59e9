#include "engine/job_runner.hpp"

namespace halqen::graph {

bool ThreadRunner::run(const PieceJob& job, bool may_stop) {
  if (job.piece_count == 0) return true;
  RunControl control;
  control.threads = threads_;
  control.keep_going = [&] { return !may_stop || !interrupt_.requested(); };
  return run_pieces(job, control) == RunEnd::Completed;
}

}  // namespace halqen::graph
