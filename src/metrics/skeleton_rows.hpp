// Skeleton of the single-query kernels: lanes hold stored rows.
//
// Each step takes Isa::kGroups registers of Isa::kLanes rows; load_columns
// turns two components of each row into one register per component, and each
// lane adds its row's terms to its own sum in index order. Which rows share a
// step is set by Stripes (metrics/stripes.hpp).
//
// Included only through metrics/kernel_skeleton.hpp (see there).
#pragma once

#include <cmath>
#include <cstddef>

#include "metrics/kernels.hpp"
#include "metrics/metric_table.hpp"
#include "metrics/skeleton_common.hpp"
#include "metrics/stripes.hpp"

namespace halqen::kernels {
namespace {

// Components taken per step by load_columns.
constexpr std::size_t kColumnsPerStep = 2;

// The rows of one step: lane l of group g computes row[g * kLanes + l].
// T is how the rows are stored: double, or float (widened as loaded).
template <class Isa, class T>
struct RowLanes {
  static constexpr std::size_t kSlots = Isa::kLanes * Isa::kGroups;
  const T* row[kSlots];
  // The batch position of each slot; Stripes::end() for none.
  std::size_t position[kSlots];

  const T* const* group(std::size_t g) const { return row + g * Isa::kLanes; }
};

// Components c and c + 1 of each lane's row, one register per component:
// the instruction set's own loads, or for float32 rows where it has none
// for them, each number widened on its own (exact either way).
template <class Isa, class T>
HALQEN_KERNEL_INLINE void load_columns_of(const T* const* rows, std::size_t c,
                                          typename Isa::Vec& first, typename Isa::Vec& second) {
  if constexpr (requires { Isa::load_columns(rows, c, first, second); }) {
    Isa::load_columns(rows, c, first, second);
  } else {
    double firsts[Isa::kLanes];
    double seconds[Isa::kLanes];
    for (std::size_t l = 0; l < Isa::kLanes; ++l) {
      firsts[l] = rows[l][c];
      seconds[l] = rows[l][c + 1];
    }
    first = Isa::load(firsts);
    second = Isa::load(seconds);
  }
}

template <class Isa, class T>
HALQEN_KERNEL_INLINE typename Isa::Vec load_column_of(const T* const* rows, std::size_t c) {
  if constexpr (requires { Isa::load_column(rows, c); }) {
    return Isa::load_column(rows, c);
  } else {
    double column[Isa::kLanes];
    for (std::size_t l = 0; l < Isa::kLanes; ++l) column[l] = rows[l][c];
    return Isa::load(column);
  }
}

// Per group, the running sum of the pairwise terms and of the row's squares.
template <class Isa>
struct LaneSums {
  typename Isa::Vec terms[Isa::kGroups];
  typename Isa::Vec norms[Isa::kGroups];
};

// Adds the pairwise terms of components [0, end), and with kNorms the rows'
// squares too.
template <class Isa, PairTerm kTerm, bool kNorms, class T>
HALQEN_KERNEL_INLINE void add_pair_terms(const double* query, const RowLanes<Isa, T>& lanes,
                                         std::size_t end, LaneSums<Isa>& sums) {
  using Vec = typename Isa::Vec;
  std::size_t c = 0;
  for (; c + kColumnsPerStep <= end; c += kColumnsPerStep) {
    const Vec query_first = Isa::broadcast(query[c]);
    const Vec query_second = Isa::broadcast(query[c + 1]);
    for (std::size_t g = 0; g < Isa::kGroups; ++g) {
      Vec first;
      Vec second;
      load_columns_of<Isa>(lanes.group(g), c, first, second);
      sums.terms[g] = Isa::add(sums.terms[g], pair_term<Isa, kTerm>(query_first, first));
      sums.terms[g] =
          Isa::add(sums.terms[g], balanced_term<Isa, kTerm>(query_second, second, true));
      if constexpr (kNorms) {
        sums.norms[g] = Isa::add(sums.norms[g], Isa::mul(first, first));
        sums.norms[g] = Isa::add(sums.norms[g], Isa::mul(second, second));
      }
    }
  }
  if (c < end) {
    const Vec query_last = Isa::broadcast(query[c]);
    for (std::size_t g = 0; g < Isa::kGroups; ++g) {
      const Vec last = load_column_of<Isa>(lanes.group(g), c);
      sums.terms[g] = Isa::add(sums.terms[g], pair_term<Isa, kTerm>(query_last, last));
      if constexpr (kNorms) sums.norms[g] = Isa::add(sums.norms[g], Isa::mul(last, last));
    }
  }
}

// Adds the rows' squares of components [begin, end): the part of a row's norm
// past the end of a shorter query.
template <class Isa, class T>
HALQEN_KERNEL_INLINE void add_row_squares(const RowLanes<Isa, T>& lanes, std::size_t begin,
                                          std::size_t end, LaneSums<Isa>& sums) {
  using Vec = typename Isa::Vec;
  std::size_t c = begin;
  for (; c + kColumnsPerStep <= end; c += kColumnsPerStep) {
    for (std::size_t g = 0; g < Isa::kGroups; ++g) {
      Vec first;
      Vec second;
      load_columns_of<Isa>(lanes.group(g), c, first, second);
      sums.norms[g] = Isa::add(sums.norms[g], Isa::mul(first, first));
      sums.norms[g] = Isa::add(sums.norms[g], Isa::mul(second, second));
    }
  }
  if (c < end) {
    for (std::size_t g = 0; g < Isa::kGroups; ++g) {
      const Vec last = load_column_of<Isa>(lanes.group(g), c);
      sums.norms[g] = Isa::add(sums.norms[g], Isa::mul(last, last));
    }
  }
}

// Slots without a position take the batch's first row, so that every load
// stays inside stored data; their results are discarded.
template <class Isa, class T>
HALQEN_KERNEL_INLINE void fill_lanes(const RowSource& rows, const Stripes& stripes,
                                     std::size_t step, RowLanes<Isa, T>& lanes) {
  for (std::size_t slot = 0; slot < RowLanes<Isa, T>::kSlots; ++slot) {
    const std::size_t p = stripes.position(slot, step);
    lanes.position[slot] = p;
    lanes.row[slot] = rows.row_of<T>(p != stripes.end() ? p : 0);
  }
}

template <class Isa, class T>
HALQEN_KERNEL_INLINE void store_results(const typename Isa::Vec (&results)[Isa::kGroups],
                                        const RowLanes<Isa, T>& lanes, const Stripes& stripes,
                                        double* out) {
  double values[RowLanes<Isa, T>::kSlots];
  for (std::size_t g = 0; g < Isa::kGroups; ++g) Isa::store(values + g * Isa::kLanes, results[g]);
  for (std::size_t slot = 0; slot < RowLanes<Isa, T>::kSlots; ++slot) {
    if (lanes.position[slot] != stripes.end()) out[lanes.position[slot]] = values[slot];
  }
}

// out[i] = metric(query, row(i)) for rows stored as T, the stored norms
// computed on the way.
template <class Isa, BatchRecipe kRecipe, class T>
HALQEN_KERNEL_INLINE void rows_of_width(const BatchJob& job) {
  using Vec = typename Isa::Vec;
  constexpr bool kNorms = kRecipe.uses_norms();
  const std::size_t common = job.common_size();
  const Vec query_root = Isa::sqrt(Isa::broadcast(job.query_norm));
  const Stripes stripes(job.count, RowLanes<Isa, T>::kSlots);
  for (std::size_t step = 0; step < stripes.steps(); ++step) {
    RowLanes<Isa, T> lanes;
    fill_lanes(job.rows, stripes, step, lanes);
    LaneSums<Isa> sums;
    for (std::size_t g = 0; g < Isa::kGroups; ++g) sums.terms[g] = sums.norms[g] = Isa::zero();
    add_pair_terms<Isa, kRecipe.term, kNorms>(job.query, lanes, common, sums);
    if constexpr (kNorms) add_row_squares(lanes, common, job.rows.dim, sums);
    Vec results[Isa::kGroups];
    for (std::size_t g = 0; g < Isa::kGroups; ++g) {
      results[g] = finish<Isa, kRecipe.finish>(sums.terms[g], query_root, Isa::sqrt(sums.norms[g]));
    }
    store_results<Isa>(results, lanes, stripes, job.out);
  }
}

// out[i] = metric(query, row(i)), the stored norms computed on the way.
template <class Isa, BatchRecipe kRecipe>
HALQEN_KERNEL void rows_kernel(const BatchJob& job) {
  if (job.rows.narrow != nullptr) {
    rows_of_width<Isa, kRecipe, float>(job);
  } else {
    rows_of_width<Isa, kRecipe, double>(job);
  }
}

// values[i] = finish(values[i]) with the stored norm row_norms[i], i < count.
template <class Isa, Finish kFinish>
HALQEN_KERNEL_INLINE void finish_with_stored_norms(double query_norm, const double* row_norms,
                                                   std::size_t count, double* values) {
  const typename Isa::Vec query_root = Isa::sqrt(Isa::broadcast(query_norm));
  std::size_t i = 0;
  for (; i + Isa::kLanes <= count; i += Isa::kLanes) {
    Isa::store(values + i, finish<Isa, kFinish>(Isa::load(values + i), query_root,
                                                Isa::sqrt(Isa::load(row_norms + i))));
  }
  const double one_root = std::sqrt(query_norm);
  for (; i < count; ++i) {
    values[i] = finish<OneLane, kFinish>(values[i], one_root, std::sqrt(row_norms[i]));
  }
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

}  // namespace
}  // namespace halqen::kernels
