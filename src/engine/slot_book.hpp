// Which slots of a graph index hold a vector and which are free, and the
// order free slots are filled in again: lowest first, so that the same
// sequence of additions and removals always uses the same slots.
//
// Everything stored per slot (the row, its links, label, record, postings,
// and any per-vector code) is filled and cleared through the index's
// fill/clear steps (graph_slots.cpp), which consult this book.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <queue>
#include <vector>

namespace halqen::graph {

class SlotBook {
 public:
  std::size_t slot_count() const { return free_flags_.size(); }
  std::size_t free_count() const { return free_heap_.size(); }
  std::size_t live_count() const { return slot_count() - free_count(); }
  bool is_free(std::uint32_t slot) const { return free_flags_[slot] != 0; }

  // Makes room for `count` more slots and free-list entries. Throws
  // std::bad_alloc with the book unchanged.
  void reserve(std::size_t count);
  // Appends `count` live slots.
  void append_live(std::size_t count);
  // Marks a live slot free (precondition: live, room reserved).
  void release(std::uint32_t slot);
  // The lowest free slot, marked live (precondition: free_count() > 0).
  std::uint32_t take_lowest();
  // The free slots, ascending.
  std::vector<std::uint32_t> free_slots() const;

  std::uint64_t heap_bytes() const {
    return free_flags_.capacity() + free_heap_.size() * sizeof(std::uint32_t);
  }

 private:
  std::vector<std::uint8_t> free_flags_;
  std::priority_queue<std::uint32_t, std::vector<std::uint32_t>, std::greater<>> free_heap_;
};

}  // namespace halqen::graph
