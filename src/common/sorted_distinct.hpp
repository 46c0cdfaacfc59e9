// Sorting a list of numbers and keeping each once: what the graph does with
// every set of nodes it gathers from several lists.
#pragma once

#include <algorithm>
#include <vector>

namespace halqen {

template <typename T>
void sort_distinct(std::vector<T>& values) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
}

}  // namespace halqen
