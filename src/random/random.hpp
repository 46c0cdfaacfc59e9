// Random numbers for the level draw of new graph nodes.
#pragma once

#include <cstdint>

namespace halqen {

// A stream of uniformly distributed 64-bit words.
class RandomSource {
 public:
  virtual ~RandomSource() = default;
  virtual std::uint64_t next_u64() = 0;
};

// The calling thread's generator: ChaCha with 12 rounds, seeded from the
// operating system on the thread's first call and reseeded after every 64 KiB
// of output. Every index used on one thread shares it.
// Throws std::runtime_error if the operating system's random source fails
// while seeding (a later call tries again).
RandomSource& thread_random();

// A double in [0, 1) from the top 53 bits of one word: (x >> 11) * 2^-53.
double uniform_double(RandomSource& source);

}  // namespace halqen
