// PyFlat's index in the file format: kind 1, version 1.
#pragma once

#include "flat/flat.hpp"
#include "io/encode.hpp"
#include "io/file_kind.hpp"
#include "io/index_view.hpp"

namespace halqen::io {

template <>
struct FileKind<FlatIndex> {
  using Parts = FlatParts;
  static constexpr std::uint32_t kCode = 1;
  static constexpr std::uint32_t kVersion = format::kFirstVersion;
  static constexpr std::span<const format::SectionTag> kSections = format::kFlatSections;

  static std::uint64_t encoded_size(const FlatIndex& index) {
    return io::encoded_size(view_of(index));
  }
  static std::expected<void, CodecError> encode(const FlatIndex& index, ByteSink& sink) {
    return io::encode(view_of(index), sink);
  }
  // Vectors and deleted flags (all 0).
  static std::expected<Parts, CodecError> decode(ByteSource& source, const FileHeader& header,
                                                 Interrupt& interrupt);
};

}  // namespace halqen::io
