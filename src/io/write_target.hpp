// What a write to a path replaces: the file that symbolic links lead to,
// which must be a regular file (or nothing yet), and the mode and owner it
// has, for the new file to keep.
#pragma once

#include <sys/stat.h>

#include <expected>
#include <optional>
#include <string>

#include "io/codec_error.hpp"

namespace halqen::io {

struct WriteTarget {
  std::string path;                  // no symbolic link left to follow
  std::optional<struct stat> found;  // the file there now, if any
};

// Follows `path` through symbolic links (relative ones from their own
// directory), as an editor does, so the link stays and its target gets the
// new content. Refuses a directory (EISDIR), a link loop (ELOOP) and anything
// else that is not a regular file (a FIFO, a device, a socket: EINVAL, with a
// reason naming it).
std::expected<WriteTarget, CodecError> resolve_write_target(const std::string& path);

// The directory holding `path`: what precedes its last slash, "." without one.
std::string directory_of(const std::string& path);

}  // namespace halqen::io
