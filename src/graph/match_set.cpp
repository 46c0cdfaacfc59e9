#include "graph/match_set.hpp"

#include <algorithm>
#include <utility>

namespace halqen::graph {
namespace {

// The set bits of a word. std::popcount is a library call on the baseline
// x86-64 this part is built for (a table per byte); this is a dozen plain
// instructions.
std::size_t ones(std::uint64_t word) {
  constexpr std::uint64_t kPairs = 0x5555555555555555ULL;
  constexpr std::uint64_t kNibbles = 0x3333333333333333ULL;
  constexpr std::uint64_t kBytes = 0x0f0f0f0f0f0f0f0fULL;
  constexpr std::uint64_t kByteSum = 0x0101010101010101ULL;
  constexpr unsigned kTopByte = 56;
  word -= (word >> 1) & kPairs;
  word = (word & kNibbles) + ((word >> 2) & kNibbles);
  word = (word + (word >> 4)) & kBytes;
  return static_cast<std::size_t>((word * kByteSum) >> kTopByte);
}

}  // namespace

void MatchSet::keep_common(const MatchSet& other) {
  for (std::size_t w = 0; w < words_.size(); ++w) words_[w] &= other.words_[w];
}

void MatchSet::add_all(const MatchSet& other) {
  for (std::size_t w = 0; w < words_.size(); ++w) words_[w] |= other.words_[w];
}

void MatchSet::complement_within(const MatchSet& within) {
  for (std::size_t w = 0; w < words_.size(); ++w) words_[w] = ~words_[w] & within.words_[w];
}

std::size_t MatchSet::count() const {
  std::size_t total = 0;
  for (const std::uint64_t word : words_) total += ones(word);
  return total;
}

std::vector<std::uint32_t> MatchSet::at_ranks(std::span<const std::uint32_t> ranks) const {
  std::vector<std::uint32_t> slots;
  slots.reserve(ranks.size());
  std::size_t before = 0;  // set bits in the words passed
  std::size_t next = 0;
  for (std::size_t w = 0; w < words_.size() && next < ranks.size(); ++w) {
    const std::size_t in_word = ones(words_[w]);
    std::uint64_t bits = words_[w];
    std::size_t rank = before;
    while (next < ranks.size() && ranks[next] < before + in_word) {
      for (; rank < ranks[next]; ++rank) bits &= bits - 1;  // drop the lower set bits
      slots.push_back(static_cast<std::uint32_t>(w * kWordBits + std::countr_zero(bits)));
      ++next;
    }
    before += in_word;
  }
  return slots;
}

bool MatchSet::empty() const {
  return std::ranges::all_of(words_, [](std::uint64_t word) { return word == 0; });
}

namespace {

MatchSet live_slots(const SlotBook& slots) {
  MatchSet live(slots.slot_count());
  for (std::uint32_t slot = 0; slot < slots.slot_count(); ++slot) {
    if (!slots.is_free(slot)) live.add(slot);
  }
  return live;
}

void add_selection(MatchSet& set, const AttributePostings& postings,
                   const ValueSelection& selection) {
  for (const std::uint32_t code : selection.codes) {
    set.add(postings.slots(selection.position, code));
  }
}

// The expression's set; `live` is made at the first not or empty and, which
// need it, and kept for the rest.
MatchSet evaluate(const FilterExpression& expression, const MatchSources& sources,
                  std::optional<MatchSet>& live) {
  using Kind = FilterExpression::Kind;
  const auto live_set = [&]() -> const MatchSet& {
    if (!live) live.emplace(live_slots(sources.slots));
    return *live;
  };
  MatchSet set(sources.slots.slot_count());
  switch (expression.kind) {
    case Kind::AnyOf:
      add_selection(set, sources.postings,
                    sources.postings.select(expression.position, expression.values));
      return set;
    case Kind::Range:
      add_in_range(set, sources.orders.of(sources.postings, expression.position), sources.postings,
                   expression.position, expression.lower, expression.upper);
      return set;
    case Kind::Ids:
      for (const std::uint64_t id : expression.ids) {
        if (const auto slot = sources.labels.slot_of(id)) set.add(*slot);
      }
      return set;
    case Kind::And:
      if (expression.operands.empty()) return live_set();
      set = evaluate(expression.operands.front(), sources, live);
      for (std::size_t i = 1; i < expression.operands.size() && !set.empty(); ++i) {
        set.keep_common(evaluate(expression.operands[i], sources, live));
      }
      return set;
    case Kind::Or:
      for (const FilterExpression& operand : expression.operands) {
        set.add_all(evaluate(operand, sources, live));
      }
      return set;
    case Kind::Not:
      set = evaluate(expression.operands.front(), sources, live);
      set.complement_within(live_set());
      return set;
  }
  return set;
}

}  // namespace

std::size_t add_in_range(MatchSet& set, const NumericView& view, const AttributePostings& postings,
                         std::size_t position, const std::optional<RangeEnd>& lower,
                         const std::optional<RangeEnd>& upper) {
  const OrderOverlay* changed = view.overlay.get();
  std::size_t added = 0;
  for (const std::uint32_t slot : view.order->slots_in(lower, upper)) {
    if (slot >= set.capacity() || (changed != nullptr && changed->contains(slot))) continue;
    set.add(slot);
    ++added;
  }
  if (changed == nullptr) return added;
  for (const std::uint32_t slot : changed->slots) {
    const std::uint32_t code = postings.code(position, slot);
    if (slot >= set.capacity() || code == AttributePostings::kNoCode) continue;
    const Metadata* value = postings.value(position, code);
    if (value != nullptr && in_range(*value, lower, upper)) {
      set.add(slot);
      ++added;
    }
  }
  return added;
}

MatchSet matching_slots(const FilterExpression& expression, const MatchSources& sources) {
  std::optional<MatchSet> live;
  return evaluate(expression, sources, live);
}

}  // namespace halqen::graph
