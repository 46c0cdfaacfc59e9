// The ChaCha block function and a reseeding random generator built on it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "random/random.hpp"

namespace halqen {

inline constexpr std::size_t kChaChaKeyWords = 8;
inline constexpr std::size_t kChaChaBlockWords = 16;
inline constexpr int kChaCha12Rounds = 12;
inline constexpr int kChaCha20Rounds = 20;

using ChaChaKey = std::array<std::uint32_t, kChaChaKeyWords>;
using ChaChaBlock = std::array<std::uint32_t, kChaChaBlockWords>;

// One keystream block: the 64-bit block counter fills state words 12-13 and
// the 64-bit stream (nonce) words 14-15, each low word first.
// Precondition: `rounds` is even and positive (throws std::invalid_argument).
ChaChaBlock chacha_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                         int rounds);

// Supplies fresh key material; may throw to report a failing source.
using KeySource = std::function<ChaChaKey()>;

// ChaCha12 keystream as 64-bit words (two consecutive block words, low
// first). Takes a new key from its source on construction and before the
// first block after every kReseedBytes bytes of output.
class ChaChaRandom final : public RandomSource {
 public:
  static constexpr std::uint64_t kReseedBytes = 65536;

  // Seeds at once; propagates the key source's exception.
  explicit ChaChaRandom(KeySource key_source);

  std::uint64_t next_u64() override;

 private:
  void reseed();
  void refill();

  KeySource key_source_;
  ChaChaKey key_{};
  ChaChaBlock block_{};
  std::uint64_t counter_ = 0;
  std::size_t next_word_ = kChaChaBlockWords;
  std::uint64_t bytes_since_seed_ = 0;
};

}  // namespace halqen
