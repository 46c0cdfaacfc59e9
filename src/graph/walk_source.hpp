// What a walk reads: the float64 rows themselves (the exact walk), or
// compact codes of them kept beside the rows (float32 or 8-bit), which the
// walk reads and a rerank checks against the rows. The choice is made once,
// when the index is created; the index tells this part every row it writes
// and asks it, per query, which distances to walk on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "codes/code_store.hpp"
#include "common/rows_view.hpp"
#include "graph/code_distances.hpp"
#include "graph/graph_params.hpp"
#include "graph/mapped_arrays.hpp"

namespace halqen::graph {

class WalkSource {
 public:
  explicit WalkSource(const GraphParams& params);

  // The codes a walk reads; null for a walk on the rows.
  const codes::CodeStore* codes() const { return codes_ ? &*codes_ : nullptr; }
  // Whether the keys are so coarse (8-bit codes) that a walk keeps a few
  // more candidates than it returns.
  bool coarse() const { return codes_ && codes_->kind() == codes::CodeKind::Sq8; }
  // Whether the codes are float32: chosen so, or turned so where 8-bit
  // codes could not keep the rows apart.
  bool float32_codes() const { return codes_ && codes_->kind() == codes::CodeKind::Float32; }

  // The rows written: `stored` is every slot's row as it now stands, `row`
  // the one just written at `slot` or `added` the rows just appended. Each
  // returns whether every code was coded again (a wider range), which
  // changes every distance a walk measures.
  bool overwrite(std::uint32_t slot, const RowsView& stored, std::span<const double> row);
  bool append(const RowsView& stored, std::span<const double> added);
  void clear(std::uint32_t slot);
  void truncate(std::size_t count);
  std::uint64_t heap_bytes() const { return codes_ ? codes_->heap_bytes() : 0; }

  // What a saved index keeps of its codes, where the rows alone would not
  // give them again: the 8-bit range as it was, the float32 scale where the
  // live rows would set another.
  std::optional<codes::Sq8Range> kept_range() const;
  std::optional<codes::Float32Scale> kept_scale(const RowsView& stored) const;
  // The codes of a loaded index, from what was kept and every slot's row
  // (room for `room` slots), encoded by `loop`; or, where the 8-bit codes
  // were saved with their range, those.
  void restore(std::optional<codes::Sq8Range> range, std::optional<codes::Float32Scale> scale,
               codes::SavedCodes* saved, std::size_t room, const RowsView& stored,
               std::span<const std::uint8_t> free, std::span<const double> norms,
               const codes::CodeStore::PieceLoop& loop);

  // The 8-bit codes of a mapped index, with the range they were saved with,
  // where they lie in the file.
  void map(codes::Sq8Range range, const MappedArrays& arrays, std::size_t count);

  // on_codes(CodeDistances&) where the walk reads codes that can place the
  // query; on_rows() otherwise (the exact walk, or a query the codes' range
  // cannot reach).
  template <class OnRows, class OnCodes>
  decltype(auto) for_query(std::span<const double> query, OnRows&& on_rows,
                           OnCodes&& on_codes) const {
    if (codes_) {
      CodeDistances coded(*codes_, query);
      if (coded.places_query()) return on_codes(coded);
    }
    return on_rows();
  }

 private:
  std::optional<codes::CodeStore> codes_;
};

}  // namespace halqen::graph
