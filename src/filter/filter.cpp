#include "filter/filter.hpp"

#include <stdexcept>
#include <utility>

namespace halqen {

Filter equality_filter(std::string attribute, Metadata value) {
  auto predicate = std::make_shared<const MetadataPredicate>(
      [expected = std::move(value)](const Metadata& candidate) { return candidate == expected; });
  return Filter{std::move(attribute), std::move(predicate)};
}

std::expected<std::size_t, FilterError> attribute_position(std::string_view attribute,
                                                           const std::optional<Schema>& schema) {
  if (!schema) {
    return std::unexpected(FilterError::NoSchema);
  }
  if (schema->empty()) {
    return std::unexpected(FilterError::EmptySchema);
  }
  for (std::size_t position = 0; position < schema->size(); ++position) {
    if ((*schema)[position] == attribute) {
      return position;
    }
  }
  return std::unexpected(FilterError::AttributeNotFound);
}

std::expected<std::size_t, FilterError> validate_filter(const Filter& filter,
                                                        const std::optional<Schema>& schema) {
  if (!filter.predicate) {
    throw std::invalid_argument("filter on attribute '" + filter.attribute + "' has no predicate");
  }
  return attribute_position(filter.attribute, schema);
}

bool node_matches(const Filter& filter, std::size_t attribute_position, const MetadataStore& store,
                  std::uint64_t node) {
  const Metadata* value = store.value(node, attribute_position);
  return value != nullptr && (*filter.predicate)(*value);
}

}  // namespace halqen
