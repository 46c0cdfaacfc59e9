// A parameter naming an instance of any index class: `BorrowedIndex` as the
// parameter type of a module-level function (module/entry.hpp).
#pragma once

#include <Python.h>

#include <optional>

#include "graph/change_gate.hpp"
#include "kinds/index_kinds.hpp"
#include "module/borrow.hpp"
#include "module/convert.hpp"
#include "module/py_err.hpp"

namespace halqen::py {

// The index of an instance of any kind, borrowed shared from conversion
// until the value is destroyed (when the call returns, on every path), so
// that no insertion changes it meanwhile. The instance is kept alive as long.
class BorrowedIndex {
 public:
  // One pointer per kind (kinds/index_kinds.hpp): visiting it reaches every kind.
  using Index = kinds::IndexKinds::Borrowed;

  // TypeError naming the object's type for anything but an instance of an
  // index class; RuntimeError "Already mutably borrowed" while an insertion
  // holds the instance. A graph index is waited for while it changes
  // (module/gate_pass.hpp).
  static PyResult<BorrowedIndex> borrow(PyObject* object);

  const Index& index() const { return index_; }
  // The instance, borrowed.
  PyObject* object() const { return object_.get(); }

 private:
  BorrowedIndex(Ref object, Index index, std::optional<graph::GatePass> pass, BorrowGuard guard)
      : object_(std::move(object)),
        index_(index),
        pass_(std::move(pass)),
        guard_(std::move(guard)) {}

  // Declared before the pass and the guard: both end before the reference goes.
  Ref object_;
  Index index_;
  std::optional<graph::GatePass> pass_;
  BorrowGuard guard_;
};

template <>
struct FromPython<BorrowedIndex> {
  static PyResult<BorrowedIndex> convert(PyObject* o) { return BorrowedIndex::borrow(o); }
};

}  // namespace halqen::py
