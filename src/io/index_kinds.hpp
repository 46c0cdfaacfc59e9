// Every index kind, in one list. Whatever deals with "any index" (the file
// header's kind codes, the encoder and decoder, the Python boundary's borrow,
// classes, pickling and batch searches) reaches the kinds through it, so a
// kind is added here once: its core (with its capabilities), its FileKind
// (io/<kind>_file.hpp) and its Python class description (module/py_kinds.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>
#include <variant>

#include "io/file_kind.hpp"
#include "io/flat_file.hpp"
#include "io/graph_file.hpp"
#include "io/hnsw_file.hpp"

namespace halqen::io {

template <StoredKind... Cores>
struct KindList {
  static constexpr std::size_t kCount = sizeof...(Cores);

  // An index of any kind, owned (as loaded) or borrowed.
  using Owned = std::variant<Cores...>;
  using Borrowed = std::variant<const Cores*...>;
  // Any kind's decoded parts, in the same order.
  using Parts = std::variant<typename FileKind<Cores>::Parts...>;

  // Calls visit(std::type_identity<Core>{}) for each kind, in list order.
  template <class Visit>
  static constexpr void for_each(Visit&& visit) {
    (visit(std::type_identity<Cores>{}), ...);
  }

  // The kind's place in the list.
  template <class Core>
  static constexpr std::size_t position() {
    std::size_t place = 0;
    const bool found = ((std::is_same_v<Core, Cores> || (++place, false)) || ...);
    return found ? place : kCount;
  }

  static constexpr std::array<KindFileRow, kCount> kFileRows = {file_row<Cores>()...};
};

using IndexKinds = KindList<FlatIndex, HNSW, graph::GraphIndex>;

constexpr bool kind_codes_are_distinct() {
  const auto& rows = IndexKinds::kFileRows;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (std::size_t j = i + 1; j < rows.size(); ++j) {
      if (rows[i].code == rows[j].code) return false;
    }
  }
  return true;
}
static_assert(kind_codes_are_distinct(), "two index kinds share a file kind code");

}  // namespace halqen::io
