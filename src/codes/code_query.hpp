// One query prepared for a code store: its own code, and what turns a
// kernel's sum into a walk key (smaller is nearer). Keys approximate the
// metric's order; they are deterministic, the same on every kernel level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codes/code_kernels.hpp"
#include "codes/code_store.hpp"

namespace halqen::codes {

class CodeQuery {
 public:
  // Any vector of store.dim() numbers.
  CodeQuery(const CodeStore& store, std::span<const double> vector);
  // The stored vector of `slot` (`vector` is its float64 row): its own code
  // serves as the query where it can, sparing the encoding.
  CodeQuery(const CodeStore& store, std::uint32_t slot, std::span<const double> vector);

  // keys[i] = walk key of slots[i], i < count.
  void keys(const std::uint32_t* slots, std::size_t count, double* keys) const;
  double key(std::uint32_t slot) const {
    double result = 0.0;
    keys(&slot, 1, &result);
    return result;
  }

 private:
  void encode(std::span<const double> vector);
  // The inner product's query: signed bytes in [-127, 127] with a scale of
  // their own, and the part of the product the offsets give.
  void encode_signed(std::span<const double> coded);

  const CodeStore& store_;
  const CodeKernels& kernels_;
  bool by_dot_;
  std::vector<float> floats_;
  const float* float_query_ = nullptr;
  std::vector<std::int16_t> words_;
  std::vector<std::int8_t> signed_bytes_;
  double bias_ = 0.0;
  double scale_ = 1.0;
};

}  // namespace halqen::codes
