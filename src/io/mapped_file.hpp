// A file mapped read-only into the process: its pages are the page cache's,
// shared by every process that maps the same file, and read only where they
// are touched. The mapping lasts while any owner holds it. A file replaced
// by a rename (as write_index replaces one) leaves the mapping on the old
// file; one truncated under it makes the lost pages fault (SIGBUS).
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <span>
#include <string>

#include "io/codec_error.hpp"

namespace halqen::io {

class MappedFile {
 public:
  static std::expected<std::shared_ptr<const MappedFile>, CodecError> open(const std::string& path);
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  std::span<const std::byte> bytes() const { return {base_, size_}; }

 private:
  MappedFile(const std::byte* base, std::size_t size) : base_(base), size_(size) {}

  const std::byte* base_;
  std::size_t size_;
};

}  // namespace halqen::io
