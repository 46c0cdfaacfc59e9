// What changed in the link lists since the reach trees (reach_trees.hpp)
// were last checked: each link a change took out of a list, each node a
// build added, and each link given to a node a removal left without one.
// A small change is then checked by what it touched alone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <span>
#include <vector>

namespace halqen::graph {

struct JournalEntry {
  // `target` for a node new on every layer up to `layer`.
  static constexpr std::uint32_t kAdded = std::numeric_limits<std::uint32_t>::max();
  std::uint32_t node;
  std::uint32_t layer;
  std::uint32_t target;  // the link `node` no longer has on `layer`
  // Instead: a link `node` was given to `target`, which had lost every
  // other way in (a hint for the check, that loses nothing).
  bool gained = false;
};

class LinkJournal {
 public:
  bool recording() const { return recording_.load(std::memory_order_relaxed); }
  // Notes changes from now on, at most `most` entries: a change larger
  // than that is checked faster by a pass over the whole graph, and the
  // journal then stops (overflowed()).
  void start(std::size_t most) {
    const std::lock_guard lock(mutex_);
    entries_.clear();
    most_ = most;
    overflowed_ = false;
    recording_.store(true, std::memory_order_relaxed);
  }
  void stop() {
    const std::lock_guard lock(mutex_);
    entries_.clear();
    entries_.shrink_to_fit();
    recording_.store(false, std::memory_order_relaxed);
  }
  // Lists of distinct nodes may change from several threads at once.
  void note(JournalEntry entry) {
    const std::lock_guard lock(mutex_);
    if (!recording()) return;
    if (entries_.size() >= most_) {
      overflowed_ = true;
      entries_.clear();
      recording_.store(false, std::memory_order_relaxed);
      return;
    }
    entries_.push_back(entry);
  }
  bool overflowed() const { return overflowed_; }
  std::uint64_t heap_bytes() const { return entries_.capacity() * sizeof(JournalEntry); }
  // Only while no list changes.
  std::span<const JournalEntry> entries() const { return entries_; }

 private:
  std::mutex mutex_;
  std::vector<JournalEntry> entries_;
  std::size_t most_ = 0;
  bool overflowed_ = false;
  std::atomic<bool> recording_ = false;
};

}  // namespace halqen::graph
