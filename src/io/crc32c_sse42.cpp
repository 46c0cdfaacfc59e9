// CRC-32C on the SSE4.2 crc32 instruction. One instruction folds 8 bytes but
// has a latency of 3 cycles, so long inputs run as three independent streams
// over adjacent blocks, joined by the zero-byte shift. The run-time dispatch
// in crc32c.cpp calls this only where the processor has SSE4.2.
#if defined(__x86_64__)

#include <nmmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "io/crc32c.hpp"

#define HALQEN_SSE42 [[gnu::target("sse4.2")]]

namespace halqen::io::crc32c_detail {
namespace {

constexpr std::size_t kWord = sizeof(std::uint64_t);
// Bytes per stream and round: large enough that joining (two carry-less
// multiplications in software) costs little, small enough to stay in L1.
constexpr std::size_t kStreamBlock = 4096;
constexpr std::size_t kStreams = 3;

HALQEN_SSE42 std::uint64_t extend_words(std::uint64_t state, const std::byte* data,
                                        std::size_t words) {
  for (std::size_t i = 0; i < words; ++i) {
    std::uint64_t word;
    std::memcpy(&word, data + i * kWord, kWord);
    state = _mm_crc32_u64(state, word);
  }
  return state;
}

HALQEN_SSE42 std::uint32_t extend_bytes(std::uint32_t state, const std::byte* data,
                                        std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    state = _mm_crc32_u8(state, std::to_integer<std::uint8_t>(data[i]));
  }
  return state;
}

// One round: kStreams blocks of kStreamBlock bytes each, in one loop so the
// three dependency chains overlap.
HALQEN_SSE42 std::uint32_t extend_round(std::uint32_t state, const std::byte* data) {
  static const std::uint32_t shift_one_block = shift_operator(kStreamBlock);
  static const std::uint32_t shift_two_blocks = shift_operator(2 * kStreamBlock);
  std::uint64_t first = state;
  std::uint64_t second = 0;
  std::uint64_t third = 0;
  for (std::size_t offset = 0; offset < kStreamBlock; offset += kWord) {
    std::uint64_t words[kStreams];
    std::memcpy(&words[0], data + offset, kWord);
    std::memcpy(&words[1], data + kStreamBlock + offset, kWord);
    std::memcpy(&words[2], data + 2 * kStreamBlock + offset, kWord);
    first = _mm_crc32_u64(first, words[0]);
    second = _mm_crc32_u64(second, words[1]);
    third = _mm_crc32_u64(third, words[2]);
  }
  return apply_shift(shift_two_blocks, static_cast<std::uint32_t>(first)) ^
         apply_shift(shift_one_block, static_cast<std::uint32_t>(second)) ^
         static_cast<std::uint32_t>(third);
}

}  // namespace

HALQEN_SSE42 std::uint32_t extend_hardware(std::uint32_t state, const std::byte* data,
                                           std::size_t size) {
  constexpr std::size_t kRound = kStreams * kStreamBlock;
  for (; size >= kRound; data += kRound, size -= kRound) state = extend_round(state, data);
  const std::size_t words = size / kWord;
  state = static_cast<std::uint32_t>(extend_words(state, data, words));
  return extend_bytes(state, data + words * kWord, size - words * kWord);
}

}  // namespace halqen::io::crc32c_detail

#endif
