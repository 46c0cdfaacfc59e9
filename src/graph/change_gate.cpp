#include "graph/change_gate.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>

namespace halqen::graph {
namespace {

// How often a wait asks whether to stop: Ctrl-C ends a wait this promptly.
constexpr std::chrono::milliseconds kWaitSlice{20};

// Bumped in every forked child, before any of its threads runs: a gate last
// used under another value was used in the parent.
std::atomic<std::uint64_t> fork_generation{0};

void note_fork_in_child() {
  fork_generation.fetch_add(1);
}

[[maybe_unused]] const int fork_noted = ::pthread_atfork(nullptr, nullptr, note_fork_in_child);

bool holds(const std::vector<std::thread::id>& threads) {
  return std::ranges::count(threads, std::this_thread::get_id()) > 0;
}

void drop_mine(std::vector<std::thread::id>& threads) {
  const auto mine = std::ranges::find(threads, std::this_thread::get_id());
  if (mine != threads.end()) threads.erase(mine);
}

}  // namespace

// Counts a search among those waiting (under the gate's lock) for as long
// as enter() waits for it.
class ChangeGate::WaitingSearch {
 public:
  WaitingSearch(ChangeGate& gate, bool waits) : gate_(waits ? &gate : nullptr) {
    if (gate_ != nullptr) ++gate_->waiting_searches_;
  }
  WaitingSearch(const WaitingSearch&) = delete;
  WaitingSearch& operator=(const WaitingSearch&) = delete;
  ~WaitingSearch() {
    if (gate_ != nullptr && --gate_->waiting_searches_ == 0) gate_->changed_.notify_all();
  }

 private:
  ChangeGate* gate_;
};

bool ChangeGate::waits_for_itself(Pass pass) const {
  if (changing_ && changer_ == std::this_thread::get_id()) {
    return pass != Pass::Search || !open_;
  }
  return pass == Pass::Change && (holds(inspectors_) || holds(searchers_));
}

bool ChangeGate::admits(Pass pass, std::uint64_t ticket) const {
  switch (pass) {
    case Pass::Search:
      // A thread reading the whole index is let through: a change waiting
      // for that read to end would wait for it.
      if (holds(inspectors_)) return true;
      if (changing_) return open_ && !closing_;
      return waiting_changes_.empty();
    case Pass::Inspect:
      if (holds(inspectors_)) return true;
      return !changing_ && waiting_changes_.empty();
    case Pass::Change:
      return !changing_ && searchers_.empty() && inspectors_.empty() &&
             waiting_changes_.front() == ticket;
  }
  return false;
}

void ChangeGate::admit(Pass pass) {
  switch (pass) {
    case Pass::Search:
      searchers_.push_back(std::this_thread::get_id());
      break;
    case Pass::Inspect:
      inspectors_.push_back(std::this_thread::get_id());
      break;
    case Pass::Change:
      waiting_changes_.pop_front();
      changing_ = true;
      changer_ = std::this_thread::get_id();
      open_ = false;
      break;
  }
}

// In a forked child only the forking thread is left: no other thread's
// pass will ever be given back, and a change another thread held never
// finishes. The lock itself may have been held by a thread that is gone.
void ChangeGate::adopt_fork() {
  const std::uint64_t generation = fork_generation.load();
  if (generation == fork_generation_) return;
  new (&mutex_) std::mutex();
  new (&changed_) std::condition_variable();
  forked_mid_change_ = forked_mid_change_ || changing_;
  std::erase_if(inspectors_, [](std::thread::id id) { return id != std::this_thread::get_id(); });
  searchers_.clear();
  waiting_changes_.clear();
  waiting_searches_ = 0;
  changing_ = false;
  open_ = false;
  closing_ = false;
  fork_generation_ = generation;
}

bool ChangeGate::try_enter(Pass pass) {
  adopt_fork();
  std::lock_guard lock(mutex_);
  if (forked_mid_change_) return false;
  std::uint64_t ticket = 0;
  if (pass == Pass::Change) {
    ticket = next_ticket_++;
    waiting_changes_.push_back(ticket);
  }
  if (!admits(pass, ticket)) {
    // Never queued behind anyone: a refused try leaves no ticket.
    if (pass == Pass::Change) waiting_changes_.pop_back();
    return false;
  }
  admit(pass);
  if (pass == Pass::Search) search_waits_.note(std::chrono::nanoseconds(0));
  return true;
}

std::optional<ChangeGate::Refusal> ChangeGate::enter(Pass pass, Stop stop) {
  const auto began = std::chrono::steady_clock::now();
  adopt_fork();
  std::unique_lock lock(mutex_);
  if (forked_mid_change_) return Refusal::ForkedMidChange;
  if (waits_for_itself(pass)) return Refusal::WaitsForItself;
  std::uint64_t ticket = 0;
  if (pass == Pass::Change) {
    ticket = next_ticket_++;
    waiting_changes_.push_back(ticket);
  }
  const WaitingSearch counted(*this, pass == Pass::Search && !admits(pass, ticket));
  while (!admits(pass, ticket)) {
    if (changed_.wait_for(lock, kWaitSlice, [&] { return admits(pass, ticket); })) break;
    // Asked without the lock: the question may wait for the interpreter,
    // whose holder may be waiting for this lock.
    lock.unlock();
    const bool stopping = stop();
    lock.lock();
    if (stopping || forked_mid_change_) {
      if (pass == Pass::Change) {
        std::erase(waiting_changes_, ticket);
        changed_.notify_all();
      }
      return forked_mid_change_ ? Refusal::ForkedMidChange : Refusal::Stopped;
    }
  }
  admit(pass);
  if (pass == Pass::Search) search_waits_.note(std::chrono::steady_clock::now() - began);
  return std::nullopt;
}

void ChangeGate::leave(Pass pass) {
  {
    std::lock_guard lock(mutex_);
    switch (pass) {
      case Pass::Search:
        drop_mine(searchers_);
        break;
      case Pass::Inspect:
        drop_mine(inspectors_);
        break;
      case Pass::Change:
        changing_ = false;
        changer_ = std::thread::id();
        open_ = false;
        break;
    }
  }
  changed_.notify_all();
}

void ChangeGate::let_in() {
  {
    std::lock_guard lock(mutex_);
    open_ = true;
  }
  changed_.notify_all();
}

void ChangeGate::let_waiting_in() {
  std::unique_lock lock(mutex_);
  if (waiting_searches_ == 0) return;
  open_ = true;
  changed_.notify_all();
  // Those that came meanwhile are let in too, until every one that waited
  // has its pass (or gave up waiting).
  changed_.wait(lock, [&] { return waiting_searches_ == 0; });
  close(lock);
}

void ChangeGate::keep_out() {
  std::unique_lock lock(mutex_);
  close(lock);
}

void ChangeGate::close(std::unique_lock<std::mutex>& lock) {
  closing_ = true;
  // Searches are short and stop for nothing: this wait is one search long.
  changed_.wait(lock, [&] { return searchers_.empty(); });
  open_ = false;
  closing_ = false;
}

WaitTally ChangeGate::search_waits() {
  adopt_fork();
  std::lock_guard lock(mutex_);
  return search_waits_;
}

bool ChangeGate::forked_mid_change() {
  adopt_fork();
  std::lock_guard lock(mutex_);
  return forked_mid_change_;
}

}  // namespace halqen::graph
