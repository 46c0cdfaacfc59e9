#include <stdexcept>
#include <string>

#include "flat/flat.hpp"

namespace halqen {

std::string_view flat_error_name(FlatError error) {
  switch (error) {
    case FlatError::EmptyIndex:
      return "EmptyIndex";
    case FlatError::EmptyVectors:
      return "EmptyVectors";
    case FlatError::MetadataMismatch:
      return "MetadataMismatch";
    case FlatError::NoSchema:
      return "NoSchema";
    case FlatError::EmptySchema:
      return "EmptySchema";
    case FlatError::AttributeNotFound:
      return "AttributeNotFound";
  }
  throw std::invalid_argument("unknown FlatError value " + std::to_string(static_cast<int>(error)));
}

}  // namespace halqen
