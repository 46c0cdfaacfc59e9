#include "engine/reverse_links.hpp"

#include <algorithm>
#include <deque>
#include <span>
#include <tuple>

#include "common/sorted_distinct.hpp"
#include "engine/candidate.hpp"
#include "engine/neighbour_prune.hpp"

namespace halqen::graph {
namespace {

// Reverse-link groups merged per piece of the parallel merge.
constexpr std::size_t kGroupsPerPiece = 64;
// Each node a batch orphans may displace this many others before the
// relinking gives up.
constexpr std::size_t kRelinksPerOrphan = 4;

bool reverse_order(const ReverseLink& a, const ReverseLink& b) {
  return std::tie(a.layer, a.target, a.key, a.source) <
         std::tie(b.layer, b.target, b.key, b.source);
}

// The target keeps its links and takes the new ones while they fit;
// beyond, the union is pruned by the diversity rule. Reads the lists only.
MergedList merge_group(std::span<const ReverseLink> group, const LinkStore& links,
                       const NodeSpace& space) {
  const std::uint32_t target = group.front().target;
  const unsigned layer = group.front().layer;
  const std::span<const std::uint32_t> existing = links.links(target, layer);
  std::vector<std::uint32_t> merged(existing.begin(), existing.end());
  const std::size_t prefix = links.diverse_prefix(target, layer);
  if (existing.size() + group.size() <= links.capacity(layer)) {
    for (const ReverseLink& link : group) merged.push_back(link.source);
    return {target, layer, std::move(merged), prefix, {}};
  }
  std::vector<double> keys(merged.size());
  space.from_node(target, [&](DistanceComputer& from_target) {
    from_target.keys(merged.data(), merged.size(), keys.data());
  });
  std::vector<Candidate> candidates;
  candidates.reserve(merged.size() + group.size());
  for (std::size_t i = 0; i < merged.size(); ++i) candidates.push_back({keys[i], merged[i]});
  for (const ReverseLink& link : group) candidates.push_back({link.key, link.source});
  std::sort(candidates.begin(), candidates.end(), Nearer{});
  // The list's diverse prefix, while nothing new sorts into it, is chosen
  // again as it was.
  std::size_t known = 0;
  while (known < prefix && candidates[known].slot == merged[known]) ++known;
  std::vector<Candidate> kept;
  prune_neighbours(space, candidates, links.capacity(layer), kept, known);
  std::vector<std::uint32_t> chosen;
  for (const Candidate& c : kept) chosen.push_back(c.slot);
  std::vector<std::uint32_t> dropped;
  for (const Candidate& c : candidates) {
    if (std::find(chosen.begin(), chosen.end(), c.slot) == chosen.end()) dropped.push_back(c.slot);
  }
  const std::size_t diverse = chosen.size();
  return {target, layer, std::move(chosen), diverse, std::move(dropped)};
}

// Every node the batch left without a link in gets one from the first
// node of its own list: appended where there is room, else in place of
// one of that list's links (to a node other links reach, where it can),
// whose node is then checked in turn. Sequential
// and in (layer, slot) order, so the result never depends on threads.
void relink_orphans(std::vector<LayerNode> unlinked, LinkStore& links) {
  sort_distinct(unlinked);
  std::deque<LayerNode> queue(unlinked.begin(), unlinked.end());
  // Each relink may orphan one other node; the chain is cut off long
  // before it could cycle.
  std::size_t budget = kRelinksPerOrphan * queue.size();
  while (!queue.empty() && budget-- > 0) {
    const auto [layer, node] = queue.front();
    queue.pop_front();
    if (links.links_in(node, layer) > 0 || links.links(node, layer).empty()) continue;
    const std::uint32_t host = links.links(node, layer).front();
    if (links.has_room(host, layer)) {
      links.append_link(host, layer, node);
      continue;
    }
    const std::uint32_t displaced = links.replace_shared_link(host, layer, node);
    if (links.links_in(displaced, layer) == 0) queue.push_back({layer, displaced});
  }
}

}  // namespace

std::vector<MergedList> merge_reverse_links(std::vector<ReverseLink> reverse,
                                            const LinkStore& links, const NodeSpace& space,
                                            JobRunner& runner) {
  std::sort(reverse.begin(), reverse.end(), reverse_order);
  std::vector<std::size_t> group_begins;
  for (std::size_t i = 0; i < reverse.size(); ++i) {
    if (i == 0 || reverse[i].target != reverse[i - 1].target ||
        reverse[i].layer != reverse[i - 1].layer) {
      group_begins.push_back(i);
    }
  }
  group_begins.push_back(reverse.size());
  const std::size_t groups = group_begins.size() - 1;
  std::vector<MergedList> merged(groups);
  const PieceJob merge{
      (groups + kGroupsPerPiece - 1) / kGroupsPerPiece, [&](std::size_t piece) {
        const std::size_t first = piece * kGroupsPerPiece;
        const std::size_t last = std::min(groups, first + kGroupsPerPiece);
        for (std::size_t g = first; g < last; ++g) {
          merged[g] = merge_group(
              std::span(reverse).subspan(group_begins[g], group_begins[g + 1] - group_begins[g]),
              links, space);
        }
      }};
  runner.run(merge, false);
  return merged;
}

void write_merged_lists(std::span<const MergedList> merged, std::vector<LayerNode> added,
                        LinkStore& links, SearchDoor& door) {
  std::vector<LayerNode> unlinked;
  for (const MergedList& list : merged) {
    for (const std::uint32_t node : list.dropped) unlinked.push_back({list.layer, node});
  }
  // A node a list drops is missed by searches until it is linked again
  // below; it is never half linked.
  write_in_turns(door, merged.size(), [&](std::size_t i) {
    links.set_links(merged[i].target, merged[i].layer, merged[i].links, merged[i].diverse_prefix);
  });
  unlinked.insert(unlinked.end(), added.begin(), added.end());
  relink_orphans(std::move(unlinked), links);
}

}  // namespace halqen::graph
