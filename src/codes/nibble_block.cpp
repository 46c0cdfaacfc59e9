#include "codes/nibble_block.hpp"

#include <algorithm>
#include <cmath>

namespace halqen::codes {
namespace {

constexpr double kLargestEntry = 255.0;
// A byte covers this many times the spread of the subspace at kTypicalRank
// of the subspaces ordered by spread: a subspace where the query lies far
// out (heavy tails, an outlier's centroid) then clamps its far entries
// rather than leaving every other subspace a step too coarse to tell its
// centroids apart.
constexpr double kTypicalSpreads = 2.0;
constexpr double kTypicalRank = 0.75;

// Reorders `spreads`.
double byte_span(std::vector<double>& spreads) {
  const auto typical =
      spreads.begin() +
      static_cast<std::ptrdiff_t>(kTypicalRank * static_cast<double>(spreads.size() - 1));
  std::ranges::nth_element(spreads, typical);
  const double widest = *std::ranges::max_element(spreads);
  const double capped = kTypicalSpreads * *typical;
  return capped > 0.0 ? std::min(widest, capped) : widest;
}

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

void fill_quantized_tables(std::span<const double> distances, std::size_t subspaces,
                           NibbleTables& tables) {
  tables.entries.assign(nibble_block_bytes(subspaces), 0);
  tables.base = 0.0;
  tables.spreads.resize(subspaces);
  for (std::size_t s = 0; s < subspaces; ++s) {
    const auto row = distances.subspan(s * kNibbleBytes, kNibbleBytes);
    const auto [low, high] = std::ranges::minmax(row);
    tables.base += low;
    tables.spreads[s] = high - low;
  }
  const double span = byte_span(tables.spreads);
  // All centroids alike: any step gives entries of 0.
  tables.step = span > 0.0 ? span / kLargestEntry : 1.0;
  const double per_step = 1.0 / tables.step;
  for (std::size_t s = 0; s < subspaces; ++s) {
    const double* row = &distances[s * kNibbleBytes];
    const double low = *std::ranges::min_element(std::span(row, kNibbleBytes));
    for (std::size_t c = 0; c < kNibbleBytes; ++c) {
      // Entries are at least 0: adding a half and truncating rounds them.
      const double entry = std::min((row[c] - low) * per_step + 0.5, kLargestEntry);
      tables.entries[s * kNibbleBytes + c] = static_cast<std::uint8_t>(entry);
    }
  }
}

NibbleTables quantized_tables(std::span<const double> distances, std::size_t subspaces) {
  NibbleTables tables;
  fill_quantized_tables(distances, subspaces, tables);
  return tables;
}

}  // namespace halqen::codes
