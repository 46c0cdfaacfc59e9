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
  double offset(std::size_t d) const { return offsets_[d]; }
  std::span<const double> offsets() const { return offsets_; }
  double step() const { return step_; }
  std::size_t dim() const { return dim_; }

 private:
  double position(std::size_t d, double x) const { return (x - offsets_[d]) / step_; }

  std::size_t dim_;
  std::vector<double> offsets_;
  double step_ = 1.0;
};

}  // namespace halqen::codes
