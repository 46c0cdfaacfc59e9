// What the SIMD code kernels share: the last steps of the fixed float fold
// and the chunk lengths that keep 32-bit lane sums from overflowing.
#pragma once

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstddef>

namespace halqen::codes {

// Codes summed into 32-bit lanes before the lanes go to a 64-bit total: a
// lane takes at most 8 terms of at most 383^2 per 64 codes, about 3e8 over
// this many, below 2^31.
inline constexpr std::size_t kLaneSafeCodes = std::size_t{1} << 14;
// The same for the dot product of 16-bit weights and codes: a lane takes at
// most 2 terms of at most 32767 * 255 per 16 codes, 2.14e9 over this many.
inline constexpr std::size_t kDotLaneSafeCodes = std::size_t{1} << 11;

// Partial sums 0..7 (already i + (i + 8)) folded as i + 4, i + 2, i + 1.
[[gnu::target("avx2"), gnu::always_inline]] inline float fold_eight(__m256 sums) {
  const __m128 four = _mm_add_ps(_mm256_castps256_ps128(sums), _mm256_extractf128_ps(sums, 1));
  const __m128 two = _mm_add_ps(four, _mm_movehl_ps(four, four));
  const __m128 one = _mm_add_ss(two, _mm_shuffle_ps(two, two, 1));
  return _mm_cvtss_f32(one);
}

}  // namespace halqen::codes

#endif
