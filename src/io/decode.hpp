// Reading an index file into the parts of an index. Everything the file
// says is checked before it sizes anything: each section's length against
// the bytes that remain, counts against the lengths (without overflow), and
// each section's checksum. The consistency of the parts themselves (ids in
// range, levels, records against the schema) is the cores' from_parts.
#pragma once

#include <expected>
#include <memory>

#include "common/interrupt.hpp"
#include "io/byte_source.hpp"
#include "io/codec_error.hpp"
#include "io/kind_files.hpp"
#include "io/mapped_file.hpp"
#include "kinds/index_kinds.hpp"

namespace halqen::io {

// Any kind's parts, and any kind's index, in the kind list's order.
using DecodedParts = IndexFiles::Parts;
using LoadedIndex = kinds::IndexKinds::Owned;

// Reads one whole index of any listed kind from `source`, which must end
// right after it: the header, then the kind's own sections (by the version
// the header names). Its arrays grow as their data arrives, with `interrupt`
// asked every few megabytes (Interrupted stops the read, keeping nothing);
// running out of memory for what the file claims is an OutOfMemory error
// naming the section and its length. The overloads without `interrupt` never
// stop.
std::expected<DecodedParts, CodecError> decode_parts(ByteSource& source, Interrupt& interrupt);
std::expected<DecodedParts, CodecError> decode_parts(ByteSource& source);

// decode_parts, then the core's from_parts, whose refusal becomes
// "invalid index: " and its reason. The vectors read become the index's
// storage without another copy.
std::expected<LoadedIndex, CodecError> decode_index(ByteSource& source, Interrupt& interrupt);
std::expected<LoadedIndex, CodecError> decode_index(ByteSource& source);

// decode_index for a file mapped into memory: a GraphIndex of format
// version 3 or later uses its rows, codes and norms where they lie in the
// file (read-only, their checksums not compared: a damaged array changes
// answers, never what memory is read); its other parts are read and checked
// as decode_index checks them, but for the reach of every node. Other kinds
// are read into memory.
std::expected<LoadedIndex, CodecError> decode_mapped_index(std::shared_ptr<const MappedFile> file,
                                                           Interrupt& interrupt);

}  // namespace halqen::io
