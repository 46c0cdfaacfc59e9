// Who may use one index at once, and who waits.
//
// One change (add, remove, a setting) at a time, in the order the changes
// arrived. Searches run beside each other and beside the steps of a change
// that leave the graph whole: a build opens the gate while its batches walk
// the graph (which they only read), and closes it to write their links,
// waiting for the searches inside to leave and keeping new ones out, so a
// search sees the index as some completed step left it. Whatever reads the
// whole index (saving, counting, listing ids) runs between changes. Every
// wait is in slices, asking `stop` between them (Ctrl-C, a cancel event).
//
// A process forked while another thread was changing the index keeps only
// the forking thread: the change never finishes there, and every pass is
// refused.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "common/function_ref.hpp"
#include "engine/search_door.hpp"
#include "graph/wait_tally.hpp"

namespace halqen::graph {

class ChangeGate final : public SearchDoor {
 public:
  enum class Pass { Search, Inspect, Change };
  enum class Refusal {
    Stopped,
    ForkedMidChange,
    // The calling thread holds a pass the wait would wait for: a change
    // asked for by a thread that is searching or reading the whole index,
    // or anything asked for by the thread making a change (from Python
    // code the call ran).
    WaitsForItself,
  };
  using Stop = FunctionRef<bool()>;

  ChangeGate() = default;
  ChangeGate(const ChangeGate&) = delete;
  ChangeGate& operator=(const ChangeGate&) = delete;
  ~ChangeGate() = default;

  // The pass without waiting, if free now (nothing when it is not).
  bool try_enter(Pass pass);
  // Waits for the pass; a refusal enters nothing.
  std::optional<Refusal> enter(Pass pass, Stop stop);
  void leave(Pass pass);

  // By the change holding the gate: searches may enter, then may not (once
  // those inside have left).
  void let_in() override;
  void keep_out() override;
  void let_waiting_in() override;

  bool forked_mid_change();
  // How long every search let in so far waited for its pass.
  WaitTally search_waits();

 private:
  class WaitingSearch;

  bool waits_for_itself(Pass pass) const;
  bool admits(Pass pass, std::uint64_t ticket) const;
  void admit(Pass pass);
  // Keeps new searches out and waits for those inside to leave.
  void close(std::unique_lock<std::mutex>& lock);
  void adopt_fork();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::uint64_t> waiting_changes_;
  std::uint64_t next_ticket_ = 0;
  // Searches waiting for their pass now.
  std::size_t waiting_searches_ = 0;
  WaitTally search_waits_;
  bool changing_ = false;
  bool open_ = false;
  bool closing_ = false;
  // The threads holding each kind of pass, one entry per pass.
  std::vector<std::thread::id> searchers_;
  std::vector<std::thread::id> inspectors_;
  std::thread::id changer_;
  std::uint64_t fork_generation_ = 0;
  bool forked_mid_change_ = false;
};

// Holds a pass and gives it back on every path out.
class GatePass {
 public:
  GatePass(ChangeGate& gate, ChangeGate::Pass pass) : gate_(&gate), pass_(pass) {}
  GatePass(GatePass&& other) noexcept : gate_(other.gate_), pass_(other.pass_) {
    other.gate_ = nullptr;
  }
  GatePass(const GatePass&) = delete;
  GatePass& operator=(const GatePass&) = delete;
  GatePass& operator=(GatePass&&) = delete;
  ~GatePass() {
    if (gate_ != nullptr) gate_->leave(pass_);
  }

 private:
  ChangeGate* gate_;
  ChangeGate::Pass pass_;
};

}  // namespace halqen::graph
