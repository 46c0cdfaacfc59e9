// What the index keeps per slot beside the engine's links, filled and
// cleared in one place: the row and its code for the walk, the id, the
// metadata record with its postings.
#include <algorithm>

#include "graph/graph_index.hpp"

namespace halqen::graph {

void GraphIndex::fill_row(std::uint32_t slot, std::span<const double> row) {
  store_.set_row(slot, row);
  if (reads_.overwrite(slot, store_.rows(), row)) note_code_change();
}

void GraphIndex::append_rows(std::vector<double>&& rows, std::size_t count) {
  // A whole copy of the rows where they move: searches read the old ones.
  store_.make_room(count, gate());
  const std::size_t coded = store_.size();
  const std::size_t numbers = count * dim();
  bool recoded = false;
  if (store_.narrow()) {
    // Narrowed as they are copied: the codes are made from these numbers.
    store_.append(std::span<const double>(rows).first(numbers), count);
    recoded = reads_.append(store_.rows().first(coded), std::span(rows).first(numbers));
  } else {
    store_.append(std::move(rows), count);
    recoded = reads_.append(store_.rows().first(coded),
                            store_.rows().wide_values().subspan(coded * dim()));
  }
  if (recoded) note_code_change();
}

// Codes coded again forget the link prefixes chosen by the old ones; codes
// that turned to float32 make the walk a float32 walk, as index.walk says.
void GraphIndex::note_code_change() {
  engine_.distances_changed();
  if (reads_.float32_codes()) params_.walk = WalkKind::Float32;
}

void GraphIndex::unfill_row(std::uint32_t slot) {
  store_.clear_row(slot);
  reads_.clear(slot);
  engine_.slots().release(slot);
}

void GraphIndex::drop_unlinked_rows() {
  store_.truncate(slot_count());
  reads_.truncate(slot_count());
}

void GraphIndex::set_record(std::uint32_t slot, const MetadataRecord* record) {
  if (!params_.schema) return;
  const std::span<const Metadata> values =
      record == nullptr ? std::span<const Metadata>() : std::span<const Metadata>(*record);
  records_.set(slot, values);
  postings_.insert(slot, values);
  note_values_of(slot);
}

void GraphIndex::clear_slot(std::uint32_t slot) {
  store_.clear_row(slot);
  reads_.clear(slot);
  labels_.release(slot);
  if (params_.schema) clear_record(slot);
}

void GraphIndex::clear_record(std::uint32_t slot) {
  note_values_of(slot);
  records_.clear(slot);
  for (const ValueCode forgotten : postings_.erase(slot)) partitions_->forget(forgotten);
}

void GraphIndex::clear_all() {
  GraphIndex fresh(params_);
  fresh.labels_ = std::move(labels_);
  fresh.labels_.clear_keeping_next();
  fresh.gate_ = std::move(gate_);
  *this = std::move(fresh);
}

bool GraphIndex::ids_are_slots() const {
  if (labels_.explicit_labels().empty()) return true;
  for (std::uint32_t slot = 0; slot < slot_count(); ++slot) {
    if (!is_free(slot) && labels_.label_of(slot) != slot) return false;
  }
  return true;
}

}  // namespace halqen::graph
