// The errors the approximate index reports as values.
#pragma once

#include <string_view>

#include "filter/filter.hpp"

namespace halqen {

// Declaration order is the numbering the Python layer shows.
enum class HNSWError {
  InvalidEF,          // a layer search asked for width 0
  InvalidLayer,       // a layer search asked for a layer at or above `layers`
  NoSchema,           // a filter used on an index without a schema
  EmptySchema,        // a filter used on an index whose schema has no names
  AttributeNotFound,  // a filter names no schema attribute; or create's record count differs
  EmptyVectors,       // create given no vectors
  InvalidNodeID,      // a linking result without a neighbour list (not produced in practice)
  Interrupted,        // a bulk insertion stopped because its interrupt asked
};

// The variant's name exactly as declared, e.g. "InvalidEF"; "Unknown" for a
// value outside the enumeration.
std::string_view hnsw_error_name(HNSWError error);

// The graph's variant for a filter's error (the variant of the same name).
HNSWError to_hnsw_error(FilterError error);

}  // namespace halqen
