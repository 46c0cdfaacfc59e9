// An index as plain parts and back: what saving, loading and pickling use.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <span>
#include <string>
#include <utility>

#include "graph/graph_index.hpp"
#include "graph/level_draw.hpp"
#include "metrics/metric_table.hpp"

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
                     std::span<const std::uint8_t> levels) {
  const std::string link = slot_text(slot) + " links to " + std::to_string(target) + " on layer " +
                           std::to_string(layer);
  if (target >= count) return link + ", past the last slot " + std::to_string(count - 1);
  if (target == slot) return link + ": itself";
  if (levels[target] < layer) return link + ", whose level is " + std::to_string(levels[target]);
  return link + " twice";
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

// The map of every slot's id: the labels, or the slots themselves when there
// are none (then, with the next id right after the last slot, there is
// nothing to check).
std::expected<LabelMap, InvalidParts> id_map(std::vector<std::uint64_t> labels, std::uint64_t count,
                                             std::uint64_t next_id) {
  const bool slots_are_ids = labels.empty();
  if (slots_are_ids) {
    labels.resize(count);
    std::iota(labels.begin(), labels.end(), std::uint64_t{0});
  }
  if (labels.size() != count) {
    return invalid(std::to_string(labels.size()) + " ids for " + std::to_string(count) +
                   " vectors");
  }
  if (slots_are_ids && next_id == count) {
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

// Vectors and levels: one row and one level per slot, every component finite,
// no zero vector under the cosine.
std::expected<void, InvalidParts> check_rows(const GraphParts& parts) {
  const std::uint64_t count = parts.count;
  const std::uint64_t dim = parts.params.dim;
  if (count > std::numeric_limits<std::uint32_t>::max() - 1) {
    return invalid("count " + std::to_string(count) + " exceeds 32-bit slots");
  }
  if (parts.vectors.size() % dim != 0 || parts.vectors.size() / dim != count) {
    return invalid(std::to_string(parts.vectors.size()) + " vector components for " +
                   std::to_string(count) + " vectors of " + std::to_string(dim));
  }
  if (parts.levels.size() != count) {
    return invalid(std::to_string(parts.levels.size()) + " levels for " + std::to_string(count) +
                   " vectors");
  }
  if (!all_finite(parts.vectors)) {
    const auto infinite =
        std::ranges::find_if(parts.vectors, [](double x) { return !std::isfinite(x); });
    return invalid(slot_text(static_cast<std::size_t>(infinite - parts.vectors.begin()) / dim) +
                   " has a component that is not finite");
  }
  if (parts.params.metric == MetricKind::Cosine) {
    for (std::uint64_t slot = 0; slot < count; ++slot) {
      if (squared_norm(std::span(parts.vectors).subspan(slot * dim, dim)) == 0.0) {
        return invalid(slot_text(slot) + " is a zero vector under the cosine metric");
      }
    }
  }
  return {};
}

// The entry and top level of a graph of these levels.
struct Entry {
  std::uint32_t slot = 0;
  unsigned top_level = 0;
};

// Sets every slot's lists from the words (per slot, per layer 0..level: the
// link count, then the links), checking each link as it goes.
std::expected<Entry, InvalidParts> fill_links(LinkStore& links,
                                              std::span<const std::uint8_t> levels,
                                              std::span<const std::uint32_t> words) {
  Entry entry;
  const std::uint64_t count = levels.size();
  // The list each target was last seen in, to find a link given twice.
  std::vector<std::uint64_t> seen_in(count, 0);
  std::uint64_t list_number = 0;
  std::size_t at = 0;
  for (std::uint32_t slot = 0; slot < count; ++slot) {
    const unsigned level = levels[slot];
    // Builds make the first node of the highest level the entry.
    if (slot == 0 || level > entry.top_level) entry = {slot, level};
    for (unsigned layer = 0; layer <= level; ++layer) {
      if (at >= words.size()) return invalid("the links end at " + slot_text(slot));
      const std::size_t length = words[at++];
      if (length > links.capacity(layer)) {
        return invalid(slot_text(slot) + " has " + std::to_string(length) + " links on layer " +
                       std::to_string(layer) + ", at most " +
                       std::to_string(links.capacity(layer)) + " allowed");
      }
      if (length > words.size() - at) {
        return invalid(slot_text(slot) + " has " + std::to_string(length) + " links on layer " +
                       std::to_string(layer) + ", but only " + std::to_string(words.size() - at) +
                       " link words follow");
      }
      const std::span<const std::uint32_t> list = words.subspan(at, length);
      ++list_number;
      for (const std::uint32_t target : list) {
        const bool valid = target < count && target != slot && levels[target] >= layer &&
                           seen_in[target] != list_number;
        if (!valid) return invalid(bad_link(slot, target, layer, count, levels));
        seen_in[target] = list_number;
      }
      // Which links were chosen together is not part of the graph: a later
      // merge checks them all again and chooses the same.
      links.set_links(slot, layer, list, 0);
      at += length;
    }
  }
  if (at != words.size()) {
    return invalid(std::to_string(words.size() - at) + " link words past the last slot");
  }
  return entry;
}

// `append` keeps one slot's record (null: none), with what is derived from it.
template <class Append>
std::expected<void, InvalidParts> fill_records(Append append, const std::optional<Schema>& schema,
                                               std::uint64_t count,
                                               std::span<const MetadataRecord> records) {
  const bool with_records = !records.empty();
  if (with_records && (records.size() != count || !schema)) {
    return invalid(std::to_string(records.size()) + " metadata records for " +
                   std::to_string(count) + " vectors" + (schema ? "" : " without a schema"));
  }
  // An index without a schema keeps no metadata at all.
  if (!schema) return {};
  for (std::uint64_t slot = 0; slot < count; ++slot) {
    if (!with_records) {
      append(nullptr);
      continue;
    }
    if (!records[slot].empty() && records[slot].size() != schema->size()) {
      return invalid(slot_text(slot) + " has " + std::to_string(records[slot].size()) +
                     " metadata values for a schema of " + std::to_string(schema->size()));
    }
    append(&records[slot]);
  }
  return {};
}

// A kept 8-bit range must fit the index: an offset per dimension, all
// finite, and a positive finite step. The vectors' own range check is the
// codes' (a vector outside widens it).
std::expected<std::optional<codes::Sq8Range>, InvalidParts> restore_code_range(
    const GraphParams& params, std::optional<codes::Sq8Range>& range) {
  if (!range) return std::optional<codes::Sq8Range>();
  if (params.walk != WalkKind::Sq8) return invalid("an 8-bit code range for another walk");
  if (range->dim() != params.dim) {
    return invalid("the code range has " + std::to_string(range->dim()) + " offsets for dim " +
                   std::to_string(params.dim));
  }
  if (!(range->step() > 0.0) || !std::isfinite(range->step()) || !all_finite(range->offsets())) {
    return invalid("the code range's step or offsets are not finite and positive");
  }
  return std::move(range);
}

}  // namespace

GraphParts GraphIndex::parts() const {
  GraphParts parts;
  parts.params = params_;
  parts.count = size();
  const std::span<const double> values = store_.values();
  parts.vectors.assign(values.begin(),
                       values.begin() + static_cast<std::ptrdiff_t>(size() * dim()));
  parts.levels.assign(links_.levels().begin(), links_.levels().end());
  for (std::uint32_t slot = 0; slot < size(); ++slot) {
    for (unsigned layer = 0; layer <= links_.level(slot); ++layer) {
      const std::span<const std::uint32_t> list = links_.links(slot, layer);
      parts.links.push_back(static_cast<std::uint32_t>(list.size()));
      parts.links.insert(parts.links.end(), list.begin(), list.end());
    }
  }
  const std::span<const std::uint64_t> labels = labels_.explicit_labels();
  parts.labels.assign(labels.begin(), labels.end());
  parts.next_id = labels_.next_default();
  if (codes_ && codes_->kind() == codes::CodeKind::Sq8 && !codes_->range().empty()) {
    parts.code_range = codes_->range();
  }
  if (schema()) {
    for (std::uint32_t slot = 0; slot < size(); ++slot) {
      const std::span<const Metadata> record = metadata_.record(slot);
      parts.records.emplace_back(record.begin(), record.end());
    }
  }
  return parts;
}

std::expected<GraphIndex, InvalidParts> GraphIndex::from_parts(GraphParts parts) {
  if (auto checked = check_params(parts.params); !checked) return std::unexpected(checked.error());
  if (auto checked = check_rows(parts); !checked) return std::unexpected(checked.error());
  // Levels are checked before they size the link arrays.
  for (std::uint64_t slot = 0; slot < parts.count; ++slot) {
    if (parts.levels[slot] > kMaxLevel) {
      return invalid(slot_text(slot) + " has level " + std::to_string(parts.levels[slot]) +
                     ", above the highest level " + std::to_string(kMaxLevel));
    }
  }
  GraphIndex index(std::move(parts.params));
  index.links_.append_nodes(parts.levels);
  const auto entry = fill_links(index.links_, parts.levels, parts.links);
  if (!entry) return std::unexpected(entry.error());
  index.entry_ = entry->slot;
  index.top_level_ = entry->top_level;
  auto ids = id_map(std::move(parts.labels), parts.count, parts.next_id);
  if (!ids) return std::unexpected(ids.error());
  index.labels_ = std::move(*ids);
  const auto append = [&index](const MetadataRecord* record) { index.append_metadata(record); };
  if (auto stored = fill_records(append, index.schema(), parts.count, parts.records); !stored) {
    return std::unexpected(stored.error());
  }
  index.store_.append(std::move(parts.vectors), parts.count);
  if (index.codes_) {
    if (auto restored = restore_code_range(index.params_, parts.code_range); !restored) {
      return std::unexpected(restored.error());
    } else if (*restored) {
      index.codes_->restore_range(std::move(**restored));
    }
    index.codes_->append({}, index.store_.values());
  }
  return index;
}

}  // namespace halqen::graph
