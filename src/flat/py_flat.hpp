// What PyFlat.search checks and answers, shared with halqen_ext's batch
// search so that both raise the same errors and build the same results.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "common/search_hit.hpp"
#include "flat/flat.hpp"
#include "module/py_err.hpp"

namespace halqen::py {

// One PyFlat result: (id, distance).
using FlatHits = std::vector<std::pair<std::uint64_t, double>>;

// ValueError "Expected query of length {dim}, got {length}".
PyResult<void> check_query_length(const FlatIndex& index, std::span<const double> query);

// ValueError "Search error: {name of the error}".
PyErr flat_search_error(FlatError error);

FlatHits flat_hits(std::span<const SearchHit> hits);

}  // namespace halqen::py
