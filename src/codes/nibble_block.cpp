#include "codes/nibble_block.hpp"

#include <algorithm>
#include <cmath>

namespace halqen::codes {
namespace {

constexpr double kLargestEntry = 255.0;

}  // namespace

std::size_t padded_subspaces(std::size_t subspaces) {
  return (subspaces + kNibbleGroup - 1) / kNibbleGroup * kNibbleGroup;
}

std::size_t nibble_block_bytes(std::size_t subspaces) {
  return padded_subspaces(subspaces) * kNibbleBytes;
}

void put_nibble_codes(std::uint8_t* block, std::size_t j, std::span<const std::uint8_t> codes) {
  for (std::size_t s = 0; s < codes.size(); ++s) {
    std::uint8_t& byte = block[s * kNibbleBytes + j % kNibbleHalf];
    const unsigned code = codes[s] & kNibbleLowMask;
    byte = static_cast<std::uint8_t>(j < kNibbleHalf
                                         ? (byte & ~kNibbleLowMask) | code
                                         : (byte & kNibbleLowMask) | (code << kNibbleHighShift));
  }
}

NibbleTables quantized_tables(std::span<const double> distances, std::size_t subspaces) {
  NibbleTables tables;
  tables.entries.assign(nibble_block_bytes(subspaces), 0);
  std::vector<double> least(subspaces);
  double widest = 0.0;
  for (std::size_t s = 0; s < subspaces; ++s) {
    const auto row = distances.subspan(s * kNibbleBytes, kNibbleBytes);
    const auto [low, high] = std::ranges::minmax(row);
    least[s] = low;
    tables.base += low;
    widest = std::max(widest, high - low);
  }
  // All centroids alike: any step gives entries of 0.
  tables.step = widest > 0.0 ? widest / kLargestEntry : 1.0;
  for (std::size_t s = 0; s < subspaces; ++s) {
    for (std::size_t c = 0; c < kNibbleBytes; ++c) {
      const double entry = std::round((distances[s * kNibbleBytes + c] - least[s]) / tables.step);
      tables.entries[s * kNibbleBytes + c] =
          static_cast<std::uint8_t>(std::clamp(entry, 0.0, kLargestEntry));
    }
  }
  return tables;
}

}  // namespace halqen::codes
