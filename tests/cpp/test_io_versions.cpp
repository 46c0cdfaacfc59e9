// Format versions: a reader decodes by the version it read. A version-2 file
// is its version-1 twin plus the optional sections its kind admits, read in
// tag order and checked like every other section.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "io/byte_source.hpp"
#include "io/decode.hpp"
#include "io/optional_sections.hpp"
#include "test_io_support.hpp"

namespace halqen::testing {
namespace {

using io::format::SectionTag;

std::expected<io::DecodedParts, io::CodecError> decode(const Bytes& bytes) {
  io::SpanSource source(bytes);
  return io::decode_parts(source);
}

void set_u32(Bytes& file, std::size_t offset, std::uint32_t value) {
  io::store_le(std::span(file).subspan(offset), value);
  reseal_header(file);
}

Bytes re_encoded(const io::DecodedParts& parts) {
  return std::visit([](const auto& kind_parts) { return encode_parts(kind_parts); }, parts);
}

TEST(IoVersions, VersionTwoWithoutOptionalSectionsReadsAsVersionOne) {
  const auto flat = random_flat_parts(5, 3, MetricKind::InnerProduct, 4);
  const auto graph = built_hnsw_parts(
      {.dim = 2, .layers = 3, .ef_construction = 4, .schema = Schema{"tag", "size"}}, 9, 5);
  for (const Bytes& version_1 : {encode_to_bytes(view_of(flat)), encode_to_bytes(view_of(graph))}) {
    Bytes version_2 = version_1;
    set_u32(version_2, io::format::kVersionOffset, 2);
    const auto decoded = decode(version_2);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
    EXPECT_EQ(re_encoded(*decoded), version_1);

    // Neither kind admits an optional section.
    Bytes one_more = version_2;
    const auto sections = static_cast<std::uint32_t>(section_offsets(version_1).size());
    set_u32(one_more, io::format::kSectionCountOffset, sections + 1);
    EXPECT_EQ(decode(one_more).error().message,
              "invalid header: expected " + std::to_string(sections) +
                  " sections for this index kind, found " + std::to_string(sections + 1));

    // Versions 3 and 4 changed only the graph's vectors and graph sections:
    // these read as before.
    for (const std::uint32_t version : {3U, 4U}) {
      Bytes later = version_1;
      set_u32(later, io::format::kVersionOffset, version);
      const auto decoded_later = decode(later);
      ASSERT_TRUE(decoded_later.has_value()) << decoded_later.error().message;
      EXPECT_EQ(re_encoded(*decoded_later), version_1);
    }

    Bytes version_5 = version_1;
    set_u32(version_5, io::format::kVersionOffset, 5);
    const auto refused = decode(version_5);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().message, "unsupported format version 5");
  }
}

class VectorSink final : public io::ByteSink {
 public:
  std::expected<void, io::CodecError> write(std::span<const std::byte> bytes) override {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return {};
  }
  Bytes bytes_;
};

using TaggedPayloads = std::vector<std::pair<SectionTag, Bytes>>;

Bytes sections_of(const TaggedPayloads& sections) {
  VectorSink sink;
  for (const auto& [tag, payload] : sections) {
    auto section = io::SectionWriter::begin(sink, tag, payload.size());
    EXPECT_TRUE(section && section->write(payload) && section->finish());
  }
  return sink.bytes_;
}

// Reads `file` as the optional sections of a version-2 header counting them,
// with readers for `admitted`; returns what was read, or the error.
std::expected<TaggedPayloads, io::CodecError> read_optional(const Bytes& file,
                                                            std::vector<SectionTag> admitted,
                                                            std::uint32_t count) {
  const io::FileHeader header{.version = 2, .section_count = count};
  TaggedPayloads read;
  std::vector<io::OptionalSection> readers;
  for (const SectionTag tag : admitted) {
    readers.push_back({tag, [tag, &read](io::SectionReader& section) {
                         Bytes payload(section.length());
                         read.emplace_back(tag, payload);
                         return section.read(read.back().second);
                       }});
  }
  io::SpanSource source(file);
  auto done = io::read_optional_sections(source, header, 0, readers);
  if (!done) return std::unexpected(done.error());
  EXPECT_EQ(source.remaining(), 0u);
  return read;
}

TEST(IoVersions, OptionalSectionsAreReadInTagOrderWhereAdmitted) {
  const std::vector<SectionTag> all = {SectionTag::Labels, SectionTag::FreeSlots,
                                       SectionTag::Codes};
  const TaggedPayloads labels_and_codes = {{SectionTag::Labels, Bytes(16, std::byte{7})},
                                           {SectionTag::Codes, Bytes(3, std::byte{9})}};
  const auto read = read_optional(sections_of(labels_and_codes), all, 2);
  ASSERT_TRUE(read.has_value()) << read.error().message;
  EXPECT_EQ(*read, labels_and_codes);

  const TaggedPayloads reversed = {labels_and_codes[1], labels_and_codes[0]};
  EXPECT_EQ(read_optional(sections_of(reversed), all, 2).error().message,
            "found a section of tag 7 where no further section may follow");
  EXPECT_EQ(read_optional(sections_of(labels_and_codes), {SectionTag::Labels}, 2).error().message,
            "found a section of tag 9 where no further section may follow");
  const TaggedPayloads twice = {labels_and_codes[0], labels_and_codes[0]};
  EXPECT_EQ(read_optional(sections_of(twice), all, 2).error().message,
            "found a section of tag 7 where only tags 8, 9 may follow");

  Bytes damaged = sections_of(labels_and_codes);
  damaged.back() ^= std::byte{1};
  EXPECT_EQ(read_optional(damaged, all, 2).error().message,
            "checksum mismatch in the codes section");
}

}  // namespace
}  // namespace halqen::testing
