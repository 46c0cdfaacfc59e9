// CRC-32C without special instructions: slicing-by-8 over a table built at
// compile time, and the zero-byte shift used to join independent streams.
#include <array>
#include <cstddef>
#include <cstdint>

#include "io/crc32c.hpp"
#include "io/little_endian.hpp"

namespace halqen::io::crc32c_detail {
namespace {

constexpr std::uint32_t kReflectedPolynomial = 0x82F63B78;
constexpr std::size_t kSlices = 8;
constexpr std::size_t kByteValues = 256;
constexpr int kBitsPerByte = 8;
constexpr std::uint32_t kLowByte = 0xFF;
// x^0 and x^1 in the reflected representation, where bit 31 is x^0.
constexpr std::uint32_t kOne = std::uint32_t{1} << 31;
constexpr std::uint32_t kX = std::uint32_t{1} << 30;
constexpr int kPowerTableSize = 64;

using SliceTable = std::array<std::array<std::uint32_t, kByteValues>, kSlices>;

constexpr SliceTable make_slice_table() {
  SliceTable table{};
  for (std::uint32_t byte = 0; byte < kByteValues; ++byte) {
    std::uint32_t state = byte;
    for (int bit = 0; bit < kBitsPerByte; ++bit) {
      state = (state & 1) ? (state >> 1) ^ kReflectedPolynomial : state >> 1;
    }
    table[0][byte] = state;
  }
  for (std::size_t slice = 1; slice < kSlices; ++slice) {
    for (std::size_t byte = 0; byte < kByteValues; ++byte) {
      const std::uint32_t previous = table[slice - 1][byte];
      table[slice][byte] = (previous >> kBitsPerByte) ^ table[0][previous & kLowByte];
    }
  }
  return table;
}

constexpr SliceTable kSliceTable = make_slice_table();

std::uint32_t extend_byte(std::uint32_t state, std::byte byte) {
  const auto index = (state ^ std::to_integer<std::uint32_t>(byte)) & kLowByte;
  return (state >> kBitsPerByte) ^ kSliceTable[0][index];
}

std::uint32_t extend_eight(std::uint32_t state, std::uint64_t word) {
  word ^= state;
  std::uint32_t next = 0;
  for (std::size_t slice = 0; slice < kSlices; ++slice) {
    const auto byte = static_cast<std::size_t>(word >> (kBitsPerByte * slice)) & kLowByte;
    next ^= kSliceTable[kSlices - 1 - slice][byte];
  }
  return next;
}

// a * b modulo the polynomial, both in the reflected representation.
std::uint32_t multiply_modulo(std::uint32_t a, std::uint32_t b) {
  std::uint32_t product = 0;
  for (std::uint32_t bit = kOne; bit != 0; bit >>= 1) {
    if (a & bit) product ^= b;
    b = (b & 1) ? (b >> 1) ^ kReflectedPolynomial : b >> 1;
  }
  return product;
}

// Entry k is x^(2^k) modulo the polynomial.
std::array<std::uint32_t, kPowerTableSize> make_power_table() {
  std::array<std::uint32_t, kPowerTableSize> powers{};
  std::uint32_t power = kX;
  for (auto& entry : powers) {
    entry = power;
    power = multiply_modulo(power, power);
  }
  return powers;
}

// x^(8 * bytes) modulo the polynomial, by squaring.
std::uint32_t x_to_the_bits_of(std::uint64_t bytes) {
  static const std::array<std::uint32_t, kPowerTableSize> powers = make_power_table();
  constexpr int kLogBitsPerByte = 3;
  std::uint32_t result = kOne;
  for (int k = kLogBitsPerByte; bytes != 0; bytes >>= 1, ++k) {
    if (bytes & 1) result = multiply_modulo(powers[k % kPowerTableSize], result);
  }
  return result;
}

}  // namespace

std::uint32_t extend_table(std::uint32_t state, const std::byte* data, std::size_t size) {
  std::size_t done = 0;
  for (; done + sizeof(std::uint64_t) <= size; done += sizeof(std::uint64_t)) {
    state = extend_eight(state, load_le<std::uint64_t>({data + done, sizeof(std::uint64_t)}));
  }
  for (; done < size; ++done) state = extend_byte(state, data[done]);
  return state;
}

std::uint32_t shift_operator(std::uint64_t zero_bytes) {
  return x_to_the_bits_of(zero_bytes);
}

std::uint32_t apply_shift(std::uint32_t shift, std::uint32_t state) {
  return multiply_modulo(shift, state);
}

}  // namespace halqen::io::crc32c_detail
