// The settings of a graph index, fixed when it is created.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

#include "metadata/metadata.hpp"
#include "metrics/metrics.hpp"

namespace halqen::graph {

// What a walk reads: the float64 rows, or a compact code of each vector
// (float32 numbers, 8-bit scalar codes), with the answers then chosen by
// exact float64 distances.
enum class WalkKind : std::uint8_t { Exact, Float32, Sq8 };
inline constexpr std::uint8_t kWalkKindCount = 3;

// How the rows are kept: as float32 while that loses nothing, then float64
// (Adaptive); always float64; or always float32, each number rounded to
// the nearest float32 as it is added (a loss the caller chose).
enum class RowStorage : std::uint8_t { Adaptive, Float32, Float64 };
inline constexpr std::uint8_t kRowStorageCount = 3;

struct GraphParams {
  std::uint64_t dim = 0;
  MetricKind metric = MetricKind::Euclidean;
  // Links per node on the upper layers; twice as many on layer 0.
  std::uint64_t m = 16;
  // Width of the search that finds a new node's neighbours.
  std::uint64_t ef_construction = 200;
  // Width of a query's layer-0 search unless the query names one.
  std::uint64_t ef_search = 64;
  // With the insertion number, decides every node's level.
  std::uint64_t seed = 0;
  std::optional<Schema> schema;
  WalkKind walk = WalkKind::Exact;
  RowStorage storage = RowStorage::Adaptive;
};

// Below 2 the level multiplier 1/ln(m) is undefined or infinite; above this
// the fixed link arrays stop paying for themselves.
inline constexpr std::uint64_t kMinLinks = 2;
inline constexpr std::uint64_t kMaxLinks = 1024;
// An index read back keeps room for this share more of every large array,
// reserved but not touched (so not resident): the first additions after a
// load then copy nothing, where they would otherwise copy the whole index.
inline constexpr std::uint64_t kLoadedSpareShare = 16;

// The largest m for vectors of `dim` components. Every node's link arrays
// take about 8m bytes whatever links they hold, and a saved index holds at
// least 8 bytes per component of each vector (half its slots may be free,
// holding none): above this, a saved index would claim more memory when
// read than a reader gives any file (72 bytes per byte of it).
inline constexpr std::uint64_t kLinksPerComponent = 32;
inline constexpr std::uint64_t kLinksAnyDim = 32;
constexpr std::uint64_t max_links_for(std::uint64_t dim) {
  return dim >= (kMaxLinks - kLinksAnyDim) / kLinksPerComponent
             ? kMaxLinks
             : kLinksPerComponent * dim + kLinksAnyDim;
}

// A file gives a row's bytes (dim float64 values) as a 64-bit size, which
// the reader refuses to see wrap: a wider index could be made, never saved.
inline constexpr std::uint64_t kMaxDim = std::numeric_limits<std::uint64_t>::max() / sizeof(double);

}  // namespace halqen::graph
