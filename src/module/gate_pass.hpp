// The pass a call needs on a graph index before it reads or changes it
// (graph/change_gate.hpp), waited for without the interpreter lock.
#pragma once

#include <optional>

#include "graph/change_gate.hpp"
#include "graph/graph_index.hpp"
#include "module/cancel_event.hpp"
#include "module/py_err.hpp"

namespace halqen::py {

// Holds the interpreter lock on entry and on return; gives it up while it
// waits, taking it back every slice to run the signal handlers and ask the
// event. Ctrl-C ends the wait with KeyboardInterrupt, the event with
// CancelledError; an index forked mid-change, or a wait for the calling
// thread itself, is a RuntimeError that says what to do.
PyResult<graph::GatePass> wait_for_pass(const graph::GraphIndex& index,
                                        graph::ChangeGate::Pass pass,
                                        const CancelEvent* cancel = nullptr);

// What a read of a whole index holds: a graph index's pass; nothing for the
// other kinds, whose calls never wait.
template <class Core>
PyResult<std::optional<graph::GatePass>> whole_read_pass(const Core& /*index*/) {
  return std::nullopt;
}

inline PyResult<std::optional<graph::GatePass>> whole_read_pass(const graph::GraphIndex& index) {
  HALQEN_TRY_ASSIGN(graph::GatePass pass, wait_for_pass(index, graph::ChangeGate::Pass::Inspect));
  return std::optional<graph::GatePass>(std::move(pass));
}

}  // namespace halqen::py
