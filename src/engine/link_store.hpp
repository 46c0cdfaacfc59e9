// The links of every node, in fixed-capacity arrays of 32-bit slots.
//
// Layer 0 holds one array of 2m links per node, all nodes one after another,
// each led by its link count. Only the few nodes above layer 0 have upper
// arrays (m links each, also led by a count), found through upper_first.
// A slot's arrays keep their place for its whole life, so a removed node's
// slot can later be refilled in place. Each list also counts the links that
// point to it, so that a build notices a node no walk could reach any more.
//
// Layer 0 may instead lie where it is in a mapped file, unchecked and
// read-only: each of its lists is then checked as it is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "engine/link_journal.hpp"

namespace halqen::graph {

class LinkStore {
 public:
  explicit LinkStore(std::size_t m) : m_(m) {}

  // Links a layer of a node may hold: 2m on layer 0, m above.
  std::size_t capacity(unsigned layer) const { return layer == 0 ? 2 * m_ : m_; }

  // Makes room for nodes of these levels, so that appending them reallocates
  // nothing. Throws std::bad_alloc with the store unchanged.
  void reserve_nodes(std::span<const std::uint8_t> levels);
  // Room for `nodes` nodes in all, their layer-0 parts (address space:
  // nothing is touched). Throws std::bad_alloc with the store unchanged.
  void reserve_room(std::size_t nodes);
  // The bytes append_nodes takes in an empty store of this m for nodes of
  // these levels: what a reader weighs against the file before allocating.
  static std::uint64_t bytes_for(std::size_t m, std::span<const std::uint8_t> levels);
  // Appends nodes of these levels with empty lists. Throws std::bad_alloc
  // with the store unchanged.
  void append_nodes(std::span<const std::uint8_t> levels);
  // Precondition: an empty store. Nodes of these levels whose layer-0 lists
  // are `base` (the words of layer_zero_words, as a file lays them out),
  // which `owner` keeps alive, and whose upper lists are empty. The store is
  // read-only on layer 0 from then on, and keeps no counts of links in there.
  void adopt_layer_zero(std::span<const std::uint8_t> levels, std::span<const std::uint32_t> base,
                        std::shared_ptr<const void> owner);
  bool layer_zero_adopted() const { return !adopted_base_.empty(); }
  // The words of layer 0 laid out in fixed places: per node, its link count,
  // then its links, then zeros up to the capacity.
  static std::uint64_t layer_zero_words(std::size_t m, std::uint64_t nodes) {
    return nodes * (2 * m + 1);
  }

  std::size_t size() const { return levels_.size(); }
  unsigned level(std::uint32_t node) const { return levels_[node]; }
  std::span<const std::uint8_t> levels() const { return levels_; }

  std::span<const std::uint32_t> links(std::uint32_t node, unsigned layer) const {
    if (layer == 0 && layer_zero_adopted()) [[unlikely]]
      return checked_adopted(node);
    const std::uint32_t* list = list_of(node, layer);
    return {list + 1, list[0] & kCountMask};
  }
  // How many leading links were chosen together by the diversity rule, in
  // distance order: choosing again from a superset keeps them without a
  // second look, as long as nothing new sorts before them.
  std::size_t diverse_prefix(std::uint32_t node, unsigned layer) const {
    return list_of(node, layer)[0] >> kPrefixShift;
  }
  // Asks the memory for a list a walk is about to read.
  void prefetch(std::uint32_t node, unsigned layer) const {
    __builtin_prefetch(list_of(node, layer));
  }

  // Precondition: links.size() <= capacity(layer), layer <= level(node),
  // diverse_prefix <= links.size(). Lists of distinct nodes may be set from
  // several threads at once: the counts of links in are updated atomically.
  void set_links(std::uint32_t node, unsigned layer, std::span<const std::uint32_t> links,
                 std::size_t diverse_prefix);

  // A list read back, its links in not yet counted: after every list is
  // written, count_links_in() counts them all at once, which costs a load
  // far less than counting each link atomically as set_links does.
  void write_loaded(std::uint32_t node, unsigned layer, std::span<const std::uint32_t> links);
  void count_links_in();

  // Sets every diverse prefix to none: they were chosen by distances the
  // next build no longer measures (codes encoded again, or another space),
  // and a prefix kept without a second look would then make the graph
  // depend on that history, which a loaded copy does not have.
  void forget_prefixes();
  void forget_prefix(std::uint32_t node, unsigned layer) { list_of(node, layer)[0] &= kCountMask; }

  // Adds `target` at the end of a list with room (precondition).
  void append_link(std::uint32_t node, unsigned layer, std::uint32_t target);
  // Puts `target` in place of the list's last link (precondition: the list
  // is not empty); returns the node it replaced.
  std::uint32_t replace_last_link(std::uint32_t node, unsigned layer, std::uint32_t target);
  // Puts `target` in place of the list's last link to a node that other
  // links point to as well, so that no node loses its only way in; the last
  // link when there is none (precondition: the list is not empty). Returns
  // the node it replaced.
  std::uint32_t replace_shared_link(std::uint32_t node, unsigned layer, std::uint32_t target);
  // Puts `target` at `position` of the list (precondition: below its
  // length); returns the node it replaced.
  std::uint32_t replace_link(std::uint32_t node, unsigned layer, std::size_t position,
                             std::uint32_t target);
  bool has_room(std::uint32_t node, unsigned layer) const {
    return links(node, layer).size() < capacity(layer);
  }

  std::uint64_t heap_bytes() const {
    return levels_.capacity() + (base_.capacity() + upper_first_.capacity() + upper_.capacity() +
                                 base_in_.capacity() + upper_in_.capacity()) *
                                    sizeof(std::uint32_t);
  }

  // Where every link taken out of a list is noted while it records (null:
  // nowhere). The journal outlives the store's use of it.
  void keep_journal(LinkJournal* journal) { journal_ = journal; }

  // The nodes in [first, last) whose layer-0 list may hold one of
  // `targets`, appended to `found` ascending: a superset, as the words past
  // a list's end are compared too, in exchange for a compare over memory in
  // order that the compiler vectorises. For a few targets only: each costs
  // a compare per word.
  void may_link_to(std::span<const std::uint32_t> targets, std::uint32_t first, std::uint32_t last,
                   std::vector<std::uint32_t>& found) const;

  // Links on `layer` that point to `node` (not kept on an adopted layer 0).
  std::uint32_t links_in(std::uint32_t node, unsigned layer) const {
    return layer == 0 ? base_in_[node] : upper_in_[upper_list(node, layer)];
  }

 private:
  std::size_t stride(unsigned layer) const { return capacity(layer) + 1; }
  // The number of `node`'s list on `layer` >= 1 among all upper lists.
  std::size_t upper_list(std::uint32_t node, unsigned layer) const {
    return upper_first_[node] + (layer - 1);
  }
  std::uint32_t& in_counter(std::uint32_t node, unsigned layer) {
    return layer == 0 ? base_in_[node] : upper_in_[upper_list(node, layer)];
  }
  // A list's first word: the link count in the low half, the diverse
  // prefix in the high half (capacities stay below 2^16).
  static constexpr std::uint32_t kCountMask = 0xFFFF;
  static constexpr unsigned kPrefixShift = 16;

  // An adopted list as it lies, if it is whole: a count within the capacity
  // and every link to a node of the store; else none, so that a damaged file
  // can change answers but never make a walk read beyond the store.
  std::span<const std::uint32_t> checked_adopted(std::uint32_t node) const;

  const std::uint32_t* list_of(std::uint32_t node, unsigned layer) const {
    if (layer == 0) {
      const std::uint32_t* base = layer_zero_adopted() ? adopted_base_.data() : base_.data();
      return base + static_cast<std::size_t>(node) * stride(0);
    }
    return upper_.data() + upper_list(node, layer) * stride(1);
  }
  std::uint32_t* list_of(std::uint32_t node, unsigned layer) {
    return const_cast<std::uint32_t*>(std::as_const(*this).list_of(node, layer));
  }

  std::size_t m_;
  std::vector<std::uint8_t> levels_;
  std::vector<std::uint32_t> base_;
  // Layer 0 where it lies in a mapped file, instead of base_, and what keeps
  // it there.
  std::span<const std::uint32_t> adopted_base_;
  std::shared_ptr<const void> adopted_owner_;
  // Per node, the number of its layer-1 list among all upper lists (0 for
  // level 0): 32 bits, as there are fewer upper lists than nodes.
  std::vector<std::uint32_t> upper_first_;
  std::vector<std::uint32_t> upper_;
  std::vector<std::uint32_t> base_in_;
  std::vector<std::uint32_t> upper_in_;
  LinkJournal* journal_ = nullptr;
};

}  // namespace halqen::graph
