// Writing an index in the file format, straight from its memory.
#pragma once

#include <cstdint>
#include <expected>

#include "io/byte_sink.hpp"
#include "io/codec_error.hpp"
#include "io/index_view.hpp"

namespace halqen::io {

// The exact number of bytes encode() writes, so a caller can size a buffer
// once (serialize into a bytes object without growing or copying it).
std::uint64_t encoded_size(const FlatView& index);
std::uint64_t encoded_size(const HNSWView& index);

// Writes the header and every section; fails only when the sink fails.
// Preconditions: the view is consistent (vectors hold count * dim values,
// levels count entries; std::invalid_argument otherwise).
std::expected<void, CodecError> encode(const FlatView& index, ByteSink& sink);
std::expected<void, CodecError> encode(const HNSWView& index, ByteSink& sink);

}  // namespace halqen::io
