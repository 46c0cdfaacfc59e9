// Borrows across fork(): which process a flag belongs to, and the borrows
// the forking thread carries into the child.
#include "module/borrow.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <vector>

namespace halqen::py {
namespace {

struct HeldBorrow {
  BorrowChecker* checker;
  bool shared;
};

// The process id, read once per process: the child's fork handler renews
// it, and each extension module keeps its own copy of the same value.
std::atomic<std::uint64_t> process_id{static_cast<std::uint64_t>(::getpid())};

thread_local std::vector<HeldBorrow> held_by_this_thread;

// Runs in the child, on the thread that forked, before anything else does;
// allocates nothing. A thread holds few borrows, so the repeated scan is short.
void keep_forking_thread_borrows() {
  process_id.store(static_cast<std::uint64_t>(::getpid()));
  for (const HeldBorrow& borrow : held_by_this_thread) {
    std::int64_t shared_count = 0;
    bool exclusive = false;
    for (const HeldBorrow& other : held_by_this_thread) {
      if (other.checker == borrow.checker) {
        shared_count += other.shared ? 1 : 0;
        exclusive = exclusive || !other.shared;
      }
    }
    borrow.checker->keep_after_fork(shared_count, exclusive);
  }
}

[[maybe_unused]] const int fork_handler_registered =
    ::pthread_atfork(nullptr, nullptr, keep_forking_thread_borrows);

}  // namespace

std::uint64_t current_process() {
  return process_id.load(std::memory_order_relaxed);
}

PyErr forked_mid_change_error() {
  return PyErr::new_err(
      PyExc_RuntimeError,
      "this index was being changed by another thread when the process forked; the change "
      "never finishes in this process, so its copy here may be half-changed and is refused: "
      "load a saved copy in this process (read_index, deserialize_index, pickle), or fork "
      "while no add, remove, insert or create runs on the index");
}

void note_borrow_held(BorrowChecker& checker, bool shared) {
  held_by_this_thread.push_back({&checker, shared});
}

void note_borrow_released(BorrowChecker& checker, bool shared) noexcept {
  const auto held = std::find_if(held_by_this_thread.rbegin(), held_by_this_thread.rend(),
                                 [&](const HeldBorrow& borrow) {
                                   return borrow.checker == &checker && borrow.shared == shared;
                                 });
  if (held != held_by_this_thread.rend()) {
    held_by_this_thread.erase(std::next(held).base());
  }
}

}  // namespace halqen::py
