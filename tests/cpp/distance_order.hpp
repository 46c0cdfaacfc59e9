// How metric values rank: numerically, -0.0 equal to 0.0, NaN after every
// number, two NaNs equal.
#pragma once

#include <cmath>

namespace halqen {

// Whether `a` ranks strictly before `b`.
inline bool distance_before(double a, double b) {
  if (std::isnan(a)) {
    return false;
  }
  return std::isnan(b) || a < b;
}

}  // namespace halqen
