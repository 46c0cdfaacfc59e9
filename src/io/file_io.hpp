// Index files on disk: a buffered descriptor sink, a descriptor source that
// knows the file's length, and the write-beside-then-rename that keeps a
// path either at its old content or at the complete new file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "io/byte_sink.hpp"
#include "io/byte_source.hpp"
#include "io/codec_error.hpp"

namespace halqen::io {

// Closes its descriptor on destruction.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&&) = delete;
  ~FileDescriptor();
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Small writes gather in a buffer; a write at least as large as the buffer
// goes to the descriptor directly from the caller's memory. Every few
// megabytes written, the sink asks the kernel to start writing them to the
// device, so the final fsync waits for the tail only rather than the file.
class FdSink final : public ByteSink {
 public:
  explicit FdSink(int fd);
  std::expected<void, CodecError> write(std::span<const std::byte> bytes) override;
  // Hands the buffered bytes to the descriptor.
  std::expected<void, CodecError> flush();

 private:
  std::expected<void, CodecError> write_through(std::span<const std::byte> bytes);
  void start_writeback();

  int fd_;
  std::vector<std::byte> buffer_;
  std::uint64_t written_ = 0;          // bytes handed to the descriptor
  std::uint64_t writeback_start_ = 0;  // bytes whose writeback was started
};

// Reads a regular file of known length from its current position.
class FdSource final : public ByteSource {
 public:
  FdSource(int fd, std::uint64_t length) : fd_(fd), remaining_(length) {}
  std::uint64_t remaining() const override { return remaining_; }
  std::expected<void, CodecError> read(std::span<std::byte> out) override;

 private:
  int fd_;
  std::uint64_t remaining_;
};

// An open file and its length.
struct OpenedFile {
  FileDescriptor descriptor;
  std::uint64_t length;
};

// Opens `path` for reading; a directory fails with EISDIR.
std::expected<OpenedFile, CodecError> open_for_reading(const std::string& path);

// Creates a new file in the directory of `path` (after symbolic links: the
// link stays and its target is replaced), with the mode, owner and group of
// the file it replaces; lets `encode` fill it through a sink, flushes it to
// the device (fsync) and renames it over that path. On any failure the new
// file is gone and the path is left as it was. A path that holds something
// other than a regular file is refused (see write_target.hpp).
std::expected<void, CodecError> write_file_atomically(
    const std::string& path,
    const std::function<std::expected<void, CodecError>(ByteSink&)>& encode);

}  // namespace halqen::io
