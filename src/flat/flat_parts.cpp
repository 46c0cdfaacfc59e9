// Rebuilding an exact index from its parts.
#include <stdexcept>
#include <string>
#include <utility>

#include "common/checked_product.hpp"
#include "flat/flat.hpp"

namespace halqen {
namespace {

bool is_known_metric(MetricKind metric) {
  try {
    metric_function(metric);
    return true;
  } catch (const std::invalid_argument&) {
    return false;
  }
}

std::expected<void, InvalidParts> check_parts(const FlatParts& parts) {
  if (!is_known_metric(parts.metric)) {
    return std::unexpected(
        InvalidParts{"unknown metric kind " + std::to_string(static_cast<int>(parts.metric))});
  }
  const std::optional<std::uint64_t> components = checked_product(parts.count, parts.dim);
  if (!components) {
    return std::unexpected(InvalidParts{std::to_string(parts.count) + " vectors of dimension " +
                                        std::to_string(parts.dim) + " overflow 64 bits"});
  }
  if (*components != parts.vectors.size()) {
    return std::unexpected(InvalidParts{std::to_string(parts.count) + " vectors of dimension " +
                                        std::to_string(parts.dim) + " need " +
                                        std::to_string(*components) + " components, " +
                                        std::to_string(parts.vectors.size()) + " given"});
  }
  if (parts.dim == 0 && parts.count > FlatIndex::kMaxCountWithoutComponents) {
    return std::unexpected(InvalidParts{std::to_string(parts.count) +
                                        " vectors of dimension 0 exceed the limit of " +
                                        std::to_string(FlatIndex::kMaxCountWithoutComponents)});
  }
  return {};
}

}  // namespace

std::expected<FlatIndex, InvalidParts> FlatIndex::from_parts(FlatParts parts) {
  if (auto checked = check_parts(parts); !checked) {
    return std::unexpected(std::move(checked).error());
  }
  FlatIndex index(parts.dim, parts.metric);
  if (index.keeps_norms_) {
    index.norms_.reserve(parts.count);
    for (std::uint64_t id = 0; id < parts.count; ++id) {
      index.norms_.push_back(
          squared_norm(VectorView(parts.vectors).subspan(id * parts.dim, parts.dim)));
    }
  }
  index.deleted_.assign(parts.count, false);
  index.vectors_ = std::move(parts.vectors);
  index.count_ = parts.count;
  return index;
}

}  // namespace halqen
