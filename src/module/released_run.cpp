#include "module/released_run.hpp"

#include <Python.h>

#include <optional>
#include <utility>

namespace halqen::py {
namespace {

// The interpreter lock given up for the object's lifetime, and taken back
// for short calls in between.
class ReleasedLock {
 public:
  ReleasedLock() : thread_(PyEval_SaveThread()) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() { PyEval_RestoreThread(thread_); }

  // Runs `call` holding the lock, and gives the lock up again on every path.
  template <class Call>
  auto holding_lock(Call&& call) {
    PyEval_RestoreThread(thread_);
    struct GiveUpAgain {
      PyThreadState*& thread;
      ~GiveUpAgain() { thread = PyEval_SaveThread(); }
    } give_up_again{thread_};
    return call();
  }

 private:
  PyThreadState* thread_;
};

// Pending signals, checked with the lock taken back; the first exception a
// handler raises is kept and every later question answers true.
class ReleasedSignals final : public Interrupt {
 public:
  ReleasedSignals(ReleasedLock& released, std::optional<PyErr>& raised)
      : released_(released), raised_(raised) {}

  bool requested() override {
    if (raised_) return true;
    return released_.holding_lock([&] {
      if (PyErr_CheckSignals() == 0) return false;
      raised_.emplace(PyErr::fetch());
      return true;
    });
  }

 private:
  ReleasedLock& released_;
  std::optional<PyErr>& raised_;
};

}  // namespace

PyResult<void> run_released_interruptible(const std::function<void(Interrupt&)>& body) {
  // Declared before the lock is given up: a PyErr is destroyed holding it.
  std::optional<PyErr> interrupted;
  {
    ReleasedLock released;
    ReleasedSignals signals(released, interrupted);
    body(signals);
  }
  if (interrupted) {
    return std::unexpected(std::move(*interrupted));
  }
  return {};
}

PyResult<void> run_released(const PieceJob& job, std::size_t threads, const CancelEvent* cancel) {
  // Declared before the lock is given up: a PyErr is destroyed holding it.
  std::optional<PyErr> interrupted;
  {
    ReleasedLock released;
    RunControl control;
    control.threads = threads;
    control.keep_going = [&] {
      return released.holding_lock([&] {
        if (PyErr_CheckSignals() != 0) {
          interrupted.emplace(PyErr::fetch());
          return false;
        }
        if (cancel == nullptr) return true;
        PyResult<bool> set = cancel->is_set();
        if (set && !*set) return true;
        interrupted.emplace(set ? cancelled_error() : std::move(set.error()));
        return false;
      });
    };
    run_pieces(job, control);
  }
  if (interrupted) {
    return std::unexpected(std::move(*interrupted));
  }
  return {};
}

}  // namespace halqen::py
