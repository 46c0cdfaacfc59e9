// Internal failures: unrecoverable faults detected while a call runs.
//
// Code anywhere below an entry point throws Panic (or lets a standard
// exception escape); the entry point's failure trap reports it on standard
// error and raises PanicException, which derives from BaseException so that
// `except Exception` does not swallow it.
#pragma once

#include <Python.h>

#include <source_location>
#include <stdexcept>
#include <string>

namespace halqen::py {

class Panic : public std::runtime_error {
 public:
  explicit Panic(const std::string& message,
                 std::source_location where = std::source_location::current())
      : std::runtime_error(message), where_(where) {}
  const std::source_location& where() const { return where_; }

 private:
  std::source_location where_;
};

// The PanicException class, shared by every module of the interpreter
// (kept in the interpreter's dict) and created on first use; null (with an
// error set) if creation fails.
PyObject* panic_exception_type();

// True when `type` is PanicException or derives from it. Never creates the class.
bool is_panic_exception(PyObject* type);

// Writes the diagnostic and sets PanicException(message) as the current error.
void raise_panic(const std::string& message, const std::source_location& where);

// Reports a PanicException taken from the caller's Python code (banner plus
// traceback on standard error) and throws Panic to resume it. Takes ownership
// of the three parts of the fetched exception.
[[noreturn]] void resume_panic(PyObject* type, PyObject* value, PyObject* traceback);

}  // namespace halqen::py
