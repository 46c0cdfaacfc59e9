// Descriptor sink and source, and the atomic replacement of a file.
#include "io/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <utility>

namespace halqen::io {
namespace {

// Gathers header fields and small sections into few system calls.
constexpr std::size_t kSinkBuffer = std::size_t{1} << 16;
// Read and write at most this much per call: large enough for full speed,
// and below the 2 GiB Linux caps one call at.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;
constexpr mode_t kNewFileMode = 0666;  // narrowed by the umask, as open() does
constexpr int kTemporaryNameAttempts = 100;
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

std::string directory_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A name beside `path` that no other writer in this or another process uses.
std::string temporary_name(const std::string& path, int attempt) {
  static std::atomic<unsigned long> counter{0};
  return path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
         std::to_string(attempt);
}

std::expected<std::pair<FileDescriptor, std::string>, CodecError> create_beside(
    const std::string& path) {
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    std::string name = temporary_name(path, attempt);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
    if (fd >= 0) return std::pair{FileDescriptor(fd), std::move(name)};
    if (errno != EEXIST) return std::unexpected(CodecError::system(errno, "open"));
  }
  return std::unexpected(CodecError::system(EEXIST, "open"));
}

std::expected<void, CodecError> sync_and_close(FileDescriptor descriptor) {
  if (::fsync(descriptor.get()) != 0) return std::unexpected(CodecError::system(errno, "fsync"));
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
  auto created = create_beside(path);
  if (!created) return std::unexpected(created.error());
  auto& [descriptor, temporary] = *created;
  // Removes the new file on every way out before the rename, exceptions included.
  struct RemoveUnlessRenamed {
    const std::string& name;
    bool renamed = false;
    ~RemoveUnlessRenamed() {
      if (!renamed) ::unlink(name.c_str());
    }
  } guard{temporary};
  FdSink sink(descriptor.get());
  if (auto encoded = encode(sink); !encoded) return encoded;
  if (auto flushed = sink.flush(); !flushed) return flushed;
  if (auto closed = sync_and_close(std::move(descriptor)); !closed) return closed;
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    return std::unexpected(CodecError::system(errno, "rename"));
  }
  guard.renamed = true;
  return sync_directory(directory_of(path));
}

}  // namespace halqen::io
