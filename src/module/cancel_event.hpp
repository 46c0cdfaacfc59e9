// A caller's way to end a long call from another thread: any object with
// an is_set() method (a threading.Event), asked while the call runs.
#pragma once

#include <optional>
#include <utility>

#include "module/convert.hpp"
#include "module/py_err.hpp"
#include "module/ref.hpp"

namespace halqen::py {

class CancelEvent {
 public:
  explicit CancelEvent(Ref is_set) : is_set_(std::move(is_set)) {}

  // Whether the event is set; an error is is_set()'s own. Holds the lock.
  PyResult<bool> is_set() const;

 private:
  Ref is_set_;  // the event's bound is_set method
};

// The error of a call its event ended: concurrent.futures.CancelledError,
// the standard library's "this work was cancelled". Holds the lock.
PyErr cancelled_error();

// cancelled_error() if the event is given and already set, so that a call
// cancelled before it starts does no work at all.
PyResult<void> check_not_cancelled(const std::optional<CancelEvent>& cancel);

// TypeError naming the type unless the object has a callable is_set.
template <>
struct FromPython<CancelEvent> {
  static PyResult<CancelEvent> convert(PyObject* o);
};

}  // namespace halqen::py
