/* One-core memory stream: reads every double of a buffer once and sums it.
 * The buffer is cut into `stripes` contiguous parts read side by side, a cache
 * line from each per step: one stripe is the plain sequential read, several
 * keep more reads in flight (the way the exact index reads its rows). Eight
 * independent accumulators keep the additions from limiting the rate.
 * Built by the benchmark at run time (cc -O2) and loaded with ctypes. */
#include <stddef.h>

#define MAX_STRIPES 16
#define LINE_DOUBLES 8

#if defined(__SSE2__)
#include <emmintrin.h>

/* Adds the line at `line` (8 doubles) into two of the accumulators. */
static void add_line(__m128d* sums, const double* line) {
  sums[0] = _mm_add_pd(sums[0], _mm_loadu_pd(line));
  sums[1] = _mm_add_pd(sums[1], _mm_loadu_pd(line + 2));
  sums[0] = _mm_add_pd(sums[0], _mm_loadu_pd(line + 4));
  sums[1] = _mm_add_pd(sums[1], _mm_loadu_pd(line + 6));
}

static double total_of(__m128d* sums, int count) {
  double lanes[2];
  double total = 0.0;
  for (int r = 0; r < count; ++r) {
    _mm_storeu_pd(lanes, sums[r]);
    total += lanes[0] + lanes[1];
  }
  return total;
}

#define ACCUMULATOR_PAIRS 4

double stream_sum(const double* values, size_t count, size_t stripes) {
  if (stripes < 1) stripes = 1;
  if (stripes > MAX_STRIPES) stripes = MAX_STRIPES;
  const size_t lines = count / LINE_DOUBLES;
  const size_t per_stripe = lines / stripes;
  __m128d sums[2 * ACCUMULATOR_PAIRS];
  for (int r = 0; r < 2 * ACCUMULATOR_PAIRS; ++r) sums[r] = _mm_setzero_pd();
  for (size_t step = 0; step < per_stripe; ++step) {
    for (size_t s = 0; s < stripes; ++s) {
      add_line(sums + 2 * (s % ACCUMULATOR_PAIRS), values + (s * per_stripe + step) * LINE_DOUBLES);
    }
  }
  double total = total_of(sums, 2 * ACCUMULATOR_PAIRS);
  for (size_t i = per_stripe * stripes * LINE_DOUBLES; i < count; ++i) total += values[i];
  return total;
}

#else

double stream_sum(const double* values, size_t count, size_t stripes) {
  (void)stripes;
  double sums[LINE_DOUBLES] = {0};
  size_t i = 0;
  for (; i + LINE_DOUBLES <= count; i += LINE_DOUBLES) {
    for (size_t lane = 0; lane < LINE_DOUBLES; ++lane) sums[lane] += values[i + lane];
  }
  for (; i < count; ++i) sums[0] += values[i];
  double total = 0.0;
  for (size_t lane = 0; lane < LINE_DOUBLES; ++lane) total += sums[lane];
  return total;
}

#endif
