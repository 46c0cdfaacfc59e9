#include "hnsw/hnsw_error.hpp"

#include <array>

#include "common/variant_names.hpp"

namespace halqen {
namespace {

constexpr std::array<std::string_view, 8> kNames{
    "InvalidEF",         "InvalidLayer", "NoSchema",      "EmptySchema",
    "AttributeNotFound", "EmptyVectors", "InvalidNodeID", "Interrupted",
};

}  // namespace

std::string_view hnsw_error_name(HNSWError error) {
  return variant_name(kNames, error).value_or("Unknown");
}

HNSWError to_hnsw_error(FilterError error) {
  switch (error) {
    case FilterError::NoSchema:
      return HNSWError::NoSchema;
    case FilterError::EmptySchema:
      return HNSWError::EmptySchema;
    case FilterError::AttributeNotFound:
      return HNSWError::AttributeNotFound;
  }
  return HNSWError::AttributeNotFound;
}

}  // namespace halqen
