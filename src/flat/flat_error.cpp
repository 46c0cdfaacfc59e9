#include "flat/flat_error.hpp"

#include <array>
#include <stdexcept>
#include <string>

#include "common/variant_names.hpp"

namespace halqen {
namespace {

constexpr std::array<std::string_view, 6> kNames{
    "EmptyIndex", "EmptyVectors", "MetadataMismatch",
    "NoSchema",   "EmptySchema",  "AttributeNotFound",
};

}  // namespace

std::string_view flat_error_name(FlatError error) {
  if (const auto name = variant_name(kNames, error)) {
    return *name;
  }
  throw std::invalid_argument("unknown FlatError value " + std::to_string(static_cast<int>(error)));
}

}  // namespace halqen
