#include "module/cancel_event.hpp"

#include <Python.h>

namespace halqen::py {

PyResult<bool> CancelEvent::is_set() const {
  Ref answer = Ref::steal(PyObject_CallNoArgs(is_set_.get()));
  if (!answer) return fetch_error();
  const int truth = PyObject_IsTrue(answer.get());
  if (truth < 0) return fetch_error();
  return truth == 1;
}

PyErr cancelled_error() {
  Ref futures = Ref::steal(PyImport_ImportModule("concurrent.futures"));
  if (!futures) return PyErr::fetch();
  Ref type = Ref::steal(PyObject_GetAttrString(futures.get(), "CancelledError"));
  if (!type) return PyErr::fetch();
  return PyErr::new_err(type.get(), "cancelled: its cancel event was set");
}

PyResult<void> check_not_cancelled(const std::optional<CancelEvent>& cancel) {
  if (!cancel) return {};
  HALQEN_TRY_ASSIGN(const bool cancelled, cancel->is_set());
  if (cancelled) return std::unexpected(cancelled_error());
  return {};
}

PyResult<CancelEvent> FromPython<CancelEvent>::convert(PyObject* o) {
  Ref method = Ref::steal(PyObject_GetAttrString(o, "is_set"));
  if (!method || !PyCallable_Check(method.get())) {
    PyErr_Clear();
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "expected an object with an is_set() method (a threading.Event), got %.200s",
        Py_TYPE(o)->tp_name));
    return message ? std::unexpected(PyErr::new_err(PyExc_TypeError, std::move(message)))
                   : fetch_error();
  }
  return CancelEvent(std::move(method));
}

}  // namespace halqen::py
