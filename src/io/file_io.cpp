// Descriptor sink and source, and the atomic replacement of a file.
#include "io/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <utility>

#include "io/temporary_file.hpp"
#include "io/write_target.hpp"

namespace halqen::io {
namespace {

// Gathers header fields and small sections into few system calls.
constexpr std::size_t kSinkBuffer = std::size_t{1} << 16;
// Read and write at most this much per call: large enough for full speed,
// and below the 2 GiB Linux caps one call at.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;
// Permission bits with set-user-id, set-group-id and sticky.
constexpr mode_t kPermissionBits = 07777;
// Writeback is started for every this many bytes written.
constexpr std::uint64_t kWritebackStride = std::uint64_t{1} << 25;

std::expected<void, CodecError> write_all(int fd, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), std::min(bytes.size(), kMaxTransfer));
    if (written < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(CodecError::system(errno, "write"));
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return {};
}

// Gives the new file the permissions of the file it replaces, and its owner
// and group where this process may set them (else the group alone, else
// neither: the file then has this process's owner, as any file it creates).
std::expected<void, CodecError> keep_mode_and_owner(int fd, const struct stat& found) {
  [[maybe_unused]] const bool owner_kept = ::fchown(fd, found.st_uid, found.st_gid) == 0 ||
                                           ::fchown(fd, static_cast<uid_t>(-1), found.st_gid) == 0;
  // After fchown, which clears the set-id bits.
  if (::fchmod(fd, found.st_mode & kPermissionBits) != 0) {
    return std::unexpected(CodecError::system(errno, "fchmod"));
  }
  return {};
}

std::expected<void, CodecError> close_checked(FileDescriptor descriptor) {
  if (::close(descriptor.release()) != 0) {
    return std::unexpected(CodecError::system(errno, "close"));
  }
  return {};
}

// Makes the rename itself durable; file systems that cannot sync a directory
// (EINVAL) have nothing to make durable.
std::expected<void, CodecError> sync_directory(const std::string& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(CodecError::system(errno, "open"));
  FileDescriptor owned(fd);
  if (::fsync(fd) != 0 && errno != EINVAL) {
    return std::unexpected(CodecError::system(errno, "fsync"));
  }
  return {};
}

}  // namespace

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

FdSink::FdSink(int fd) : fd_(fd) {
  buffer_.reserve(kSinkBuffer);
}

std::expected<void, CodecError> FdSink::write(std::span<const std::byte> bytes) {
  if (buffer_.size() + bytes.size() <= kSinkBuffer) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return {};
  }
  if (auto flushed = flush(); !flushed) return flushed;
  if (bytes.size() >= kSinkBuffer) return write_through(bytes);
  buffer_.assign(bytes.begin(), bytes.end());
  return {};
}

std::expected<void, CodecError> FdSink::flush() {
  auto written = write_through(buffer_);
  buffer_.clear();
  return written;
}

std::expected<void, CodecError> FdSink::write_through(std::span<const std::byte> bytes) {
  if (auto written = write_all(fd_, bytes); !written) return written;
  written_ += bytes.size();
  if (written_ - writeback_start_ >= kWritebackStride) start_writeback();
  return {};
}

// Advisory: a kernel or file system without it leaves everything to fsync.
void FdSink::start_writeback() {
#if defined(__linux__)
  ::sync_file_range(fd_, static_cast<off_t>(writeback_start_),
                    static_cast<off_t>(written_ - writeback_start_), SYNC_FILE_RANGE_WRITE);
#endif
  writeback_start_ = written_;
}

std::expected<void, CodecError> FdSource::read(std::span<std::byte> out) {
  if (out.size() > remaining_) throw std::length_error("FdSource: read past the end of the file");
  const std::size_t wanted = out.size();
  while (!out.empty()) {
    const ssize_t got = ::read(fd_, out.data(), std::min(out.size(), kMaxTransfer));
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(CodecError::system(errno, "read"));
    }
    if (got == 0) {
      return std::unexpected(CodecError::format(
          "truncated: the file ended while reading " + std::to_string(wanted) + " bytes, " +
          std::to_string(out.size()) + " short (did it shrink while being read?)"));
    }
    out = out.subspan(static_cast<std::size_t>(got));
    remaining_ -= static_cast<std::uint64_t>(got);
  }
  return {};
}

std::expected<OpenedFile, CodecError> open_for_reading(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(CodecError::system(errno, "open"));
  FileDescriptor descriptor(fd);
  struct stat status;
  if (::fstat(fd, &status) != 0) return std::unexpected(CodecError::system(errno, "fstat"));
  if (S_ISDIR(status.st_mode)) return std::unexpected(CodecError::system(EISDIR, "open"));
  return OpenedFile{std::move(descriptor), static_cast<std::uint64_t>(status.st_size)};
}

std::expected<void, CodecError> write_file_atomically(
    const std::string& path,
    const std::function<std::expected<void, CodecError>(ByteSink&)>& encode) {
  auto target = resolve_write_target(path);
  if (!target) return std::unexpected(target.error());
  const std::string directory = directory_of(target->path);
  auto created = create_temporary(directory);
  if (!created) return std::unexpected(created.error());
  TemporaryFile& file = *created;
  // Removes a named new file on every way out before it is published,
  // exceptions included.
  struct DiscardUnlessPublished {
    const TemporaryFile& file;
    ~DiscardUnlessPublished() { discard(file); }
  } guard{file};
  if (target->found) {
    if (auto kept = keep_mode_and_owner(file.descriptor.get(), *target->found); !kept) return kept;
  }
  FdSink sink(file.descriptor.get());
  if (auto encoded = encode(sink); !encoded) return encoded;
  if (auto flushed = sink.flush(); !flushed) return flushed;
  if (::fsync(file.descriptor.get()) != 0) {
    return std::unexpected(CodecError::system(errno, "fsync"));
  }
  if (auto published = publish(file, target->path); !published) return published;
  if (auto closed = close_checked(std::move(file.descriptor)); !closed) return closed;
  return sync_directory(directory);
}

}  // namespace halqen::io
