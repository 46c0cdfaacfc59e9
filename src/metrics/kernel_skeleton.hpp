// The batch kernels, written once for any register width.
//
// Included only by the per-instruction-set translation units
// (kernels_<isa>.cpp). Such a unit defines HALQEN_ISA_TARGET (a gnu::target
// string) before including this file, or leaves it undefined for plain code,
// then defines its traits struct and builds its KernelSet with
// kernel_set<Traits>(). Every function here carries that unit's target, so
// each unit compiles its own copy: hence the unnamed namespace.
//
// A traits struct provides, each function always inlined:
//   Vec; kLanes, the doubles in one Vec; kGroups, the Vecs of rows in flight
//   zero(), broadcast(x), add, sub, mul, div, sqrt: lane-wise, each rounded
//   load(p), store(p, v): kLanes consecutive doubles
//   load_columns(rows, c, first, second): rows[l] is lane l's row; sets
//     first[l] = rows[l][c] and second[l] = rows[l][c + 1]
//   load_column(rows, c): lane l holds rows[l][c]
//
// Lanes hold different stored rows. Each lane adds its own row's terms from
// +0.0, one component at a time in index order, and products and sums are
// separate instructions: the single-pair functions' bits, lane by lane.
#pragma once

#include <cmath>
#include <cstddef>
#include <utility>

#include "metrics/kernels.hpp"
#include "metrics/metric_table.hpp"
#include "metrics/stripes.hpp"

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

// Components taken per step by load_columns.
constexpr std::size_t kColumnsPerStep = 2;

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

// `query_root` is sqrt(squared_norm(query)); `row_norm` the row's squared norm.
template <class Isa, Finish kFinish>
HALQEN_KERNEL_INLINE typename Isa::Vec finish(typename Isa::Vec sum, typename Isa::Vec query_root,
                                              typename Isa::Vec row_norm) {
  if constexpr (kFinish == Finish::SquareRoot) {
    return Isa::sqrt(sum);
  } else if constexpr (kFinish == Finish::Identity) {
    return sum;
  } else {
    static_assert(kFinish == Finish::DivideByNorms);
    return Isa::div(sum, Isa::mul(query_root, Isa::sqrt(row_norm)));
  }
}

// The rows of one step: lane l of group g computes row[g * kLanes + l].
template <class Isa>
struct RowLanes {
  static constexpr std::size_t kSlots = Isa::kLanes * Isa::kGroups;
  const double* row[kSlots];
  // The batch position of each slot; Stripes::end() for none.
  std::size_t position[kSlots];

  const double* const* group(std::size_t g) const { return row + g * Isa::kLanes; }
};

// Per group, the running sum of the pairwise terms and of the row's squares.
template <class Isa>
struct LaneSums {
  typename Isa::Vec terms[Isa::kGroups];
  typename Isa::Vec norms[Isa::kGroups];
};

// Adds the pairwise terms of components [0, end), and with kNorms the rows'
// squares too.
template <class Isa, PairTerm kTerm, bool kNorms>
HALQEN_KERNEL_INLINE void add_pair_terms(const double* query, const RowLanes<Isa>& lanes,
                                         std::size_t end, LaneSums<Isa>& sums) {
  using Vec = typename Isa::Vec;
  std::size_t c = 0;
  for (; c + kColumnsPerStep <= end; c += kColumnsPerStep) {
    const Vec query_first = Isa::broadcast(query[c]);
    const Vec query_second = Isa::broadcast(query[c + 1]);
    for (std::size_t g = 0; g < Isa::kGroups; ++g) {
      Vec first;
      Vec second;
      Isa::load_columns(lanes.group(g), c, first, second);
      sums.terms[g] = Isa::add(sums.terms[g], pair_term<Isa, kTerm>(query_first, first));
      sums.terms[g] = Isa::add(sums.terms[g], pair_term<Isa, kTerm>(query_second, second));
      if constexpr (kNorms) {
        sums.norms[g] = Isa::add(sums.norms[g], Isa::mul(first, first));
        sums.norms[g] = Isa::add(sums.norms[g], Isa::mul(second, second));
      }
    }
  }
  if (c < end) {
    const Vec query_last = Isa::broadcast(query[c]);
    for (std::size_t g = 0; g < Isa::kGroups; ++g) {
      const Vec last = Isa::load_column(lanes.group(g), c);
      sums.terms[g] = Isa::add(sums.terms[g], pair_term<Isa, kTerm>(query_last, last));
      if constexpr (kNorms) sums.norms[g] = Isa::add(sums.norms[g], Isa::mul(last, last));
    }
  }
}

// Adds the rows' squares of components [begin, end): the part of a row's norm
// past the end of a shorter query.
template <class Isa>
HALQEN_KERNEL_INLINE void add_row_squares(const RowLanes<Isa>& lanes, std::size_t begin,
                                          std::size_t end, LaneSums<Isa>& sums) {
  using Vec = typename Isa::Vec;
  std::size_t c = begin;
  for (; c + kColumnsPerStep <= end; c += kColumnsPerStep) {
    for (std::size_t g = 0; g < Isa::kGroups; ++g) {
      Vec first;
      Vec second;
      Isa::load_columns(lanes.group(g), c, first, second);
      sums.norms[g] = Isa::add(sums.norms[g], Isa::mul(first, first));
      sums.norms[g] = Isa::add(sums.norms[g], Isa::mul(second, second));
    }
  }
  if (c < end) {
    for (std::size_t g = 0; g < Isa::kGroups; ++g) {
      const Vec last = Isa::load_column(lanes.group(g), c);
      sums.norms[g] = Isa::add(sums.norms[g], Isa::mul(last, last));
    }
  }
}

// Slots without a position take the batch's first row, so that every load
// stays inside stored data; their results are discarded.
template <class Isa>
HALQEN_KERNEL_INLINE void fill_lanes(const RowSource& rows, const Stripes& stripes,
                                     std::size_t step, RowLanes<Isa>& lanes) {
  for (std::size_t slot = 0; slot < RowLanes<Isa>::kSlots; ++slot) {
    const std::size_t p = stripes.position(slot, step);
    lanes.position[slot] = p;
    lanes.row[slot] = rows.row(p != stripes.end() ? p : 0);
  }
}

template <class Isa>
HALQEN_KERNEL_INLINE void store_results(const typename Isa::Vec (&results)[Isa::kGroups],
                                        const RowLanes<Isa>& lanes, const Stripes& stripes,
                                        double* out) {
  double values[RowLanes<Isa>::kSlots];
  for (std::size_t g = 0; g < Isa::kGroups; ++g) Isa::store(values + g * Isa::kLanes, results[g]);
  for (std::size_t slot = 0; slot < RowLanes<Isa>::kSlots; ++slot) {
    if (lanes.position[slot] != stripes.end()) out[lanes.position[slot]] = values[slot];
  }
}

// out[i] = metric(query, row(i)), the stored norms computed on the way.
template <class Isa, BatchRecipe kRecipe>
HALQEN_KERNEL void rows_kernel(const BatchJob& job) {
  using Vec = typename Isa::Vec;
  constexpr bool kNorms = kRecipe.uses_norms();
  const std::size_t common = job.common_size();
  const Vec query_root = Isa::sqrt(Isa::broadcast(job.query_norm));
  const Stripes stripes(job.count, RowLanes<Isa>::kSlots);
  for (std::size_t step = 0; step < stripes.steps(); ++step) {
    RowLanes<Isa> lanes;
    fill_lanes(job.rows, stripes, step, lanes);
    LaneSums<Isa> sums;
    for (std::size_t g = 0; g < Isa::kGroups; ++g) sums.terms[g] = sums.norms[g] = Isa::zero();
    add_pair_terms<Isa, kRecipe.term, kNorms>(job.query, lanes, common, sums);
    if constexpr (kNorms) add_row_squares(lanes, common, job.rows.dim, sums);
    Vec results[Isa::kGroups];
    for (std::size_t g = 0; g < Isa::kGroups; ++g) {
      results[g] = finish<Isa, kRecipe.finish>(sums.terms[g], query_root, sums.norms[g]);
    }
    store_results<Isa>(results, lanes, stripes, job.out);
  }
}

// values[i] = finish(values[i]) with the stored norm row_norms[i], i < count.
template <class Isa, Finish kFinish>
HALQEN_KERNEL_INLINE void finish_with_stored_norms(double query_norm, const double* row_norms,
                                                   std::size_t count, double* values) {
  const typename Isa::Vec query_root = Isa::sqrt(Isa::broadcast(query_norm));
  std::size_t i = 0;
  for (; i + Isa::kLanes <= count; i += Isa::kLanes) {
    Isa::store(values + i,
               finish<Isa, kFinish>(Isa::load(values + i), query_root, Isa::load(row_norms + i)));
  }
  const double one_root = std::sqrt(query_norm);
  for (; i < count; ++i) values[i] = finish<OneLane, kFinish>(values[i], one_root, row_norms[i]);
}

// As rows_kernel, with the stored norms read from job.row_norms. The sums go
// to `out` first and the finish follows in a second pass: two passes that
// each read memory as few sequential streams, rather than the stored norms as
// extra streams beside the rows.
template <class Isa, BatchRecipe kRecipe>
HALQEN_KERNEL void rows_with_norms_kernel(const BatchJob& job) {
  if constexpr (!kRecipe.uses_norms()) {
    rows_kernel<Isa, kRecipe>(job);
  } else {
    rows_kernel<Isa, BatchRecipe{.term = kRecipe.term, .finish = Finish::Identity}>(job);
    finish_with_stored_norms<Isa, kRecipe.finish>(job.query_norm, job.row_norms, job.count,
                                                  job.out);
  }
}

template <class Isa, std::size_t... kIndex>
constexpr KernelSet kernel_set_of(std::index_sequence<kIndex...>) {
  return {.rows = {&rows_kernel<Isa, kMetrics[kIndex].batch>...},
          .rows_with_norms = {&rows_with_norms_kernel<Isa, kMetrics[kIndex].batch>...}};
}

// The kernels of every metric in the table, for one instruction set.
template <class Isa>
constexpr KernelSet kernel_set() {
  return kernel_set_of<Isa>(std::make_index_sequence<kMetricCount>());
}

}  // namespace
}  // namespace halqen::kernels
