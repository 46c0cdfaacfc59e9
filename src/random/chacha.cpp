#include "random/chacha.hpp"

#include <stdexcept>
#include <string>
#include <utility>

namespace halqen {
namespace {

// "expand 32-byte k" as four little-endian words.
constexpr std::array<std::uint32_t, 4> kSigma{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
constexpr int kWordBits = 32;
constexpr int kRotate16 = 16;
constexpr int kRotate12 = 12;
constexpr int kRotate8 = 8;
constexpr int kRotate7 = 7;
constexpr std::size_t kKeyOffset = 4;
constexpr std::size_t kCounterWord = 12;
constexpr std::size_t kStreamWord = 14;
constexpr std::size_t kWordsPerOutput = 2;
constexpr std::uint64_t kBytesPerOutput = 8;

constexpr std::uint32_t rotate_left(std::uint32_t value, int bits) {
  return (value << bits) | (value >> (kWordBits - bits));
}

void quarter_round(ChaChaBlock& s, std::size_t a, std::size_t b, std::size_t c, std::size_t d) {
  s[a] += s[b];
  s[d] = rotate_left(s[d] ^ s[a], kRotate16);
  s[c] += s[d];
  s[b] = rotate_left(s[b] ^ s[c], kRotate12);
  s[a] += s[b];
  s[d] = rotate_left(s[d] ^ s[a], kRotate8);
  s[c] += s[d];
  s[b] = rotate_left(s[b] ^ s[c], kRotate7);
}

// A column round followed by a diagonal round.
void double_round(ChaChaBlock& s) {
  quarter_round(s, 0, 4, 8, 12);
  quarter_round(s, 1, 5, 9, 13);
  quarter_round(s, 2, 6, 10, 14);
  quarter_round(s, 3, 7, 11, 15);
  quarter_round(s, 0, 5, 10, 15);
  quarter_round(s, 1, 6, 11, 12);
  quarter_round(s, 2, 7, 8, 13);
  quarter_round(s, 3, 4, 9, 14);
}

ChaChaBlock initial_state(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream) {
  ChaChaBlock state{};
  for (std::size_t i = 0; i < kSigma.size(); ++i) {
    state[i] = kSigma[i];
  }
  for (std::size_t i = 0; i < key.size(); ++i) {
    state[kKeyOffset + i] = key[i];
  }
  state[kCounterWord] = static_cast<std::uint32_t>(counter);
  state[kCounterWord + 1] = static_cast<std::uint32_t>(counter >> kWordBits);
  state[kStreamWord] = static_cast<std::uint32_t>(stream);
  state[kStreamWord + 1] = static_cast<std::uint32_t>(stream >> kWordBits);
  return state;
}

}  // namespace

ChaChaBlock chacha_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                         int rounds) {
  if (rounds <= 0 || rounds % 2 != 0) {
    throw std::invalid_argument("ChaCha rounds must be even and positive, got " +
                                std::to_string(rounds));
  }
  const ChaChaBlock input = initial_state(key, counter, stream);
  ChaChaBlock state = input;
  for (int i = 0; i < rounds / 2; ++i) {
    double_round(state);
  }
  for (std::size_t i = 0; i < state.size(); ++i) {
    state[i] += input[i];
  }
  return state;
}

ChaChaRandom::ChaChaRandom(KeySource key_source) : key_source_(std::move(key_source)) {
  reseed();
}

void ChaChaRandom::reseed() {
  key_ = key_source_();
  counter_ = 0;
  bytes_since_seed_ = 0;
  next_word_ = kChaChaBlockWords;
}

void ChaChaRandom::refill() {
  if (bytes_since_seed_ >= kReseedBytes) {
    reseed();
  }
  block_ = chacha_block(key_, counter_, 0, kChaCha12Rounds);
  ++counter_;
  next_word_ = 0;
}

std::uint64_t ChaChaRandom::next_u64() {
  if (next_word_ + kWordsPerOutput > kChaChaBlockWords) {
    refill();
  }
  const std::uint64_t low = block_[next_word_];
  const std::uint64_t high = block_[next_word_ + 1];
  next_word_ += kWordsPerOutput;
  bytes_since_seed_ += kBytesPerOutput;
  return low | (high << kWordBits);
}

}  // namespace halqen
