#include "io/mapped_file.hpp"

#include <sys/mman.h>

#include <cerrno>
#include <limits>

#include "io/file_io.hpp"

namespace halqen::io {

std::expected<std::shared_ptr<const MappedFile>, CodecError> MappedFile::open(
    const std::string& path) {
  auto opened = open_for_reading(path);
  if (!opened) return std::unexpected(opened.error());
  if (opened->length > std::numeric_limits<std::size_t>::max()) {
    return std::unexpected(CodecError::system(EFBIG, "mmap"));
  }
  const auto size = static_cast<std::size_t>(opened->length);
  // An empty file maps nothing; the header check names what is wrong.
  if (size == 0) return std::shared_ptr<const MappedFile>(new MappedFile(nullptr, 0));
  void* base = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, opened->descriptor.get(), 0);
  if (base == MAP_FAILED) return std::unexpected(CodecError::system(errno, "mmap"));
  // The descriptor closes here; the mapping keeps the file.
  return std::shared_ptr<const MappedFile>(
      new MappedFile(static_cast<const std::byte*>(base), size));
}

MappedFile::~MappedFile() {
  if (base_ != nullptr) ::munmap(const_cast<std::byte*>(base_), size_);
}

}  // namespace halqen::io
