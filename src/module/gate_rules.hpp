// How the calls on an instance of each class meet calls on other threads.
// By default through the borrow flag alone: a conflicting call is refused.
// A graph index has a gate of its own (graph/change_gate.hpp) where calls
// wait their turn, so its calls take only shared borrows, and each takes
// its pass after its arguments are converted (module/gate_pass.hpp).
#pragma once

#include "graph/graph_index.hpp"

namespace halqen::py {

template <class Record>
struct GateRules {
  static constexpr bool kWaitsItsTurn = false;
  // Whether a fork caught the record mid-change (beside the borrow flag's
  // own record of that): it is then never destroyed in the child.
  static bool torn_by_fork(Record& /*record*/) { return false; }
};

template <>
struct GateRules<graph::GraphIndex> {
  static constexpr bool kWaitsItsTurn = true;
  static bool torn_by_fork(graph::GraphIndex& index) { return index.gate().forked_mid_change(); }
};

}  // namespace halqen::py
