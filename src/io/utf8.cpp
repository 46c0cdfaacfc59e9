#include "io/utf8.hpp"

#include <cstdint>

namespace halqen::io {
namespace {

constexpr std::uint8_t kContinuationMask = 0xC0;
constexpr std::uint8_t kContinuationBits = 0x80;

// The well-formed byte sequences of the Unicode standard (table 3-7): the
// length a lead byte announces, and the range its second byte must lie in
// (which excludes overlong forms, surrogates and code points beyond U+10FFFF).
struct LeadRule {
  std::size_t length;
  std::uint8_t second_low;
  std::uint8_t second_high;
};

std::optional<LeadRule> rule_of(std::uint8_t lead) {
  if (lead < 0x80) return LeadRule{1, 0, 0};
  if (lead < 0xC2) return std::nullopt;
  if (lead < 0xE0) return LeadRule{2, 0x80, 0xBF};
  if (lead == 0xE0) return LeadRule{3, 0xA0, 0xBF};
  if (lead == 0xED) return LeadRule{3, 0x80, 0x9F};
  if (lead < 0xF0) return LeadRule{3, 0x80, 0xBF};
  if (lead == 0xF0) return LeadRule{4, 0x90, 0xBF};
  if (lead < 0xF4) return LeadRule{4, 0x80, 0xBF};
  if (lead == 0xF4) return LeadRule{4, 0x80, 0x8F};
  return std::nullopt;
}

bool is_continuation(std::uint8_t byte) {
  return (byte & kContinuationMask) == kContinuationBits;
}

}  // namespace

std::optional<std::size_t> first_invalid_utf8(std::string_view text) {
  std::size_t position = 0;
  while (position < text.size()) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const auto rule = rule_of(byte(position));
    if (!rule) return position;
    if (rule->length == 1) {
      ++position;
      continue;
    }
    if (text.size() - position < rule->length) return position;
    const std::uint8_t second = byte(position + 1);
    if (second < rule->second_low || second > rule->second_high) return position + 1;
    for (std::size_t i = 2; i < rule->length; ++i) {
      if (!is_continuation(byte(position + i))) return position + i;
    }
    position += rule->length;
  }
  return std::nullopt;
}

}  // namespace halqen::io
