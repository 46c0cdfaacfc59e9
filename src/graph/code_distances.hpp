// The distance computer of a walk on compact codes: the same questions as
// ExactDistances, answered from the codes with approximate keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codes/code_query.hpp"
#include "codes/code_store.hpp"
#include "engine/distance_computer.hpp"
#include "graph/vector_store.hpp"

namespace halqen::graph {

// A stored vector's numbers as float64, for as long as the object lives.
struct StoredRow {
  StoredRow(const VectorStore& store, std::uint32_t slot) : numbers(store.row(slot, scratch)) {}
  std::vector<double> scratch;
  std::span<const double> numbers;
};

class CodeDistances final : public DistanceComputer {
 public:
  CodeDistances(const codes::CodeStore& codes, std::span<const double> query)
      : codes_(codes), query_(codes, query) {}
  // From a stored vector.
  CodeDistances(const codes::CodeStore& codes, const VectorStore& store, std::uint32_t slot)
      : codes_(codes), query_(codes, slot, StoredRow(store, slot).numbers) {}

  void keys(const std::uint32_t* slots, std::size_t count, double* keys) override {
    query_.keys(slots, count, keys);
  }
  double key(std::uint32_t slot) { return query_.key(slot); }
  // See codes::CodeQuery.
  bool bounds_values() const { return query_.bounds_values(); }
  double lower_bound(double key, std::uint32_t slot) const { return query_.lower_bound(key, slot); }
  bool knows_value(std::uint32_t slot) const { return query_.knows_value(slot); }
  double value_of_key(double key) const { return query_.value_of_key(key); }
  void prefetch(std::uint32_t slot) const override { codes_.prefetch_start(slot); }
  bool places_query() const { return query_.places_query(); }

 private:
  const codes::CodeStore& codes_;
  codes::CodeQuery query_;
};

}  // namespace halqen::graph
