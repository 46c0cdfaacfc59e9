#include "module/panic.hpp"

#include <cstdio>

#include "module/module_state.hpp"
#include "module/ref.hpp"

namespace halqen::py {
namespace {

constexpr const char* kPanicName = "tolvex_runtime.PanicException";
constexpr const char* kPanicDoc =
    "Raised when native code called from Python fails.\n\n"
    "Like SystemExit, this exception derives from BaseException, so that it\n"
    "usually propagates all the way up and ends the interpreter.";
constexpr const char* kUnwrappedPanic = "Unwrapped panic from Python code";
// Where the class lives in the interpreter's dict, shared by every module.
constexpr const char* kPanicKey = "halqen._PanicException";

// The class from the interpreter's dict into the module state (a borrowed
// reference): null, with no error set, when no module has created it yet,
// or with an error set when the lookup fails.
PyObject* find_shared_panic_type() {
  PyObject*& cached = module_state().panic_type;
  if (cached != nullptr) {
    return cached;
  }
  PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (shared == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the interpreter keeps no dict for extension state");
    return nullptr;
  }
  Ref key = Ref::steal(PyUnicode_FromString(kPanicKey));
  if (!key) {
    return nullptr;
  }
  PyObject* found = PyDict_GetItemWithError(shared, key.get());
  if (found != nullptr) {
    cached = Ref::borrow(found).release();
  }
  return found;
}

PyObject* create_shared_panic_type() {
  PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
  Ref type =
      Ref::steal(PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr));
  if (!type || PyDict_SetItemString(shared, kPanicKey, type.get()) != 0) {
    return nullptr;
  }
  module_state().panic_type = type.release();
  return module_state().panic_type;
}

}  // namespace

PyObject* panic_exception_type() {
  PyObject* type = find_shared_panic_type();
  if (type != nullptr || PyErr_Occurred()) {
    return type;
  }
  return create_shared_panic_type();
}

bool is_panic_exception(PyObject* type) {
  if (type == nullptr) {
    return false;
  }
  PyObject* panic = find_shared_panic_type();
  if (panic == nullptr) {
    PyErr_Clear();  // no class yet (or none to be found): nothing is a panic
    return false;
  }
  return PyErr_GivenExceptionMatches(type, panic);
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
