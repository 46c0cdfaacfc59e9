// Every index kind, in one list. Whatever deals with "any index" (the file
// header's kind codes, the encoder and decoder, the Python boundary's borrow,
// classes, pickling and batch searches) reaches the kinds through it, so a
// kind is added here once: its core (with its capabilities), its FileKind
// (io/<kind>_file.hpp, required by io/kind_files.hpp) and its Python class
// description (module/py_kinds.hpp). The list needs the cores alone; what
// each layer above asks of a kind, that layer checks over the list.
#pragma once

#include <concepts>
#include <cstddef>
#include <type_traits>
#include <variant>

#include "common/kind_capabilities.hpp"
#include "flat/flat.hpp"
#include "graph/graph_index.hpp"
#include "hnsw/hnsw.hpp"
#include "partition/partition_index.hpp"

namespace halqen::kinds {

// A core says what it supports: code serving every kind asks, not branches.
template <class Core>
concept IndexCore = requires {
  { Core::kCapabilities } -> std::convertible_to<KindCapabilities>;
};

template <IndexCore... Cores>
struct KindList {
  static constexpr std::size_t kCount = sizeof...(Cores);

  // An index of any kind, owned (as loaded) or borrowed.
  using Owned = std::variant<Cores...>;
  using Borrowed = std::variant<const Cores*...>;

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
};

using IndexKinds = KindList<FlatIndex, HNSW, graph::GraphIndex, partition::PartitionIndex>;

}  // namespace halqen::kinds
