// Search filters over node metadata.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "metadata/metadata.hpp"
#include "metadata/metadata_store.hpp"

namespace halqen {

// Why a filter cannot be applied to an index's schema.
enum class FilterError {
  NoSchema,           // the index has no schema
  EmptySchema,        // the schema has no names
  AttributeNotFound,  // the filter names no schema attribute
};

using MetadataPredicate = std::function<bool(const Metadata&)>;

// Admits the nodes whose value for `attribute` satisfies `predicate`. The
// predicate is shared by every copy of the filter.
struct Filter {
  std::string attribute;
  std::shared_ptr<const MetadataPredicate> predicate;
};

// A filter admitting values equal to `value` (Metadata equality: NaN matches
// nothing, -0.0 matches 0.0, alternatives never match each other).
Filter equality_filter(std::string attribute, Metadata value);

// The schema position of `attribute` (first byte-equal name), or, checked in
// this order, NoSchema, EmptySchema, AttributeNotFound.
std::expected<std::size_t, FilterError> attribute_position(std::string_view attribute,
                                                           const std::optional<Schema>& schema);

// attribute_position of the filter's attribute.
// Precondition: filter.predicate is set (throws std::invalid_argument).
std::expected<std::size_t, FilterError> validate_filter(const Filter& filter,
                                                        const std::optional<Schema>& schema);

// Whether node `node`'s value at `attribute_position` (from validate_filter)
// satisfies the predicate. A node without a value there (inserted without a
// record) never matches. Reads nothing outside the store.
bool node_matches(const Filter& filter, std::size_t attribute_position, const MetadataStore& store,
                  std::uint64_t node);

}  // namespace halqen
