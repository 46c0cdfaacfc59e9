// What every vector a graph index stores or is asked about must be, whether
// it comes from an add, a query or a file: finite components and, under the
// cosine, a squared norm above 0 as the metric computes it (a vector whose
// squares all underflow has none, though not every component is 0). A walk
// ordered by NaN keys would answer at random.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "graph/graph_error.hpp"

namespace halqen::graph {

// NotFinite (detail: the component) or ZeroVector for `values`, numbered
// `row`; nothing when it may be stored or searched for.
std::optional<GraphError> check_row(std::span<const double> values, bool cosine, std::uint64_t row);

// BeyondFloat32 (detail: the component) where a finite number of `values`
// rounds to an infinite float32: rows held to float32 cannot keep it.
std::optional<GraphError> check_float32_row(std::span<const double> values, std::uint64_t row);
// Each number rounded to the nearest float32 value (held as a double).
void round_to_float32(std::span<double> values);

// The sentence for a query that check_row refused, `row` its place in the call.
std::string describe_query(const GraphError& error);

}  // namespace halqen::graph
