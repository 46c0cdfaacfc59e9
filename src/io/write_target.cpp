#include "io/write_target.hpp"

#include <unistd.h>

#include <cerrno>
#include <vector>

namespace halqen::io {
namespace {

// The kernel's own limit on links followed in one path lookup.
constexpr int kMaxLinksFollowed = 40;

std::expected<std::string, CodecError> read_link(const std::string& path, std::size_t size_hint) {
  std::vector<char> buffer(size_hint + 1);
  const ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
  if (length < 0) return std::unexpected(CodecError::system(errno, "readlink"));
  if (static_cast<std::size_t>(length) == buffer.size()) {
    // The link grew since lstat: read it again with room to spare.
    return read_link(path, buffer.size() * 2);
  }
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

const char* kind_of(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

std::expected<void, CodecError> check_replaceable(const struct stat& found) {
  if (S_ISREG(found.st_mode)) return {};
  if (S_ISDIR(found.st_mode)) return std::unexpected(CodecError::system(EISDIR, "open"));
  return std::unexpected(CodecError::refused(
      EINVAL, std::string("not a regular file: the path is ") + kind_of(found.st_mode) +
                  ", which an index file never replaces"));
}

}  // namespace

std::string directory_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::expected<WriteTarget, CodecError> resolve_write_target(const std::string& path) {
  std::string current = path;
  for (int followed = 0; followed <= kMaxLinksFollowed; ++followed) {
    struct stat found;
    if (::lstat(current.c_str(), &found) != 0) {
      if (errno == ENOENT) return WriteTarget{std::move(current), std::nullopt};
      return std::unexpected(CodecError::system(errno, "lstat"));
    }
    if (!S_ISLNK(found.st_mode)) {
      if (auto replaceable = check_replaceable(found); !replaceable) {
        return std::unexpected(replaceable.error());
      }
      return WriteTarget{std::move(current), found};
    }
    auto link = read_link(current, static_cast<std::size_t>(found.st_size));
    if (!link) return std::unexpected(link.error());
    current = link->starts_with('/') ? *link : directory_of(current) + "/" + *link;
  }
  return std::unexpected(CodecError::system(ELOOP, "open"));
}

}  // namespace halqen::io
