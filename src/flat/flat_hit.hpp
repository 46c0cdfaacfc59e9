// One search result of the flat index.
#pragma once

#include <cstdint>

namespace halqen {

struct FlatHit {
  std::uint64_t id;  // position of the stored vector in insertion order
  double distance;   // the metric's raw value for the query and that vector
};

}  // namespace halqen
