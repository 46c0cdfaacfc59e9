#include "io/optional_sections.hpp"

#include <algorithm>
#include <vector>

namespace halqen::io {

std::expected<void, CodecError> read_optional_sections(ByteSource& source, const FileHeader& header,
                                                       std::size_t required,
                                                       std::span<const OptionalSection> admitted) {
  std::vector<format::SectionTag> left;
  left.reserve(admitted.size());
  for (const OptionalSection& section : admitted) left.push_back(section.tag);
  for (std::size_t read = required; read < header.section_count; ++read) {
    auto section = SectionReader::open_any_of(source, left);
    if (!section) return std::unexpected(section.error());
    // Tags increase: this one and those before it may not come again.
    const auto found = std::ranges::find(left, section->tag());
    const auto reader = std::ranges::find(admitted, section->tag(), &OptionalSection::tag);
    left.erase(left.begin(), found + 1);
    if (auto got = reader->read(*section); !got) return got;
    if (auto checked = section->finish(); !checked) return checked;
  }
  return {};
}

}  // namespace halqen::io
