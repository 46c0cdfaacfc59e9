// What went wrong while writing or reading an index file, as a value.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace halqen::io {

// Either the bytes are not a valid index file (os_error == 0; the message
// names what is wrong with the numbers that matter), or the operating system
// refused an operation (os_error holds its errno; the message names the call).
// A refusal of the path itself (not a regular file, say) is a system error
// whose message is its reason, shown in place of the errno's text. Reading
// may also stop because the memory for what the file holds ran out (the
// message says how much it claims) or because the caller asked it to stop.
struct CodecError {
  enum class Kind : std::uint8_t { Invalid, System, OutOfMemory, Interrupted };

  std::string message;
  int os_error = 0;
  bool message_is_reason = false;
  Kind kind = Kind::Invalid;

  static CodecError format(std::string message) { return {std::move(message), 0}; }
  static CodecError system(int error_number, std::string operation) {
    return {std::move(operation), error_number, false, Kind::System};
  }
  static CodecError refused(int error_number, std::string reason) {
    return {std::move(reason), error_number, true, Kind::System};
  }
  static CodecError out_of_memory(std::string message) {
    return {std::move(message), 0, false, Kind::OutOfMemory};
  }
  static CodecError interrupted() { return {"interrupted", 0, false, Kind::Interrupted}; }
  bool is_system() const { return os_error != 0; }
};

}  // namespace halqen::io
