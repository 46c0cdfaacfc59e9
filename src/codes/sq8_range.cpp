#include "codes/sq8_range.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace halqen::codes {
namespace {

// A widening adds this share of the new width on the side that overflowed.
constexpr double kMarginShare = 1.0 / 8.0;
// The largest squared difference of two codes (a query's included), and the
// integers a double holds exactly.
constexpr double kLargestSquare = 511.0 * 511.0;
constexpr double kExactIntegers = 0x1p53;

}  // namespace

bool Sq8Range::power_of_two_step() const {
  int exponent = 0;
  return std::frexp(step_, &exponent) == 0.5;
}

bool Sq8Range::squares_exactly() const {
  const double unit = step_ * step_;
  return power_of_two_step() && static_cast<double>(dim_) * kLargestSquare < kExactIntegers &&
         unit >= std::numeric_limits<double>::min() && std::isfinite(unit * kExactIntegers);
}

void Sq8Range::query_codes(std::span<const double> x, std::int16_t* out) const {
  // Dividing by a power of two and multiplying by its exact reciprocal both
  // round the same real quotient: the same bits, without a division each.
  const double inverse = 1.0 / step_;
  if (!power_of_two_step() || !std::isfinite(inverse)) {
    for (std::size_t d = 0; d < x.size(); ++d) out[d] = query_code(d, x[d]);
    return;
  }
  for (std::size_t d = 0; d < x.size(); ++d) {
    out[d] = static_cast<std::int16_t>(
        clamped_round((x[d] - offsets_[d]) * inverse, kQueryCodeLow, kQueryCodeHigh));
  }
}

Sq8Range::Sq8Range(std::vector<double> offsets, double step)
    : dim_(offsets.size()), offsets_(std::move(offsets)), step_(step) {}

bool Sq8Range::covers(std::span<const double> rows) const {
  if (empty()) return rows.empty();
  const double width = step_ * kLargestCode;
  bool inside = true;
  for (std::size_t row = 0; row < rows.size(); row += dim_) {
    for (std::size_t d = 0; d < dim_; ++d) {
      const double x = rows[row + d];
      inside &= x >= offsets_[d] && x <= offsets_[d] + width;
    }
  }
  return inside;
}

void Sq8Range::widen(std::span<const double> rows) {
  if (rows.empty() || dim_ == 0) return;
  const bool first = empty();
  const double old_width = first ? 0.0 : step_ * kLargestCode;
  std::vector<double> low(dim_, std::numeric_limits<double>::infinity());
  std::vector<double> high(dim_, -std::numeric_limits<double>::infinity());
  for (std::size_t row = 0; row < rows.size(); row += dim_) {
    for (std::size_t d = 0; d < dim_; ++d) {
      low[d] = std::min(low[d], rows[row + d]);
      high[d] = std::max(high[d], rows[row + d]);
    }
  }
  std::vector<bool> over_low(dim_, false);
  std::vector<bool> over_high(dim_, false);
  if (!first) {
    for (std::size_t d = 0; d < dim_; ++d) {
      over_low[d] = low[d] < offsets_[d];
      over_high[d] = high[d] > offsets_[d] + old_width;
      low[d] = std::min(low[d], offsets_[d]);
      high[d] = std::max(high[d], offsets_[d] + old_width);
    }
  }
  double width = 0.0;
  for (std::size_t d = 0; d < dim_; ++d) width = std::max(width, high[d] - low[d]);
  const double margin = width * kMarginShare;
  double widened = 0.0;
  for (std::size_t d = 0; d < dim_; ++d) {
    if (over_low[d]) low[d] -= margin;
    if (over_high[d]) high[d] += margin;
    widened = std::max(widened, high[d] - low[d]);
  }
  // All rows equal so far: any step codes them; the next ones widen it.
  double step = widened > 0.0 ? widened / kLargestCode : 1.0;
  // The rounded step times 255 may fall an ulp short of a row's component,
  // which covers() would then find outside (and a loaded copy widen again).
  for (std::size_t d = 0; d < dim_; ++d) {
    while (low[d] + step * kLargestCode < high[d])
      step = std::nextafter(step, std::numeric_limits<double>::infinity());
  }
  offsets_ = std::move(low);
  step_ = step;
}

}  // namespace halqen::codes
