// The range of 8-bit scalar codes: per dimension an offset, and one step for
// every dimension, so that the distance between two codes is the distance
// between the vectors they stand for, scaled by the step.
//
// Growth: the first rows set the range to exactly what they span (integer
// pixels of 0..255 are then coded without loss). A later row outside it
// widens the range to cover it plus a margin of an eighth of the new width
// on the side it overflowed, and every stored code is encoded again from its
// float64 vector. So each stored component is always within half a step of
// its code's value, and widenings become rarer as the range grows.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace halqen::codes {

// x clamped to [low, high] and rounded to the nearest integer, halves up
// (shifted to be positive, where truncation is the floor); NaN (an infinite
// range) gives low.
inline int clamped_round(double x, int low, int high) {
  constexpr double kHalf = 0.5;
  const double from_low = x >= low ? x - low : 0.0;
  const double span = high - low;
  return static_cast<int>((from_low <= span ? from_low : span) + kHalf) + low;
}

class Sq8Range {
 public:
  static constexpr int kLargestCode = 255;
  // A query component outside the range is coded as far as this beyond it.
  static constexpr int kQueryCodeLow = -128;
  static constexpr int kQueryCodeHigh = 383;

  explicit Sq8Range(std::size_t dim) : dim_(dim) {}
  // A range read back: `offsets` has one entry per dimension, step > 0.
  Sq8Range(std::vector<double> offsets, double step);

  bool empty() const { return offsets_.empty(); }
  // Whether every component of the rows (dim numbers each) is in range.
  bool covers(std::span<const double> rows) const;
  // Sets the range to cover the rows (the first rows), or widens it.
  void widen(std::span<const double> rows);

  std::uint8_t code(std::size_t d, double x) const {
    return static_cast<std::uint8_t>(clamped_round(position(d, x), 0, kLargestCode));
  }
  std::int16_t query_code(std::size_t d, double x) const {
    return static_cast<std::int16_t>(clamped_round(position(d, x), kQueryCodeLow, kQueryCodeHigh));
  }
  // out[d] = query_code(d, x[d]) for every component, the same bits.
  void query_codes(std::span<const double> x, std::int16_t* out) const;
  // At least the euclidean distance between `x` and the vector its codes
  // stand for (offset + step * code per dimension), every rounding of the
  // computation included: a search bounds exact distances by it. 0 exactly
  // when `x` is that vector (exactly_coded).
  template <class Code>
  double coding_error(std::span<const double> x, const Code* codes) const;
  template <class Code>
  bool exactly_coded(std::span<const double> x, const Code* codes) const;

  // Whether the euclidean distance between two vectors that are their codes'
  // values exactly (coding error 0) is step * sqrt(sum of squared code
  // differences) bit for bit, however its terms are added: each difference
  // is step times an integer below 512 and each partial sum step^2 times an
  // integer below 2^53, all representable, so no operation rounds.
  bool squares_exactly() const;

  double offset(std::size_t d) const { return offsets_[d]; }
  std::span<const double> offsets() const { return offsets_; }
  double step() const { return step_; }
  std::size_t dim() const { return dim_; }

 private:
  double position(std::size_t d, double x) const { return (x - offsets_[d]) / step_; }
  bool power_of_two_step() const;

  std::size_t dim_;
  std::vector<double> offsets_;
  double step_ = 1.0;
};

// A component is exactly its code's value when the step is a power of two
// (step * code is then exact unless it overflows), offset + step * code
// rounds nothing (the two-sum test) and the component equals it: both
// differences +0.0, whose bits are all zero (an overflow's inf or NaN is
// not). The bits are or-ed, a reduction that vectorizes.
template <class Code>
bool Sq8Range::exactly_coded(std::span<const double> x, const Code* codes) const {
  if (!power_of_two_step()) return false;
  std::uint64_t off = 0;
  for (std::size_t d = 0; d < x.size(); ++d) {
    const double scaled = step_ * codes[d];
    const double decoded = offsets_[d] + scaled;
    const double scaled_part = decoded - offsets_[d];
    const double rounding_lost = (offsets_[d] - (decoded - scaled_part)) + (scaled - scaled_part);
    off |= std::bit_cast<std::uint64_t>(std::fabs(x[d] - decoded)) |
           std::bit_cast<std::uint64_t>(std::fabs(rounding_lost));
  }
  return off == 0;
}

// Otherwise each decoded component is off by at most an ulp of its two
// terms, which the 2^-51 share of their magnitudes covers; the sum of
// squares and its root are off by at most dim * 2^-53 relative, which the
// 2^-20 share covers for any dimension below 2^32.
template <class Code>
double Sq8Range::coding_error(std::span<const double> x, const Code* codes) const {
  constexpr double kDecodeRounding = 0x1p-51;
  constexpr double kSumRounding = 0x1p-20;
  if (exactly_coded(x, codes)) return 0.0;
  double sum = 0.0;
  for (std::size_t d = 0; d < x.size(); ++d) {
    const double scaled = step_ * codes[d];
    const double decoded = offsets_[d] + scaled;
    const double rounding = (std::fabs(offsets_[d]) + std::fabs(scaled)) * kDecodeRounding;
    const double error = std::fabs(x[d] - decoded) + rounding;
    sum += error * error;
  }
  return std::sqrt(sum) * (1.0 + kSumRounding);
}

}  // namespace halqen::codes
