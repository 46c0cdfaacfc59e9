// The distances between stored vectors that the engine measures in: the
// float64 rows (what removals and the reach passes measure), or, for a
// build on codes, those codes (their keys are the same on every kernel
// level, so the graph still does not depend on the CPU).
#pragma once

#include <cstdint>

#include "codes/code_store.hpp"
#include "graph/code_distances.hpp"
#include "graph/exact_distances.hpp"
#include "graph/vector_store.hpp"

namespace halqen::graph {

class StoredSpace final : public NodeSpace {
 public:
  // `codes` null: the rows.
  StoredSpace(const VectorStore& store, const codes::CodeStore* codes)
      : store_(store), codes_(codes) {}

  // fn(distances from the stored vector of `slot`), its result returned; fn
  // is given the computer's own type, whose calls are direct.
  template <class Fn>
  decltype(auto) from_slot(std::uint32_t slot, Fn&& fn) const {
    if (codes_ != nullptr) {
      CodeDistances distances(*codes_, store_, slot);
      return fn(distances);
    }
    ExactDistances distances(store_, slot);
    return fn(distances);
  }

  void from_node(std::uint32_t slot, Visit visit) const override {
    from_slot(slot, [&](DistanceComputer& distances) { visit(distances); });
  }

 private:
  const VectorStore& store_;
  const codes::CodeStore* codes_;
};

}  // namespace halqen::graph
