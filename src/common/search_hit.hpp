// One search result, the same for every index, and the search defaults both share.
#pragma once

#include <cstdint>

namespace halqen {

// The raw metric value between the query and stored vector `id` (ids count
// from 0 in insertion order).
struct SearchHit {
  double distance;
  std::uint64_t id;
};

// How many results a search returns when the caller names no k.
inline constexpr std::uint64_t kDefaultSearchK = 1;

}  // namespace halqen
