#include "engine/slot_book.hpp"

#include "common/grow.hpp"

namespace halqen::graph {

void SlotBook::reserve(std::size_t count) {
  reserve_for_append(free_flags_, count);
}

void SlotBook::append_live(std::size_t count) {
  free_flags_.resize(free_flags_.size() + count, 0);
}

void SlotBook::release(std::uint32_t slot) {
  free_flags_[slot] = 1;
  free_heap_.push(slot);
}

std::uint32_t SlotBook::take_lowest() {
  const std::uint32_t slot = free_heap_.top();
  free_heap_.pop();
  free_flags_[slot] = 0;
  return slot;
}

std::vector<std::uint32_t> SlotBook::free_slots() const {
  std::vector<std::uint32_t> slots;
  slots.reserve(free_count());
  for (std::uint32_t slot = 0; slot < slot_count(); ++slot) {
    if (is_free(slot)) slots.push_back(slot);
  }
  return slots;
}

}  // namespace halqen::graph
