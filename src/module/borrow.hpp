// The per-instance borrow flag that decides calls meeting on one instance.
//
// A call can meet another on the same instance only while argument
// conversion runs the caller's Python code (a re-entrant call, or another
// thread the interpreter switches to). Shared borrows (search) coexist;
// an exclusive borrow (insert, create) excludes every other borrow.
#pragma once

#include <atomic>
#include <cstdint>

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

}  // namespace halqen::py
