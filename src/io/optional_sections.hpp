// The optional sections of a file of version 2 or later: after its kind's
// required sections, any of those the kind's capabilities admit, each at
// most once, in increasing tag order; the header's section count says how
// many there are. A kind's decoder reads them through this, so a kind that
// gains one (labels, free slots, compact codes) needs no new format version.
#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <span>

#include "io/byte_source.hpp"
#include "io/codec_error.hpp"
#include "io/format.hpp"
#include "io/header.hpp"
#include "io/section.hpp"

namespace halqen::io {

// One optional section a kind can read: its tag, and what reads its payload.
// The reader checks the payload's length and reads all of it (finish throws
// std::logic_error otherwise); the checksum is compared after it.
struct OptionalSection {
  format::SectionTag tag;
  std::function<std::expected<void, CodecError>(SectionReader& section)> read;
};

// Reads the header's sections beyond the `required` ones, each one of
// `admitted` (listed in increasing tag order). A version-1 header has none
// (read_header checked the count).
std::expected<void, CodecError> read_optional_sections(ByteSource& source, const FileHeader& header,
                                                       std::size_t required,
                                                       std::span<const OptionalSection> admitted);

}  // namespace halqen::io
