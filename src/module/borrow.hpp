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

class BorrowChecker {
 public:
  bool try_acquire_shared() {
    std::int64_t seen = flag_.load();
    while (seen != kExclusive) {
      if (flag_.compare_exchange_weak(seen, seen + 1)) {
        return true;
      }
    }
    return false;
  }
  void release_shared() { flag_.fetch_sub(1); }

  bool try_acquire_exclusive() {
    std::int64_t expected = kFree;
    return flag_.compare_exchange_strong(expected, kExclusive);
  }
  void release_exclusive() { flag_.store(kFree); }

 private:
  static constexpr std::int64_t kFree = 0;
  static constexpr std::int64_t kExclusive = -1;
  std::atomic<std::int64_t> flag_{kFree};
};

// Holds a borrow of an instance and gives it back on every path out.
class BorrowGuard {
 public:
  // RuntimeError "Already mutably borrowed" (shared) or "Already borrowed"
  // (exclusive) when the borrow conflicts with one held.
  static PyResult<BorrowGuard> acquire(BorrowChecker& checker, bool shared) {
    if (shared ? checker.try_acquire_shared() : checker.try_acquire_exclusive()) {
      return BorrowGuard(checker, shared);
    }
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
