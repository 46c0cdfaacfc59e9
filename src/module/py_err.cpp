#include "module/py_err.hpp"

#include "module/panic.hpp"

namespace halqen::py {
namespace {
constexpr const char* kNoneSet = "attempted to fetch exception but none was set";
}

PyErr::PyErr(Ref type, std::string message, Ref argument, Ref value, Ref traceback)
    : type_(std::move(type)),
      message_(std::move(message)),
      argument_(std::move(argument)),
      value_(std::move(value)),
      traceback_(std::move(traceback)) {}

PyErr PyErr::new_err(PyObject* type, std::string message) {
  return PyErr(Ref::borrow(type), std::move(message), Ref(), Ref(), Ref());
}

PyErr PyErr::new_err(PyObject* type, Ref argument) {
  return PyErr(Ref::borrow(type), std::string(), std::move(argument), Ref(), Ref());
}

PyErr PyErr::from_exception(Ref value) {
  Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
  Ref traceback = Ref::steal(PyException_GetTraceback(value.get()));
  return PyErr(std::move(type), std::string(), Ref(), std::move(value), std::move(traceback));
}

PyErr PyErr::fetch() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return new_err(PyExc_SystemError, kNoneSet);
  }
  if (is_panic_exception(type)) {
    resume_panic(type, value, traceback);
  }
  PyErr error(Ref::steal(type), std::string(), Ref(), Ref::steal(value), Ref::steal(traceback));
  error.normalize();
  return error;
}

void PyErr::normalize() {
  if (value_ && PyObject_TypeCheck(value_.get(), reinterpret_cast<PyTypeObject*>(type_.get()))) {
    return;
  }
  PyObject* type = type_.release();
  PyObject* value = value_.release();
  PyObject* traceback = traceback_.release();
  if (!value) {
    if (argument_) {
      value = argument_.release();
    } else {
      value = PyUnicode_DecodeUTF8(message_.data(), static_cast<Py_ssize_t>(message_.size()),
                                   "replace");
    }
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  type_ = Ref::steal(type);
  value_ = Ref::steal(value);
  traceback_ = Ref::steal(traceback);
}

PyObject* PyErr::value() {
  normalize();
  return value_.get();
}

void PyErr::restore() && {
  if (!value_ && !argument_) {
    // Decoded with its length: a message may hold a NUL (a schema name can).
    argument_ = Ref::steal(
        PyUnicode_DecodeUTF8(message_.data(), static_cast<Py_ssize_t>(message_.size()), "replace"));
    if (!argument_) {
      return;  // the decoding failure is now the pending error
    }
  }
  PyObject* value = value_ ? value_.release() : argument_.release();
  PyErr_Restore(type_.release(), value, traceback_.release());
}

}  // namespace halqen::py
