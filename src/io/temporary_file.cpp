#include "io/temporary_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>

#include "random/os_entropy.hpp"

namespace halqen::io {
namespace {

constexpr mode_t kNewFileMode = 0666;  // narrowed by the umask, as open() does
constexpr int kNameAttempts = 100;
constexpr const char* kNamePrefix = "/.halqen-";
constexpr int kRandomWords = 2;  // 64 random bits: 16 hexadecimal digits
constexpr std::size_t kHexDigitsPerWord = 8;
constexpr std::uint32_t kHexDigitBits = 4;
constexpr std::uint32_t kHexDigitMask = 0xF;

std::string random_name(const std::string& directory) {
  static constexpr std::array<char, 16> kDigits = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                   '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
  const ChaChaKey random = os_seed();
  std::string name = directory + kNamePrefix;
  for (int word = 0; word < kRandomWords; ++word) {
    for (std::size_t digit = 0; digit < kHexDigitsPerWord; ++digit) {
      name += kDigits[(random[word] >> (digit * kHexDigitBits)) & kHexDigitMask];
    }
  }
  return name;
}

// The file systems and kernels without unnamed files answer with one of these.
bool unnamed_unsupported(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// Gives the unnamed file at `fd` the name `name`: through /proc (any user),
// else with AT_EMPTY_PATH (which needs a privilege) where /proc is missing.
int link_unnamed(int fd, const std::string& name) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno != ENOENT) return -1;
  return ::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH);
}

std::expected<std::string, CodecError> link_under_random_name(const TemporaryFile& file) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = random_name(file.directory);
    if (link_unnamed(file.descriptor.get(), name) == 0) return name;
    if (errno != EEXIST) return std::unexpected(CodecError::system(errno, "linkat"));
  }
  return std::unexpected(CodecError::system(EEXIST, "linkat"));
}

}  // namespace

std::expected<TemporaryFile, CodecError> create_named_temporary(const std::string& directory) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = random_name(directory);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
    if (fd >= 0) return TemporaryFile{FileDescriptor(fd), directory, std::move(name)};
    if (errno != EEXIST) return std::unexpected(CodecError::system(errno, "open"));
  }
  return std::unexpected(CodecError::system(EEXIST, "open"));
}

std::expected<TemporaryFile, CodecError> create_temporary(const std::string& directory) {
#if defined(O_TMPFILE)
  const int fd = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, kNewFileMode);
  if (fd >= 0) return TemporaryFile{FileDescriptor(fd), directory, ""};
  if (!unnamed_unsupported(errno)) return std::unexpected(CodecError::system(errno, "open"));
#endif
  return create_named_temporary(directory);
}

std::expected<void, CodecError> publish(TemporaryFile& file, const std::string& target) {
  if (file.name.empty()) {
    auto linked = link_under_random_name(file);
    if (!linked) return std::unexpected(linked.error());
    file.name = std::move(*linked);
  }
  if (::rename(file.name.c_str(), target.c_str()) != 0) {
    return std::unexpected(CodecError::system(errno, "rename"));
  }
  file.name.clear();
  return {};
}

void discard(const TemporaryFile& file) noexcept {
  if (!file.name.empty()) ::unlink(file.name.c_str());
}

}  // namespace halqen::io
