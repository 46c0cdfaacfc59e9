// An index as plain parts and back: what saving, loading and pickling use.
#include <algorithm>
#include <cmath>
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
  if (schema()) {
    for (std::uint32_t slot = 0; slot < size(); ++slot) {
      const std::span<const Metadata> record = metadata_.record(slot);
      parts.records.emplace_back(record.begin(), record.end());
    }
  }
  return parts;
}

std::expected<GraphIndex, InvalidParts> GraphIndex::from_parts(GraphParts parts) {
  const GraphParams& params = parts.params;
  if (params.m < kMinLinks || params.m > kMaxLinks) {
    return invalid("m is " + std::to_string(params.m) + ", outside [2, 1024]");
  }
  if (static_cast<std::size_t>(params.metric) >= kMetricCount) {
    return invalid("metric code " + std::to_string(static_cast<int>(params.metric)));
  }
  const std::uint64_t count = parts.count;
  if (count > std::numeric_limits<std::uint32_t>::max() - 1) {
    return invalid("count " + std::to_string(count) + " exceeds 32-bit slots");
  }
  const bool rows_fit = params.dim == 0 ? parts.vectors.empty()
                                        : parts.vectors.size() % params.dim == 0 &&
                                              parts.vectors.size() / params.dim == count;
  if (!rows_fit) {
    return invalid(std::to_string(parts.vectors.size()) + " vector components for " +
                   std::to_string(count) + " vectors of " + std::to_string(params.dim));
  }
  if (parts.levels.size() != count) {
    return invalid(std::to_string(parts.levels.size()) + " levels for " + std::to_string(count) +
                   " vectors");
  }
  for (const double x : parts.vectors) {
    if (!std::isfinite(x)) return invalid("a vector component is not finite");
  }
  if (params.metric == MetricKind::Cosine) {
    for (std::uint64_t slot = 0; slot < count; ++slot) {
      if (squared_norm(std::span(parts.vectors).subspan(slot * params.dim, params.dim)) == 0.0) {
        return invalid(slot_text(slot) + " is a zero vector under the cosine metric");
      }
    }
  }
  GraphIndex index(std::move(parts.params));
  index.links_.append_nodes(parts.levels);
  std::size_t at = 0;
  unsigned top = 0;
  std::uint32_t entry = 0;
  for (std::uint32_t slot = 0; slot < count; ++slot) {
    const unsigned level = parts.levels[slot];
    if (level > kMaxLevel) return invalid(slot_text(slot) + " has level " + std::to_string(level));
    if (slot == 0 || level > top) {
      top = level;
      entry = slot;
    }
    for (unsigned layer = 0; layer <= level; ++layer) {
      if (at >= parts.links.size()) return invalid("links end at " + slot_text(slot));
      const std::size_t length = parts.links[at++];
      if (length > index.links_.capacity(layer) || length > parts.links.size() - at) {
        return invalid(slot_text(slot) + " has " + std::to_string(length) + " links on layer " +
                       std::to_string(layer));
      }
      const std::span<const std::uint32_t> list(parts.links.data() + at, length);
      for (const std::uint32_t target : list) {
        if (target >= count || target == slot || parts.levels[target] < layer) {
          return invalid(slot_text(slot) + " links to " + std::to_string(target) + " on layer " +
                         std::to_string(layer));
        }
      }
      // Which links were chosen together is not part of the graph: a
      // later merge checks them all again and chooses the same.
      index.links_.set_links(slot, layer, list, 0);
      at += length;
    }
  }
  if (at != parts.links.size()) {
    return invalid(std::to_string(parts.links.size() - at) + " link words past the last slot");
  }
  index.entry_ = entry;
  index.top_level_ = top;
  std::vector<std::uint64_t> labels = std::move(parts.labels);
  if (labels.empty()) {
    labels.resize(count);
    for (std::uint64_t slot = 0; slot < count; ++slot) labels[slot] = slot;
  }
  if (labels.size() != count) {
    return invalid(std::to_string(labels.size()) + " ids for " + std::to_string(count) +
                   " vectors");
  }
  std::optional<LabelMap> map = LabelMap::from_labels(labels, parts.next_id);
  if (!map)
    return invalid("ids repeat, exceed 2^63 - 1 or reach the next id " +
                   std::to_string(parts.next_id));
  index.labels_ = std::move(*map);
  const bool with_records = !parts.records.empty();
  if (with_records && (parts.records.size() != count || !index.schema())) {
    return invalid(std::to_string(parts.records.size()) + " metadata records for " +
                   std::to_string(count) + " vectors");
  }
  for (std::uint64_t slot = 0; slot < count; ++slot) {
    if (with_records) {
      if (!parts.records[slot].empty() && parts.records[slot].size() != index.schema()->size()) {
        return invalid(slot_text(slot) + " has " + std::to_string(parts.records[slot].size()) +
                       " metadata values");
      }
      index.metadata_.append(parts.records[slot]);
    } else if (index.schema()) {
      index.metadata_.append_without_record();
    }
  }
  index.store_.append(std::move(parts.vectors), count);
  return index;
}

}  // namespace halqen::graph
