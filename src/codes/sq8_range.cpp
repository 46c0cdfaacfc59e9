#include "codes/sq8_range.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace halqen::codes {
namespace {

// A widening adds this share of the new width on the side that overflowed.
constexpr double kMarginShare = 1.0 / 8.0;

// x rounded to the nearest integer and clamped to [low, high]; NaN (an
// infinite range) gives low.
int clamped_round(double x, int low, int high) {
  if (!(x >= low)) return low;
  if (x >= high) return high;
  return static_cast<int>(std::lround(x));
}

}  // namespace

Sq8Range::Sq8Range(std::vector<double> offsets, double step)
    : dim_(offsets.size()), offsets_(std::move(offsets)), step_(step) {}

bool Sq8Range::covers(std::span<const double> rows) const {
  if (empty()) return rows.empty();
  const double width = step_ * kLargestCode;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::size_t d = i % dim_;
    if (rows[i] < offsets_[d] || rows[i] > offsets_[d] + width) return false;
  }
  return true;
}

void Sq8Range::widen(std::span<const double> rows) {
  if (rows.empty() || dim_ == 0) return;
  const bool first = empty();
  const double old_width = first ? 0.0 : step_ * kLargestCode;
  std::vector<double> low(dim_, std::numeric_limits<double>::infinity());
  std::vector<double> high(dim_, -std::numeric_limits<double>::infinity());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    low[i % dim_] = std::min(low[i % dim_], rows[i]);
    high[i % dim_] = std::max(high[i % dim_], rows[i]);
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
  offsets_ = std::move(low);
  // All rows equal so far: any step codes them; the next ones widen it.
  step_ = widened > 0.0 ? widened / kLargestCode : 1.0;
}

std::uint8_t Sq8Range::code(std::size_t d, double x) const {
  return static_cast<std::uint8_t>(clamped_round(position(d, x), 0, kLargestCode));
}

std::int16_t Sq8Range::query_code(std::size_t d, double x) const {
  return static_cast<std::int16_t>(clamped_round(position(d, x), kQueryCodeLow, kQueryCodeHigh));
}

}  // namespace halqen::codes
