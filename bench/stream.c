/* The memory-read floor: the fastest loop we can write that reads every
 * double of a buffer once. It sums them in whatever order is quickest, so
 * the sum is not a metric and not bit-exact; only its time counts.
 *
 * The benchmark builds it at run time for the processor it runs on
 * (cc -O3 -march=native) and loads it with ctypes. Loads are the widest
 * vectors that processor has, a block of several cache lines at a time into
 * as many independent accumulators, so neither the additions nor the loop
 * limit the rate. The buffer may be cut into `stripes` contiguous parts read
 * side by side, one block from each per step, which keeps more hardware
 * prefetch streams busy; the benchmark keeps the fastest stripe count. */
#include <stddef.h>
#include <string.h>

#if defined(__AVX512F__)
#define VECTOR_BYTES 64
#elif defined(__AVX__)
#define VECTOR_BYTES 32
#else
#define VECTOR_BYTES 16
#endif

typedef double vector __attribute__((vector_size(VECTOR_BYTES)));

#define LANES (VECTOR_BYTES / sizeof(double))
/* Four 64-byte cache lines per block: 8 accumulators with 32-byte vectors. */
#define BLOCK_DOUBLES 32
#define BLOCK_VECTORS (BLOCK_DOUBLES / LANES)
#define MAX_STRIPES 16

static vector load(const double* at) {
  vector value;
  memcpy(&value, at, sizeof value);
  return value;
}

static void add_block(vector* sums, const double* block) {
  for (size_t v = 0; v < BLOCK_VECTORS; ++v) sums[v] += load(block + v * LANES);
}

static double total_of(const vector* sums) {
  vector all = sums[0];
  for (size_t v = 1; v < BLOCK_VECTORS; ++v) all += sums[v];
  double total = 0.0;
  for (size_t lane = 0; lane < LANES; ++lane) total += all[lane];
  return total;
}

double stream_sum(const double* values, size_t count, size_t stripes) {
  if (stripes < 1) stripes = 1;
  if (stripes > MAX_STRIPES) stripes = MAX_STRIPES;
  const size_t per_stripe = count / BLOCK_DOUBLES / stripes;
  vector sums[BLOCK_VECTORS];
  memset(sums, 0, sizeof sums);
  for (size_t step = 0; step < per_stripe; ++step) {
    for (size_t s = 0; s < stripes; ++s) {
      add_block(sums, values + (s * per_stripe + step) * BLOCK_DOUBLES);
    }
  }
  double total = total_of(sums);
  for (size_t i = per_stripe * stripes * BLOCK_DOUBLES; i < count; ++i) total += values[i];
  return total;
}
