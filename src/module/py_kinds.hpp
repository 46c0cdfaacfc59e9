// The Python classes of every index kind (kinds/index_kinds.hpp lists the
// kinds): each kind's class description, checked here, so that a kind
// without one fails to compile.
#pragma once

#include <Python.h>

#include <array>
#include <concepts>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "ext/graph/py_graph_index.hpp"
#include "ext/partition/py_partition_index.hpp"
#include "flat/py_flat.hpp"
#include "hnsw/py_hnsw.hpp"
#include "kinds/index_kinds.hpp"
#include "module/py_kind.hpp"

namespace halqen::py {

template <class Core>
concept PythonKind = requires(const Core& index, const BatchRequest& request,
                              std::span<const SearchHit> hits, PyObject* kwargs) {
  { PyKind<Core>::kName } -> std::convertible_to<const char*>;
  { PyKind<Core>::kHome } -> std::convertible_to<ClassHome>;
  { PyKind<Core>::create_type() } -> std::same_as<PyObject*>;
  { PyKind<Core>::batch_hits(index, request) } -> std::same_as<PyResult<BatchHits>>;
  { PyKind<Core>::batch_answer(index, hits) } -> std::same_as<typename PyKind<Core>::BatchAnswer>;
  { PyKind<Core>::settings(kwargs) } -> std::same_as<PyResult<typename PyKind<Core>::Settings>>;
  {
    PyKind<Core>::checks()
    } -> std::same_as<std::span<const CheckEntry<typename PyKind<Core>::Settings>>>;
  { index.heap_bytes() } -> std::same_as<std::uint64_t>;
};

template <class Kinds>
struct PythonKinds;
template <class... Cores>
struct PythonKinds<kinds::KindList<Cores...>> {
  static_assert((PythonKind<Cores> && ...), "every index kind needs its PyKind description");
  // What search_batch returns: one kind's answers (alternatives in list order).
  using BatchAnswers = std::variant<std::vector<typename PyKind<Cores>::BatchAnswer>...>;
  // The same, each hit as (id, what search_batch gives for it).
  using LabelledAnswers = std::variant<std::vector<
      std::vector<std::pair<std::uint64_t, typename PyKind<Cores>::BatchAnswer::value_type>>>...>;
  static constexpr std::array<const char*, sizeof...(Cores)> kNames = {PyKind<Cores>::kName...};
};

using IndexClasses = PythonKinds<kinds::IndexKinds>;

// "PyFlat | PyHNSW": the classes a parameter naming any index accepts.
inline std::string index_class_names() {
  std::string names;
  for (const char* name : IndexClasses::kNames) {
    names += (names.empty() ? "" : " | ") + std::string(name);
  }
  return names;
}

}  // namespace halqen::py
