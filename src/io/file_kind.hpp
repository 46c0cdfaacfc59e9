// How an index kind is stored: the description each kind gives the file
// format. Each kind's is a specialisation of FileKind in a header of its own
// (io/flat_file.hpp, ...); io/kind_files.hpp requires one of every kind
// in the kind list (kinds/index_kinds.hpp).
#pragma once

#include <concepts>
#include <cstdint>
#include <expected>
#include <span>
#include <utility>

#include "common/interrupt.hpp"
#include "common/invalid_parts.hpp"
#include "common/kind_capabilities.hpp"
#include "io/byte_sink.hpp"
#include "io/byte_source.hpp"
#include "io/codec_error.hpp"
#include "io/format.hpp"
#include "io/header.hpp"

namespace halqen::io {

// Specialised per kind with:
//   using Parts = ...;            what the core's from_parts takes
//   kCode                         the header's kind code, never reused
//   kVersion                      the format version its files are written in
//   kFirstVersion (optional)      the first version its files were written in,
//                                 where that is earlier: a reader takes both
//   kSections                     its required sections, in file order
//   encoded_size(index)           the bytes encode writes
//   encode(index, sink)           the header and every section
//   decode(source, header, interrupt)  its sections after the header, as Parts
// The kind's capabilities (Core::kCapabilities) decide which optional
// sections a file of version 2 or later may add.
template <class Core>
struct FileKind;

// Everything a kind must provide to be saved, loaded, pickled and listed:
// a kind that lacks any of it fails to compile where it is listed.
template <class Core>
concept StoredKind = requires(const Core& index, ByteSource& source, ByteSink& sink,
                              const FileHeader& header, Interrupt& interrupt,
                              typename FileKind<Core>::Parts parts) {
  { Core::kCapabilities } -> std::convertible_to<KindCapabilities>;
  { FileKind<Core>::kCode } -> std::convertible_to<std::uint32_t>;
  { FileKind<Core>::kVersion } -> std::convertible_to<std::uint32_t>;
  { FileKind<Core>::kSections } -> std::convertible_to<std::span<const format::SectionTag>>;
  {
    FileKind<Core>::decode(source, header, interrupt)
    } -> std::same_as<std::expected<typename FileKind<Core>::Parts, CodecError>>;
  { Core::from_parts(std::move(parts)) } -> std::same_as<std::expected<Core, InvalidParts>>;
  { FileKind<Core>::encoded_size(index) } -> std::same_as<std::uint64_t>;
  { FileKind<Core>::encode(index, sink) } -> std::same_as<std::expected<void, CodecError>>;
};

// What the header reader checks of a kind, as plain values.
struct KindFileRow {
  std::uint32_t code;
  std::uint32_t version;
  std::size_t required_sections;
  format::OptionalSections optional;
  bool graph_parameters;
};

// The first format version a kind's files were written in.
template <class Core>
constexpr std::uint32_t first_version() {
  if constexpr (requires { FileKind<Core>::kFirstVersion; }) {
    return FileKind<Core>::kFirstVersion;
  } else {
    return FileKind<Core>::kVersion;
  }
}

template <class Core>
constexpr KindFileRow file_row() {
  return {.code = FileKind<Core>::kCode,
          .version = first_version<Core>(),
          .required_sections = FileKind<Core>::kSections.size(),
          .optional = format::optional_sections(Core::kCapabilities),
          .graph_parameters = Core::kCapabilities.graph_parameters};
}

}  // namespace halqen::io
