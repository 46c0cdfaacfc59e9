// A parameter naming an instance of either index class: `BorrowedIndex` as
// the parameter type of a module-level function (module/entry.hpp).
#pragma once

#include <Python.h>

#include <variant>

#include "flat/flat.hpp"
#include "hnsw/hnsw.hpp"
#include "module/borrow.hpp"
#include "module/convert.hpp"
#include "module/py_err.hpp"

namespace halqen::py {

// The index of a PyFlat or PyHNSW instance, borrowed shared from conversion
// until the value is destroyed (when the call returns, on every path), so
// that no insertion changes it meanwhile. The instance is kept alive as long.
class BorrowedIndex {
 public:
  using Index = std::variant<const FlatIndex*, const HNSW*>;

  // TypeError naming the object's type for anything but an instance of the
  // two classes; RuntimeError "Already mutably borrowed" while an insertion
  // holds the instance.
  static PyResult<BorrowedIndex> borrow(PyObject* object);

  const Index& index() const { return index_; }

 private:
  BorrowedIndex(Ref object, Index index, BorrowGuard guard)
      : object_(std::move(object)), index_(index), guard_(std::move(guard)) {}

  // Declared before the guard: the borrow ends before the reference goes.
  Ref object_;
  Index index_;
  BorrowGuard guard_;
};

template <>
struct FromPython<BorrowedIndex> {
  static PyResult<BorrowedIndex> convert(PyObject* o) { return BorrowedIndex::borrow(o); }
};

}  // namespace halqen::py
