#include "hnsw/hnsw_error.hpp"

namespace halqen {

std::string_view hnsw_error_name(HNSWError error) {
  switch (error) {
    case HNSWError::InvalidEF:
      return "InvalidEF";
    case HNSWError::InvalidLayer:
      return "InvalidLayer";
    case HNSWError::NoSchema:
      return "NoSchema";
    case HNSWError::EmptySchema:
      return "EmptySchema";
    case HNSWError::AttributeNotFound:
      return "AttributeNotFound";
    case HNSWError::EmptyVectors:
      return "EmptyVectors";
    case HNSWError::InvalidNodeID:
      return "InvalidNodeID";
  }
  return "Unknown";
}

}  // namespace halqen
