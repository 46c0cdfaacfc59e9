// What went wrong while writing or reading an index file, as a value.
#pragma once

#include <string>
#include <utility>

namespace halqen::io {

// Either the bytes are not a valid index file (os_error == 0; the message
// names what is wrong with the numbers that matter), or the operating system
// refused an operation (os_error holds its errno; the message names the call).
struct CodecError {
  std::string message;
  int os_error = 0;

  static CodecError format(std::string message) { return {std::move(message), 0}; }
  static CodecError system(int error_number, std::string operation) {
    return {std::move(operation), error_number};
  }
  bool is_system() const { return os_error != 0; }
};

}  // namespace halqen::io
