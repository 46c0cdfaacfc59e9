// Hostile input: every truncation, every flipped byte, counts and lengths of
// 2^64-1 and foreign files are refused with a message that names the fault,
// before anything is sized from them.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>

#include "io/byte_source.hpp"
#include "io/decode.hpp"
#include "test_io_support.hpp"

namespace halqen::testing {
namespace {

using io::format::kCountOffset;
using io::format::kDimOffset;
using io::format::kSectionLengthOffset;
using io::format::kVersionOffset;

constexpr std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();

std::string decode_error(const Bytes& bytes) {
  io::SpanSource source(bytes);
  const auto decoded = io::decode_parts(source);
  if (decoded) return "";
  EXPECT_FALSE(decoded.error().is_system());
  return decoded.error().message;
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

// Small files of both kinds, with every section non-empty.
std::vector<Bytes> small_files() {
  const auto flat = random_flat_parts(3, 2, MetricKind::Cosine, 1);
  const auto graph = built_hnsw_parts(
      {.dim = 2, .layers = 3, .ef_construction = 4, .schema = Schema{"tag", "size"}}, 6, 2);
  return {encode_to_bytes(view_of(flat)), encode_to_bytes(view_of(graph))};
}

TEST(IoHostile, EveryTruncationNamesWhatIsMissing) {
  for (const auto& file : small_files()) {
    for (std::size_t length = 0; length < file.size(); ++length) {
      const Bytes prefix(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length));
      const auto error = decode_error(prefix);
      if (length < io::format::kMagic.size()) {
        EXPECT_EQ(error, "not a halqen index file") << length;
      } else {
        EXPECT_TRUE(starts_with(error, "truncated: expected ")) << length << ": " << error;
      }
    }
    EXPECT_EQ(decode_error(file), "");
  }
}

TEST(IoHostile, EveryFlippedByteIsRefused) {
  for (const auto& file : small_files()) {
    for (std::size_t position = 0; position < file.size(); ++position) {
      for (const std::byte mask : {std::byte{0x01}, std::byte{0x80}, std::byte{0xFF}}) {
        Bytes flipped = file;
        flipped[position] ^= mask;
        EXPECT_NE(decode_error(flipped), "") << "byte " << position;
      }
    }
  }
}

TEST(IoHostile, PayloadDamageIsAChecksumMismatchOfThatSection) {
  const auto file = small_files()[1];
  const char* names[] = {"vectors", "deleted", "levels", "graph", "schema", "metadata"};
  const auto offsets = section_offsets(file);
  ASSERT_EQ(offsets.size(), std::size(names));
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    Bytes damaged = file;
    damaged[offsets[i] + io::format::kSectionHeadBytes] ^= std::byte{0x10};
    EXPECT_EQ(decode_error(damaged),
              std::string("checksum mismatch in the ") + names[i] + " section");
  }
  Bytes header_damaged = file;
  header_damaged[kDimOffset] ^= std::byte{1};
  EXPECT_EQ(decode_error(header_damaged), "checksum mismatch in the header");
}

TEST(IoHostile, HugeCountsAndLengthsAreCheckedBeforeSizing) {
  for (const auto& file : small_files()) {
    for (const std::size_t field : {kCountOffset, kDimOffset}) {
      Bytes edited = file;
      io::store_le(std::span(edited).subspan(field), kHuge);
      reseal_header(edited);
      EXPECT_NE(decode_error(edited), "");
    }
    // dim 0 keeps the vectors empty; the count must then be backed by the
    // deleted section's byte per vector.
    Bytes no_dim = file;
    io::store_le(std::span(no_dim).subspan(kDimOffset), std::uint64_t{0});
    io::store_le(std::span(no_dim).subspan(kCountOffset), kHuge);
    reseal_header(no_dim);
    EXPECT_NE(decode_error(no_dim), "");
    for (const std::size_t section : section_offsets(file)) {
      Bytes edited = file;
      io::store_le(std::span(edited).subspan(section + kSectionLengthOffset), kHuge);
      const auto error = decode_error(edited);
      EXPECT_TRUE(starts_with(error, "truncated: expected 18446744073709551615 bytes") ||
                  error.find("holds 18446744073709551615 bytes") != std::string::npos)
          << error;
    }
  }
  Bytes count_huge = small_files()[0];
  io::store_le(std::span(count_huge).subspan(kCountOffset), kHuge);
  reseal_header(count_huge);
  EXPECT_EQ(decode_error(count_huge),
            "invalid header: 18446744073709551615 vectors of dim 2 exceed 2^64 bytes");
}

TEST(IoHostile, HugeCountsInsideSectionsAreCheckedAgainstTheirPayload) {
  const auto file = small_files()[1];
  const auto offsets = section_offsets(file);
  const std::size_t schema = offsets[4] + io::format::kSectionHeadBytes;
  Bytes names = file;
  io::store_le(std::span(names).subspan(schema + 1), kHuge);  // after the presence byte
  reseal_section(names, offsets[4]);
  EXPECT_TRUE(starts_with(decode_error(names),
                          "malformed schema section: 18446744073709551615 names cannot fit"));
  Bytes name_length = file;
  io::store_le(std::span(name_length).subspan(schema + 9), kHuge);  // the first name's length
  reseal_section(name_length, offsets[4]);
  EXPECT_TRUE(starts_with(decode_error(name_length),
                          "malformed schema section: expected 18446744073709551615 bytes"));
  const std::size_t metadata = offsets[5] + io::format::kSectionHeadBytes;
  Bytes values = file;
  io::store_le(std::span(values).subspan(metadata), kHuge);  // node 0's value count
  reseal_section(values, offsets[5]);
  EXPECT_TRUE(starts_with(decode_error(values), "malformed metadata section: node 0 declares"));
  const std::size_t graph = offsets[3] + io::format::kSectionHeadBytes;
  Bytes offsets_end = file;
  io::store_le(std::span(offsets_end).subspan(graph + 6 * sizeof(std::uint64_t)), kHuge);
  reseal_section(offsets_end, offsets[3]);
  EXPECT_TRUE(starts_with(decode_error(offsets_end), "the graph offsets end at link "));
}

// Text the writer could never have written (a Python str is always valid
// UTF-8): a stray continuation byte, an overlong NUL, a surrogate, a code
// point past U+10FFFF, a sequence cut short.
TEST(IoHostile, TextThatIsNotUtf8IsRefused) {
  const std::string malformed[] = {"a\x80", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                                   "ok\xE2\x82"};
  for (const std::string& text : malformed) {
    auto named = built_hnsw_parts({.dim = 1, .layers = 2, .schema = Schema{"tag", text}}, 3, 5);
    EXPECT_TRUE(starts_with(decode_error(encode_to_bytes(view_of(named))),
                            "schema name 1 is not valid UTF-8: byte "));
    auto valued = built_hnsw_parts({.dim = 1, .layers = 2, .schema = Schema{"tag"}}, 3, 5);
    valued.records[2] = {Metadata::String(text)};
    EXPECT_TRUE(starts_with(decode_error(encode_to_bytes(view_of(valued))),
                            "the string of node 2, value 0 is not valid UTF-8: byte "));
  }
  auto valid =
      built_hnsw_parts({.dim = 1, .layers = 2, .schema = Schema{"\xC3\xA9t\xC3\xA9"}}, 3, 5);
  valid.records[1] = {Metadata::String(std::string("\0\xF0\x9F\x98\x80\xEF\xBF\xBF", 8))};
  EXPECT_EQ(decode_error(encode_to_bytes(view_of(valid))), "");
}

TEST(IoHostile, ForeignFilesAndOtherVersionsAreNamed) {
  const auto text = [](std::string_view s) {
    const auto bytes = std::as_bytes(std::span(s));
    return Bytes(bytes.begin(), bytes.end());
  };
  EXPECT_EQ(decode_error({}), "not a halqen index file");
  EXPECT_EQ(decode_error(text("\x89PNG\r\n\x1a\n and then some image data")),
            "not a halqen index file");
  EXPECT_EQ(decode_error(text("\x7f"
                              "ELF\x02\x01\x01")),
            "not a halqen index file");
  EXPECT_EQ(decode_error(text("vectors,1.0,2.0\n3.0,4.0\n")), "not a halqen index file");
  Bytes future = small_files()[0];
  io::store_le(std::span(future).subspan(kVersionOffset), std::uint32_t{7});
  EXPECT_EQ(decode_error(future), "unsupported format version 7");
  Bytes trailing = small_files()[1];
  trailing.push_back(std::byte{0});
  EXPECT_EQ(decode_error(trailing), "trailing data: 1 bytes after the last section");
  Bytes kind = small_files()[0];
  io::store_le(std::span(kind).subspan(io::format::kKindOffset), std::uint32_t{9});
  reseal_header(kind);
  EXPECT_EQ(decode_error(kind), "invalid header: unknown index kind 9");
}

// Parts that decode but do not fit together are refused by the core's check,
// with its reason: here a neighbour id past the last node and a self link.
TEST(IoHostile, IdsOutOfRangeAndOtherInconsistenciesAreRefused) {
  const auto valid = built_hnsw_parts(
      {.dim = 2, .layers = 3, .ef_construction = 4, .schema = std::nullopt}, 12, 3);
  const auto first_link = std::ranges::find_if(valid.neighbor_offsets, [&](std::uint64_t offset) {
    return offset < valid.neighbor_ids.size();
  });
  ASSERT_NE(first_link, valid.neighbor_offsets.end());
  const auto owner = static_cast<std::uint32_t>(first_link - valid.neighbor_offsets.begin());
  const std::pair<std::uint32_t, const char*> breakages[] = {{12, "links to node 12 of 12"},
                                                             {owner, "links to itself"}};
  for (const auto& [id, phrase] : breakages) {
    HNSWParts broken = valid;
    broken.neighbor_ids[*first_link] = id;
    const auto bytes = encode_to_bytes(view_of(broken));
    io::SpanSource source(bytes);
    const auto loaded = io::decode_index(source);
    ASSERT_FALSE(loaded.has_value());
    EXPECT_EQ(loaded.error().message.rfind("invalid index: ", 0), 0u) << loaded.error().message;
    EXPECT_NE(loaded.error().message.find(phrase), std::string::npos) << loaded.error().message;
  }
}

}  // namespace
}  // namespace halqen::testing
