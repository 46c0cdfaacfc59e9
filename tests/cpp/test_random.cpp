#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "random/chacha.hpp"
#include "random/os_entropy.hpp"
#include "random/random.hpp"

namespace halqen {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes block_bytes(const ChaChaBlock& block) {
  Bytes bytes;
  for (const std::uint32_t word : block) {
    for (int shift = 0; shift < 32; shift += 8) {
      bytes.push_back(static_cast<std::uint8_t>(word >> shift));
    }
  }
  return bytes;
}

// Published keystream of the all-zero key and nonce, block 0.
TEST(ChaCha, TwentyRoundsZeroKeyVector) {
  const Bytes expected = {0x76, 0xb8, 0xe0, 0xad, 0xa0, 0xf1, 0x3d, 0x90, 0x40, 0x5d, 0x6a,
                          0xe5, 0x53, 0x86, 0xbd, 0x28, 0xbd, 0xd2, 0x19, 0xb8, 0xa0, 0x8d,
                          0xed, 0x1a, 0xa8, 0x36, 0xef, 0xcc, 0x8b, 0x77, 0x0d, 0xc7, 0xda,
                          0x41, 0x59, 0x7c, 0x51, 0x57, 0x48, 0x8d, 0x77, 0x24, 0xe0, 0x3f,
                          0xb8, 0xd8, 0x4a, 0x37, 0x6a, 0x43, 0xb8, 0xf4, 0x15, 0x18, 0xa1,
                          0x1c, 0xc3, 0x87, 0xb6, 0x69, 0xb2, 0xee, 0x65, 0x86};
  EXPECT_EQ(block_bytes(chacha_block(ChaChaKey{}, 0, 0, kChaCha20Rounds)), expected);
}

TEST(ChaCha, TwelveRoundsZeroKeyVector) {
  const Bytes expected = {0x9b, 0xf4, 0x9a, 0x6a, 0x07, 0x55, 0xf9, 0x53, 0x81, 0x1f, 0xce,
                          0x12, 0x5f, 0x26, 0x83, 0xd5, 0x04, 0x29, 0xc3, 0xbb, 0x49, 0xe0,
                          0x74, 0x14, 0x7e, 0x00, 0x89, 0xa5, 0x2e, 0xae, 0x15, 0x5f, 0x05,
                          0x64, 0xf8, 0x79, 0xd2, 0x7a, 0xe3, 0xc0, 0x2c, 0xe8, 0x28, 0x34,
                          0xac, 0xfa, 0x8c, 0x79, 0x3a, 0x62, 0x9f, 0x2c, 0xa0, 0xde, 0x69,
                          0x19, 0x61, 0x0b, 0xe8, 0x2f, 0x41, 0x13, 0x26, 0xbe};
  EXPECT_EQ(block_bytes(chacha_block(ChaChaKey{}, 0, 0, kChaCha12Rounds)), expected);
}

// Key 00..1f, counter 1, nonce 00000009 0000004a 00000000 (32-bit counter
// layout: counter word 12, nonce words 13-15).
TEST(ChaCha, TwentyRoundsKeyedBlockVector) {
  ChaChaKey key{};
  for (std::uint32_t i = 0; i < key.size(); ++i) {
    key[i] = (4 * i) | ((4 * i + 1) << 8) | ((4 * i + 2) << 16) | ((4 * i + 3) << 24);
  }
  const std::uint64_t counter = 1 | (std::uint64_t{0x09000000} << 32);
  const std::uint64_t stream = 0x4a000000;
  const ChaChaBlock expected = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                                0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                                0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  EXPECT_EQ(chacha_block(key, counter, stream, kChaCha20Rounds), expected);
}

TEST(ChaCha, RefusesOddRounds) {
  EXPECT_THROW(chacha_block(ChaChaKey{}, 0, 0, 7), std::invalid_argument);
  EXPECT_THROW(chacha_block(ChaChaKey{}, 0, 0, 0), std::invalid_argument);
}

TEST(ChaChaRandom, WordsAreConsecutiveBlockWordsLowFirst) {
  ChaChaRandom generator([] { return ChaChaKey{}; });
  const ChaChaBlock first = chacha_block(ChaChaKey{}, 0, 0, kChaCha12Rounds);
  const ChaChaBlock second = chacha_block(ChaChaKey{}, 1, 0, kChaCha12Rounds);
  for (std::size_t i = 0; i < kChaChaBlockWords; i += 2) {
    EXPECT_EQ(generator.next_u64(), first[i] | (std::uint64_t{first[i + 1]} << 32));
  }
  EXPECT_EQ(generator.next_u64(), second[0] | (std::uint64_t{second[1]} << 32));
}

TEST(ChaChaRandom, ReseedsAfterEvery64KiBOfOutput) {
  int keys_taken = 0;
  ChaChaRandom generator([&keys_taken] {
    ChaChaKey key{};
    key[0] = static_cast<std::uint32_t>(++keys_taken);
    return key;
  });
  EXPECT_EQ(keys_taken, 1);
  const std::uint64_t words_per_seed = ChaChaRandom::kReseedBytes / sizeof(std::uint64_t);
  for (std::uint64_t i = 0; i < words_per_seed; ++i) {
    generator.next_u64();
  }
  EXPECT_EQ(keys_taken, 1);
  ChaChaKey second_key{};
  second_key[0] = 2;
  const ChaChaBlock expected = chacha_block(second_key, 0, 0, kChaCha12Rounds);
  EXPECT_EQ(generator.next_u64(), expected[0] | (std::uint64_t{expected[1]} << 32));
  EXPECT_EQ(keys_taken, 2);
  for (std::uint64_t i = 1; i < words_per_seed; ++i) {
    generator.next_u64();
  }
  EXPECT_EQ(keys_taken, 2);
  generator.next_u64();
  EXPECT_EQ(keys_taken, 3);
}

TEST(ChaChaRandom, KeySourceFailurePropagates) {
  EXPECT_THROW(ChaChaRandom([]() -> ChaChaKey { throw std::runtime_error("no entropy"); }),
               std::runtime_error);
}

class FixedWord final : public RandomSource {
 public:
  explicit FixedWord(std::uint64_t word) : word_(word) {}
  std::uint64_t next_u64() override { return word_; }

 private:
  std::uint64_t word_;
};

TEST(UniformDouble, UsesTheTop53Bits) {
  FixedWord zero(0);
  FixedWord low_bits_only(0x7FF);
  FixedWord all(~std::uint64_t{0});
  FixedWord half(std::uint64_t{1} << 63);
  EXPECT_EQ(uniform_double(zero), 0.0);
  EXPECT_EQ(uniform_double(low_bits_only), 0.0);
  EXPECT_EQ(uniform_double(all), 1.0 - 0x1.0p-53);
  EXPECT_EQ(uniform_double(half), 0.5);
}

TEST(OsEntropy, SeedsDiffer) {
  EXPECT_NE(os_seed(), os_seed());
  EXPECT_NE(device_seed(), device_seed());
}

TEST(ThreadRandom, OneGeneratorPerThread) {
  RandomSource& here = thread_random();
  EXPECT_EQ(&here, &thread_random());
  RandomSource* there = nullptr;
  std::uint64_t there_word = 0;
  std::thread other([&] {
    there = &thread_random();
    there_word = there->next_u64();
  });
  other.join();
  EXPECT_NE(&here, there);
  EXPECT_NE(here.next_u64(), there_word);
}

TEST(ThreadRandom, UniformDoublesLookUniform) {
  RandomSource& source = thread_random();
  constexpr int kDraws = 20000;
  constexpr int kBuckets = 10;
  std::array<int, kBuckets> counts{};
  for (int i = 0; i < kDraws; ++i) {
    const double u = uniform_double(source);
    ASSERT_GE(u, 0.0);
    ASSERT_LT(u, 1.0);
    ++counts[static_cast<int>(u * kBuckets)];
  }
  for (const int count : counts) {
    EXPECT_GT(count, kDraws / kBuckets * 8 / 10);
    EXPECT_LT(count, kDraws / kBuckets * 12 / 10);
  }
}

}  // namespace
}  // namespace halqen
