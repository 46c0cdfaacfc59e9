#include "graph/walk_source.hpp"

#include <utility>

namespace halqen::graph {
namespace {

std::optional<codes::CodeStore> code_store_for(const GraphParams& params) {
  switch (params.walk) {
    case WalkKind::Float32:
      return codes::CodeStore(params.dim, params.metric, codes::CodeKind::Float32);
    case WalkKind::Sq8:
      return codes::CodeStore(params.dim, params.metric, codes::CodeKind::Sq8);
    case WalkKind::Exact:
      break;
  }
  return std::nullopt;
}

}  // namespace

WalkSource::WalkSource(const GraphParams& params) : codes_(code_store_for(params)) {}

bool WalkSource::overwrite(std::uint32_t slot, const RowsView& stored,
                           std::span<const double> row) {
  if (!codes_) return false;
  const std::uint64_t changes = codes_->range_changes();
  codes_->overwrite(slot, stored, row);
  return codes_->range_changes() != changes;
}

bool WalkSource::append(const RowsView& stored, std::span<const double> added) {
  if (!codes_) return false;
  const std::uint64_t changes = codes_->range_changes();
  codes_->append(stored, added);
  return codes_->range_changes() != changes;
}

void WalkSource::clear(std::uint32_t slot) {
  if (codes_) codes_->clear(slot);
}

void WalkSource::truncate(std::size_t count) {
  if (codes_) codes_->truncate(count);
}

std::optional<codes::Sq8Range> WalkSource::kept_range() const {
  if (!coarse() || codes_->range().empty()) return std::nullopt;
  return codes_->range();
}

std::optional<codes::Float32Scale> WalkSource::kept_scale(const RowsView& stored) const {
  if (!float32_codes()) return std::nullopt;
  // A free slot's row is zeros, which sets nothing.
  if (codes_->scale() == codes_->scale_of(stored)) return std::nullopt;
  return codes_->scale();
}

void WalkSource::restore(std::optional<codes::Sq8Range> range,
                         std::optional<codes::Float32Scale> scale, codes::SavedCodes* saved,
                         std::size_t room, const RowsView& stored,
                         std::span<const std::uint8_t> free, std::span<const double> norms,
                         const codes::CodeStore::PieceLoop& loop) {
  if (!codes_) return;
  const bool ranged = range.has_value();
  if (range) codes_->restore_range(std::move(*range));
  if (scale) codes_->restore_scale(*scale);
  if (saved != nullptr && ranged && coarse()) {
    codes_->append_saved(std::move(*saved), free);
    return;
  }
  codes_->reserve_room(room);
  codes_->append_slots(stored, free, norms, loop);
}

void WalkSource::map(codes::Sq8Range range, const MappedArrays& arrays, std::size_t count) {
  codes_->restore_range(std::move(range));
  codes_->map(arrays.code_lines, arrays.coding_errors, arrays.code_lengths, count, arrays.owner);
}

}  // namespace halqen::graph
