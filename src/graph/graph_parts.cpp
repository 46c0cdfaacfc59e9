// An index as plain parts and back: what saving, loading and pickling use.
#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/entry_reach.hpp"
#include "engine/level_draw.hpp"
#include "graph/graph_index.hpp"
#include "graph/row_rules.hpp"
#include "metrics/metric_table.hpp"
#include "parallel/piece_runner.hpp"

namespace halqen::graph {
namespace {

std::unexpected<InvalidParts> invalid(std::string reason) {
  return std::unexpected(InvalidParts{std::move(reason)});
}

std::string slot_text(std::size_t slot) {
  return "slot " + std::to_string(slot);
}

// What is wrong with slot's link to target on layer.
std::string bad_link(std::uint32_t slot, std::uint32_t target, unsigned layer, std::uint64_t count,
                     std::span<const std::uint8_t> levels, std::span<const std::uint8_t> free) {
  const std::string link = slot_text(slot) + " links to " + std::to_string(target) + " on layer " +
                           std::to_string(layer);
  if (target >= count) return link + ", past the last slot " + std::to_string(count - 1);
  if (target == slot) return link + ": itself";
  if (levels[target] < layer) return link + ", whose level is " + std::to_string(levels[target]);
  if (free[target] != 0) return link + ", a free slot";
  return link + " twice";
}

// A link given twice is found within its list, in cache, rather than by
// marks per slot looked up at random: in a short list by comparing every
// pair without a branch (a loop the compiler vectorises), in a long one by
// sorting a copy. Which link repeats is looked for only then.
constexpr std::size_t kComparedInList = 64;

bool given_before(std::span<const std::uint32_t> list, std::size_t i) {
  const auto before = list.first(i);
  return std::ranges::find(before, list[i]) != before.end();
}

bool repeats_a_link(std::span<const std::uint32_t> list, std::vector<std::uint32_t>& sorted) {
  if (list.size() <= kComparedInList) {
    std::uint32_t repeats = 0;
    for (const std::uint32_t link : list) {
      std::uint32_t equal = 0;
      for (const std::uint32_t other : list) equal += static_cast<std::uint32_t>(other == link);
      repeats |= static_cast<std::uint32_t>(equal > 1);
    }
    return repeats != 0;
  }
  sorted.assign(list.begin(), list.end());
  std::ranges::sort(sorted);
  return std::ranges::adjacent_find(sorted) != sorted.end();
}

// Rows per piece of the check of a load's rows.
constexpr std::size_t kRowsCheckedPerPiece = 4096;

// The codes of a load are computed on every usable CPU: nothing else runs
// meanwhile, and no piece waits on another.
void on_every_cpu(std::size_t pieces, const std::function<void(std::size_t)>& each) {
  const PieceJob job{pieces, each};
  run_pieces(job, {.threads = usable_cpu_count(), .keep_going = [] { return true; }});
}

// Per slot, 1 when the parts list it free: each listed once, in increasing
// order, below the slot count, and no more of them than live slots (a free
// slot takes a live one's memory, which the file does not back).
std::expected<std::vector<std::uint8_t>, InvalidParts> free_flags(
    std::uint64_t count, std::span<const std::uint32_t> free_slots) {
  if (free_slots.size() > count - free_slots.size()) {
    return invalid(std::to_string(free_slots.size()) + " free slots of " + std::to_string(count) +
                   ": more than the live ones");
  }
  std::vector<std::uint8_t> flags(count, 0);
  for (std::size_t i = 0; i < free_slots.size(); ++i) {
    const std::uint32_t slot = free_slots[i];
    if (slot >= count) {
      return invalid("free " + slot_text(slot) + " is past the last slot " +
                     std::to_string(count - 1));
    }
    if (flags[slot] != 0) return invalid("free " + slot_text(slot) + " is listed twice");
    if (i > 0 && slot < free_slots[i - 1]) {
      return invalid("free " + slot_text(slot) + " is listed after " +
                     std::to_string(free_slots[i - 1]) + ": out of order");
    }
    flags[slot] = 1;
  }
  return flags;
}

std::expected<void, InvalidParts> check_params(const GraphParams& params) {
  if (params.dim == 0) return invalid("dim is 0");
  if (params.m < kMinLinks || params.m > kMaxLinks) {
    return invalid("m is " + std::to_string(params.m) + ", outside [" + std::to_string(kMinLinks) +
                   ", " + std::to_string(kMaxLinks) + "]");
  }
  if (params.ef_construction == 0 || params.ef_search == 0) {
    return invalid("ef_construction is " + std::to_string(params.ef_construction) +
                   " and ef_search " + std::to_string(params.ef_search) + ", both must be >= 1");
  }
  if (static_cast<std::size_t>(params.metric) >= kMetricCount) {
    return invalid("metric code " + std::to_string(static_cast<int>(params.metric)));
  }
  if (static_cast<std::uint8_t>(params.walk) >= kWalkKindCount) {
    return invalid("walk code " + std::to_string(static_cast<int>(params.walk)));
  }
  return {};
}

// One pass a compiler can vectorise, as loading reads every component: an
// exponent of all ones is an infinity or a NaN.
bool all_finite(std::span<const double> values) {
  constexpr std::uint64_t kExponent = 0x7FF0000000000000ULL;
  bool any_not_finite = false;
  for (const double x : values) {
    any_not_finite |= (std::bit_cast<std::uint64_t>(x) & kExponent) == kExponent;
  }
  return !any_not_finite;
}

// The map of every slot's id: the labels of the live slots, or the slots
// themselves when there are none (then, with no free slot and the next id
// right after the last slot, there is nothing to check).
std::expected<LabelMap, InvalidParts> id_map(std::span<const std::uint64_t> live_labels,
                                             std::span<const std::uint8_t> free,
                                             std::uint64_t next_id) {
  const std::uint64_t count = free.size();
  const std::uint64_t live = count - static_cast<std::uint64_t>(std::ranges::count(free, 1));
  const bool slots_are_ids = live_labels.empty();
  if (!slots_are_ids && live_labels.size() != live) {
    return invalid(std::to_string(live_labels.size()) + " ids for " + std::to_string(live) +
                   " live vectors");
  }
  // 2^64 - 1 marks a free slot in the map: checked before it could pass as one.
  const auto large =
      std::ranges::find_if(live_labels, [](std::uint64_t label) { return label > kLargestId; });
  if (large != live_labels.end()) {
    return invalid("id " + std::to_string(*large) + " exceeds 2^63 - 1");
  }
  if (next_id > kLargestId + 1) {
    return invalid("the next id " + std::to_string(next_id) + " exceeds 2^63");
  }
  std::vector<std::uint64_t> labels(count, LabelMap::kNoLabel);
  std::size_t next_live = 0;
  for (std::uint64_t slot = 0; slot < count; ++slot) {
    if (free[slot] == 0) labels[slot] = slots_are_ids ? slot : live_labels[next_live++];
  }
  if (slots_are_ids && live == count && next_id == count) {
    LabelMap map;
    map.append(labels);  // ids equal to their slots keep the map empty
    return map;
  }
  std::optional<LabelMap> map = LabelMap::from_labels(labels, next_id);
  if (!map) {
    return invalid("ids repeat, exceed 2^63 - 1 or reach the next id " + std::to_string(next_id));
  }
  return std::move(*map);
}

// The rows of the parts as read (or mapped): `rows` of them.
RowsView rows_of(const GraphParts& parts, std::uint64_t rows) {
  const std::size_t dim = parts.params.dim;
  if (parts.mapped) return RowsView::over(parts.mapped->rows, *parts.wide_rows, dim, rows);
  if (!parts.narrow_vectors.empty()) {
    return RowsView(std::span<const float>(parts.narrow_vectors), dim, rows);
  }
  return RowsView(std::span<const double>(parts.vectors), dim, rows);
}

// Vectors and levels: one row per live slot (or per slot) and one level per
// slot, every component finite, no zero vector under the cosine.
std::expected<void, InvalidParts> check_rows(const GraphParts& parts,
                                             std::span<const std::uint8_t> free) {
  const std::uint64_t count = parts.count;
  const std::uint64_t live = count - parts.free_slots.size();
  const std::uint64_t dim = parts.params.dim;
  const std::uint64_t rows = parts.rows_by_slot ? count : live;
  if (parts.levels.size() != count) {
    return invalid(std::to_string(parts.levels.size()) + " levels for " + std::to_string(count) +
                   " vectors");
  }
  // Rows used where they lie are trusted, reading them being what mapping
  // spares, unless codes are made from them at open (which reads them all):
  // then a NaN in them would make the walk's keys NaN.
  const bool coded_at_open =
      parts.params.walk == WalkKind::Float32 ||
      (parts.params.walk == WalkKind::Sq8 && parts.mapped && parts.mapped->code_lines == nullptr);
  if (parts.mapped && !coded_at_open) return {};
  const std::size_t numbers =
      parts.mapped ? rows * dim : parts.narrow_vectors.size() + parts.vectors.size();
  if (numbers != rows * dim || (parts.rows_by_slot && !parts.wide_rows)) {
    return invalid(std::to_string(numbers) + " vector components for " + std::to_string(rows) +
                   (parts.rows_by_slot ? " slots" : " live vectors") + " of " +
                   std::to_string(dim));
  }
  const bool cosine = parts.params.metric == MetricKind::Cosine;
  const RowsView stored = rows_of(parts, rows);
  // Pieces checked on every CPU; the fault named is the first row's.
  const std::size_t pieces = (rows + kRowsCheckedPerPiece - 1) / kRowsCheckedPerPiece;
  std::vector<std::optional<std::pair<std::uint64_t, GraphError>>> refusals(pieces);
  on_every_cpu(pieces, [&](std::size_t piece) {
    std::vector<double> scratch;
    const std::uint64_t end = std::min<std::uint64_t>(rows, (piece + 1) * kRowsCheckedPerPiece);
    for (std::uint64_t row = piece * kRowsCheckedPerPiece; row < end; ++row) {
      if (parts.rows_by_slot && free[row] != 0) continue;
      if (auto refused = check_row(stored.row(row, scratch), cosine, row)) {
        refusals[piece].emplace(row, *refused);
        return;
      }
    }
  });
  const auto first = std::ranges::find_if(refusals, [](const auto& r) { return r.has_value(); });
  if (first == refusals.end()) return {};
  const auto [row, refused] = **first;
  const auto live_row =
      parts.rows_by_slot
          ? row - static_cast<std::uint64_t>(std::count(free.begin(), free.begin() + row, 1))
          : row;
  return invalid("live vector " + std::to_string(live_row) +
                 (refused.kind == GraphErrorKind::NotFinite
                      ? " has a component that is not finite"
                      : " is a zero vector under the cosine metric"));
}

// The width the rows are kept in must hold them: float32 rows only float32
// values, and a store held to one width only that one.
std::expected<bool, InvalidParts> rows_wide(const GraphParts& parts) {
  const RowStorage storage = parts.params.storage;
  // Rows read in their width (rows_by_slot) tell it themselves.
  const bool fits_narrow = storage == RowStorage::Float64 ||
                           (parts.rows_by_slot ? !*parts.wide_rows : float32_values(parts.vectors));
  const bool wide = parts.wide_rows.value_or(storage == RowStorage::Float64 || !fits_narrow);
  if (!wide && !fits_narrow) {
    return invalid("rows kept as float32 hold a number that is not a float32 value");
  }
  if (storage != RowStorage::Adaptive && wide != (storage == RowStorage::Float64)) {
    return invalid(std::string("rows held to ") +
                   (storage == RowStorage::Float64 ? "float64" : "float32") + " are kept as " +
                   (wide ? "float64" : "float32"));
  }
  return wide;
}

// Every live row at its slot, free slots' rows zero.
std::vector<double> rows_by_slot(std::vector<double> live_rows, std::span<const std::uint8_t> free,
                                 std::size_t dim) {
  if (std::ranges::find(free, 1) == free.end()) return live_rows;
  std::vector<double> rows;
  rows.reserve(free.size() * dim + free.size() * dim / kLoadedSpareShare);
  rows.resize(free.size() * dim, 0.0);
  std::size_t next_live = 0;
  for (std::size_t slot = 0; slot < free.size(); ++slot) {
    if (free[slot] != 0) continue;
    std::copy_n(live_rows.begin() + static_cast<std::ptrdiff_t>(next_live++ * dim), dim,
                rows.begin() + static_cast<std::ptrdiff_t>(slot * dim));
  }
  return rows;
}

// Where each list of a file comes from: the words in order (per slot, per
// layer: the link count, then the links) or, for layer 0 when the file lays
// it out so, its fixed place in `base` (LinkStore::layer_zero_words).
class SavedLists {
 public:
  SavedLists(std::span<const std::uint32_t> words, std::span<const std::uint32_t> base,
             std::size_t base_stride)
      : words_(words), base_(base), base_stride_(base_stride) {}

  // The next list; an error names what is missing.
  std::expected<std::span<const std::uint32_t>, InvalidParts> next(std::uint32_t slot,
                                                                   unsigned layer,
                                                                   std::size_t capacity) {
    if (layer == 0 && !base_.empty()) {
      const std::span<const std::uint32_t> place = base_.subspan(slot * base_stride_, base_stride_);
      if (place[0] > capacity) return too_many(slot, layer, place[0], capacity);
      return place.subspan(1, place[0]);
    }
    if (at_ >= words_.size()) return invalid("the links end at " + slot_text(slot));
    const std::size_t length = words_[at_++];
    if (length > capacity) return too_many(slot, layer, length, capacity);
    if (length > words_.size() - at_) {
      return invalid(slot_text(slot) + " has " + std::to_string(length) + " links on layer " +
                     std::to_string(layer) + ", but only " + std::to_string(words_.size() - at_) +
                     " link words follow");
    }
    at_ += length;
    return words_.subspan(at_ - length, length);
  }

  std::expected<void, InvalidParts> finish() const {
    if (at_ == words_.size()) return {};
    return invalid(std::to_string(words_.size() - at_) + " link words past the last slot");
  }

 private:
  static std::unexpected<InvalidParts> too_many(std::uint32_t slot, unsigned layer,
                                                std::size_t length, std::size_t capacity) {
    return invalid(slot_text(slot) + " has " + std::to_string(length) + " links on layer " +
                   std::to_string(layer) + ", at most " + std::to_string(capacity) + " allowed");
  }

  std::span<const std::uint32_t> words_;
  std::span<const std::uint32_t> base_;
  std::size_t base_stride_;
  std::size_t at_ = 0;
};

// Sets every slot's lists from the file's, checking each link as it goes:
// a free slot links nowhere and nothing links to it. Layer 0, when the store
// adopted it where it lies, is left to the store's check as it is read.
std::expected<void, InvalidParts> fill_links(LinkStore& links, std::span<const std::uint8_t> levels,
                                             std::span<const std::uint8_t> free, SavedLists saved) {
  const std::uint64_t count = levels.size();
  const bool any_free = std::ranges::find(free, 1) != free.end();
  const unsigned lowest = links.layer_zero_adopted() ? 1 : 0;
  std::vector<std::uint32_t> sorted;
  for (std::uint32_t slot = 0; slot < count; ++slot) {
    const unsigned level = levels[slot];
    for (unsigned layer = lowest; layer <= level; ++layer) {
      const auto list = saved.next(slot, layer, links.capacity(layer));
      if (!list) return std::unexpected(list.error());
      if (!list->empty() && free[slot] != 0) {
        return invalid("free " + slot_text(slot) + " has " + std::to_string(list->size()) +
                       " links on layer " + std::to_string(layer));
      }
      const bool repeats = repeats_a_link(*list, sorted);
      // Every node is on layer 0: with no slot free, a link there needs no
      // look at its node's marks, which lie at random places.
      const bool marks_needed = layer > 0 || any_free;
      for (std::size_t i = 0; i < list->size(); ++i) {
        const std::uint32_t target = (*list)[i];
        const bool valid = target < count && target != slot &&
                           (!marks_needed || (levels[target] >= layer && free[target] == 0)) &&
                           !(repeats && given_before(*list, i));
        if (!valid) return invalid(bad_link(slot, target, layer, count, levels, free));
      }
      // Which links were chosen together is not part of the graph: a later
      // merge checks them all again and chooses the same.
      links.write_loaded(slot, layer, *list);
    }
  }
  if (auto finished = saved.finish(); !finished) return finished;
  links.count_links_in();
  return {};
}

// `set` keeps one slot's record (null: none), with what is derived from it;
// the records are the live slots', in slot order.
template <class Set>
std::expected<void, InvalidParts> fill_records(Set set, const std::optional<Schema>& schema,
                                               std::span<const std::uint8_t> free,
                                               std::span<const MetadataRecord> records) {
  const bool with_records = !records.empty();
  const auto live = static_cast<std::size_t>(std::ranges::count(free, 0));
  if (with_records && (records.size() != live || !schema)) {
    return invalid(std::to_string(records.size()) + " metadata records for " +
                   std::to_string(live) + " live vectors" + (schema ? "" : " without a schema"));
  }
  // An index without a schema keeps no metadata at all.
  if (!schema) return {};
  std::size_t next_live = 0;
  for (std::uint32_t slot = 0; slot < free.size(); ++slot) {
    if (!with_records || free[slot] != 0) {
      set(slot, nullptr);
      continue;
    }
    const MetadataRecord& record = records[next_live++];
    if (!record.empty() && record.size() != schema->size()) {
      return invalid(slot_text(slot) + " has " + std::to_string(record.size()) +
                     " metadata values for a schema of " + std::to_string(schema->size()));
    }
    set(slot, &record);
  }
  return {};
}

// A kept 8-bit range must fit the index: an offset and a step per
// dimension, all finite, the steps positive, and no dimension counting more
// clamped components than rows. Any such range codes any row (clamping).
std::expected<std::optional<codes::Sq8Range>, InvalidParts> restore_code_range(
    const GraphParams& params, std::optional<codes::Sq8Range>& range) {
  if (!range) return std::optional<codes::Sq8Range>();
  if (params.walk != WalkKind::Sq8) return invalid("an 8-bit code range for another walk");
  if (range->dim() != params.dim) {
    return invalid("the code range has " + std::to_string(range->dim()) + " offsets for dim " +
                   std::to_string(params.dim));
  }
  const auto positive = [](double step) { return step > 0.0 && std::isfinite(step); };
  if (!std::ranges::all_of(range->steps(), positive) || !all_finite(range->offsets())) {
    return invalid("the code range's steps or offsets are not finite and positive");
  }
  const auto within = [&](std::uint64_t n) { return n <= range->rows(); };
  if (!std::ranges::all_of(range->clamped(), within) || !within(range->derived_from())) {
    return invalid("the code range counts more clamped components or derived rows than its " +
                   std::to_string(range->rows()) + " rows");
  }
  return std::move(range);
}

// Each live slot's coding error (a distance) and code length (a sum of
// squares) at least 0, +inf included (data near float64's largest value
// makes them so), never NaN (NaN marks a free slot's error). The code bytes
// are trusted beyond that: codes that do not fit the rows change which
// vectors a walk finds, never what is read.
std::expected<void, InvalidParts> check_code_terms(std::span<const float> errors,
                                                   std::span<const float> lengths,
                                                   std::span<const std::uint8_t> free) {
  for (std::size_t slot = 0; slot < free.size(); ++slot) {
    if (free[slot] != 0) continue;
    if (!(errors[slot] >= 0.0F) || !(lengths[slot] >= 0.0F)) {
      return invalid(slot_text(slot) + " has a saved coding error or code length that is not a " +
                     "number at least 0");
    }
  }
  return {};
}

// Saved (or mapped) 8-bit codes go with a kept range, a code row, error
// and length per slot, and terms check_code_terms takes.
std::expected<void, InvalidParts> check_saved_codes(const GraphParts& parts,
                                                    std::span<const std::uint8_t> free) {
  const bool mapped_codes = parts.mapped && parts.mapped->code_lines != nullptr;
  if (!parts.saved_codes && !mapped_codes) return {};
  if (parts.params.walk != WalkKind::Sq8 || !parts.code_range) {
    return invalid("saved 8-bit codes without an 8-bit code range");
  }
  if (mapped_codes) {
    // The decoder placed every slot's codes inside the mapped section.
    return check_code_terms({parts.mapped->coding_errors, parts.count},
                            {parts.mapped->code_lengths, parts.count}, free);
  }
  const codes::SavedCodes& saved = *parts.saved_codes;
  const std::size_t row_bytes = codes::code_row_bytes(parts.params.dim, codes::CodeKind::Sq8);
  if (saved.lines.size() * codes::kCodeLineBytes != parts.count * row_bytes ||
      saved.errors.size() != parts.count || saved.lengths.size() != parts.count) {
    return invalid("saved codes for " + std::to_string(saved.errors.size()) + " slots, not " +
                   std::to_string(parts.count));
  }
  return check_code_terms(saved.errors, saved.lengths, free);
}

// A kept float32 scale: only for float32 codes, which the cosine leaves
// unset; an exponent a scale can take, and 0 while unset. The vectors'
// own check is the codes' (a vector too large lowers it).
std::expected<void, InvalidParts> check_code_scale(
    const GraphParams& params, const std::optional<codes::Float32Scale>& scale) {
  if (!scale) return {};
  if (params.walk != WalkKind::Float32) return invalid("a float32 code scale for another walk");
  if (params.metric == MetricKind::Cosine) {
    return invalid("a float32 code scale under the cosine, whose codes are of unit vectors");
  }
  if (!scale->set && scale->exponent != 0) {
    return invalid("an unset float32 code scale with exponent " + std::to_string(scale->exponent));
  }
  if (scale->exponent < codes::kLowestScaleExponent ||
      scale->exponent > codes::kHighestScaleExponent) {
    return invalid("the float32 code scale's exponent " + std::to_string(scale->exponent) +
                   " is outside " + std::to_string(codes::kLowestScaleExponent) + " .. " +
                   std::to_string(codes::kHighestScaleExponent));
  }
  return {};
}

}  // namespace

std::optional<codes::Float32Scale> GraphIndex::kept_code_scale() const {
  return reads_.kept_scale(store_.rows());
}

GraphParts GraphIndex::parts() const {
  GraphParts parts;
  parts.params = params_;
  parts.count = slot_count();
  parts.free_slots = free_slots();
  parts.vectors.resize(size() * dim());
  parts.wide_rows = !store_.narrow();
  std::size_t filled = 0;
  parts.levels.assign(links().levels().begin(), links().levels().end());
  const bool with_ids = !ids_are_slots();
  for (std::uint32_t slot = 0; slot < slot_count(); ++slot) {
    for (unsigned layer = 0; layer <= links().level(slot); ++layer) {
      const std::span<const std::uint32_t> list = links().links(slot, layer);
      parts.links.push_back(static_cast<std::uint32_t>(list.size()));
      parts.links.insert(parts.links.end(), list.begin(), list.end());
    }
    if (is_free(slot)) continue;
    store_.copy_row(slot, parts.vectors.data() + filled * dim());
    ++filled;
    if (with_ids) parts.labels.push_back(labels_.label_of(slot));
    if (schema()) {
      const std::span<const Metadata> values = record(slot);
      parts.records.emplace_back(values.begin(), values.end());
    }
  }
  parts.next_id = labels_.next_default();
  parts.code_range = reads_.kept_range();
  parts.code_scale = kept_code_scale();
  return parts;
}

std::expected<GraphIndex, InvalidParts> GraphIndex::from_parts(GraphParts parts) {
  if (auto checked = check_params(parts.params); !checked) return std::unexpected(checked.error());
  if (auto checked = check_code_scale(parts.params, parts.code_scale); !checked) {
    return std::unexpected(checked.error());
  }
  if (parts.count > std::numeric_limits<std::uint32_t>::max() - 1) {
    return invalid("count " + std::to_string(parts.count) + " exceeds 32-bit slots");
  }
  auto free = free_flags(parts.count, parts.free_slots);
  if (!free) return std::unexpected(free.error());
  if (auto checked = check_rows(parts, *free); !checked) return std::unexpected(checked.error());
  const auto wide = rows_wide(parts);
  if (!wide) return std::unexpected(wide.error());
  if (auto checked = check_saved_codes(parts, *free); !checked) {
    return std::unexpected(checked.error());
  }
  // Levels are checked before they size the link arrays: none above what
  // the draw gives for m, which holds the upper lists to a few per node.
  const unsigned highest = highest_drawn_level(parts.params.m);
  for (std::uint64_t slot = 0; slot < parts.count; ++slot) {
    if (parts.levels[slot] > highest) {
      return invalid(slot_text(slot) + " has level " + std::to_string(parts.levels[slot]) +
                     ", above the highest level " + std::to_string(highest) + " for m " +
                     std::to_string(parts.params.m));
    }
  }
  const std::size_t base_stride = 2 * parts.params.m + 1;
  const std::uint64_t base_words = LinkStore::layer_zero_words(parts.params.m, parts.count);
  if (!parts.base_links.empty() && parts.base_links.size() != base_words) {
    return invalid(std::to_string(parts.base_links.size()) + " layer-0 link words for " +
                   std::to_string(parts.count) + " slots of " + std::to_string(base_stride));
  }
  GraphIndex index(std::move(parts.params));
  const std::size_t room = parts.count + parts.count / kLoadedSpareShare;
  LinkStore& links = index.engine_.links();
  if (parts.mapped && parts.mapped->base_links != nullptr) {
    links.adopt_layer_zero(parts.levels, std::span(parts.mapped->base_links, base_words),
                           parts.mapped->owner);
  } else {
    links.reserve_room(room);
    links.append_nodes(parts.levels);
  }
  SavedLists saved(parts.links, parts.base_links, base_stride);
  if (auto filled = fill_links(links, parts.levels, *free, saved); !filled) {
    return std::unexpected(filled.error());
  }
  index.engine_.slots().reserve(parts.count);
  index.engine_.slots().append_live(parts.count);
  for (const std::uint32_t slot : parts.free_slots) index.engine_.slots().release(slot);
  index.engine_.choose_entry();
  // A mapped index trusts its file's graph to reach every node (the pass
  // would read every list); the lists themselves were checked as read.
  if (index.size() > 0 && !parts.mapped) {
    if (auto lost = first_unreached(index.links(), index.entry(), index.top_level(), *free,
                                    index.engine_.reach())) {
      return invalid(slot_text(lost->slot) + " is not reached from the entry " +
                     std::to_string(index.entry()) + " on layer " + std::to_string(lost->layer));
    }
  }
  auto ids = id_map(parts.labels, *free, parts.next_id);
  if (!ids) return std::unexpected(ids.error());
  index.labels_ = std::move(*ids);
  const auto set = [&index](std::uint32_t slot, const MetadataRecord* record) {
    index.set_record(slot, record);
  };
  if (auto stored = fill_records(set, index.schema(), *free, parts.records); !stored) {
    return std::unexpected(stored.error());
  }
  const std::size_t dim = index.dim();
  if (*wide) index.store_.widen();
  if (parts.mapped) {
    index.store_.map(parts.mapped->rows, parts.mapped->norms, parts.count, parts.mapped->owner);
  } else if (parts.rows_by_slot) {
    index.store_.adopt(std::move(parts.vectors), std::move(parts.narrow_vectors), parts.count,
                       *free);
  } else {
    if (!*wide) index.store_.reserve(room);
    index.store_.append(rows_by_slot(std::move(parts.vectors), *free, dim), parts.count);
  }
  auto range = restore_code_range(index.params_, parts.code_range);
  if (!range) return std::unexpected(range.error());
  if (parts.mapped && parts.mapped->code_lines != nullptr && *range && index.reads_.coarse()) {
    index.reads_.map(std::move(**range), *parts.mapped, parts.count);
  } else {
    index.reads_.restore(std::move(*range), parts.code_scale,
                         parts.saved_codes ? &*parts.saved_codes : nullptr, room,
                         index.store_.rows(), *free, index.store_.norms(), on_every_cpu);
  }
  // The partitions a search would scan are built now, as an add builds
  // them, not by the first search that needs one; but a mapped open reads
  // no rows, and its searches build them as they need them.
  if (parts.mapped) {
    index.value_changes_.clear();
    return index;
  }
  NeverInterrupt never;
  ThreadRunner runner(usable_cpu_count(), never);
  NoSearches none;
  index.settle_partitions(runner, none);
  return index;
}

void GraphIndex::compact() {
  GraphParts compacted = parts();
  std::vector<std::uint32_t> renumbered(slot_count(), 0);
  std::vector<std::uint8_t> levels;
  levels.reserve(size());
  for (std::uint32_t slot = 0, next = 0; slot < slot_count(); ++slot) {
    if (is_free(slot)) continue;
    renumbered[slot] = next++;
    levels.push_back(links().level(slot));
  }
  std::vector<std::uint32_t> lists;
  for (std::uint32_t slot = 0; slot < slot_count(); ++slot) {
    if (is_free(slot)) continue;
    for (unsigned layer = 0; layer <= links().level(slot); ++layer) {
      const std::span<const std::uint32_t> list = links().links(slot, layer);
      lists.push_back(static_cast<std::uint32_t>(list.size()));
      for (const std::uint32_t target : list) lists.push_back(renumbered[target]);
    }
  }
  // The ids move with their vectors, so they can no longer be the slots.
  compacted.labels.clear();
  for (std::uint32_t slot = 0; slot < slot_count(); ++slot) {
    if (!is_free(slot)) compacted.labels.push_back(labels_.label_of(slot));
  }
  compacted.count = size();
  compacted.levels = std::move(levels);
  compacted.links = std::move(lists);
  compacted.free_slots.clear();
  auto rebuilt = from_parts(std::move(compacted));
  if (!rebuilt) {
    throw std::logic_error("a compacted index failed its own check: " + rebuilt.error().reason);
  }
  rebuilt->gate_ = std::move(gate_);
  *this = std::move(*rebuilt);
}

}  // namespace halqen::graph
