// The per-instance borrow flag that decides calls meeting on one instance.
//
// A call can meet another on the same instance only while argument
// conversion runs the caller's Python code (a re-entrant call, or another
// thread the interpreter switches to). Shared borrows (search) coexist;
// an exclusive borrow (insert, create) excludes every other borrow.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "module/py_err.hpp"

namespace halqen::py {

// The process a borrow flag was last used in: a forked child keeps only the
// thread that forked, so borrows that other threads held at the fork can
// never be given back there. Shared ones are dropped on the flag's first use
// in the child; an exclusive one marks a change the child's copy will never
// see finished, and the instance is refused there for good. The forking
// thread's own borrows carry over (see borrow.cpp). Cached, renewed by a
// fork handler: asking costs no system call.
std::uint64_t current_process();

class BorrowChecker {
 public:
  bool try_acquire_shared() {
    adopt_process();
    std::int64_t seen = flag_.load();
    while (seen >= kFree) {
      if (flag_.compare_exchange_weak(seen, seen + 1)) {
        return true;
      }
    }
    return false;
  }
  void release_shared() { flag_.fetch_sub(1); }

  bool try_acquire_exclusive() {
    adopt_process();
    std::int64_t expected = kFree;
    return flag_.compare_exchange_strong(expected, kExclusive);
  }
  void release_exclusive() { flag_.store(kFree); }

  // In a forked child: the borrows the forking thread holds are all there is.
  void keep_after_fork(std::int64_t shared_held, bool exclusive_held) {
    flag_.store(exclusive_held ? kExclusive : shared_held);
    process_.store(current_process());
  }

  // Whether another thread was changing the instance when this process was
  // forked from the one it began in: no borrow is ever granted again.
  bool forked_mid_change() {
    adopt_process();
    return flag_.load() == kForkedMidChange;
  }

 private:
  static constexpr std::int64_t kFree = 0;
  static constexpr std::int64_t kExclusive = -1;
  static constexpr std::int64_t kForkedMidChange = -2;

  // First in every acquisition, before any wait: a borrow held at the fork
  // by a thread the child lacks is never given back, so a caller that
  // waited for it would wait forever.
  void adopt_process() {
    const std::uint64_t process = current_process();
    if (process_.load(std::memory_order_relaxed) == process) return;
    const std::int64_t seen = flag_.load();
    const bool changing = seen == kExclusive || seen == kForkedMidChange;
    flag_.store(changing ? kForkedMidChange : kFree);
    process_.store(process, std::memory_order_relaxed);
  }

  std::atomic<std::int64_t> flag_{kFree};
  std::atomic<std::uint64_t> process_{current_process()};
};

// The borrows the calling thread holds, kept so that a forked child can keep
// them (a fork keeps only the forking thread). Every call acquires its borrow
// with the interpreter lock held, and so does the child's fork handler.
void note_borrow_held(BorrowChecker& checker, bool shared);
void note_borrow_released(BorrowChecker& checker, bool shared) noexcept;

// The RuntimeError of every call on an instance forked mid-change.
PyErr forked_mid_change_error();

// Holds a borrow of an instance and gives it back on every path out.
class BorrowGuard {
 public:
  // RuntimeError "Already mutably borrowed" (shared) or "Already borrowed"
  // (exclusive) when the borrow conflicts with one held; RuntimeError
  // naming the fork for an instance forked mid-change.
  static PyResult<BorrowGuard> acquire(BorrowChecker& checker, bool shared) {
    if (shared ? checker.try_acquire_shared() : checker.try_acquire_exclusive()) {
      BorrowGuard guard(checker, shared);
      note_borrow_held(checker, shared);
      return guard;
    }
    if (checker.forked_mid_change()) return std::unexpected(forked_mid_change_error());
    return std::unexpected(PyErr::new_err(
        PyExc_RuntimeError, shared ? "Already mutably borrowed" : "Already borrowed"));
  }
  BorrowGuard(BorrowGuard&& other) noexcept
      : checker_(std::exchange(other.checker_, nullptr)), shared_(other.shared_) {}
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  BorrowGuard& operator=(BorrowGuard&&) = delete;
  ~BorrowGuard() {
    if (checker_ == nullptr) {
      return;
    }
    note_borrow_released(*checker_, shared_);
    if (shared_) {
      checker_->release_shared();
    } else {
      checker_->release_exclusive();
    }
  }

 private:
  BorrowGuard(BorrowChecker& checker, bool shared) : checker_(&checker), shared_(shared) {}
  BorrowChecker* checker_;
  bool shared_;
};

}  // namespace halqen::py
