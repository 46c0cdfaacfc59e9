// SSE2 kernels: two stored vectors per 128-bit register, one per lane.
//
// Components c and c+1 of each row are loaded together, their terms computed,
// and two unpacks give one register per component holding its term for both
// rows, added to the lane accumulators component by component: each lane adds
// its row's terms in index order, as the scalar loop does. Which rows share a
// step is set by Stripes (metrics/stripes.hpp).
#if defined(__x86_64__)

#include <emmintrin.h>

#include <cmath>
#include <cstddef>

#include "metrics/kernels.hpp"
#include "metrics/stripes.hpp"

namespace halqen::kernels {
namespace {

constexpr std::size_t kLanes = 2;
// Independent accumulator chains per block, enough to hide the add latency.
constexpr std::size_t kGroups = 4;
constexpr std::size_t kBlockRows = kLanes * kGroups;
// Components taken per step by the row loads.
constexpr std::size_t kPair = 2;

// The stored vectors of one register, by lane.
struct Lanes {
  const double* row[kLanes];
};

using Groups = Lanes[kGroups];
using Results = __m128d[kGroups];
// The batch position of each slot of a step; Stripes::end() for none.
using Positions = std::size_t[kBlockRows];

// `terms_0` holds the terms of components c, c+1 of row 0, `terms_1` those of
// row 1; adds component c, then c+1, to each lane.
inline __m128d add_in_order(__m128d sum, __m128d terms_0, __m128d terms_1) {
  sum = _mm_add_pd(sum, _mm_unpacklo_pd(terms_0, terms_1));
  return _mm_add_pd(sum, _mm_unpackhi_pd(terms_0, terms_1));
}

inline __m128d load_column(const Lanes& lanes, std::size_t c) {
  return _mm_set_pd(lanes.row[1][c], lanes.row[0][c]);
}

inline __m128d square(__m128d x) {
  return _mm_mul_pd(x, x);
}

struct SquaredDifference {
  static constexpr bool kReadsQuery = true;
  struct Sums {
    __m128d total;
  };
  static void add_pair(Sums& sums, __m128d query, __m128d row_0, __m128d row_1) {
    sums.total = add_in_order(sums.total, square(_mm_sub_pd(query, row_0)),
                              square(_mm_sub_pd(query, row_1)));
  }
  static void add_column(Sums& sums, __m128d query, __m128d column) {
    sums.total = _mm_add_pd(sums.total, square(_mm_sub_pd(query, column)));
  }
};

struct Product {
  static constexpr bool kReadsQuery = true;
  struct Sums {
    __m128d total;
  };
  static void add_pair(Sums& sums, __m128d query, __m128d row_0, __m128d row_1) {
    sums.total = add_in_order(sums.total, _mm_mul_pd(query, row_0), _mm_mul_pd(query, row_1));
  }
  static void add_column(Sums& sums, __m128d query, __m128d column) {
    sums.total = _mm_add_pd(sums.total, _mm_mul_pd(query, column));
  }
};

// The stored vectors' own squared norms; the query is not read.
struct RowSquare {
  static constexpr bool kReadsQuery = false;
  struct Sums {
    __m128d total;
  };
  static void add_pair(Sums& sums, __m128d, __m128d row_0, __m128d row_1) {
    sums.total = add_in_order(sums.total, square(row_0), square(row_1));
  }
  static void add_column(Sums& sums, __m128d, __m128d column) {
    sums.total = _mm_add_pd(sums.total, square(column));
  }
};

// Dot product and stored squared norm from the same loads.
struct ProductAndRowSquare {
  static constexpr bool kReadsQuery = true;
  struct Sums {
    __m128d dot;
    __m128d norm;
  };
  static void add_pair(Sums& sums, __m128d query, __m128d row_0, __m128d row_1) {
    sums.dot = add_in_order(sums.dot, _mm_mul_pd(query, row_0), _mm_mul_pd(query, row_1));
    sums.norm = add_in_order(sums.norm, square(row_0), square(row_1));
  }
  static void add_column(Sums& sums, __m128d query, __m128d column) {
    sums.dot = _mm_add_pd(sums.dot, _mm_mul_pd(query, column));
    sums.norm = _mm_add_pd(sums.norm, square(column));
  }
};

// The query's components c and c+1 as the terms expect them; nothing is read
// past the query's end for terms that ignore it.
template <typename Terms>
inline __m128d query_pair(const double* query, std::size_t c) {
  if constexpr (Terms::kReadsQuery) return _mm_loadu_pd(query + c);
  return _mm_setzero_pd();
}

template <typename Terms>
inline __m128d query_single(const double* query, std::size_t c) {
  if constexpr (Terms::kReadsQuery) return _mm_set1_pd(query[c]);
  return _mm_setzero_pd();
}

// Adds the terms of components [begin, end) to every group's sums.
template <typename Terms>
void accumulate(const double* query, const Groups& groups, std::size_t begin, std::size_t end,
                typename Terms::Sums (&sums)[kGroups]) {
  std::size_t c = begin;
  for (; c + kPair <= end; c += kPair) {
    const __m128d q = query_pair<Terms>(query, c);
    for (std::size_t g = 0; g < kGroups; ++g) {
      Terms::add_pair(sums[g], q, _mm_loadu_pd(groups[g].row[0] + c),
                      _mm_loadu_pd(groups[g].row[1] + c));
    }
  }
  if (c < end) {
    const __m128d q = query_single<Terms>(query, c);
    for (std::size_t g = 0; g < kGroups; ++g) {
      Terms::add_column(sums[g], q, load_column(groups[g], c));
    }
  }
}

// Slots without a position take the batch's first row, so that every load
// stays inside stored data; their results are discarded.
void fill_groups(const RowSource& rows, const Stripes& stripes, const Positions& positions,
                 Groups& groups) {
  for (std::size_t g = 0; g < kGroups; ++g) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      const std::size_t p = positions[g * kLanes + lane];
      groups[g].row[lane] = rows.row(p != stripes.end() ? p : 0);
    }
  }
}

void store_results(const Results& results, const Stripes& stripes, const Positions& positions,
                   double* out) {
  double values[kBlockRows];
  for (std::size_t g = 0; g < kGroups; ++g) _mm_storeu_pd(values + g * kLanes, results[g]);
  for (std::size_t slot = 0; slot < kBlockRows; ++slot) {
    if (positions[slot] != stripes.end()) out[positions[slot]] = values[slot];
  }
}

template <typename Terms>
void zero(typename Terms::Sums (&sums)[kGroups]) {
  for (auto& s : sums) s = typename Terms::Sums();
}

struct EuclideanBlock {
  static void run(const BatchJob& job, double, const Groups& groups, Results& results) {
    SquaredDifference::Sums sums[kGroups];
    zero<SquaredDifference>(sums);
    accumulate<SquaredDifference>(job.query, groups, 0, job.common_size(), sums);
    for (std::size_t g = 0; g < kGroups; ++g) results[g] = _mm_sqrt_pd(sums[g].total);
  }
};

struct DotBlock {
  static void run(const BatchJob& job, double, const Groups& groups, Results& results) {
    Product::Sums sums[kGroups];
    zero<Product>(sums);
    accumulate<Product>(job.query, groups, 0, job.common_size(), sums);
    for (std::size_t g = 0; g < kGroups; ++g) results[g] = sums[g].total;
  }
};

struct CosineBlock {
  static void run(const BatchJob& job, double query_norm, const Groups& groups, Results& results) {
    __m128d dots[kGroups];
    __m128d row_norms[kGroups];
    dots_and_norms(job, groups, dots, row_norms);
    const __m128d query_root = _mm_sqrt_pd(_mm_set1_pd(query_norm));
    for (std::size_t g = 0; g < kGroups; ++g) {
      const __m128d denominator = _mm_mul_pd(query_root, _mm_sqrt_pd(row_norms[g]));
      results[g] = _mm_div_pd(dots[g], denominator);
    }
  }

  // The norm runs over the whole stored vector, past the query's end if the
  // query is shorter.
  static void dots_and_norms(const BatchJob& job, const Groups& groups, Results& dots,
                             Results& row_norms) {
    const std::size_t common = job.common_size();
    ProductAndRowSquare::Sums sums[kGroups];
    zero<ProductAndRowSquare>(sums);
    accumulate<ProductAndRowSquare>(job.query, groups, 0, common, sums);
    RowSquare::Sums rest[kGroups];
    for (std::size_t g = 0; g < kGroups; ++g) rest[g].total = sums[g].norm;
    accumulate<RowSquare>(job.query, groups, common, job.rows.dim, rest);
    for (std::size_t g = 0; g < kGroups; ++g) {
      dots[g] = sums[g].dot;
      row_norms[g] = rest[g].total;
    }
  }
};

template <typename Block>
void run_blocks(const BatchJob& job, double query_norm) {
  const Stripes stripes(job.count, kBlockRows);
  for (std::size_t step = 0; step < stripes.steps(); ++step) {
    Positions positions;
    for (std::size_t slot = 0; slot < kBlockRows; ++slot) {
      positions[slot] = stripes.position(slot, step);
    }
    Groups groups;
    fill_groups(job.rows, stripes, positions, groups);
    Results results;
    Block::run(job, query_norm, groups, results);
    store_results(results, stripes, positions, job.out);
  }
}

void euclidean(const BatchJob& job) {
  run_blocks<EuclideanBlock>(job, 0.0);
}

void dot(const BatchJob& job) {
  run_blocks<DotBlock>(job, 0.0);
}

void cosine(const BatchJob& job, double query_norm) {
  run_blocks<CosineBlock>(job, query_norm);
}

void cosine_from_dots(double query_norm, const double* row_norms, std::size_t count,
                      double* values) {
  const __m128d query_root = _mm_sqrt_pd(_mm_set1_pd(query_norm));
  std::size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    const __m128d denominator = _mm_mul_pd(query_root, _mm_sqrt_pd(_mm_loadu_pd(row_norms + i)));
    _mm_storeu_pd(values + i, _mm_div_pd(_mm_loadu_pd(values + i), denominator));
  }
  for (; i < count; ++i) values[i] = values[i] / (std::sqrt(query_norm) * std::sqrt(row_norms[i]));
}

}  // namespace

const KernelSet kSse2Kernels = {
    .euclidean = &euclidean,
    .dot = &dot,
    .cosine = &cosine,
    .cosine_from_dots = &cosine_from_dots,
};

}  // namespace halqen::kernels

#endif
