// The parts of the kernel skeleton that every kernel shares: the attribute
// macros that give each function its unit's target, the one-lane traits, and
// the vector form of each pairwise term and finish of the metric table.
//
// Included only through metrics/kernel_skeleton.hpp (see there).
#pragma once

#include <cmath>
#include <cstddef>

#include "metrics/metric_table.hpp"

#if defined(HALQEN_ISA_TARGET)
#define HALQEN_KERNEL [[gnu::target(HALQEN_ISA_TARGET)]]
#else
#define HALQEN_KERNEL
#endif
#define HALQEN_KERNEL_INLINE HALQEN_KERNEL [[gnu::always_inline]] inline

namespace halqen::kernels {
namespace {

// One double per lane: the plain loops, and the tails of the wider kernels.
struct OneLane {
  using Vec = double;
  static constexpr std::size_t kLanes = 1;
  static constexpr std::size_t kGroups = 4;
  static constexpr std::size_t kTileVectors = 4;
  static constexpr std::size_t kTileRows = 3;
  static constexpr bool kSplitsSubtractions = false;

  [[gnu::always_inline]] static Vec zero() { return 0.0; }
  [[gnu::always_inline]] static Vec broadcast(double x) { return x; }
  [[gnu::always_inline]] static Vec add(Vec a, Vec b) { return a + b; }
  [[gnu::always_inline]] static Vec sub(Vec a, Vec b) { return a - b; }
  [[gnu::always_inline]] static Vec mul(Vec a, Vec b) { return a * b; }
  [[gnu::always_inline]] static Vec div(Vec a, Vec b) { return a / b; }
  [[gnu::always_inline]] static Vec sqrt(Vec a) { return std::sqrt(a); }
  [[gnu::always_inline]] static Vec load(const double* p) { return *p; }
  [[gnu::always_inline]] static void store(double* p, Vec v) { *p = v; }
  [[gnu::always_inline]] static void load_columns(const double* const* rows, std::size_t c,
                                                  Vec& first, Vec& second) {
    first = rows[0][c];
    second = rows[0][c + 1];
  }
  [[gnu::always_inline]] static Vec load_column(const double* const* rows, std::size_t c) {
    return rows[0][c];
  }
};

template <class Isa, PairTerm kTerm>
HALQEN_KERNEL_INLINE typename Isa::Vec pair_term(typename Isa::Vec query, typename Isa::Vec row) {
  if constexpr (kTerm == PairTerm::SquaredDifference) {
    const typename Isa::Vec difference = Isa::sub(query, row);
    return Isa::mul(difference, difference);
  } else {
    static_assert(kTerm == PairTerm::Product);
    return Isa::mul(query, row);
  }
}

// pair_term, for kernels that spread their work over the units: where the
// adding units are the bound (Isa::kSplitsSubtractions) and `on_multiplier`
// holds, the difference is query - row * 1.0 on a multiplying unit. The
// product by one is exact and the fused subtraction rounds once, so the
// value is the subtraction's (a NaN's payload may come from the other
// operand, as it may wherever a compiler swaps the operands of a sum: no
// kernel promises payloads).
template <class Isa, PairTerm kTerm>
HALQEN_KERNEL_INLINE typename Isa::Vec balanced_term(typename Isa::Vec query, typename Isa::Vec row,
                                                     bool on_multiplier) {
  if constexpr (kTerm == PairTerm::SquaredDifference && Isa::kSplitsSubtractions) {
    if (on_multiplier) {
      const typename Isa::Vec difference = Isa::sub_on_multiplier(query, row);
      return Isa::mul(difference, difference);
    }
  }
  return pair_term<Isa, kTerm>(query, row);
}

// `query_root` is sqrt(squared_norm(query)) and `row_root` the same for the
// row: the single-pair function's dot / (sqrt(norm_a) * sqrt(norm_b)).
template <class Isa, Finish kFinish>
HALQEN_KERNEL_INLINE typename Isa::Vec finish(typename Isa::Vec sum, typename Isa::Vec query_root,
                                              typename Isa::Vec row_root) {
  if constexpr (kFinish == Finish::SquareRoot) {
    return Isa::sqrt(sum);
  } else if constexpr (kFinish == Finish::Identity) {
    return sum;
  } else {
    static_assert(kFinish == Finish::DivideByNorms);
    return Isa::div(sum, Isa::mul(query_root, row_root));
  }
}

}  // namespace
}  // namespace halqen::kernels
