// The range of 8-bit scalar codes: per dimension an offset and a step, so
// that each dimension's 256 codes span what that dimension holds, whatever
// the others' units.
//
// Derivation: from the rows coded (a sample of them when there are many),
// each dimension spans its values between the 0.1% and 99.9% quantiles; a
// component beyond is clamped to the nearest end and its vector's coding
// error says so. One far row, or a heavy tail, then cannot spread every
// code of a dimension over a range its other rows never use. A dimension
// whose values are integers spanning at most 256 keeps step 1 from its
// least value, so integer pixels are coded without loss. Steps within a
// factor of two of each other become one shared step, the largest.
//
// Growth: the range keeps, per dimension, how many components it clamped
// since it was derived. When some dimension has clamped more than one in
// kToleratedShare of the rows coded since, the range is derived again from
// every stored row and every code is encoded again. A lone far row never
// reaches that share; data that moved or widened soon does. The counts are
// part of the range, saved with it, so a copy grows as the original does.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
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

// The row at an index, as coded (normalized or not); the scratch may hold it.
using CodedRowAt = std::function<std::span<const double>(std::size_t, std::vector<double>&)>;

class Sq8Range {
 public:
  static constexpr int kLargestCode = 255;
  // A query component outside the range is coded as far as this beyond it.
  static constexpr int kQueryCodeLow = -128;
  static constexpr int kQueryCodeHigh = 383;
  // Each tail a derived range leaves out, per dimension.
  static constexpr double kClampShare = 0.001;
  // A dimension clamping more than one in this many coded rows asks for a
  // new range: five times the share the quantiles leave out.
  static constexpr std::uint64_t kToleratedShare = 128;
  // Rows sampled for the quantiles: their error is far below a code's step.
  static constexpr std::size_t kSampleRows = std::size_t{1} << 16;
  // A range from fewer rows than a sample is derived again at this growth.
  static constexpr std::uint64_t kRederiveGrowth = 8;

  explicit Sq8Range(std::size_t dim) : dim_(dim) {}
  // A range read back: an offset and a step per dimension (steps > 0), the
  // components each dimension clamped and the rows coded since derived, and
  // the rows it was derived from.
  Sq8Range(std::vector<double> offsets, std::vector<double> steps,
           std::vector<std::uint64_t> clamped, std::uint64_t rows, std::uint64_t derived_from);
  // A range saved with one step for every dimension, whose codes covered
  // every row.
  Sq8Range(std::vector<double> offsets, double step);

  bool empty() const { return offsets_.empty(); }
  // Whether the range spans every value (no quantiles, no clamp tolerated).
  void keep_extremes(bool kept) { keeps_extremes_ = kept; }
  // Derives the range from `count` rows (see above) and forgets the counts.
  // `again`: a range that keeps its extremes grew past them, so each end
  // gets a margin of an eighth of the width (widenings become rarer).
  void derive(std::size_t count, const CodedRowAt& row_at, bool again = false);
  // Counts the components of a coded row beyond the range, as coding it
  // clamps them.
  void count_clamped(std::span<const double> row);
  // Whether the clamped components ask for a new range.
  bool needs_new_range() const;

  std::uint8_t code(std::size_t d, double x) const {
    return static_cast<std::uint8_t>(clamped_round(position(d, x), 0, kLargestCode));
  }
  std::int16_t query_code(std::size_t d, double x) const {
    return static_cast<std::int16_t>(clamped_round(position(d, x), kQueryCodeLow, kQueryCodeHigh));
  }
  // Where x falls in steps from the offset, clamped as a query's code is.
  double query_position(std::size_t d, double x) const;
  // Whether no component of `x` lies beyond what a query's codes reach:
  // keys of a query clamped there rank by another point than the query.
  bool reaches(std::span<const double> x) const;
  // out[d] = query_code(d, x[d]) for every component, the same bits
  // (uniform ranges only).
  void query_codes(std::span<const double> x, std::int16_t* out) const;
  // At least the euclidean distance between `x` and the vector its codes
  // stand for (offset + step * code per dimension), every rounding of the
  // computation included: a search bounds exact distances by it. 0 exactly
  // when `x` is that vector (exactly_coded).
  template <class Code>
  double coding_error(std::span<const double> x, const Code* codes) const;
  template <class Code>
  bool exactly_coded(std::span<const double> x, const Code* codes) const;

  // Whether every dimension has the same step: the distance between codes
  // is then the distance between vectors, scaled by it.
  bool uniform() const { return uniform_; }
  // Only where uniform(): whether the euclidean distance between two vectors
  // that are their codes' values exactly (coding error 0) is step * sqrt(sum
  // of squared code differences) bit for bit, however its terms are added:
  // each difference is step times an integer below 512 and each partial sum
  // step^2 times an integer below 2^53, all representable, so no operation
  // rounds.
  bool squares_exactly() const;

  double offset(std::size_t d) const { return offsets_[d]; }
  double step(std::size_t d) const { return steps_[d]; }
  // The largest step, and each step as a share of it (in (0, 1]).
  double largest_step() const { return largest_step_; }
  // The euclidean norm of the offsets, rounded up.
  double offsets_norm() const { return offsets_norm_; }
  double step_share(std::size_t d) const { return shares_[d]; }

  std::span<const double> offsets() const { return offsets_; }
  std::span<const double> steps() const { return steps_; }
  std::span<const std::uint64_t> clamped() const { return clamped_; }
  std::uint64_t rows() const { return rows_; }
  std::uint64_t derived_from() const { return derived_from_; }
  std::size_t dim() const { return dim_; }

 private:
  double position(std::size_t d, double x) const { return (x - offsets_[d]) / steps_[d]; }
  bool power_of_two_steps() const { return power_of_two_steps_; }
  // The shares, the ends and uniform(), from the offsets and steps.
  void note_steps();

  std::size_t dim_;
  std::vector<double> offsets_;
  std::vector<double> steps_;
  std::vector<double> ends_;  // offset + 255 * step, the last value coded unclamped
  std::vector<double> shares_;
  double largest_step_ = 1.0;
  double offsets_norm_ = 0.0;
  bool uniform_ = true;
  bool power_of_two_steps_ = false;
  std::vector<std::uint64_t> clamped_;
  std::uint64_t rows_ = 0;
  std::uint64_t derived_from_ = 0;
  bool keeps_extremes_ = false;
};

// A component is exactly its code's value when the step is a power of two
// (step * code is then exact unless it overflows), offset + step * code
// rounds nothing (the two-sum test) and the component equals it: both
// differences +0.0, whose bits are all zero (an overflow's inf or NaN is
// not). The bits are or-ed, a reduction that vectorizes.
template <class Code>
bool Sq8Range::exactly_coded(std::span<const double> x, const Code* codes) const {
  if (!power_of_two_steps()) return false;
  std::uint64_t off = 0;
  for (std::size_t d = 0; d < x.size(); ++d) {
    const double scaled = steps_[d] * codes[d];
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
    const double scaled = steps_[d] * codes[d];
    const double decoded = offsets_[d] + scaled;
    const double rounding = (std::fabs(offsets_[d]) + std::fabs(scaled)) * kDecodeRounding;
    const double error = std::fabs(x[d] - decoded) + rounding;
    sum += error * error;
  }
  return std::sqrt(sum) * (1.0 + kSumRounding);
}

}  // namespace halqen::codes
