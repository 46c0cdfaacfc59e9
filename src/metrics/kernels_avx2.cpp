// AVX2 kernels: four stored vectors per 256-bit register, one per lane.
//
// Components c and c+1 of rows 0 and 2 are loaded into one register and those
// of rows 1 and 3 into another; the terms are computed in that layout, then
// two unpacks give one register per component holding its term for the four
// rows, which is added to the lane accumulators component by component. Each
// lane thus adds its row's terms in index order, as the scalar loop does.
// Products and sums are rounded separately: no FMA instruction is used.
// Which rows share a step is set by Stripes (metrics/stripes.hpp).
#if defined(__x86_64__)

#include <immintrin.h>

#include <cmath>
#include <cstddef>

#include "metrics/kernels.hpp"
#include "metrics/stripes.hpp"

#define HALQEN_AVX2 [[gnu::target("avx2")]]
#define HALQEN_AVX2_INLINE [[gnu::target("avx2"), gnu::always_inline]] inline

namespace halqen::kernels {
namespace {

constexpr std::size_t kLanes = 4;
// Independent accumulator chains per block, enough to hide the add latency.
constexpr std::size_t kGroups = 2;
constexpr std::size_t kBlockRows = kLanes * kGroups;
// Components taken per step by the paired loads.
constexpr std::size_t kPair = 2;

// The stored vectors of one register, by lane.
struct Lanes {
  const double* row[kLanes];
};

using Groups = Lanes[kGroups];
using Results = __m256d[kGroups];
// The batch position of each slot of a step; Stripes::end() for none.
using Positions = std::size_t[kBlockRows];

// `terms_02` holds the terms of components c, c+1 of rows 0 and 2, `terms_13`
// those of rows 1 and 3; adds component c, then c+1, to each lane.
HALQEN_AVX2_INLINE __m256d add_in_order(__m256d sum, __m256d terms_02, __m256d terms_13) {
  sum = _mm256_add_pd(sum, _mm256_unpacklo_pd(terms_02, terms_13));
  return _mm256_add_pd(sum, _mm256_unpackhi_pd(terms_02, terms_13));
}

HALQEN_AVX2_INLINE __m256d load_rows_02(const Lanes& lanes, std::size_t c) {
  return _mm256_loadu2_m128d(lanes.row[2] + c, lanes.row[0] + c);
}

HALQEN_AVX2_INLINE __m256d load_rows_13(const Lanes& lanes, std::size_t c) {
  return _mm256_loadu2_m128d(lanes.row[3] + c, lanes.row[1] + c);
}

HALQEN_AVX2_INLINE __m256d load_column(const Lanes& lanes, std::size_t c) {
  return _mm256_set_pd(lanes.row[3][c], lanes.row[2][c], lanes.row[1][c], lanes.row[0][c]);
}

HALQEN_AVX2_INLINE __m256d square(__m256d x) {
  return _mm256_mul_pd(x, x);
}

struct SquaredDifference {
  static constexpr bool kReadsQuery = true;
  struct Sums {
    __m256d total;
  };
  HALQEN_AVX2_INLINE static void add_pair(Sums& sums, __m256d query, __m256d rows_02,
                                          __m256d rows_13) {
    sums.total = add_in_order(sums.total, square(_mm256_sub_pd(query, rows_02)),
                              square(_mm256_sub_pd(query, rows_13)));
  }
  HALQEN_AVX2_INLINE static void add_column(Sums& sums, __m256d query, __m256d column) {
    sums.total = _mm256_add_pd(sums.total, square(_mm256_sub_pd(query, column)));
  }
};

struct Product {
  static constexpr bool kReadsQuery = true;
  struct Sums {
    __m256d total;
  };
  HALQEN_AVX2_INLINE static void add_pair(Sums& sums, __m256d query, __m256d rows_02,
                                          __m256d rows_13) {
    sums.total =
        add_in_order(sums.total, _mm256_mul_pd(query, rows_02), _mm256_mul_pd(query, rows_13));
  }
  HALQEN_AVX2_INLINE static void add_column(Sums& sums, __m256d query, __m256d column) {
    sums.total = _mm256_add_pd(sums.total, _mm256_mul_pd(query, column));
  }
};

// The stored vectors' own squared norms; the query is not read.
struct RowSquare {
  static constexpr bool kReadsQuery = false;
  struct Sums {
    __m256d total;
  };
  HALQEN_AVX2_INLINE static void add_pair(Sums& sums, __m256d, __m256d rows_02, __m256d rows_13) {
    sums.total = add_in_order(sums.total, square(rows_02), square(rows_13));
  }
  HALQEN_AVX2_INLINE static void add_column(Sums& sums, __m256d, __m256d column) {
    sums.total = _mm256_add_pd(sums.total, square(column));
  }
};

// Dot product and stored squared norm from the same loads.
struct ProductAndRowSquare {
  static constexpr bool kReadsQuery = true;
  struct Sums {
    __m256d dot;
    __m256d norm;
  };
  HALQEN_AVX2_INLINE static void add_pair(Sums& sums, __m256d query, __m256d rows_02,
                                          __m256d rows_13) {
    sums.dot = add_in_order(sums.dot, _mm256_mul_pd(query, rows_02), _mm256_mul_pd(query, rows_13));
    sums.norm = add_in_order(sums.norm, square(rows_02), square(rows_13));
  }
  HALQEN_AVX2_INLINE static void add_column(Sums& sums, __m256d query, __m256d column) {
    sums.dot = _mm256_add_pd(sums.dot, _mm256_mul_pd(query, column));
    sums.norm = _mm256_add_pd(sums.norm, square(column));
  }
};

// The query's components c and c+1 as the terms expect them; nothing is read
// past the query's end for terms that ignore it.
template <typename Terms>
HALQEN_AVX2_INLINE __m256d query_pair(const double* query, std::size_t c) {
  if constexpr (Terms::kReadsQuery) return _mm256_loadu2_m128d(query + c, query + c);
  return _mm256_setzero_pd();
}

template <typename Terms>
HALQEN_AVX2_INLINE __m256d query_single(const double* query, std::size_t c) {
  if constexpr (Terms::kReadsQuery) return _mm256_set1_pd(query[c]);
  return _mm256_setzero_pd();
}

// Adds the terms of components [begin, end) to every group's sums.
template <typename Terms>
HALQEN_AVX2_INLINE void accumulate(const double* query, const Groups& groups, std::size_t begin,
                                   std::size_t end, typename Terms::Sums (&sums)[kGroups]) {
  std::size_t c = begin;
  for (; c + kPair <= end; c += kPair) {
    const __m256d q = query_pair<Terms>(query, c);
    for (std::size_t g = 0; g < kGroups; ++g) {
      Terms::add_pair(sums[g], q, load_rows_02(groups[g], c), load_rows_13(groups[g], c));
    }
  }
  if (c < end) {
    const __m256d q = query_single<Terms>(query, c);
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

HALQEN_AVX2_INLINE void store_results(const Results& results, const Stripes& stripes,
                                      const Positions& positions, double* out) {
  double values[kBlockRows];
  for (std::size_t g = 0; g < kGroups; ++g) _mm256_storeu_pd(values + g * kLanes, results[g]);
  for (std::size_t slot = 0; slot < kBlockRows; ++slot) {
    if (positions[slot] != stripes.end()) out[positions[slot]] = values[slot];
  }
}

template <typename Terms>
HALQEN_AVX2_INLINE void zero(typename Terms::Sums (&sums)[kGroups]) {
  for (auto& s : sums) s = typename Terms::Sums();
}

struct EuclideanBlock {
  HALQEN_AVX2_INLINE static void run(const BatchJob& job, double, const Groups& groups,
                                     Results& results) {
    SquaredDifference::Sums sums[kGroups];
    zero<SquaredDifference>(sums);
    accumulate<SquaredDifference>(job.query, groups, 0, job.common_size(), sums);
    for (std::size_t g = 0; g < kGroups; ++g) results[g] = _mm256_sqrt_pd(sums[g].total);
  }
};

struct DotBlock {
  HALQEN_AVX2_INLINE static void run(const BatchJob& job, double, const Groups& groups,
                                     Results& results) {
    Product::Sums sums[kGroups];
    zero<Product>(sums);
    accumulate<Product>(job.query, groups, 0, job.common_size(), sums);
    for (std::size_t g = 0; g < kGroups; ++g) results[g] = sums[g].total;
  }
};

struct CosineBlock {
  HALQEN_AVX2_INLINE static void run(const BatchJob& job, double query_norm, const Groups& groups,
                                     Results& results) {
    __m256d dots[kGroups];
    __m256d row_norms[kGroups];
    dots_and_norms(job, groups, dots, row_norms);
    const __m256d query_root = _mm256_sqrt_pd(_mm256_set1_pd(query_norm));
    for (std::size_t g = 0; g < kGroups; ++g) {
      const __m256d denominator = _mm256_mul_pd(query_root, _mm256_sqrt_pd(row_norms[g]));
      results[g] = _mm256_div_pd(dots[g], denominator);
    }
  }

  // The norm runs over the whole stored vector, past the query's end if the
  // query is shorter.
  HALQEN_AVX2_INLINE static void dots_and_norms(const BatchJob& job, const Groups& groups,
                                                Results& dots, Results& row_norms) {
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
HALQEN_AVX2 void run_blocks(const BatchJob& job, double query_norm) {
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

HALQEN_AVX2 void euclidean(const BatchJob& job) {
  run_blocks<EuclideanBlock>(job, 0.0);
}

HALQEN_AVX2 void dot(const BatchJob& job) {
  run_blocks<DotBlock>(job, 0.0);
}

HALQEN_AVX2 void cosine(const BatchJob& job, double query_norm) {
  run_blocks<CosineBlock>(job, query_norm);
}

HALQEN_AVX2 void cosine_from_dots(double query_norm, const double* row_norms, std::size_t count,
                                  double* values) {
  const __m256d query_root = _mm256_sqrt_pd(_mm256_set1_pd(query_norm));
  std::size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    const __m256d denominator =
        _mm256_mul_pd(query_root, _mm256_sqrt_pd(_mm256_loadu_pd(row_norms + i)));
    _mm256_storeu_pd(values + i, _mm256_div_pd(_mm256_loadu_pd(values + i), denominator));
  }
  for (; i < count; ++i) values[i] = values[i] / (std::sqrt(query_norm) * std::sqrt(row_norms[i]));
}

}  // namespace

const KernelSet kAvx2Kernels = {
    .euclidean = &euclidean,
    .dot = &dot,
    .cosine = &cosine,
    .cosine_from_dots = &cosine_from_dots,
};

}  // namespace halqen::kernels

#endif
