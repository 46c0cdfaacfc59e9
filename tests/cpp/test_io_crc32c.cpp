// CRC-32C: published check values, and the hardware path, the table path and
// piecewise updates agreeing on every length and alignment.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <string_view>
#include <vector>

#include "io/crc32c.hpp"

namespace halqen::io {
namespace {

using crc32c_detail::extend_table;

std::vector<std::byte> bytes_of(std::string_view text) {
  const auto view = std::as_bytes(std::span(text));
  return {view.begin(), view.end()};
}

std::vector<std::byte> random_bytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<std::byte> bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::byte>(random());
  return bytes;
}

std::uint32_t table_crc(std::span<const std::byte> bytes) {
  return ~extend_table(~std::uint32_t{0}, bytes.data(), bytes.size());
}

// The iSCSI test patterns (RFC 3720, B.4) and the usual "123456789" check.
struct KnownValue {
  std::vector<std::byte> input;
  std::uint32_t crc;
};

std::vector<KnownValue> known_values() {
  std::vector<std::byte> zeros(32, std::byte{0});
  std::vector<std::byte> ones(32, std::byte{0xFF});
  std::vector<std::byte> ascending(32);
  std::vector<std::byte> descending(32);
  for (std::size_t i = 0; i < 32; ++i) {
    ascending[i] = static_cast<std::byte>(i);
    descending[i] = static_cast<std::byte>(31 - i);
  }
  return {{bytes_of("123456789"), 0xE3069283},
          {zeros, 0x8A9136AA},
          {ones, 0x62A8AB43},
          {ascending, 0x46DD794E},
          {descending, 0x113FDB5C},
          {{}, 0x00000000}};
}

TEST(Crc32c, KnownValuesOnEveryPath) {
  for (const auto& known : known_values()) {
    EXPECT_EQ(crc32c(known.input), known.crc);
    EXPECT_EQ(table_crc(known.input), known.crc);
    if (crc32c_uses_hardware()) {
      const auto hardware = ~crc32c_detail::extend_hardware(~std::uint32_t{0}, known.input.data(),
                                                            known.input.size());
      EXPECT_EQ(hardware, known.crc);
    }
  }
}

TEST(Crc32c, DispatchAgreesWithTableOnEveryLengthAndAlignment) {
  const auto data = random_bytes(3 * 4096 * 3 + 100, 1);
  std::vector<std::size_t> lengths;
  for (std::size_t length = 0; length < 200; ++length) lengths.push_back(length);
  for (std::size_t length : {4095, 4096, 12287, 12288, 12289, 24576, 24583, 36000}) {
    lengths.push_back(length);
  }
  for (std::size_t start = 0; start < 8; ++start) {
    for (std::size_t length : lengths) {
      const auto piece = std::span(data).subspan(start, length);
      ASSERT_EQ(crc32c(piece), table_crc(piece)) << "start " << start << " length " << length;
    }
  }
}

TEST(Crc32c, PiecewiseUpdateEqualsOneCall) {
  const auto data = random_bytes(100000, 2);
  std::mt19937 random(3);
  Crc32c checksum;
  for (std::size_t done = 0; done < data.size();) {
    const std::size_t piece = std::min<std::size_t>(random() % 30000, data.size() - done);
    checksum.update(std::span(data).subspan(done, piece));
    done += piece;
  }
  EXPECT_EQ(checksum.value(), crc32c(data));
}

TEST(Crc32c, ShiftEqualsExtendingWithZeros) {
  for (std::uint64_t zeros : {0, 1, 7, 8, 100, 4096, 12288}) {
    const std::vector<std::byte> zero_bytes(zeros, std::byte{0});
    for (std::uint32_t state : {0u, 1u, 0xDEADBEEFu, 0xFFFFFFFFu}) {
      EXPECT_EQ(crc32c_detail::shift_by_zero_bytes(state, zeros),
                extend_table(state, zero_bytes.data(), zero_bytes.size()))
          << zeros << " zero bytes from " << state;
    }
  }
}

}  // namespace
}  // namespace halqen::io
