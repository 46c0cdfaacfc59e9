// Vectors converted from a Python argument, in one buffer.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "common/vector_block.hpp"

namespace halqen::py {

// The numbers of every vector one after another (row-major), with where each
// vector ends; vectors may have different lengths. One buffer instead of one
// per vector: no allocation per vector, and when all vectors are stored the
// buffer is handed to the index whole (take_leading), which an empty index
// keeps as its store, so nothing of the conversion stays behind.
class VectorList {
 public:
  // Makes room for `count` more numbers, growing geometrically, and asks for
  // huge pages for a large buffer. Throws std::bad_alloc or
  // std::length_error with the list unchanged.
  void reserve_numbers(std::size_t count);
  // Makes room for `count` more vectors (their ends).
  void reserve_vectors(std::size_t count);

  // The buffer the next vector's numbers are appended to, at its end.
  std::vector<double>& numbers() { return numbers_; }
  // Ends the vector whose numbers were appended since the previous one ended.
  void end_vector() { ends_.push_back(numbers_.size()); }
  // Ends `count` vectors of `length` numbers each, appended since the previous
  // vector ended. Precondition: count * length numbers were appended.
  void end_vectors(std::size_t count, std::size_t length);

  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  std::size_t length(std::size_t index) const;
  std::span<const double> numbers_of(std::size_t index) const;
  // How many vectors from the first one on have `length` numbers.
  std::size_t leading_vectors_of_length(std::size_t length) const;

  // The first `count` vectors as one block, taking the buffer (shrunk to
  // them when vectors are left out). Precondition: they all have the same
  // length, count <= size(). The list is left empty.
  VectorBlock take_leading(std::size_t count) &&;

 private:
  std::size_t begin_of(std::size_t index) const { return index == 0 ? 0 : ends_[index - 1]; }

  std::vector<double> numbers_;
  std::vector<std::size_t> ends_;
};

}  // namespace halqen::py
