#include "filter/filter_expression.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace halqen {

FilterExpression FilterExpression::any_of(std::size_t position, std::vector<Metadata> values) {
  FilterExpression made;
  made.kind = Kind::AnyOf;
  made.position = position;
  made.values = std::move(values);
  return made;
}

FilterExpression FilterExpression::range(std::size_t position, std::optional<RangeEnd> lower,
                                         std::optional<RangeEnd> upper) {
  FilterExpression made;
  made.kind = Kind::Range;
  made.position = position;
  made.lower = std::move(lower);
  made.upper = std::move(upper);
  return made;
}

FilterExpression FilterExpression::id_in(std::vector<std::uint64_t> ids) {
  std::ranges::sort(ids);
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  FilterExpression made;
  made.kind = Kind::Ids;
  made.ids = std::move(ids);
  return made;
}

namespace {

// Of two lower ends, the one that admits less; of two upper ends with
// `upper`. At equal numbers the exclusive end admits less.
std::optional<RangeEnd> tighter(std::optional<RangeEnd> a, std::optional<RangeEnd> b, bool upper) {
  if (!a) return b;
  if (!b) return a;
  const int order = compare_numbers(a->number, b->number);
  if (order == 0) return a->inclusive ? b : a;
  return (order > 0) != upper ? a : b;
}

// The ranges among `operands` on one attribute, made one (a range with both
// ends from "$gte" and "$lt" is one run of slots, not two sets), in the
// place of the first.
std::vector<FilterExpression> ranges_joined(std::vector<FilterExpression> operands) {
  std::vector<FilterExpression> joined;
  joined.reserve(operands.size());
  for (FilterExpression& operand : operands) {
    const auto same_range = std::ranges::find_if(joined, [&](const FilterExpression& kept) {
      return operand.kind == FilterExpression::Kind::Range &&
             kept.kind == FilterExpression::Kind::Range && kept.position == operand.position;
    });
    if (same_range == joined.end()) {
      joined.push_back(std::move(operand));
      continue;
    }
    same_range->lower = tighter(std::move(same_range->lower), std::move(operand.lower), false);
    same_range->upper = tighter(std::move(same_range->upper), std::move(operand.upper), true);
  }
  return joined;
}

}  // namespace

FilterExpression FilterExpression::all_of(std::vector<FilterExpression> operands) {
  std::vector<FilterExpression> joined = ranges_joined(std::move(operands));
  if (joined.size() == 1) return std::move(joined.front());
  FilterExpression made;
  made.kind = Kind::And;
  made.operands = std::move(joined);
  return made;
}

FilterExpression FilterExpression::one_of(std::vector<FilterExpression> operands) {
  FilterExpression made;
  made.kind = Kind::Or;
  made.operands = std::move(operands);
  return made;
}

FilterExpression FilterExpression::negation(FilterExpression operand) {
  FilterExpression made;
  made.kind = Kind::Not;
  made.operands.push_back(std::move(operand));
  return made;
}

namespace {

template <class T>
int sign_of_difference(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

// An Int against a Float, exactly: the Float's integer part decides unless
// it equals the Int, when its fraction does.
int compare_int_float(std::int64_t a, double b) {
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (b >= kTwoTo63) return -1;
  if (b < -kTwoTo63) return 1;
  const double whole = std::trunc(b);
  const auto whole_int = static_cast<std::int64_t>(whole);
  if (a != whole_int) return sign_of_difference(a, whole_int);
  const double fraction = b - whole;  // exact
  return fraction > 0.0 ? -1 : (fraction < 0.0 ? 1 : 0);
}

}  // namespace

int compare_numbers(const Metadata& a, const Metadata& b) {
  const auto* a_int = std::get_if<std::int64_t>(&a.value);
  const auto* b_int = std::get_if<std::int64_t>(&b.value);
  if (a_int != nullptr && b_int != nullptr) return sign_of_difference(*a_int, *b_int);
  if (a_int != nullptr) return compare_int_float(*a_int, std::get<double>(b.value));
  if (b_int != nullptr) return -compare_int_float(*b_int, std::get<double>(a.value));
  return sign_of_difference(std::get<double>(a.value), std::get<double>(b.value));
}

bool in_range(const Metadata& value, const std::optional<RangeEnd>& lower,
              const std::optional<RangeEnd>& upper) {
  if (std::holds_alternative<std::string>(value.value)) return false;
  if (const auto* number = std::get_if<double>(&value.value); number && std::isnan(*number)) {
    return false;
  }
  if (lower) {
    const int order = compare_numbers(value, lower->number);
    if (order < 0 || (order == 0 && !lower->inclusive)) return false;
  }
  if (upper) {
    const int order = compare_numbers(value, upper->number);
    if (order > 0 || (order == 0 && !upper->inclusive)) return false;
  }
  return true;
}

}  // namespace halqen
