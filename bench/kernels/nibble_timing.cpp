// Timing of the 4-bit product-code scan on one thread, per kernel level:
// every block of a million vectors summed against one query's tables, for
// the subspace counts of 50 and 100 dimensions in blocks of 2 (and 128 in
// blocks of 4), in vectors per microsecond and in GB/s of codes read.
// Not a test: it prints figures.
//
// Usage: nibble_timing [vectors] [repeats]. Every figure is the fastest of
// `repeats` runs, in thread CPU time (the machine may be shared).
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "codes/code_kernels.hpp"
#include "codes/nibble_block.hpp"

namespace {

double cpu_ms() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

void time_scan(std::size_t vectors, std::size_t subspaces, int repeats) {
  using namespace halqen::codes;
  const std::size_t blocks = (vectors + kNibbleBlock - 1) / kNibbleBlock;
  const std::size_t block_bytes = nibble_block_bytes(subspaces);
  std::mt19937_64 rng(subspaces);
  std::vector<std::uint8_t> codes(blocks * block_bytes);
  for (std::uint8_t& byte : codes) byte = static_cast<std::uint8_t>(rng());
  std::vector<std::uint8_t> tables(block_bytes);
  for (std::uint8_t& entry : tables) entry = static_cast<std::uint8_t>(rng() % 64);
  std::vector<std::uint16_t> sums(kNibbleBlock);
  for (const CodeLevel level : available_code_levels()) {
    force_code_level(level);
    const CodeKernels& kernels = active_code_kernels();
    const std::size_t padded = padded_subspaces(subspaces);
    volatile std::uint32_t sink = 0;
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
      const double start = cpu_ms();
      for (std::size_t b = 0; b < blocks; ++b) {
        kernels.nibble_sums(tables.data(), codes.data() + b * block_bytes, padded, sums.data());
        sink = sink + sums[b % kNibbleBlock];
      }
      best = std::min(best, cpu_ms() - start);
    }
    std::printf("nibble %-11s subspaces %3zu  %7.1f vectors/us  %6.2f GB/s of codes\n",
                std::string(code_level_name(level)).c_str(), subspaces,
                static_cast<double>(blocks * kNibbleBlock) / (best * 1e3),
                static_cast<double>(codes.size()) / (best * 1e6));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t vectors = argc > 1 ? std::stoul(argv[1]) : 1'000'000;
  const int repeats = argc > 2 ? std::stoi(argv[2]) : 5;
  for (const std::size_t subspaces : {25, 32, 50}) time_scan(vectors, subspaces, repeats);
  return 0;
}
