// The errors the exact index reports as values.
#pragma once

#include <string_view>

namespace halqen {

// Declaration order fixes the discriminants 0 to 5. The index itself produces
// only EmptyIndex; EmptyVectors belongs to bulk creation by the caller; the
// other four exist for parity with the approximate index's errors.
enum class FlatError {
  EmptyIndex,
  EmptyVectors,
  MetadataMismatch,
  NoSchema,
  EmptySchema,
  AttributeNotFound
};

// The variant's name exactly as declared, e.g. "EmptyIndex". Throws
// std::invalid_argument for a value outside the enumeration.
std::string_view flat_error_name(FlatError error);

}  // namespace halqen
