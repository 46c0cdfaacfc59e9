// Rebuilding a graph index from its parts: every part is checked before
// anything is built, since parts may come from a file.
#include <algorithm>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/checked_product.hpp"
#include "hnsw/hnsw.hpp"

namespace halqen {
namespace {

using PartsCheck = std::expected<void, InvalidParts>;

std::unexpected<InvalidParts> invalid(std::string reason) {
  return std::unexpected(InvalidParts{std::move(reason)});
}

std::string node_text(std::uint64_t node) {
  return "node " + std::to_string(node);
}

bool is_known_metric(MetricKind metric) {
  try {
    metric_function(metric);
    return true;
  } catch (const std::invalid_argument&) {
    return false;
  }
}

PartsCheck check_sizes(const HNSWParts& parts) {
  if (parts.count > HNSW::kMaxNodes) {
    return invalid(std::to_string(parts.count) + " nodes exceed the limit of " +
                   std::to_string(HNSW::kMaxNodes));
  }
  const std::optional<std::uint64_t> components = checked_product(parts.count, parts.params.dim);
  if (!components || *components != parts.vectors.size()) {
    return invalid(std::to_string(parts.count) + " nodes of dimension " +
                   std::to_string(parts.params.dim) + " need count * dim components, " +
                   std::to_string(parts.vectors.size()) + " given");
  }
  const auto expect_count = [&](const char* what, std::size_t size, std::uint64_t expected) {
    return size == expected ? PartsCheck{}
                            : invalid(std::string(what) + ": " + std::to_string(size) +
                                      " entries for " + std::to_string(expected) + " expected");
  };
  if (auto checked = expect_count("levels", parts.levels.size(), parts.count); !checked) {
    return checked;
  }
  if (auto checked = expect_count("records", parts.records.size(), parts.count); !checked) {
    return checked;
  }
  return expect_count("neighbor offsets", parts.neighbor_offsets.size(), parts.count + 1);
}

PartsCheck check_offsets(const HNSWParts& parts) {
  const std::vector<std::uint64_t>& offsets = parts.neighbor_offsets;
  if (offsets.front() != 0) {
    return invalid("neighbor offsets start at " + std::to_string(offsets.front()) + ", not 0");
  }
  for (std::uint64_t node = 0; node < parts.count; ++node) {
    if (offsets[node + 1] < offsets[node]) {
      return invalid("neighbor offsets decrease after " + node_text(node) + ": " +
                     std::to_string(offsets[node]) + " then " + std::to_string(offsets[node + 1]));
    }
  }
  if (offsets.back() != parts.neighbor_ids.size()) {
    return invalid("neighbor offsets end at " + std::to_string(offsets.back()) + " but " +
                   std::to_string(parts.neighbor_ids.size()) + " neighbor ids are given");
  }
  return {};
}

// Node 0 takes level layers-1; every later level is a draw: an index of the
// level weights, or layers-1 (the largest value when layers is 0).
PartsCheck check_levels(const HNSWParts& parts, std::size_t weight_count) {
  const std::uint64_t top = parts.params.layers - 1;
  for (std::uint64_t node = 0; node < parts.count; ++node) {
    const std::uint64_t level = parts.levels[node];
    const bool drawable = level < weight_count || level == top;
    if ((node == 0 && level != top) || !drawable) {
      return invalid(node_text(node) + " has level " + std::to_string(level) +
                     ", which an index of " + std::to_string(parts.params.layers) +
                     " layers cannot give it");
    }
  }
  return {};
}

PartsCheck check_records(const HNSWParts& parts) {
  const std::size_t schema_length = parts.params.schema ? parts.params.schema->size() : 0;
  for (std::uint64_t node = 0; node < parts.count; ++node) {
    const std::size_t length = parts.records[node].size();
    if (length != 0 && length != schema_length) {
      return invalid(node_text(node) + " has a record of " + std::to_string(length) +
                     " values for a schema of " + std::to_string(schema_length) + " names");
    }
  }
  return {};
}

std::span<const std::uint32_t> list_of(const HNSWParts& parts, std::span<const std::uint32_t> ids,
                                       std::uint64_t node) {
  const std::uint64_t begin = parts.neighbor_offsets[node];
  return ids.subspan(begin, parts.neighbor_offsets[node + 1] - begin);
}

// Ids in range, no self links, and no links for a node above every layer
// (it is never linked).
PartsCheck check_list_entries(const HNSWParts& parts) {
  for (std::uint64_t node = 0; node < parts.count; ++node) {
    const std::span<const std::uint32_t> list = list_of(parts, parts.neighbor_ids, node);
    if (!list.empty() && parts.levels[node] >= parts.params.layers) {
      return invalid(node_text(node) + " of level " + std::to_string(parts.levels[node]) +
                     " has links though the index has " + std::to_string(parts.params.layers) +
                     " layers");
    }
    for (const std::uint32_t id : list) {
      if (id >= parts.count) {
        return invalid(node_text(node) + " links to node " + std::to_string(id) + " of " +
                       std::to_string(parts.count));
      }
      if (id == node) {
        return invalid(node_text(node) + " links to itself");
      }
    }
  }
  return {};
}

PartsCheck missing_back_link(std::uint64_t node, std::uint32_t id) {
  return invalid(node_text(node) + " links to node " + std::to_string(id) +
                 ", which does not link back");
}

// Marks one list at a time in an array of one entry per node, without
// sorting: marking node n's list with n + 1 finds a repeat when an entry
// already holds that mark, and afterwards tells in O(1) whether n lists an id.
class ListMarks {
 public:
  explicit ListMarks(std::uint64_t count) : marks_(count, 0) {}

  // Marks `list` as node `node`'s; returns an id it holds twice, if any.
  std::optional<std::uint32_t> mark(std::uint64_t node, std::span<const std::uint32_t> list) {
    const std::uint64_t stamp = node + 1;
    for (const std::uint32_t id : list) {
      if (marks_[id] == stamp) {
        return id;
      }
      marks_[id] = stamp;
    }
    return std::nullopt;
  }

  // Marks `list` as node `node`'s, every entry: for a list already known to
  // hold no repeats, whose entries may still carry `node`'s mark from an
  // earlier pass (which mark() would take for a repeat and stop at).
  void remark(std::uint64_t node, std::span<const std::uint32_t> list) {
    for (const std::uint32_t id : list) {
      marks_[id] = node + 1;
    }
  }

  // Whether the list marked last for `node` holds `id`.
  bool holds(std::uint64_t node, std::uint32_t id) const { return marks_[id] == node + 1; }

 private:
  std::vector<std::uint64_t> marks_;
};

// The nodes that link to each node, in one array laid out like the lists
// (offsets[n] on): a single pass over all links in node order. A node that
// more nodes link to than it lists is reported at once.
PartsCheck collect_linking(const HNSWParts& parts, std::vector<std::uint32_t>& linking,
                           std::vector<std::uint64_t>& fill) {
  for (std::uint64_t node = 0; node < parts.count; ++node) {
    for (const std::uint32_t id : list_of(parts, parts.neighbor_ids, node)) {
      if (fill[id] == parts.neighbor_offsets[id + 1]) {
        return missing_back_link(node, id);
      }
      linking[fill[id]++] = static_cast<std::uint32_t>(node);
    }
  }
  return {};
}

// No repeats within a list, and links symmetric: each node is linked from
// exactly the nodes it lists. Linear in the links.
PartsCheck check_lists_symmetric(const HNSWParts& parts) {
  ListMarks marks(parts.count);
  for (std::uint64_t node = 0; node < parts.count; ++node) {
    if (const auto repeat = marks.mark(node, list_of(parts, parts.neighbor_ids, node))) {
      return invalid(node_text(node) + " lists node " + std::to_string(*repeat) + " twice");
    }
  }
  std::vector<std::uint32_t> linking(parts.neighbor_ids.size());
  std::vector<std::uint64_t> fill(parts.neighbor_offsets.begin(), parts.neighbor_offsets.end() - 1);
  if (auto collected = collect_linking(parts, linking, fill); !collected) {
    return collected;
  }
  for (std::uint64_t node = 0; node < parts.count; ++node) {
    const auto own = list_of(parts, parts.neighbor_ids, node);
    marks.remark(node, own);
    const auto begin = parts.neighbor_offsets[node];
    for (std::uint64_t slot = begin; slot < fill[node]; ++slot) {
      if (!marks.holds(node, linking[slot])) {
        return missing_back_link(linking[slot], static_cast<std::uint32_t>(node));
      }
    }
    // Every linking node is listed and none twice, so a shortfall means a
    // listed node that does not link back.
    if (fill[node] - begin != own.size()) {
      for (const std::uint32_t id : own) {
        const auto incoming = std::span(linking).subspan(begin, fill[node] - begin);
        if (std::ranges::find(incoming, id) == incoming.end()) {
          return missing_back_link(node, id);
        }
      }
    }
  }
  return {};
}

PartsCheck check_parts(const HNSWParts& parts, std::size_t weight_count) {
  PartsCheck checked = check_sizes(parts);
  if (checked) {
    checked = check_offsets(parts);
  }
  if (checked) {
    checked = check_levels(parts, weight_count);
  }
  if (checked) {
    checked = check_records(parts);
  }
  if (checked) {
    checked = check_list_entries(parts);
  }
  if (checked) {
    checked = check_lists_symmetric(parts);
  }
  return checked;
}

}  // namespace

std::expected<HNSW, InvalidParts> HNSW::from_parts(HNSWParts parts) {
  if (!is_known_metric(parts.params.metric)) {
    return invalid("unknown metric kind " + std::to_string(static_cast<int>(parts.params.metric)));
  }
  HNSW index(parts.params);
  if (auto checked = check_parts(parts, index.level_weights().size()); !checked) {
    return std::unexpected(std::move(checked).error());
  }
  index.neighbors_.reserve(parts.count);
  for (std::uint64_t node = 0; node < parts.count; ++node) {
    index.neighbors_.push_back(NeighborList::rebuilt(
        parts.levels[node], list_of(parts, parts.neighbor_ids, node), parts.levels));
    index.distinct_levels_.insert(parts.levels[node]);
    index.metadata_.append(parts.records[node]);
  }
  index.vectors_ = std::move(parts.vectors);
  index.levels_ = std::move(parts.levels);
  index.deleted_.assign(parts.count, false);
  // Stamps name the node being inserted; every later node's id is above these.
  index.link_stamps_.assign(parts.count, 0);
  index.node_count_ = parts.count;
  return index;
}

}  // namespace halqen
