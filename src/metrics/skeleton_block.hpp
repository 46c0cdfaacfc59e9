// Skeleton of the block kernel: many queries against a run of rows, lanes
// hold queries.
//
// A tile is kVectors registers of queries, taken from the transposed panels,
// against Isa::kTileRows rows, with one accumulator per (register, row) held
// in registers. For each component the tile loads each query register once
// and each row's component once, broadcast to every lane, and adds one term
// to every accumulator: each lane adds the terms of its (query, row) pair
// from +0.0 in index order, exactly as the single-pair function does.
//
// Rows are taken a chunk at a time and each chunk meets every query before
// the next is read, so a row is read from memory once per call.
//
// Included only through metrics/kernel_skeleton.hpp (see there).
#pragma once

#include <cmath>
#include <cstddef>

#include "metrics/kernels.hpp"
#include "metrics/metric_table.hpp"
#include "metrics/metrics.hpp"
#include "metrics/skeleton_common.hpp"

namespace halqen::kernels {
namespace {

template <class Isa>
inline constexpr std::size_t kVectorsPerPanel = kPanelWidth / Isa::kLanes;

// Query register v holds queries v * kLanes .. v * kLanes + kLanes - 1; its
// component c is at the returned address + c * kPanelWidth.
template <class Isa>
HALQEN_KERNEL_INLINE const double* query_register(const BlockJob& job, std::size_t v) {
  static_assert(kPanelWidth % Isa::kLanes == 0, "a register must take a whole part of a panel");
  const std::size_t panel = v / kVectorsPerPanel<Isa>;
  const std::size_t part = v % kVectorsPerPanel<Isa>;
  return job.panels + panel * job.query_size * kPanelWidth + part * Isa::kLanes;
}

// The rows of one tile. Slots past the run's end repeat its last row, so that
// every load stays inside the run; their results are discarded.
template <class Isa>
struct RowTile {
  const double* row[Isa::kTileRows];
  // sqrt(squared_norm(row)), for metrics that use norms: once per row.
  double root[Isa::kTileRows];
  std::size_t first;
  std::size_t count;  // slots inside the run
};

template <class Isa, bool kNorms>
HALQEN_KERNEL_INLINE RowTile<Isa> row_tile(const BlockJob& job, std::size_t first) {
  RowTile<Isa> tile;
  tile.first = first;
  tile.count = job.row_count - first < Isa::kTileRows ? job.row_count - first : Isa::kTileRows;
  for (std::size_t r = 0; r < Isa::kTileRows; ++r) {
    const std::size_t i = first + (r < tile.count ? r : tile.count - 1);
    tile.row[r] = job.rows + i * job.dim;
    tile.root[r] = 0.0;
    if constexpr (kNorms) {
      const double norm = job.row_norms != nullptr ? job.row_norms[i]
                                                   : squared_norm(VectorView(tile.row[r], job.dim));
      tile.root[r] = std::sqrt(norm);
    }
  }
  return tile;
}

template <class Isa, Finish kFinish, std::size_t kVectors>
HALQEN_KERNEL_INLINE void store_tile(const BlockJob& job, const RowTile<Isa>& tile,
                                     std::size_t first_vector,
                                     const typename Isa::Vec (&sums)[kVectors][Isa::kTileRows]) {
  for (std::size_t v = 0; v < kVectors; ++v) {
    const std::size_t first_query = (first_vector + v) * Isa::kLanes;
    typename Isa::Vec query_roots = Isa::zero();
    if constexpr (kFinish == Finish::DivideByNorms) {
      query_roots = Isa::load(job.query_roots + first_query);
    }
    for (std::size_t r = 0; r < tile.count; ++r) {
      double values[Isa::kLanes];
      Isa::store(values,
                 finish<Isa, kFinish>(sums[v][r], query_roots, Isa::broadcast(tile.root[r])));
      for (std::size_t lane = 0; lane < Isa::kLanes; ++lane) {
        const std::size_t query = first_query + lane;
        if (query < job.query_count) job.out[query * job.row_count + tile.first + r] = values[lane];
      }
    }
  }
}

// Query registers first_vector .. first_vector + kVectors - 1 against a tile.
template <class Isa, BatchRecipe kRecipe, std::size_t kVectors>
HALQEN_KERNEL void score_tile(const BlockJob& job, const RowTile<Isa>& tile,
                              std::size_t first_vector) {
  using Vec = typename Isa::Vec;
  constexpr std::size_t kRows = Isa::kTileRows;
  const double* queries[kVectors];
  for (std::size_t v = 0; v < kVectors; ++v)
    queries[v] = query_register<Isa>(job, first_vector + v);
  Vec sums[kVectors][kRows];
  for (auto& per_row : sums) {
    for (Vec& sum : per_row) sum = Isa::zero();
  }
  const std::size_t common = job.common_size();
  for (std::size_t c = 0; c < common; ++c) {
    Vec query[kVectors];
    for (std::size_t v = 0; v < kVectors; ++v) query[v] = Isa::load(queries[v] + c * kPanelWidth);
    for (std::size_t r = 0; r < kRows; ++r) {
      const Vec component = Isa::broadcast(tile.row[r][c]);
      for (std::size_t v = 0; v < kVectors; ++v) {
        sums[v][r] = Isa::add(
            sums[v][r], balanced_term<Isa, kRecipe.term>(query[v], component, ((v + r) & 1) != 0));
      }
    }
  }
  store_tile<Isa, kRecipe.finish, kVectors>(job, tile, first_vector, sums);
}

// The last `remaining` (< Isa::kTileVectors) query registers against a tile.
template <class Isa, BatchRecipe kRecipe, std::size_t kVectors = Isa::kTileVectors - 1>
HALQEN_KERNEL_INLINE void score_remaining(const BlockJob& job, const RowTile<Isa>& tile,
                                          std::size_t first_vector, std::size_t remaining) {
  if constexpr (kVectors > 0) {
    if (remaining == kVectors) return score_tile<Isa, kRecipe, kVectors>(job, tile, first_vector);
    score_remaining<Isa, kRecipe, kVectors - 1>(job, tile, first_vector, remaining);
  }
}

// Rows are taken a chunk at a time: the chunk's rows stay in the second
// level cache while every query register meets them, and a tile of query
// registers stays in the first level cache while it meets the whole chunk.
constexpr std::size_t kChunkBytes = std::size_t{96} << 10;
constexpr std::size_t kMaxChunkTiles = 16;

template <class Isa>
HALQEN_KERNEL_INLINE std::size_t tiles_per_chunk(std::size_t dim) {
  const std::size_t tile_bytes = Isa::kTileRows * dim * sizeof(double);
  const std::size_t fit = tile_bytes == 0 ? kMaxChunkTiles : kChunkBytes / tile_bytes;
  return fit < 1 ? 1 : (fit > kMaxChunkTiles ? kMaxChunkTiles : fit);
}

template <class Isa, BatchRecipe kRecipe>
HALQEN_KERNEL void block_kernel(const BlockJob& job) {
  const std::size_t registers = (job.query_count + Isa::kLanes - 1) / Isa::kLanes;
  const std::size_t chunk_rows = tiles_per_chunk<Isa>(job.dim) * Isa::kTileRows;
  for (std::size_t chunk = 0; chunk < job.row_count; chunk += chunk_rows) {
    RowTile<Isa> tiles[kMaxChunkTiles];
    std::size_t tile_count = 0;
    for (std::size_t first = chunk; first < job.row_count && first < chunk + chunk_rows;
         first += Isa::kTileRows) {
      tiles[tile_count++] = row_tile<Isa, kRecipe.uses_norms()>(job, first);
    }
    std::size_t v = 0;
    for (; v + Isa::kTileVectors <= registers; v += Isa::kTileVectors) {
      for (std::size_t t = 0; t < tile_count; ++t) {
        score_tile<Isa, kRecipe, Isa::kTileVectors>(job, tiles[t], v);
      }
    }
    for (std::size_t t = 0; t < tile_count; ++t) {
      score_remaining<Isa, kRecipe>(job, tiles[t], v, registers - v);
    }
  }
}

}  // namespace
}  // namespace halqen::kernels
