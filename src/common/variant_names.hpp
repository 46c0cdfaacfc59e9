// Variant names of an enumeration, kept in one table in declaration order so
// that a name and its enumerator cannot drift apart.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace halqen {

// The name of `value` in `names` (indexed by the enumerator's value), or
// nullopt for a value outside the table.
template <class Enum, std::size_t N>
constexpr std::optional<std::string_view> variant_name(const std::array<std::string_view, N>& names,
                                                       Enum value) {
  const auto index = static_cast<std::size_t>(value);
  if (index >= N) {
    return std::nullopt;
  }
  return names[index];
}

}  // namespace halqen
