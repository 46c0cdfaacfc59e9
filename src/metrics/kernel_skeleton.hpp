// The kernels, written once for any register width.
//
// Included only by the per-instruction-set translation units
// (kernels_<isa>.cpp). Such a unit defines HALQEN_ISA_TARGET (a gnu::target
// string) before including this file, or leaves it undefined for plain code,
// then defines its traits struct and builds its KernelSet with
// kernel_set<Traits>(). Every skeleton function carries that unit's target, so
// each unit compiles its own copy: hence the unnamed namespaces.
//
// A traits struct provides, each function always inlined:
//   Vec; kLanes, the doubles in one Vec (a divisor of kPanelWidth)
//   kGroups: row kernels, registers of rows in flight per step
//   kTileVectors, kTileRows: block kernel, query registers x rows per tile
//   kSplitsSubtractions: whether the kernels compute half of their
//     differences with sub_on_multiplier(a, b), a - b on a multiplying unit
//   zero(), broadcast(x), add, sub, mul, div, sqrt: lane-wise, each rounded
//   load(p), store(p, v): kLanes consecutive doubles
//   load_columns(rows, c, first, second): rows[l] is lane l's row; sets
//     first[l] = rows[l][c] and second[l] = rows[l][c + 1]
//   load_column(rows, c): lane l holds rows[l][c]
//
// Every kernel adds the terms of each single distance from +0.0 in index
// order, with products and sums as separate instructions: the single-pair
// functions' bits, lane by lane.
#pragma once

#include <cstddef>
#include <utility>

#include "metrics/kernels.hpp"
#include "metrics/metric_table.hpp"
#include "metrics/skeleton_block.hpp"
#include "metrics/skeleton_common.hpp"
#include "metrics/skeleton_rows.hpp"

namespace halqen::kernels {
namespace {

template <class Isa, std::size_t... kIndex>
constexpr KernelSet kernel_set_of(std::index_sequence<kIndex...>) {
  return {.rows = {&rows_kernel<Isa, kMetrics[kIndex].batch>...},
          .rows_with_norms = {&rows_with_norms_kernel<Isa, kMetrics[kIndex].batch>...},
          .block = {&block_kernel<Isa, kMetrics[kIndex].batch>...}};
}

// The kernels of every metric in the table, for one instruction set.
template <class Isa>
constexpr KernelSet kernel_set() {
  return kernel_set_of<Isa>(std::make_index_sequence<kMetricCount>());
}

}  // namespace
}  // namespace halqen::kernels
