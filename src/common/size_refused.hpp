// A size refused before anything is allocated: no memory could ever hold it.
#pragma once

#include <stdexcept>
#include <string>

namespace halqen {

// Thrown where an allocation would fail by its size alone; the message names
// the numbers that make it so. The Python boundary raises it as MemoryError
// with that message (a plain std::length_error has no message worth showing).
class SizeRefused : public std::length_error {
 public:
  explicit SizeRefused(const std::string& message) : std::length_error(message) {}
};

}  // namespace halqen
