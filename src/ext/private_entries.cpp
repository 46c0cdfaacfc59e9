#include "ext/private_entries.hpp"

#include <algorithm>
#include <span>
#include <variant>

#include "module/py_kinds.hpp"

namespace halqen::py {

PyResult<ArgumentTuple> FromPython<ArgumentTuple>::convert(PyObject* o) {
  if (!PyTuple_Check(o)) {
    return std::unexpected(downcast_error(o, "PyTuple"));
  }
  return ArgumentTuple{Ref::borrow(o)};
}

PyResult<NoneResult> check_arguments(BorrowedIndex index, std::string method,
                                     ArgumentTuple arguments) {
  const auto [checks, class_name] = std::visit(
      []<class Core>(const Core*) {
        return std::pair(PyKind<Core>::checks(), PyKind<Core>::kName);
      },
      index.index());
  const auto check =
      std::ranges::find_if(checks, [&](const CheckEntry& entry) { return method == entry.method; });
  if (check == checks.end()) {
    return std::unexpected(
        PyErr::new_err(PyExc_ValueError,
                       std::string(class_name) + " has no argument checks for '" + method + "'"));
  }
  PyObject* tuple = arguments.tuple.get();
  Ref checked = Ref::steal(
      check->entry(index.object(), PySequence_Fast_ITEMS(tuple), PyTuple_GET_SIZE(tuple), nullptr));
  if (!checked) {
    return fetch_error();
  }
  return NoneResult{};
}

PyResult<std::uint64_t> heap_bytes(BorrowedIndex index) {
  return std::visit([](const auto* core) { return core->heap_bytes(); }, index.index());
}

}  // namespace halqen::py
