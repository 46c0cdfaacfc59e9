// 4-bit product codes laid out for a scan by table lookups in registers: a
// block holds kNibbleBlock vectors, subspace after subspace, 16 bytes per
// subspace, byte i holding vector i's code in its low half and vector
// i + 16's in its high half. And a query's tables: its distance to each
// subspace's 16 centroids, as bytes of one common step, so that the sums
// of a block's entries, scanned by the code kernels, estimate distances.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codes/code_kernels.hpp"

namespace halqen::codes {

// Vectors j and j + kNibbleHalf share byte j of a subspace: the low half
// and the high half.
inline constexpr std::size_t kNibbleHalf = kNibbleBlock / 2;
inline constexpr unsigned kNibbleLowMask = 0x0F;
inline constexpr unsigned kNibbleHighShift = 4;

// Subspaces rounded up to the kernels' step; the extra ones have code 0
// and table entries 0, so they add nothing.
std::size_t padded_subspaces(std::size_t subspaces);
std::size_t nibble_block_bytes(std::size_t subspaces);

// Puts vector `j`'s codes (< kNibbleBlock; one per subspace, each < 16)
// into `block` (nibble_block_bytes of padded subspaces, its other vectors'
// codes kept).
void put_nibble_codes(std::uint8_t* block, std::size_t j, std::span<const std::uint8_t> codes);
inline std::uint8_t nibble_code(const std::uint8_t* block, std::size_t j, std::size_t subspace) {
  const unsigned byte = block[subspace * kNibbleBytes + j % kNibbleHalf];
  return static_cast<std::uint8_t>(j < kNibbleHalf ? byte & kNibbleLowMask
                                                   : byte >> kNibbleHighShift);
}

// A query's tables: entry (s, c) is round((distance(s, c) - the least of
// subspace s) / step), one step for all subspaces so that the largest
// spread fills a byte; the distance to a vector is then estimated as
// base + step * the sum of its entries, within step / 2 per subspace.
struct NibbleTables {
  std::vector<std::uint8_t> entries;  // padded subspaces * kNibbleBytes
  double base = 0.0;
  double step = 0.0;
  std::vector<double> spreads;  // room reused from one filling to the next
};

// `distances`: per subspace, its 16 centroids' distances to the query
// (subspaces * 16 finite numbers).
NibbleTables quantized_tables(std::span<const double> distances, std::size_t subspaces);
// The same into `tables`, reusing its room.
void fill_quantized_tables(std::span<const double> distances, std::size_t subspaces,
                           NibbleTables& tables);

}  // namespace halqen::codes
