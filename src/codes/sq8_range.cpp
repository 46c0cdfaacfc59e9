#include "codes/sq8_range.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace halqen::codes {
namespace {

// The largest squared difference of two codes (a query's included), and the
// integers a double holds exactly.
constexpr double kLargestSquare = 511.0 * 511.0;
constexpr double kExactIntegers = 0x1p53;
// Sampled values held at once for the quantiles (32 MiB of doubles), and
// the fewest rows sampled whatever the dimension.
constexpr std::size_t kSampleValues = std::size_t{1} << 22;
constexpr std::size_t kLeastSample = 1024;
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kLargest = std::numeric_limits<double>::max();
// A margin is this part of a width (written to never overflow).
constexpr double kMarginParts = 8.0;
// The widest ratio of steps a range makes one shared step of.
constexpr double kUniformSpread = 2.0;

bool power_of_two(double x) {
  int exponent = 0;
  return std::frexp(x, &exponent) == 0.5;
}

// Per dimension: the least and largest value, and whether all are integers.
struct Extremes {
  std::vector<double> low, high;
  std::vector<std::uint8_t> integral;
};

Extremes extremes_of(std::size_t dim, std::size_t count, const CodedRowAt& row_at) {
  Extremes found{std::vector<double>(dim, kInfinity), std::vector<double>(dim, -kInfinity),
                 std::vector<std::uint8_t>(dim, 1)};
  std::vector<double> scratch;
  for (std::size_t i = 0; i < count; ++i) {
    const std::span<const double> row = row_at(i, scratch);
    for (std::size_t d = 0; d < dim; ++d) {
      found.low[d] = std::min(found.low[d], row[d]);
      found.high[d] = std::max(found.high[d], row[d]);
      found.integral[d] &= static_cast<std::uint8_t>(row[d] == std::floor(row[d]));
    }
  }
  return found;
}

// Per dimension the values of evenly spaced rows, dimension-major.
std::vector<double> sample_of(std::size_t dim, std::size_t count, std::size_t sampled,
                              const CodedRowAt& row_at) {
  std::vector<double> values(sampled * dim);
  std::vector<double> scratch;
  for (std::size_t j = 0; j < sampled; ++j) {
    const std::span<const double> row = row_at(j * count / sampled, scratch);
    for (std::size_t d = 0; d < dim; ++d) values[d * sampled + j] = row[d];
  }
  return values;
}

// The value of the given rank among `values` (which it reorders).
double ranked(std::span<double> values, std::size_t rank) {
  const auto at = values.begin() + static_cast<std::ptrdiff_t>(rank);
  std::nth_element(values.begin(), at, values.end());
  return *at;
}

// A step that codes [low, high] in 255 steps, where the width itself may
// overflow; raised by ulps until the last code reaches high.
double step_between(double low, double high) {
  const double width = high - low;
  double step = std::isfinite(width) ? width / Sq8Range::kLargestCode
                                     : high / Sq8Range::kLargestCode - low / Sq8Range::kLargestCode;
  while (low + step * Sq8Range::kLargestCode < high) step = std::nextafter(step, kInfinity);
  return step;
}

}  // namespace

Sq8Range::Sq8Range(std::vector<double> offsets, std::vector<double> steps,
                   std::vector<std::uint64_t> clamped, std::uint64_t rows,
                   std::uint64_t derived_from)
    : dim_(offsets.size()),
      offsets_(std::move(offsets)),
      steps_(std::move(steps)),
      clamped_(std::move(clamped)),
      rows_(rows),
      derived_from_(derived_from) {
  note_steps();
}

Sq8Range::Sq8Range(std::vector<double> offsets, double step)
    : dim_(offsets.size()), offsets_(std::move(offsets)), steps_(dim_, step), clamped_(dim_, 0) {
  note_steps();
}

void Sq8Range::note_steps() {
  ends_.resize(dim_);
  shares_.resize(dim_);
  largest_step_ = steps_.empty() ? 1.0 : *std::max_element(steps_.begin(), steps_.end());
  uniform_ = true;
  constexpr double kNormRounding = 0x1p-40;
  double squares = 0.0;
  for (const double offset : offsets_) squares += offset * offset;
  offsets_norm_ = std::sqrt(squares) * (1.0 + kNormRounding);
  for (std::size_t d = 0; d < dim_; ++d) {
    ends_[d] = offsets_[d] + steps_[d] * kLargestCode;
    shares_[d] = steps_[d] / largest_step_;
    uniform_ &= steps_[d] == steps_[0];
  }
  power_of_two_steps_ = std::all_of(steps_.begin(), steps_.end(), power_of_two);
}

bool Sq8Range::squares_exactly() const {
  if (!uniform_ || steps_.empty()) return false;
  const double unit = steps_[0] * steps_[0];
  return power_of_two(steps_[0]) && static_cast<double>(dim_) * kLargestSquare < kExactIntegers &&
         unit >= std::numeric_limits<double>::min() && std::isfinite(unit * kExactIntegers);
}

double Sq8Range::query_position(std::size_t d, double x) const {
  const double at = position(d, x);
  // NaN only from an infinite difference over an infinite step: far out.
  if (at != at) return kQueryCodeHigh;
  return std::clamp(at, double{kQueryCodeLow}, double{kQueryCodeHigh});
}

bool Sq8Range::reaches(std::span<const double> x) const {
  for (std::size_t d = 0; d < x.size(); ++d) {
    const double at = position(d, x[d]);
    if (!(at >= kQueryCodeLow && at <= kQueryCodeHigh)) return false;
  }
  return true;
}

void Sq8Range::query_codes(std::span<const double> x, std::int16_t* out) const {
  // Dividing by a power of two and multiplying by its exact reciprocal both
  // round the same real quotient: the same bits, without a division each.
  const double step = steps_.empty() ? 1.0 : steps_[0];
  const double inverse = 1.0 / step;
  if (!uniform_ || !power_of_two(step) || !std::isfinite(inverse)) {
    for (std::size_t d = 0; d < x.size(); ++d) out[d] = query_code(d, x[d]);
    return;
  }
  for (std::size_t d = 0; d < x.size(); ++d) {
    out[d] = static_cast<std::int16_t>(
        clamped_round((x[d] - offsets_[d]) * inverse, kQueryCodeLow, kQueryCodeHigh));
  }
}

void Sq8Range::count_clamped(std::span<const double> row) {
  // A count read from a file may stand at the top already: it stays there
  // rather than wrap to a range that seems to have coded nothing.
  constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();
  rows_ += static_cast<std::uint64_t>(rows_ != kTop);
  for (std::size_t d = 0; d < dim_; ++d) {
    const bool clamps = !(row[d] >= offsets_[d] && row[d] <= ends_[d]);
    clamped_[d] += static_cast<std::uint64_t>(clamps && clamped_[d] != kTop);
  }
}

bool Sq8Range::needs_new_range() const {
  if (empty()) return true;
  if (derived_from_ < kSampleRows &&
      rows_ >= kRederiveGrowth * std::max<std::uint64_t>(derived_from_, 1)) {
    return true;
  }
  return std::any_of(clamped_.begin(), clamped_.end(), [this](std::uint64_t n) {
    return keeps_extremes_ ? n > 0 : n > rows_ / kToleratedShare;
  });
}

void Sq8Range::derive(std::size_t count, const CodedRowAt& row_at, bool again) {
  if (count == 0 || dim_ == 0) return;
  const Extremes extremes = extremes_of(dim_, count, row_at);
  const std::size_t sampled =
      std::min(count, std::max(kLeastSample, kSampleValues / std::max<std::size_t>(dim_, 1)));
  std::vector<double> values = sample_of(dim_, count, sampled, row_at);
  const double share = keeps_extremes_ ? 0.0 : kClampShare;
  const auto tail = static_cast<std::size_t>(share * static_cast<double>(sampled - 1));
  std::vector<double> offsets(dim_);
  std::vector<double> steps(dim_, 0.0);
  double least_step = kInfinity;
  for (std::size_t d = 0; d < dim_; ++d) {
    double low = extremes.low[d];
    double high = extremes.high[d];
    if (extremes.integral[d] != 0 && high - low <= kLargestCode) {
      offsets[d] = low;
      steps[d] = 1.0;
      continue;
    }
    const std::span<double> column(values.data() + d * sampled, sampled);
    const double quantile_low = ranked(column, tail);
    const double quantile_high = ranked(column, sampled - 1 - tail);
    // A dimension nearly always one value keeps its full extent.
    if (quantile_high > quantile_low) {
      low = quantile_low;
      high = quantile_high;
    }
    if (again && keeps_extremes_) {
      const double margin = (high / kMarginParts - low / kMarginParts);
      low = std::max(low - margin, -kLargest);
      high = std::min(high + margin, kLargest);
    }
    offsets[d] = low;
    if (high > low) {
      steps[d] = step_between(low, high);
      least_step = std::min(least_step, steps[d]);
    }
  }
  // A dimension of one value codes it exactly at any step; the least other
  // step keeps it from setting the scale of the rest.
  const double constant_step = std::isfinite(least_step) ? least_step : 1.0;
  for (double& step : steps) step = step > 0.0 ? step : constant_step;
  // Steps this close share the largest: a dimension loses at most a bit,
  // and the keys are then integer distances between codes, which bound
  // and, for integers, give exact values at the cost of one subtraction.
  const double largest_step = *std::max_element(steps.begin(), steps.end());
  const double smallest_step = *std::min_element(steps.begin(), steps.end());
  if (largest_step <= kUniformSpread * smallest_step) steps.assign(dim_, largest_step);
  offsets_ = std::move(offsets);
  steps_ = std::move(steps);
  clamped_.assign(dim_, 0);
  rows_ = 0;
  derived_from_ = count;
  note_steps();
}

}  // namespace halqen::codes
