#include "module/gate_pass.hpp"

#include <Python.h>

#include <functional>

#include "module/borrow.hpp"
#include "module/released_run.hpp"

namespace halqen::py {
namespace {

using graph::ChangeGate;

PyErr refusal_error(ChangeGate::Refusal refusal) {
  if (refusal == ChangeGate::Refusal::ForkedMidChange) return forked_mid_change_error();
  return PyErr::new_err(
      PyExc_RuntimeError,
      "this thread is already in a call on this index (a search, a change, or a read of the "
      "whole index such as saving or pickling) and, from Python code run inside that call, "
      "asked for another that would wait for it to end: use the index after that call "
      "returns");
}

// Whether the event is set, asked with the interpreter lock taken back; an
// event whose is_set() raises counts as set, and its error is kept.
bool event_set(const CancelEvent& cancel, std::optional<PyErr>& error) {
  const PyGILState_STATE held = PyGILState_Ensure();
  PyResult<bool> set = cancel.is_set();
  bool answer = true;
  if (set) {
    answer = *set;
  } else {
    error.emplace(std::move(set).error());
  }
  PyGILState_Release(held);
  return answer;
}

}  // namespace

PyResult<graph::GatePass> wait_for_pass(const graph::GraphIndex& index, ChangeGate::Pass pass,
                                        const CancelEvent* cancel) {
  ChangeGate& gate = index.gate();
  if (gate.try_enter(pass)) return graph::GatePass(gate, pass);
  std::optional<ChangeGate::Refusal> refused;
  bool cancelled = false;
  std::optional<PyErr> event_error;
  HALQEN_TRY_VOID(run_released_interruptible([&](Interrupt& interrupt) {
    refused = gate.enter(pass, [&] {
      if (interrupt.requested()) return true;
      cancelled = cancel != nullptr && event_set(*cancel, event_error);
      return cancelled;
    });
  }));
  if (!refused) return graph::GatePass(gate, pass);
  if (event_error) return std::unexpected(std::move(*event_error));
  if (cancelled) return std::unexpected(cancelled_error());
  return std::unexpected(refusal_error(*refused));
}

}  // namespace halqen::py
