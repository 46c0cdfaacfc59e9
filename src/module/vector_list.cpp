#include "module/vector_list.hpp"

#include <utility>

#include "common/grow.hpp"
#include "common/huge_pages.hpp"

namespace halqen::py {

void VectorList::reserve_numbers(std::size_t count) {
  const std::size_t capacity = numbers_.capacity();
  reserve_for_append(numbers_, count);
  if (numbers_.capacity() != capacity) {
    prefer_huge_pages(numbers_);
  }
}

void VectorList::reserve_vectors(std::size_t count) {
  reserve_for_append(ends_, count);
}

void VectorList::end_vectors(std::size_t count, std::size_t length) {
  std::size_t end = empty() ? 0 : ends_.back();
  for (std::size_t i = 0; i < count; ++i) {
    end += length;
    ends_.push_back(end);
  }
}

std::size_t VectorList::length(std::size_t index) const {
  return ends_.at(index) - begin_of(index);
}

std::span<const double> VectorList::numbers_of(std::size_t index) const {
  return std::span<const double>(numbers_).subspan(begin_of(index), length(index));
}

std::size_t VectorList::leading_vectors_of_length(std::size_t length) const {
  std::size_t count = 0;
  while (count < ends_.size() && ends_[count] - begin_of(count) == length) {
    ++count;
  }
  return count;
}

VectorBlock VectorList::take_leading(std::size_t count) && {
  const bool leaves_some = count < size();
  numbers_.resize(count == 0 ? 0 : ends_.at(count - 1));
  if (leaves_some) {
    numbers_.shrink_to_fit();  // the vectors left out would stay in the store's buffer
  }
  VectorBlock block{std::move(numbers_), count};
  numbers_.clear();
  ends_.clear();
  return block;
}

}  // namespace halqen::py
