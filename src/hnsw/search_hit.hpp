// One result of a graph search.
#pragma once

#include <cstdint>

namespace halqen {

// The raw metric value between the query and node `id`.
struct SearchHit {
  double distance;
  std::uint64_t id;
};

}  // namespace halqen
