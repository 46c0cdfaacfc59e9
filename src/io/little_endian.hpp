// Fixed-width integers and doubles in little-endian byte order, whatever the
// host's order: the file format is defined byte by byte, not by a memory image.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace halqen::io {

// True where the host's memory image of an array already is the file's
// encoding, so arrays can move between memory and file without a pass.
inline constexpr bool kHostIsLittleEndian = std::endian::native == std::endian::little;

template <typename Unsigned>
constexpr Unsigned to_little_endian(Unsigned value) {
  if constexpr (kHostIsLittleEndian) {
    return value;
  } else {
    return std::byteswap(value);
  }
}

// Writes `value` into the first sizeof(Unsigned) bytes of `out`.
// Precondition: out.size() >= sizeof(Unsigned).
template <typename Unsigned>
void store_le(std::span<std::byte> out, Unsigned value) {
  const Unsigned encoded = to_little_endian(value);
  std::memcpy(out.data(), &encoded, sizeof encoded);
}

// Reads a value from the first sizeof(Unsigned) bytes of `in`.
// Precondition: in.size() >= sizeof(Unsigned).
template <typename Unsigned>
Unsigned load_le(std::span<const std::byte> in) {
  Unsigned encoded;
  std::memcpy(&encoded, in.data(), sizeof encoded);
  return to_little_endian(encoded);
}

// Doubles travel as the unsigned integer of their bits, so NaN payloads and
// the sign of zero survive.
inline std::uint64_t double_bits(double value) {
  return std::bit_cast<std::uint64_t>(value);
}
inline double double_from_bits(std::uint64_t bits) {
  return std::bit_cast<double>(bits);
}

// Turns an array of unsigned integers between host and file order in place
// (nothing to do on a little-endian host).
template <typename Unsigned>
void swap_to_little_endian(std::span<Unsigned> values) {
  if constexpr (!kHostIsLittleEndian) {
    for (Unsigned& value : values) value = std::byteswap(value);
  }
}

}  // namespace halqen::io
