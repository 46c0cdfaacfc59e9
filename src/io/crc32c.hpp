// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78), the checksum of
// every section of an index file. It runs on the SSE4.2 crc32 instruction
// where the processor has it (three interleaved streams, several bytes per
// cycle) and on a slicing-by-8 table elsewhere; both give the same values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace halqen::io {

// An incremental checksum: update() over consecutive pieces gives the value
// of their concatenation.
class Crc32c {
 public:
  void update(std::span<const std::byte> bytes);
  std::uint32_t value() const { return ~state_; }

 private:
  std::uint32_t state_ = ~std::uint32_t{0};
};

// The checksum of `bytes` in one call.
std::uint32_t crc32c(std::span<const std::byte> bytes);

// Whether update() uses the SSE4.2 instruction on this processor.
bool crc32c_uses_hardware();

namespace crc32c_detail {

// The raw register update, without the initial and final inversion: the
// building block that both implementations provide.
std::uint32_t extend_table(std::uint32_t state, const std::byte* data, std::size_t size);
// Precondition: the processor supports SSE4.2.
std::uint32_t extend_hardware(std::uint32_t state, const std::byte* data, std::size_t size);

// The register after `state` is followed by `zero_bytes` zero bytes: how the
// interleaved streams are stitched together. The shift is a multiplication
// by a power of x, which shift_operator computes once for a fixed length.
std::uint32_t shift_operator(std::uint64_t zero_bytes);
std::uint32_t apply_shift(std::uint32_t shift, std::uint32_t state);
inline std::uint32_t shift_by_zero_bytes(std::uint32_t state, std::uint64_t zero_bytes) {
  return apply_shift(shift_operator(zero_bytes), state);
}

}  // namespace crc32c_detail
}  // namespace halqen::io
