// Everything the library knows about each metric, in one row per metric:
// its kind, the name each Python class gives it, its code in index files, its
// single-pair function and the recipe from which every batch kernel is built.
// Adding a metric means a MetricKind enumerator, a row here, its single-pair
// function and, when its terms or finish are new, their vector form in the
// kernel skeleton; every other layer reads the table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "metrics/metrics.hpp"

namespace halqen {

// What one pair of components (query[c], row[c]) adds to the sum.
enum class PairTerm {
  SquaredDifference,  // (q - r) * (q - r)
  Product,            // q * r
};

// How the sum of the pairwise terms becomes the metric's value.
enum class Finish {
  SquareRoot,     // sqrt(sum)
  Identity,       // sum
  DivideByNorms,  // sum / (sqrt(squared_norm(query)) * sqrt(squared_norm(row)))
};

// The batch kernels' description of a metric. Every kernel adds the terms of
// one distance from +0.0 in index order and then applies the finish, which is
// exactly what the single-pair function does.
struct BatchRecipe {
  PairTerm term;
  Finish finish;

  // The finish needs the squared norms of the query and of each stored row.
  constexpr bool uses_norms() const { return finish == Finish::DivideByNorms; }
};

struct MetricRow {
  MetricKind kind;
  // The name PyFlat accepts; PyFlat reads any other name, or none, as Euclidean.
  std::string_view flat_name;
  // The name PyHNSW accepts; PyHNSW rejects any other name.
  std::string_view hnsw_name;
  // The metric's number in an index file's header: fixed for good once a
  // file was written with it, whatever the enumeration's order.
  std::uint32_t file_code;
  MetricFn pair;
  BatchRecipe batch;
};

// Row i describes MetricKind i: the enumeration's numbering is the table's.
inline constexpr std::array<MetricRow, 3> kMetrics = {{
    {.kind = MetricKind::Euclidean,
     .flat_name = "euclidean",
     .hnsw_name = "euclidean",
     .file_code = 0,
     .pair = &euclidean_distance,
     .batch = {.term = PairTerm::SquaredDifference, .finish = Finish::SquareRoot}},
    {.kind = MetricKind::Cosine,
     .flat_name = "cosine",
     .hnsw_name = "angular",
     .file_code = 1,
     .pair = &cosine_similarity,
     .batch = {.term = PairTerm::Product, .finish = Finish::DivideByNorms}},
    {.kind = MetricKind::InnerProduct,
     .flat_name = "inner_product",
     .hnsw_name = "inner_product",
     .file_code = 2,
     .pair = &dot_product,
     .batch = {.term = PairTerm::Product, .finish = Finish::Identity}},
}};

inline constexpr std::size_t kMetricCount = kMetrics.size();

constexpr bool rows_follow_the_enumeration() {
  for (std::size_t i = 0; i < kMetricCount; ++i) {
    if (static_cast<std::size_t>(kMetrics[i].kind) != i) return false;
  }
  return true;
}
static_assert(rows_follow_the_enumeration(), "kMetrics[i] must describe MetricKind i");

constexpr bool file_codes_are_distinct() {
  for (std::size_t i = 0; i < kMetricCount; ++i) {
    for (std::size_t j = i + 1; j < kMetricCount; ++j) {
      if (kMetrics[i].file_code == kMetrics[j].file_code) return false;
    }
  }
  return true;
}
static_assert(file_codes_are_distinct(), "two metrics share a file code");

// The row of `kind`. Throws std::invalid_argument when `kind` is not one of
// the enumerators.
const MetricRow& metric_row(MetricKind kind);

// The metric whose flat_name (hnsw_name) is exactly `name`, if any.
std::optional<MetricKind> metric_with_flat_name(std::string_view name);
std::optional<MetricKind> metric_with_hnsw_name(std::string_view name);
// The metric whose file_code is `code`, if any.
std::optional<MetricKind> metric_with_file_code(std::uint32_t code);

}  // namespace halqen
