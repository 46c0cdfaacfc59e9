#include "ext/private_entries.hpp"

#include <algorithm>
#include <span>
#include <type_traits>
#include <variant>

#include "kinds/index_kinds.hpp"
#include "module/py_kinds.hpp"

namespace halqen::py {
namespace {

// The checks of one class: its settings, then the method's own.
template <class Core>
PyResult<NoneResult> check_kind(const KeywordDict& settings,
                                const std::optional<std::string>& method,
                                const std::optional<ArgumentTuple>& arguments) {
  const std::span<const CheckEntry<typename PyKind<Core>::Settings>> checks =
      PyKind<Core>::checks();
  const auto check =
      method
          ? std::ranges::find_if(checks, [&](const auto& entry) { return *method == entry.method; })
          : checks.end();
  if (method && check == checks.end()) {
    return std::unexpected(PyErr::new_err(
        PyExc_ValueError,
        std::string(PyKind<Core>::kName) + " has no argument checks for '" + *method + "'"));
  }
  HALQEN_TRY_ASSIGN(const auto checked_settings, PyKind<Core>::settings(settings.dict.get()));
  if (!method) {
    return NoneResult{};
  }
  PyObject* const* items = nullptr;
  Py_ssize_t count = 0;
  if (arguments) {
    items = PySequence_Fast_ITEMS(arguments->tuple.get());
    count = PyTuple_GET_SIZE(arguments->tuple.get());
  }
  HALQEN_TRY_VOID(check->entry(checked_settings, items, count, nullptr));
  return NoneResult{};
}

}  // namespace

PyResult<ArgumentTuple> FromPython<ArgumentTuple>::convert(PyObject* o) {
  if (!PyTuple_Check(o)) {
    return std::unexpected(downcast_error(o, "PyTuple"));
  }
  return ArgumentTuple{Ref::borrow(o)};
}

PyResult<KeywordDict> FromPython<KeywordDict>::convert(PyObject* o) {
  if (!PyDict_Check(o)) {
    return std::unexpected(downcast_error(o, "PyDict"));
  }
  return KeywordDict{Ref::borrow(o)};
}

PyResult<NoneResult> check_arguments(std::string kind, KeywordDict settings,
                                     std::optional<std::string> method,
                                     std::optional<ArgumentTuple> arguments) {
  std::optional<PyResult<NoneResult>> checked;
  kinds::IndexKinds::for_each([&]<class Core>(std::type_identity<Core>) {
    if (!checked && kind == PyKind<Core>::kName) {
      checked.emplace(check_kind<Core>(settings, method, arguments));
    }
  });
  if (!checked) {
    return std::unexpected(PyErr::new_err(
        PyExc_ValueError, "no index class is named '" + kind + "': " + index_class_names()));
  }
  return std::move(*checked);
}

PyResult<std::uint64_t> heap_bytes(BorrowedIndex index) {
  return std::visit([](const auto* core) { return core->heap_bytes(); }, index.index());
}

}  // namespace halqen::py
