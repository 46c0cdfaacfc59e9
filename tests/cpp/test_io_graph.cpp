// The graph kind's codec: a built graph saved and loaded encodes to the same
// bytes and grows exactly as the original; damaged links, levels and ids are
// refused with the fault named; every truncation and flipped byte refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <variant>

#include "common/interrupt.hpp"
#include "engine/level_draw.hpp"
#include "graph/graph_index.hpp"
#include "io/byte_source.hpp"
#include "io/decode.hpp"
#include "io/graph_file.hpp"
#include "test_io_support.hpp"

namespace halqen::testing {
namespace {

using graph::GraphIndex;
using GraphFile = io::FileKind<GraphIndex>;
using io::format::kLayersOffset;

constexpr std::uint64_t kDim = 3;
// Enough dimensions that codes encoded again reorder some distances.
constexpr std::uint64_t kGrowthDim = 8;
constexpr std::size_t kGraphSection = 2;
constexpr std::size_t kLevelsSection = 1;
constexpr std::size_t kBuildStateSection = 5;
constexpr std::size_t kLabelsSection = 6;
constexpr std::size_t kFreeSlotsSection = 7;

GraphIndex empty_graph(graph::WalkKind walk = graph::WalkKind::Exact,
                       MetricKind metric = MetricKind::Euclidean, std::size_t dim = kDim) {
  auto index = GraphIndex::create({.dim = dim,
                                   .metric = metric,
                                   .m = 4,
                                   .ef_construction = 16,
                                   .ef_search = 8,
                                   .seed = 7,
                                   .schema = Schema{"tag"},
                                   .walk = walk});
  EXPECT_TRUE(index.has_value());
  return std::move(*index);
}

// Adds count random rows, each component passed through `shape`, with ids
// from first_id when given and a record on every other row.
void add_rows(GraphIndex& index, std::size_t count, std::uint64_t seed,
              std::optional<std::uint64_t> first_id,
              const std::function<double(double)>& shape = std::identity()) {
  graph::Addition addition;
  addition.values = random_vectors(count, index.params().dim, seed);
  std::ranges::transform(addition.values, addition.values.begin(), shape);
  addition.count = count;
  if (first_id) {
    addition.ids.emplace();
    for (std::size_t row = 0; row < count; ++row) addition.ids->push_back(*first_id + row);
  }
  addition.records.emplace();
  for (std::size_t row = 0; row < count; ++row) {
    addition.records->push_back(row % 2 == 0 ? MetadataRecord{Metadata{std::int64_t(row)}}
                                             : MetadataRecord{});
  }
  NeverInterrupt never;
  graph::ThreadRunner runner(2, never);
  ASSERT_TRUE(index.add(std::move(addition), runner, nullptr).has_value());
}

Bytes encoded(const GraphIndex& index) {
  Bytes bytes(GraphFile::encoded_size(index));
  io::SpanSink sink(bytes);
  EXPECT_TRUE(GraphFile::encode(index, sink).has_value());
  EXPECT_EQ(sink.written(), bytes.size());
  return bytes;
}

std::expected<io::LoadedIndex, io::CodecError> decoded(const Bytes& bytes) {
  io::SpanSource source(bytes);
  return io::decode_index(source);
}

GraphIndex loaded(const Bytes& bytes) {
  auto index = decoded(bytes);
  EXPECT_TRUE(index.has_value()) << index.error().message;
  return std::get<GraphIndex>(std::move(*index));
}

std::string decode_error(const Bytes& bytes) {
  const auto index = decoded(bytes);
  return index ? "" : index.error().message;
}

// On every walk and metric: the growth widens the codes' range from one
// orthant to all (every code changes), and a small addition after a large
// one is built by other distances.
TEST(IoGraph, ALoadedGraphEncodesAndGrowsAsTheOriginal) {
  for (const auto walk : {graph::WalkKind::Exact, graph::WalkKind::Float32, graph::WalkKind::Sq8}) {
    for (const auto metric : {MetricKind::Euclidean, MetricKind::Cosine}) {
      GraphIndex original = empty_graph(walk, metric, kGrowthDim);
      add_rows(original, 300, 1, std::nullopt, [](double x) { return std::abs(x); });
      const Bytes saved = encoded(original);
      GraphIndex copy = loaded(saved);
      EXPECT_EQ(encoded(copy), saved);
      // Ids of the caller's add the labels section; both continue identically.
      for (GraphIndex* index : {&original, &copy}) {
        add_rows(*index, 200, 2, 1000, [](double x) { return 3.0 * x; });
        add_rows(*index, 2, 3, 2000);
      }
      const Bytes grown = encoded(original);
      EXPECT_EQ(encoded(copy), grown);
      EXPECT_EQ(encoded(loaded(grown)), grown);
      if (walk == graph::WalkKind::Exact) {
        // The labels, and the norms the cosine divides by.
        EXPECT_EQ(section_offsets(grown).size(),
                  kLabelsSection + 1 + (metric == MetricKind::Cosine ? 1 : 0));
      }
    }
  }
}

TEST(IoGraph, EveryTruncationAndFlippedByteIsRefused) {
  GraphIndex index = empty_graph();
  add_rows(index, 12, 3, 40);
  const Bytes file = encoded(index);
  for (std::size_t length = 0; length < file.size(); ++length) {
    const Bytes prefix(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_NE(decode_error(prefix), "") << length;
  }
  for (std::size_t position = 0; position < file.size(); ++position) {
    Bytes flipped = file;
    flipped[position] ^= std::byte{0x10};
    EXPECT_NE(decode_error(flipped), "") << "byte " << position;
  }
}

// The words of a section's payload, editable; reseal() recomputes its checksum.
class SectionEdit {
 public:
  SectionEdit(Bytes& file, std::size_t section)
      : file_(file), offset_(section_offsets(file).at(section)) {}
  std::span<std::byte> word(std::size_t index, std::size_t width) {
    return std::span(file_).subspan(offset_ + io::format::kSectionHeadBytes + index * width, width);
  }
  void set_u32(std::size_t index, std::uint32_t value) { io::store_le(word(index, 4), value); }
  void set_u64(std::size_t index, std::uint64_t value) { io::store_le(word(index, 8), value); }
  std::uint32_t u32(std::size_t index) { return io::load_le<std::uint32_t>(word(index, 4)); }
  std::uint64_t u64(std::size_t index) { return io::load_le<std::uint64_t>(word(index, 8)); }
  // In the graph section, the 4-byte word that holds `slot`'s layer-0 link
  // count: after the padding word and the padding, 2m + 1 words per slot.
  std::size_t layer_zero_list(std::size_t slot, std::size_t m) {
    return (sizeof(std::uint64_t) + u64(0)) / sizeof(std::uint32_t) + slot * (2 * m + 1);
  }
  void reseal() { reseal_section(file_, offset_); }

 private:
  Bytes& file_;
  std::size_t offset_;
};

TEST(IoGraph, DamagedLinksLevelsAndIdsAreNamed) {
  GraphIndex index = empty_graph();
  add_rows(index, 12, 4, 40);
  const Bytes valid = encoded(index);
  Bytes probe = valid;
  const std::size_t m = index.params().m;
  SectionEdit probe_links(probe, kGraphSection);
  ASSERT_GE(probe_links.u32(probe_links.layer_zero_list(0, m)), 2u);
  // Slot 0's layer-0 list: its count, then its links.
  const auto at = [m](SectionEdit& e, std::size_t i) { return e.layer_zero_list(0, m) + i; };
  const std::pair<std::function<void(SectionEdit&)>, std::string> links[] = {
      {[&](SectionEdit& e) { e.set_u32(at(e, 1), 12); },
       "slot 0 links to 12 on layer 0, past the last"},
      {[&](SectionEdit& e) { e.set_u32(at(e, 1), 0); }, "slot 0 links to 0 on layer 0: itself"},
      {[&](SectionEdit& e) { e.set_u32(at(e, 2), e.u32(at(e, 1))); }, "on layer 0 twice"},
      {[&](SectionEdit& e) { e.set_u32(at(e, 0), 9); }, "slot 0 has 9 links on layer 0, at most 8"},
      {[&](SectionEdit& e) { e.set_u64(0, 9); }, "pads its lists with 9 bytes"},
  };
  for (const auto& [damage, phrase] : links) {
    Bytes broken = valid;
    SectionEdit edit(broken, kGraphSection);
    damage(edit);
    edit.reseal();
    EXPECT_NE(decode_error(broken).find(phrase), std::string::npos) << decode_error(broken);
  }
  Bytes layers = valid;
  io::store_le(std::span(layers).subspan(kLayersOffset), std::uint64_t{index.top_level()} + 2);
  reseal_header(layers);
  EXPECT_NE(decode_error(layers).find("but the levels reach"), std::string::npos);

  Bytes high = valid;
  SectionEdit levels(high, kLevelsSection);
  levels.word(0, 1)[0] = std::byte{graph::kMaxLevel + 1};
  levels.reseal();
  io::store_le(std::span(high).subspan(kLayersOffset), std::uint64_t{graph::kMaxLevel + 2});
  reseal_header(high);
  EXPECT_NE(decode_error(high).find("slot 0 has level 25, above the highest level 24"),
            std::string::npos)
      << decode_error(high);

  Bytes repeated = valid;
  SectionEdit labels(repeated, kLabelsSection);
  std::ranges::copy(labels.word(0, 8), labels.word(1, 8).begin());
  labels.reseal();
  EXPECT_NE(decode_error(repeated).find("ids repeat"), std::string::npos) << decode_error(repeated);
}

TEST(IoGraph, FreeSlotsRoundTripAndTheirFaultsAreNamed) {
  GraphIndex index = empty_graph();
  add_rows(index, 12, 5, 40);
  NeverInterrupt never;
  graph::ThreadRunner runner(2, never);
  const std::vector<std::uint64_t> removed = {43, 47, 50};
  ASSERT_TRUE(index.remove(removed, runner).has_value());
  const Bytes valid = encoded(index);
  ASSERT_EQ(section_offsets(valid).size(), kFreeSlotsSection + 1);
  GraphIndex copy = loaded(valid);
  EXPECT_EQ(encoded(copy), valid);
  for (GraphIndex* grown : {&index, &copy}) add_rows(*grown, 2, 6, std::nullopt);
  EXPECT_EQ(encoded(copy), encoded(index));

  Bytes twice = valid;
  SectionEdit free(twice, kFreeSlotsSection);
  free.set_u32(1, free.u32(0));
  free.reseal();
  EXPECT_NE(decode_error(twice).find("free slot 3 is listed twice"), std::string::npos)
      << decode_error(twice);
  Bytes to_free = valid;
  SectionEdit links(to_free, kGraphSection);
  links.set_u32(links.layer_zero_list(0, index.params().m) + 1, 3);
  links.reseal();
  EXPECT_NE(decode_error(to_free).find("slot 0 links to 3 on layer 0, a free slot"),
            std::string::npos)
      << decode_error(to_free);
}

// 2^64 - 1 is a free slot's mark in the id map: read as an id, its vector
// would show as -1 and could not be removed. A next id past 2^63 would make
// the next default ids too large.
TEST(IoGraph, IdsAndTheNextIdPast63BitsAreRefusedNamingTheSection) {
  GraphIndex index = empty_graph();
  add_rows(index, 12, 4, 40);
  const Bytes valid = encoded(index);
  Bytes all_ones = valid;
  SectionEdit labels(all_ones, kLabelsSection);
  labels.set_u64(3, ~std::uint64_t{0});
  labels.reseal();
  EXPECT_NE(decode_error(all_ones).find("the labels section gives id 18446744073709551615 to "
                                        "live slot 3, above 2^63 - 1"),
            std::string::npos)
      << decode_error(all_ones);
  Bytes next = valid;
  SectionEdit state(next, kBuildStateSection);
  state.set_u64(1, (std::uint64_t{1} << 63) + 1);
  state.reseal();
  EXPECT_NE(decode_error(next).find("the build state section gives the next id "
                                    "9223372036854775809, above 2^63"),
            std::string::npos)
      << decode_error(next);
}

// A build leaves every live node of a layer reachable from the entry; a
// graph read back without that would lose its nodes to every search.
TEST(IoGraph, AGraphWithNodesTheEntryDoesNotReachIsRefused) {
  GraphIndex index = empty_graph();
  add_rows(index, 40, 4, std::nullopt);
  graph::GraphParts parts = index.parts();
  std::vector<std::uint32_t> unlinked;
  for (const std::uint8_t level : parts.levels) unlinked.insert(unlinked.end(), level + 1u, 0u);
  parts.links = unlinked;
  const auto refused = GraphIndex::from_parts(parts);
  ASSERT_FALSE(refused.has_value());
  EXPECT_NE(
      refused.error().reason.find("is not reached from the entry " + std::to_string(index.entry())),
      std::string::npos)
      << refused.error().reason;
}

// The level draw reaches level 5 at most for m = 1024: a higher level would
// only make the fixed-size upper lists take memory no file backs.
TEST(IoGraph, LevelsAboveWhatTheDrawGivesForMAreRefused) {
  auto index = GraphIndex::create({.dim = 1,
                                   .metric = MetricKind::Euclidean,
                                   .m = 1024,
                                   .ef_construction = 16,
                                   .ef_search = 8,
                                   .seed = 3,
                                   .schema = std::nullopt,
                                   .walk = graph::WalkKind::Exact});
  ASSERT_TRUE(index.has_value());
  EXPECT_EQ(graph::highest_drawn_level(1024), 5u);
  EXPECT_EQ(graph::highest_drawn_level(2), graph::kMaxLevel);
  graph::GraphParts parts = index->parts();
  parts.count = 2;
  parts.vectors = {1.0, 2.0};
  parts.levels = {6, 0};
  parts.links = {1, 1, 0, 0, 0, 0, 0, 0, 1, 0};
  parts.next_id = 2;
  const auto refused = GraphIndex::from_parts(parts);
  ASSERT_FALSE(refused.has_value());
  EXPECT_NE(refused.error().reason.find("slot 0 has level 6, above the highest level 5 for m 1024"),
            std::string::npos)
      << refused.error().reason;
}

// The sections' tags, in file order.
std::vector<io::format::SectionTag> section_tags(const Bytes& file) {
  std::vector<io::format::SectionTag> tags;
  for (const std::size_t offset : section_offsets(file)) {
    tags.push_back(static_cast<io::format::SectionTag>(io::load_le<std::uint32_t>(
        std::span(file).subspan(offset + io::format::kSectionTagOffset))));
  }
  return tags;
}

bool has_code_scale(const Bytes& file) {
  return std::ranges::count(section_tags(file), io::format::SectionTag::CodeScale) == 1;
}

// The float32 codes' scale is written only where the live vectors would
// not set it again: after data that fit it without setting it (larger than
// the first, not large enough to lower it), and after the vectors that set
// it are removed. Every copy encodes and grows as the original, through an
// addition that lowers the scale and a removal.
TEST(IoGraph, AFloat32ScaleIsKeptWhereTheVectorsWouldNotSetItAgain) {
  for (const auto metric : {MetricKind::Euclidean, MetricKind::InnerProduct}) {
    GraphIndex plain = empty_graph(graph::WalkKind::Float32, metric, kGrowthDim);
    add_rows(plain, 100, 1, std::nullopt, [](double x) { return 1e3 * x; });
    EXPECT_FALSE(has_code_scale(encoded(plain)));
    GraphIndex far = empty_graph(graph::WalkKind::Float32, metric, kGrowthDim);
    add_rows(far, 100, 1, std::nullopt, [](double x) { return 1e19 * x; });
    EXPECT_FALSE(has_code_scale(encoded(far)));

    GraphIndex original = empty_graph(graph::WalkKind::Float32, metric, kGrowthDim);
    add_rows(original, 150, 2, std::nullopt, [](double x) { return 1e-40 * x; });
    EXPECT_FALSE(has_code_scale(encoded(original)));
    NeverInterrupt never;
    graph::ThreadRunner runner(2, never);
    const std::vector<std::uint64_t> wide = {2000, 2001, 2002, 2003};
    const std::vector<std::function<void(GraphIndex&)>> steps = {
        [](GraphIndex& index) { add_rows(index, 60, 3, 1000, [](double x) { return 1e-30 * x; }); },
        [](GraphIndex& index) { add_rows(index, 4, 4, 2000, [](double x) { return 1e19 * x; }); },
        [&](GraphIndex& index) { ASSERT_TRUE(index.remove(wide, runner).has_value()); },
        [](GraphIndex& index) { add_rows(index, 30, 5, 3000, [](double x) { return 1e-35 * x; }); },
    };
    const bool scale_written[] = {true, false, true, true};
    std::vector<GraphIndex> copies;
    for (std::size_t step = 0; step < steps.size(); ++step) {
      SCOPED_TRACE(step);
      steps[step](original);
      for (GraphIndex& copy : copies) steps[step](copy);
      const Bytes saved = encoded(original);
      EXPECT_EQ(has_code_scale(saved), scale_written[step]);
      for (const GraphIndex& copy : copies) EXPECT_EQ(encoded(copy), saved);
      copies.push_back(loaded(saved));
      EXPECT_EQ(encoded(copies.back()), saved);
      EXPECT_EQ(copies.back().codes()->scale(), original.codes()->scale());
    }
  }
}

TEST(IoGraph, ADamagedCodeScaleIsRefusedNamingTheFault) {
  GraphIndex index = empty_graph(graph::WalkKind::Float32, MetricKind::Euclidean, kGrowthDim);
  add_rows(index, 50, 1, std::nullopt, [](double x) { return 1e-40 * x; });
  add_rows(index, 20, 2, std::nullopt, [](double x) { return 1e-30 * x; });
  const Bytes valid = encoded(index);
  ASSERT_TRUE(has_code_scale(valid));
  const std::size_t section = section_offsets(valid).size() - 1;
  const std::pair<std::pair<std::uint64_t, std::uint64_t>, std::string> damages[] = {
      {{2, 0}, "the code scale section's first word is 2, not 0 or 1"},
      {{1, 1075}, "the code scale section gives exponent 1075, outside -1023 .. 1074"},
      {{1, static_cast<std::uint64_t>(std::int64_t{-1024})},
       "the code scale section gives exponent -1024, outside -1023 .. 1074"},
      {{1, std::uint64_t{1} << 40},
       "the code scale section gives exponent 1099511627776, outside -1023 .. 1074"},
      {{0, 5}, "the code scale section gives exponent 5 to an unset scale, expected 0"},
  };
  for (const auto& [words, phrase] : damages) {
    Bytes broken = valid;
    SectionEdit edit(broken, section);
    edit.set_u64(0, words.first);
    edit.set_u64(1, words.second);
    edit.reseal();
    EXPECT_NE(decode_error(broken).find(phrase), std::string::npos) << decode_error(broken);
  }
  // A sensible exponent the vectors do not fit is lowered, as an addition
  // would lower it.
  Bytes high = valid;
  SectionEdit edit(high, section);
  edit.set_u64(1, 1074);
  edit.reseal();
  const GraphIndex lowered = loaded(high);
  EXPECT_EQ(lowered.codes()->scale(), index.codes()->scale_of(index.stored_rows()));

  // Only float32 codes of magnitudes hold one.
  for (const auto& [walk, metric, phrase] :
       {std::tuple{graph::WalkKind::Exact, MetricKind::Euclidean, "for another walk"},
        std::tuple{graph::WalkKind::Sq8, MetricKind::Euclidean, "for another walk"},
        std::tuple{graph::WalkKind::Float32, MetricKind::Cosine, "under the cosine"}}) {
    GraphIndex other = empty_graph(walk, metric, kGrowthDim);
    add_rows(other, 20, 3, std::nullopt);
    graph::GraphParts parts = other.parts();
    parts.code_scale = codes::Float32Scale{.set = true, .exponent = 3};
    const auto refused = GraphIndex::from_parts(parts);
    ASSERT_FALSE(refused.has_value());
    EXPECT_NE(refused.error().reason.find(phrase), std::string::npos) << refused.error().reason;
  }
}

}  // namespace
}  // namespace halqen::testing
