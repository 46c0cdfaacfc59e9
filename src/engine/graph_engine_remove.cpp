// Removal. Every node that linked to a removed node keeps its other links
// and fills the places freed from the links of the removed nodes it linked
// to (the delete consolidation of graph indexes such as FreshDiskANN): first
// those the diversity rule admits beside the links it keeps, then the
// nearest others, up to the count it had, so the paths that ran through a
// removed node run around it and no list thins out. Each new list is
// computed from the graph as it stood before the removal, in parallel, and
// written afterwards, so the result does not depend on the threads. Then
// the removed slots are cleared and listed free, the entry is chosen again
// if it went, a node left with no link in is linked from the nearest node
// that is reached, and nodes that can no longer walk back to the entry or
// be reached from it are linked again (graph_engine_reach.cpp).
//
// The nodes that link to a removed one are looked for around it first, hop
// by hop: each node counts the links into it, so the search knows when it
// has found them all, and reads every list only when it has not.
#include <algorithm>
#include <vector>

#include "common/sorted_distinct.hpp"
#include "engine/graph_engine.hpp"

namespace halqen::graph {
namespace {

// Nodes whose lists are chosen again per piece of the parallel repair.
constexpr std::size_t kNodesPerPiece = 64;
// The candidates a repaired list is filled from: the nearest this many
// times the list's capacity (checking all of a removed neighbourhood's
// links costs more than it finds).
constexpr std::size_t kCandidatesPerLink = 3;
// Nodes whose lists are read for links to removed ones, per piece, and
// pieces read between two looks at whether every link sought was found.
constexpr std::size_t kNodesPerScan = std::size_t{1} << 15;
constexpr std::size_t kPiecesPerRound = 2;
// What reading one list at a scattered place costs, in lists read in order
// by the scan of every list.
constexpr std::size_t kScatteredReadCost = 16;
// The search around a removed node for the links into it may cost up to
// this fraction (its inverse) of the scan of every list it may save.
constexpr std::size_t kScanShareForSearch = 4;
// Up to this many removed nodes, layer 0 is scanned by comparing every word
// of the lists with each of them (a pass over memory the compiler
// vectorises) before the lists that may hold one are read.
constexpr std::size_t kTargetsComparedByWord = 16;

class Repair {
 public:
  Repair(const LinkStore& links, const NodeSpace& rows, std::span<const std::uint8_t> removed)
      : links_(links), rows_(rows), removed_(removed) {}

  bool touches_removed(std::uint32_t node, unsigned layer) const {
    const std::span<const std::uint32_t> list = links_.links(node, layer);
    return std::ranges::any_of(list, [this](std::uint32_t t) { return removed_[t] != 0; });
  }

  // The live links of the removed nodes `node` links to, not already kept,
  // nearest first (at most kCandidatesPerLink times the list's capacity).
  std::vector<Candidate> replacements(std::uint32_t node, unsigned layer,
                                      std::span<const std::uint32_t> kept) const {
    std::vector<std::uint32_t> pool;
    for (const std::uint32_t target : links_.links(node, layer)) {
      if (removed_[target] == 0) continue;
      for (const std::uint32_t second : links_.links(target, layer)) {
        if (second != node && removed_[second] == 0) pool.push_back(second);
      }
    }
    sort_distinct(pool);
    std::erase_if(pool, [&](std::uint32_t slot) { return std::ranges::count(kept, slot) > 0; });
    std::vector<double> keys(pool.size());
    rows_.from_node(node, [&](DistanceComputer& from_node) {
      from_node.keys(pool.data(), pool.size(), keys.data());
    });
    std::vector<Candidate> candidates;
    candidates.reserve(pool.size());
    for (std::size_t i = 0; i < pool.size(); ++i) candidates.push_back({keys[i], pool[i]});
    std::sort(candidates.begin(), candidates.end(), Nearer{});
    const std::size_t most = kCandidatesPerLink * links_.capacity(layer);
    if (candidates.size() > most) candidates.resize(most);
    return candidates;
  }

  // The diversity rule: `candidate` is nearer to the node than to every
  // link kept.
  bool diverse(const Candidate& candidate, std::span<const std::uint32_t> kept) const {
    std::vector<double> keys(kept.size());
    rows_.from_node(candidate.slot, [&](DistanceComputer& from_candidate) {
      from_candidate.keys(kept.data(), kept.size(), keys.data());
    });
    return std::ranges::none_of(keys, [&](double key) { return key < candidate.key; });
  }

  // The node's new list on `layer`, and how many of its first links were
  // chosen together by the diversity rule.
  std::pair<std::vector<std::uint32_t>, std::size_t> chosen(std::uint32_t node,
                                                            unsigned layer) const {
    const std::span<const std::uint32_t> old = links_.links(node, layer);
    std::vector<std::uint32_t> kept;
    std::size_t prefix = links_.diverse_prefix(node, layer);
    for (std::size_t i = 0; i < old.size(); ++i) {
      if (removed_[old[i]] == 0) {
        kept.push_back(old[i]);
      } else {
        prefix = std::min(prefix, i);
      }
    }
    std::vector<Candidate> candidates = replacements(node, layer, kept);
    const std::size_t wanted = old.size();
    std::vector<bool> taken(candidates.size(), false);
    for (std::size_t i = 0; i < candidates.size() && kept.size() < wanted; ++i) {
      if (!diverse(candidates[i], kept)) continue;
      kept.push_back(candidates[i].slot);
      taken[i] = true;
    }
    for (std::size_t i = 0; i < candidates.size() && kept.size() < wanted; ++i) {
      if (!taken[i]) kept.push_back(candidates[i].slot);
    }
    return {std::move(kept), prefix};
  }

 private:
  const LinkStore& links_;
  const NodeSpace& rows_;
  std::span<const std::uint8_t> removed_;
};

// A removed node not all of whose links in were found near it: the nodes
// already read for them (ascending), and how many links are still missing.
struct Unresolved {
  std::uint32_t slot;
  std::vector<std::uint32_t> read;
  std::size_t missing;
};

// The live nodes of `layer` that link to removed nodes, as far as a search
// outward from each removed node finds them, and the removed nodes of the
// layer that some link comes into from further away. The search reads
// lists hop by hop from the removed node, counting the links into it, and
// stops once the count of links in that each node keeps is reached, or
// once it has read its share of what reading every list would cost. All
// the removed nodes are left to the scan when the removal is too large for
// reading around each, two hops deep, to beat reading every list.
struct NearbyLinks {
  std::vector<std::uint32_t> touched;
  std::vector<Unresolved> unresolved;
};

NearbyLinks linking_to_removed_nearby(const LinkStore& links, std::span<const std::uint32_t> slots,
                                      std::span<const std::uint8_t> removed, unsigned layer,
                                      VisitedMarks& visited) {
  NearbyLinks result;
  const std::size_t two_hops = links.capacity(layer) * (links.capacity(layer) + 1);
  const bool worth_it = slots.size() * two_hops * kScatteredReadCost <= links.size();
  // Each search may cost its share of the scan, and all of them together
  // at most the scan.
  const std::size_t budget =
      std::max(two_hops, links.size() / (kScatteredReadCost *
                                         std::max<std::size_t>(kScanShareForSearch, slots.size())));
  for (const std::uint32_t slot : slots) {
    if (links.level(slot) < layer) continue;
    const std::size_t in = links.links_in(slot, layer);
    if (!worth_it) {
      result.unresolved.push_back({slot, {}, in});
      continue;
    }
    visited.begin(links.size());
    visited.visit(slot);
    std::vector<std::uint32_t> read(links.links(slot, layer).begin(),
                                    links.links(slot, layer).end());
    for (const std::uint32_t node : read) visited.visit(node);
    std::size_t found = 0;
    for (std::size_t at = 0; at < read.size() && at < budget && found != in; ++at) {
      const std::uint32_t node = read[at];
      const std::span<const std::uint32_t> list = links.links(node, layer);
      const auto into = static_cast<std::size_t>(std::ranges::count(list, slot));
      found += into;
      if (into != 0 && removed[node] == 0) result.touched.push_back(node);
      for (const std::uint32_t next : list) {
        if (visited.visit(next)) read.push_back(next);
      }
    }
    if (found != in) {
      // Only the lists counted: the rest were seen, not read.
      read.resize(std::min(read.size(), budget));
      std::ranges::sort(read);
      result.unresolved.push_back({slot, std::move(read), in - found});
    }
  }
  return result;
}

// Takes the links of `node` into the unresolved nodes off what they miss.
// Whether none misses any more.
bool account(const LinkStore& links, std::uint32_t node, unsigned layer,
             std::span<Unresolved> unresolved) {
  bool complete = true;
  for (Unresolved& u : unresolved) {
    if (u.missing == 0) continue;
    if (!std::ranges::binary_search(u.read, node)) {
      const auto into =
          static_cast<std::size_t>(std::ranges::count(links.links(node, layer), u.slot));
      u.missing -= std::min(into, u.missing);
    }
    complete = complete && u.missing == 0;
  }
  return complete;
}

// The live nodes of `layer` that link to the unresolved nodes (removed),
// ascending, and maybe others that link to a removed node. The lists are
// read in slot order, in pieces on the runner's threads, a few pieces at a
// time, until no unresolved node misses a link (on 1,000,000 clustered
// vectors, after about half of the lists on average).
std::vector<std::uint32_t> linking_to_unresolved(const GraphEngine& index, const Repair& repair,
                                                 std::span<Unresolved> unresolved,
                                                 std::span<const std::uint8_t> removed,
                                                 unsigned layer, JobRunner& runner) {
  const LinkStore& links = index.links();
  const std::size_t count = index.slot_count();
  std::vector<std::uint32_t> targets;
  for (const Unresolved& u : unresolved) targets.push_back(u.slot);
  const bool compare_words = layer == 0 && targets.size() <= kTargetsComparedByWord;
  const std::size_t pieces = (count + kNodesPerScan - 1) / kNodesPerScan;
  std::vector<std::vector<std::uint32_t>> found(pieces);
  std::size_t read = 0;
  bool complete = false;
  while (read < pieces && !complete) {
    const std::size_t round = std::min(kPiecesPerRound, pieces - read);
    const PieceJob scan{
        round, [&](std::size_t at) {
          const std::size_t piece = read + at;
          const auto first = static_cast<std::uint32_t>(piece * kNodesPerScan);
          const auto end = static_cast<std::uint32_t>(std::min(count, (piece + 1) * kNodesPerScan));
          std::vector<std::uint32_t>& mine = found[piece];
          if (compare_words) {
            links.may_link_to(targets, first, end, mine);
          } else {
            for (std::uint32_t node = first; node < end; ++node) {
              if (links.level(node) >= layer) mine.push_back(node);
            }
          }
          // Removed nodes stay for the count of links.
          std::erase_if(mine, [&](std::uint32_t slot) {
            return index.slots().is_free(slot) || !repair.touches_removed(slot, layer);
          });
        }};
    runner.run(scan, false);
    for (std::size_t piece = read; piece < read + round; ++piece) {
      for (const std::uint32_t node : found[piece])
        complete = account(links, node, layer, unresolved);
    }
    read += round;
  }
  std::vector<std::uint32_t> touched;
  for (std::size_t piece = 0; piece < read; ++piece) {
    for (const std::uint32_t node : found[piece]) {
      if (removed[node] == 0) touched.push_back(node);
    }
  }
  return touched;
}

// Per layer, the live nodes the removed ones link to, ascending: the only
// nodes a removal can leave without a link in.
std::vector<std::vector<std::uint32_t>> linked_from_removed(const LinkStore& links,
                                                            std::span<const std::uint32_t> slots,
                                                            std::span<const std::uint8_t> removed) {
  std::vector<std::vector<std::uint32_t>> left;
  for (const std::uint32_t slot : slots) {
    if (left.size() <= links.level(slot)) left.resize(links.level(slot) + 1);
    for (unsigned layer = 0; layer <= links.level(slot); ++layer) {
      for (const std::uint32_t target : links.links(slot, layer)) {
        if (removed[target] == 0) left[layer].push_back(target);
      }
    }
  }
  for (std::vector<std::uint32_t>& nodes : left) {
    sort_distinct(nodes);
  }
  return left;
}

}  // namespace

// A node whose every link in came from removed nodes is linked from the
// nearest node that is reached, as the pass over the whole graph would link
// it, without that pass.
void GraphEngine::link_orphans(std::span<const std::vector<std::uint32_t>> left,
                               const NodeSpace& rows, SearchDoor& door) {
  // No search meets an orphan: searches are kept out only for its link.
  const SearchesLetIn searches(door);
  std::vector<bool> reached;
  std::vector<Candidate> found;
  for (unsigned layer = 0; layer < left.size(); ++layer) {
    std::vector<std::uint32_t> orphans;
    for (const std::uint32_t node : left[layer]) {
      if (node != entry_ && links_.links_in(node, layer) == 0) orphans.push_back(node);
    }
    if (orphans.empty()) continue;
    reached.assign(slot_count(), true);
    for (const std::uint32_t node : orphans) reached[node] = false;
    ScratchPool::Lease lease = scratch_->borrow();
    for (const std::uint32_t node : orphans) {
      reach_->note_gained(link_unreached(node, layer, reached, rows, *lease, found, door), layer,
                          node);
      reached[node] = true;
    }
  }
}

void GraphEngine::remove_nodes(std::span<const std::uint32_t> slots, const NodeSpace& rows,
                               JobRunner& runner, FunctionRef<void(std::uint32_t)> clear,
                               SearchDoor& door) {
  std::vector<std::uint8_t> removed(slot_count(), 0);
  for (const std::uint32_t slot : slots) removed[slot] = 1;
  const Repair repair(links_, rows, removed);
  // Each layer's new lists are chosen from that layer alone, as it stands:
  // all are chosen first, with searches let in, then written.
  struct LayerLists {
    std::vector<std::uint32_t> touched;
    std::vector<std::pair<std::vector<std::uint32_t>, std::size_t>> lists;
  };
  std::vector<LayerLists> chosen(top_level_ + 1);
  {
    const SearchesLetIn searches(door);
    ScratchPool::Lease lease = scratch_->borrow();
    for (unsigned layer = 0; layer <= top_level_; ++layer) {
      NearbyLinks nearby =
          linking_to_removed_nearby(links_, slots, removed, layer, (*lease).visited);
      std::vector<std::uint32_t>& touched = nearby.touched;
      if (!nearby.unresolved.empty()) {
        const std::vector<std::uint32_t> scanned =
            linking_to_unresolved(*this, repair, nearby.unresolved, removed, layer, runner);
        touched.insert(touched.end(), scanned.begin(), scanned.end());
      }
      sort_distinct(touched);
      auto& lists = chosen[layer].lists;
      lists.resize(touched.size());
      const PieceJob choose{
          (touched.size() + kNodesPerPiece - 1) / kNodesPerPiece, [&](std::size_t piece) {
            const std::size_t end = std::min(touched.size(), (piece + 1) * kNodesPerPiece);
            for (std::size_t i = piece * kNodesPerPiece; i < end; ++i) {
              lists[i] = repair.chosen(touched[i], layer);
            }
          }};
      runner.run(choose, false);
      chosen[layer].touched = std::move(touched);
    }
  }
  // Searches may still meet the removed nodes between turns: their own
  // lists are cleared below, at once.
  for (unsigned layer = 0; layer <= top_level_; ++layer) {
    const LayerLists& layer_lists = chosen[layer];
    write_in_turns(door, layer_lists.touched.size(), [&](std::size_t i) {
      links_.set_links(layer_lists.touched[i], layer, layer_lists.lists[i].first,
                       layer_lists.lists[i].second);
    });
  }
  const bool entry_removed = removed[entry_] != 0;
  std::vector<std::vector<std::uint32_t>> left = linked_from_removed(links_, slots, removed);
  for (const std::uint32_t slot : slots) {
    clear(slot);
    for (unsigned layer = 0; layer <= links_.level(slot); ++layer) {
      links_.set_links(slot, layer, {}, 0);
    }
    slots_.release(slot);
  }
  if (entry_removed) choose_entry();
  link_orphans(left, rows, door);
  connect_stranded(rows, door);
  connect_unreached(rows, door);
}

}  // namespace halqen::graph
