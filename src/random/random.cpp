#include "random/random.hpp"

#include "random/chacha.hpp"
#include "random/os_entropy.hpp"

namespace halqen {
namespace {

constexpr int kDiscardedLowBits = 11;
constexpr double kTwoToMinus53 = 0x1.0p-53;

}  // namespace

RandomSource& thread_random() {
  // If seeding throws, the next call on this thread constructs it again.
  thread_local ChaChaRandom generator(os_seed);
  return generator;
}

double uniform_double(RandomSource& source) {
  return static_cast<double>(source.next_u64() >> kDiscardedLowBits) * kTwoToMinus53;
}

}  // namespace halqen
