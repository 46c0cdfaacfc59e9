// Distances between a prepared query and stored compact codes, with one
// kernel set per instruction-set level, chosen at run time.
//
// Every level gives the same bits as the scalar reference. The float32
// kernels add the terms of one distance in 16 interleaved partial sums
// (term d into sum d mod 16, in index order), then fold the sums pairwise
// (i + 8, i + 4, i + 2, i + 1): the order a 16-lane register has, written
// out for the narrower ones. The 8-bit kernels sum integers, exact on every
// level. A graph built on codes is therefore the same on every CPU.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace halqen::codes {

// Rows and queries are zero-padded to these multiples, so no kernel has a
// tail: float32 rows to 16 numbers, 8-bit rows to 64 codes (a cache line).
inline constexpr std::size_t kFloatBlock = 16;
inline constexpr std::size_t kByteBlock = 64;
// 4-bit product codes are scanned a block of 32 vectors at a time, 4
// subspaces per step of the widest level (subspaces are padded to that).
inline constexpr std::size_t kNibbleBlock = 32;
inline constexpr std::size_t kNibbleGroup = 4;
// A subspace's 16 codes' table entries, and its 32 vectors' codes: 16 bytes
// each.
inline constexpr std::size_t kNibbleBytes = 16;

enum class CodeLevel { Scalar, Avx2, Avx512, Avx512Vnni };

inline constexpr CodeLevel kCodeLevels[] = {CodeLevel::Scalar, CodeLevel::Avx2, CodeLevel::Avx512,
                                            CodeLevel::Avx512Vnni};

struct CodeKernels {
  // Squared euclidean distance and dot product of float32 rows; `padded` is
  // a multiple of kFloatBlock.
  float (*float_l2)(const float* query, const float* row, std::size_t padded);
  float (*float_dot)(const float* query, const float* row, std::size_t padded);
  // Sum of (query[d] - row[d])^2 with query codes in [-128, 383] (a query
  // may lie outside the stored range); `padded` is a multiple of kByteBlock.
  std::int64_t (*byte_l2)(const std::int16_t* query, const std::uint8_t* row, std::size_t padded);
  // Sum of query[d] * row[d], query weights in [-32767, 32767].
  std::int64_t (*byte_dot)(const std::int16_t* query, const std::uint8_t* row, std::size_t padded);
  // The 4-bit product codes of one block of kNibbleBlock vectors against a
  // query's tables (nibble_block.hpp): sums[j] = the sum over the
  // `subspaces` (a multiple of kNibbleGroup) of tables[s][code of vector j
  // in s], added in 16 bits that stop at 65535. Every addend is
  // non-negative, so a sum that stops is 65535 whatever the order.
  void (*nibble_sums)(const std::uint8_t* tables, const std::uint8_t* block, std::size_t subspaces,
                      std::uint16_t* sums);
};

// The levels this CPU runs, from the plainest to the fastest.
std::span<const CodeLevel> available_code_levels();
// The set every later code distance uses.
const CodeKernels& active_code_kernels();
CodeLevel active_code_level();
// For tests: the results do not change, only the speed. Throws
// std::invalid_argument if this CPU cannot run `level`.
void force_code_level(CodeLevel level);
// "scalar", "avx2", "avx512", "avx512vnni".
std::string_view code_level_name(CodeLevel level);

// The kernel sets; the SIMD ones only where the dispatcher found the CPU
// features they need.
extern const CodeKernels kScalarCodeKernels;
#if defined(__x86_64__)
extern const CodeKernels kAvx2CodeKernels;
extern const CodeKernels kAvx512CodeKernels;
extern const CodeKernels kAvx512VnniCodeKernels;
#endif

}  // namespace halqen::codes
