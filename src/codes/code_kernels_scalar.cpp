// The reference code kernels: plain loops in the order the header fixes.
#include <algorithm>
#include <array>

#include "codes/code_kernels.hpp"
#include "codes/nibble_block.hpp"

namespace halqen::codes {
namespace {

// The 16 partial sums folded pairwise: i + 8, i + 4, i + 2, i + 1.
float fold(std::array<float, kFloatBlock>& sums) {
  for (std::size_t width = kFloatBlock / 2; width > 0; width /= 2) {
    for (std::size_t i = 0; i < width; ++i) sums[i] = sums[i] + sums[i + width];
  }
  return sums[0];
}

float float_l2(const float* query, const float* row, std::size_t padded) {
  std::array<float, kFloatBlock> sums{};
  for (std::size_t d = 0; d < padded; ++d) {
    const float diff = query[d] - row[d];
    const float square = diff * diff;
    sums[d % kFloatBlock] = sums[d % kFloatBlock] + square;
  }
  return fold(sums);
}

float float_dot(const float* query, const float* row, std::size_t padded) {
  std::array<float, kFloatBlock> sums{};
  for (std::size_t d = 0; d < padded; ++d) {
    const float product = query[d] * row[d];
    sums[d % kFloatBlock] = sums[d % kFloatBlock] + product;
  }
  return fold(sums);
}

std::int64_t byte_l2(const std::int16_t* query, const std::uint8_t* row, std::size_t padded) {
  std::int64_t sum = 0;
  for (std::size_t d = 0; d < padded; ++d) {
    const std::int64_t diff = std::int64_t{query[d]} - std::int64_t{row[d]};
    sum += diff * diff;
  }
  return sum;
}

std::int64_t byte_dot(const std::int16_t* query, const std::uint8_t* row, std::size_t padded) {
  std::int64_t sum = 0;
  for (std::size_t d = 0; d < padded; ++d) sum += std::int64_t{query[d]} * std::int64_t{row[d]};
  return sum;
}

void nibble_sums(const std::uint8_t* tables, const std::uint8_t* block, std::size_t subspaces,
                 std::uint16_t* sums) {
  constexpr std::uint32_t kMost = 0xFFFF;
  for (std::size_t j = 0; j < kNibbleBlock; ++j) {
    std::uint32_t sum = 0;
    for (std::size_t s = 0; s < subspaces; ++s) {
      sum = std::min(kMost, sum + tables[s * kNibbleBytes + nibble_code(block, j, s)]);
    }
    sums[j] = static_cast<std::uint16_t>(sum);
  }
}

}  // namespace

const CodeKernels kScalarCodeKernels{float_l2, float_dot, byte_l2, byte_dot, nibble_sums};

}  // namespace halqen::codes
