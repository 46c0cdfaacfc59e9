// Key material from the operating system's random source.
#pragma once

#include "random/chacha.hpp"

namespace halqen {

// 32 bytes from getrandom(2). Where the kernel lacks that call, waits until
// /dev/random is readable (the pool is initialised) and reads /dev/urandom.
// Throws std::runtime_error naming the failing step if the source fails.
ChaChaKey os_seed();

// The fallback path alone (poll /dev/random, read /dev/urandom); same failure mode.
ChaChaKey device_seed();

}  // namespace halqen
