// A pending Python exception held as a value.
//
// Every fallible step of the boundary returns its value or a PyErr; only the
// entry point turns the final PyErr into the interpreter's error indicator.
// An error created here is lazy (class plus message) and is materialised only
// when it is raised or inspected.
#pragma once

#include <expected>
#include <string>

#include "module/ref.hpp"

namespace halqen::py {

class PyErr {
 public:
  // A lazy error: `type` is a borrowed exception class, `message` its one argument.
  static PyErr new_err(PyObject* type, std::string message);
  // A lazy error whose one argument is an existing Python object.
  static PyErr new_err(PyObject* type, Ref argument);
  // Takes the interpreter's pending exception. With none pending, a SystemError.
  // A PanicException raised by the caller's own code is not turned into a value:
  // it is reported and resumed as an internal failure (throws Panic).
  static PyErr fetch();
  // An error from an exception instance that is not (yet) raised.
  static PyErr from_exception(Ref value);

  PyErr(PyErr&&) = default;
  PyErr& operator=(PyErr&&) = default;

  PyObject* type() const { return type_.get(); }
  // The exception instance, materialised on first use; null if that fails.
  PyObject* value();
  // Hands the error to the interpreter as its current exception.
  void restore() &&;

 private:
  PyErr(Ref type, std::string message, Ref argument, Ref value, Ref traceback);
  void normalize();

  Ref type_;
  std::string message_;
  Ref argument_;
  Ref value_;
  Ref traceback_;
};

template <class T>
using PyResult = std::expected<T, PyErr>;

// Takes the pending exception as a failed PyResult.
inline std::unexpected<PyErr> fetch_error() {
  return std::unexpected(PyErr::fetch());
}

// Result of an entry point that returns None.
struct NoneResult {};

}  // namespace halqen::py

#define HALQEN_CONCAT_INNER(a, b) a##b
#define HALQEN_CONCAT(a, b) HALQEN_CONCAT_INNER(a, b)

// Unwraps a PyResult into `target`, a declaration (`Ref item`) or an existing
// variable, inside a function that itself returns a PyResult; returns the
// error early. A statement, so that it stays standard C++.
#define HALQEN_TRY_ASSIGN(target, expression) \
  HALQEN_TRY_ASSIGN_INTO(target, expression, HALQEN_CONCAT(halqen_try_result_, __LINE__))
#define HALQEN_TRY_ASSIGN_INTO(target, expression, result) \
  auto&& result = (expression);                            \
  if (!result) {                                           \
    return std::unexpected(std::move(result).error());     \
  }                                                        \
  target = std::move(*result)

// The same for a PyResult<void>.
#define HALQEN_TRY_VOID(expression)                                 \
  do {                                                              \
    auto&& halqen_try_result = (expression);                        \
    if (!halqen_try_result) {                                       \
      return std::unexpected(std::move(halqen_try_result).error()); \
    }                                                               \
  } while (false)
