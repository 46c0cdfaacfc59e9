// Pieces of work on worker threads while the interpreter runs on.
#pragma once

#include <cstddef>
#include <functional>

#include "common/interrupt.hpp"
#include "module/cancel_event.hpp"
#include "module/py_err.hpp"
#include "parallel/piece_runner.hpp"

namespace halqen::py {

// Runs `job` on `threads` worker threads (parallel/piece_runner.hpp). The
// calling thread holds the interpreter lock on entry and on return and gives
// it up meanwhile, so other Python threads run; every poll interval it takes
// the lock back just long enough to run the interpreter's signal handlers.
// When a handler raises (Ctrl-C: KeyboardInterrupt) the job stops between
// pieces, the workers are joined, and the handler's exception is the error.
// A piece's C++ exception is rethrown after the join, for the entry's trap.
// With `cancel`, each poll also asks the event, and once it is set the job
// stops the same way with cancelled_error(). The pieces must touch no
// Python object.
PyResult<void> run_released(const PieceJob& job, std::size_t threads,
                            const CancelEvent* cancel = nullptr);

// Runs `body` with the interpreter lock given up for its whole run. The
// Interrupt handed to it takes the lock back just long enough to run the
// signal handlers; once a handler raised it answers true, and that exception
// is the error. `body` must touch no Python object.
PyResult<void> run_released_interruptible(const std::function<void(Interrupt&)>& body);

}  // namespace halqen::py
