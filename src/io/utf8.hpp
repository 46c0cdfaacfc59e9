// Strict UTF-8 validation of text read from a file: what Python's encoder
// can produce, so every string the reader accepts is one the writer wrote.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace halqen::io {

// The offset of the first byte that does not begin or continue a well-formed
// UTF-8 sequence (overlong forms, surrogates and code points beyond U+10FFFF
// are ill-formed), or nothing when all of `text` is well formed.
std::optional<std::size_t> first_invalid_utf8(std::string_view text);

}  // namespace halqen::io
