#include "module/panic.hpp"

#include <cstdio>

#include "module/ref.hpp"

namespace halqen::py {
namespace {

constexpr const char* kPanicName = "tolvex_runtime.PanicException";
constexpr const char* kPanicDoc =
    "Raised when native code called from Python fails.\n\n"
    "Like SystemExit, this exception derives from BaseException, so that it\n"
    "usually propagates all the way up and ends the interpreter.";
constexpr const char* kUnwrappedPanic = "Unwrapped panic from Python code";

PyObject* panic_type = nullptr;

}  // namespace

PyObject* panic_exception_type() {
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
  }
  return panic_type;
}

bool is_panic_exception(PyObject* type) {
  return panic_type != nullptr && type != nullptr && PyErr_GivenExceptionMatches(type, panic_type);
}

void raise_panic(const std::string& message, const std::source_location& where) {
  std::fprintf(stderr, "halqen: internal failure at %s:%u: %s\n", where.file_name(),
               static_cast<unsigned>(where.line()), message.c_str());
  PyObject* type = panic_exception_type();
  if (type == nullptr) {
    return;
  }
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) {
    return;
  }
  PyErr_SetObject(type, text.get());
}

void resume_panic(PyObject* type, PyObject* value, PyObject* traceback) {
  std::fprintf(stderr, "--- PanicException from Python code, resuming the failure ---\n");
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref kept = Ref::borrow(value);
  PyErr_Restore(type, value, traceback);
  PyErr_PrintEx(0);

  std::string message = kUnwrappedPanic;
  Ref text = Ref::steal(kept ? PyObject_Str(kept.get()) : nullptr);
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (utf8 != nullptr) {
    message.assign(utf8, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  throw Panic(message);
}

}  // namespace halqen::py
