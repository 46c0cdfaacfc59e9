#include "module/module_state.hpp"

#include <string>

namespace halqen::py {
namespace {

ModuleState state;

}  // namespace

ModuleState& module_state() {
  return state;
}

PyResult<void> claim_interpreter(const char* module_name) {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1 && PyErr_Occurred()) {
    return fetch_error();
  }
  std::int64_t expected = ModuleState::kNoInterpreter;
  if (!state.owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    return std::unexpected(PyErr::new_err(
        PyExc_ImportError, std::string(module_name) +
                               " does not support sub-interpreters: it can be imported only "
                               "in the interpreter that imported it first"));
  }
  return {};
}

}  // namespace halqen::py
