// The file side of the kind list (kinds/index_kinds.hpp): every listed kind
// must be storable, its decoded parts and the rows the header reader checks
// follow the list's order, and no two kinds share a file kind code.
#pragma once

#include <array>
#include <cstddef>
#include <variant>

#include "io/file_kind.hpp"
#include "io/flat_file.hpp"
#include "io/graph_file.hpp"
#include "io/hnsw_file.hpp"
#include "io/partition_file.hpp"
#include "kinds/index_kinds.hpp"

namespace halqen::io {

template <class Kinds>
struct KindFiles;

template <class... Cores>
struct KindFiles<kinds::KindList<Cores...>> {
  static_assert((StoredKind<Cores> && ...), "every index kind needs its FileKind");

  // Any kind's decoded parts, in the list's order.
  using Parts = std::variant<typename FileKind<Cores>::Parts...>;

  static constexpr std::array<KindFileRow, sizeof...(Cores)> kFileRows = {file_row<Cores>()...};
};

using IndexFiles = KindFiles<kinds::IndexKinds>;

constexpr bool kind_codes_are_distinct() {
  const auto& rows = IndexFiles::kFileRows;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (std::size_t j = i + 1; j < rows.size(); ++j) {
      if (rows[i].code == rows[j].code) return false;
    }
  }
  return true;
}
static_assert(kind_codes_are_distinct(), "two index kinds share a file kind code");

}  // namespace halqen::io
