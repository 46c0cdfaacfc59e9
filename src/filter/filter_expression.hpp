// A filter as users write it, compiled: tests of one attribute (any of some
// values, a numeric range), lists of ids, and their and, or and not. The
// boundary parses and checks it against the schema once per call; a search
// evaluates this form with no interpreter in sight.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "metadata/metadata.hpp"

namespace halqen {

// One end of a range: an Int or a Float, never NaN, and whether a value
// equal to it is admitted.
struct RangeEnd {
  Metadata number;
  bool inclusive = true;
};

struct FilterExpression {
  enum class Kind {
    AnyOf,  // the value at `position` equals one of `values` (metadata equality)
    Range,  // the value at `position` is a number between `lower` and `upper`
    Ids,    // the vector's id is one of `ids`
    And,    // every operand admits the vector (none: every vector)
    Or,     // some operand does (none: no vector)
    Not,    // its one operand does not: every vector the operand leaves out
  };

  Kind kind = Kind::And;
  std::size_t position = 0;
  std::vector<Metadata> values;
  std::optional<RangeEnd> lower;
  std::optional<RangeEnd> upper;
  std::vector<std::uint64_t> ids;  // ascending, distinct
  std::vector<FilterExpression> operands;

  static FilterExpression any_of(std::size_t position, std::vector<Metadata> values);
  static FilterExpression range(std::size_t position, std::optional<RangeEnd> lower,
                                std::optional<RangeEnd> upper);
  static FilterExpression id_in(std::vector<std::uint64_t> ids);
  static FilterExpression all_of(std::vector<FilterExpression> operands);
  static FilterExpression one_of(std::vector<FilterExpression> operands);
  static FilterExpression negation(FilterExpression operand);
};

// a < b, a == b, a > b as -1, 0, 1, comparing Ints and Floats by their exact
// values, as Python compares an int with a float. Precondition: both are
// numbers and neither is NaN.
int compare_numbers(const Metadata& a, const Metadata& b);

// Whether a stored value is a number within the range: a text never is, nor
// is NaN.
bool in_range(const Metadata& value, const std::optional<RangeEnd>& lower,
              const std::optional<RangeEnd>& upper);

}  // namespace halqen
