// What the graph's algorithm measures, and all it knows of the vectors: walk
// keys (smaller is nearer) from one vector to stored nodes. The index
// computes them from whatever it stores (float64 rows, compact codes), as
// faiss's HNSW asks its DistanceComputer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "common/function_ref.hpp"
#include "metrics/metrics.hpp"

namespace halqen::graph {

// The metric's value as a walk key: a distance as it is, a similarity
// negated (most similar first); NaN last. -(-x) == x, so a similarity comes
// back bit for bit.
class KeyOrder {
 public:
  explicit KeyOrder(MetricKind metric) : negate_(metric != MetricKind::Euclidean) {}
  double key(double value) const {
    if (value != value) return std::numeric_limits<double>::infinity();
    return negate_ ? -value : value;
  }
  double value(double key) const { return negate_ ? -key : key; }

 private:
  bool negate_;
};

// The distances from one vector. The walks are templates over the
// computer's type, so a final one is called directly; the rest of the
// algorithm goes through this interface.
class DistanceComputer {
 public:
  virtual ~DistanceComputer() = default;
  // keys[i] = walk key of node slots[i], i < count.
  virtual void keys(const std::uint32_t* slots, std::size_t count, double* keys) = 0;
  // Asks the memory for what a later keys() call reads of `slot`.
  virtual void prefetch(std::uint32_t slot) const = 0;
  double key(std::uint32_t slot) {
    double result = 0.0;
    keys(&slot, 1, &result);
    return result;
  }
};

// The distances between stored nodes.
class NodeSpace {
 public:
  using Visit = FunctionRef<void(DistanceComputer&)>;
  virtual ~NodeSpace() = default;
  // visit(the distances from the stored vector of `slot`).
  virtual void from_node(std::uint32_t slot, Visit visit) const = 0;
};

}  // namespace halqen::graph
