// The new file a write goes to before it replaces its target: created in the
// target's directory, so the final rename stays within one file system.
#pragma once

#include <expected>
#include <string>

#include "io/codec_error.hpp"
#include "io/file_io.hpp"

namespace halqen::io {

// A new, empty file open for writing. `name` is empty while the file has no
// name (O_TMPFILE): a process killed before `publish` leaves nothing behind.
// A named one is `.halqen-` and 16 random hexadecimal digits, created
// exclusively; only such a file can be left over, and only by a write that
// was killed on a file system that refuses unnamed files.
struct TemporaryFile {
  FileDescriptor descriptor;
  std::string directory;
  std::string name;  // the full path, or empty
};

// An unnamed file in `directory` where the file system supports one, else a
// named one.
std::expected<TemporaryFile, CodecError> create_temporary(const std::string& directory);
// Always a named file (the fallback of create_temporary, on its own for tests).
std::expected<TemporaryFile, CodecError> create_named_temporary(const std::string& directory);

// Puts the file (already written and synced) at `target` in one rename, over
// whatever was there. An unnamed file is first linked under a random name.
// On failure that name is removed again and `target` is unchanged.
std::expected<void, CodecError> publish(TemporaryFile& file, const std::string& target);

// Removes the name of a file that was not published (nothing to do for an
// unnamed one).
void discard(const TemporaryFile& file) noexcept;

}  // namespace halqen::io
