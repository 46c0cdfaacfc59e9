// Round trips through the codec: every part of a flat or graph index comes
// back bit for bit, from memory and from a file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <variant>

#include "filter/filter.hpp"
#include "io/byte_source.hpp"
#include "io/decode.hpp"
#include "io/file_io.hpp"
#include "io/temporary_file.hpp"
#include "stop_after.hpp"
#include "test_io_support.hpp"

namespace halqen::testing {
namespace {

constexpr MetricKind kAllMetrics[] = {MetricKind::Euclidean, MetricKind::Cosine,
                                      MetricKind::InnerProduct};

io::DecodedParts decode_bytes(const Bytes& bytes) {
  io::SpanSource source(bytes);
  auto decoded = io::decode_parts(source);
  EXPECT_TRUE(decoded.has_value()) << decoded.error().message;
  return decoded ? std::move(*decoded) : io::DecodedParts{};
}

void expect_same(const FlatParts& a, const FlatParts& b) {
  EXPECT_EQ(a.dim, b.dim);
  EXPECT_EQ(a.metric, b.metric);
  EXPECT_EQ(a.count, b.count);
  EXPECT_TRUE(same_doubles(a.vectors, b.vectors));
}

void expect_same(const HNSWParts& a, const HNSWParts& b) {
  EXPECT_EQ(a.params.dim, b.params.dim);
  EXPECT_EQ(a.params.layers, b.params.layers);
  EXPECT_EQ(a.params.m, b.params.m);
  EXPECT_EQ(a.params.ef_construction, b.params.ef_construction);
  EXPECT_EQ(a.params.ef_search, b.params.ef_search);
  EXPECT_EQ(a.params.metric, b.params.metric);
  EXPECT_EQ(a.params.schema, b.params.schema);
  EXPECT_EQ(a.count, b.count);
  EXPECT_TRUE(same_doubles(a.vectors, b.vectors));
  EXPECT_EQ(a.levels, b.levels);
  EXPECT_EQ(a.neighbor_offsets, b.neighbor_offsets);
  EXPECT_EQ(a.neighbor_ids, b.neighbor_ids);
  EXPECT_TRUE(same_records(a.records, b.records));
}

TEST(IoCodec, FlatRoundTripsEveryMetricAndShape) {
  for (const MetricKind metric : kAllMetrics) {
    for (const auto& [count, dim] :
         {std::pair<std::uint64_t, std::uint64_t>{0, 3}, {1, 1}, {57, 13}, {5, 0}, {0, 0}}) {
      auto parts = random_flat_parts(count, dim, metric, count * 31 + dim);
      if (!parts.vectors.empty()) parts.vectors[0] = std::numeric_limits<double>::quiet_NaN();
      if (parts.vectors.size() > 1) parts.vectors[1] = -0.0;
      const auto decoded = decode_bytes(encode_to_bytes(view_of(parts)));
      ASSERT_TRUE(std::holds_alternative<FlatParts>(decoded));
      expect_same(parts, std::get<FlatParts>(decoded));
    }
  }
}

TEST(IoCodec, GraphRoundTripsEveryMetricSchemaAndDegenerateParameters) {
  const std::optional<Schema> schemas[] = {std::nullopt, Schema{}, Schema{"color", "", "color"}};
  std::uint64_t seed = 1;
  for (const MetricKind metric : kAllMetrics) {
    for (const auto& schema : schemas) {
      for (const std::uint64_t layers : {0, 1, 5}) {
        for (const std::uint64_t ef_construction : {0, 8}) {
          HNSWParams params{.dim = 6,
                            .layers = layers,
                            .m = 3,
                            .ef_construction = ef_construction,
                            .ef_search = 7,
                            .metric = metric,
                            .schema = schema};
          const auto parts = built_hnsw_parts(params, 40, ++seed);
          const auto decoded = decode_bytes(encode_to_bytes(view_of(parts)));
          ASSERT_TRUE(std::holds_alternative<HNSWParts>(decoded));
          expect_same(parts, std::get<HNSWParts>(decoded));
        }
      }
    }
  }
}

TEST(IoCodec, FileRoundTripEqualsMemoryEncodingAndReplacesAtomically) {
  const auto parts = built_hnsw_parts({.dim = 4, .schema = Schema{"a"}}, 300, 7);
  const auto view = view_of(parts);
  const auto in_memory = encode_to_bytes(view);
  const auto directory =
      std::filesystem::temp_directory_path() / ("halqen-io-test-" + std::to_string(::getpid()));
  std::filesystem::create_directories(directory);
  const auto path = (directory / "index.hq").string();

  ASSERT_TRUE(io::write_file_atomically(path, [&](io::ByteSink& sink) {
                return io::encode(view, sink);
              }).has_value());
  auto opened = io::open_for_reading(path);
  ASSERT_TRUE(opened.has_value());
  ASSERT_EQ(opened->length, in_memory.size());
  Bytes from_file(in_memory.size());
  io::FdSource source(opened->descriptor.get(), opened->length);
  ASSERT_TRUE(source.read(from_file).has_value());
  EXPECT_EQ(from_file, in_memory);

  // A failing encoder leaves the old file and no temporary beside it.
  const auto failed = io::write_file_atomically(path, [](io::ByteSink& sink) {
    const std::byte partial[] = {std::byte{1}};
    (void)sink.write(partial);
    return std::expected<void, io::CodecError>(std::unexpected(io::CodecError::format("stopped")));
  });
  EXPECT_FALSE(failed.has_value());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory), {}), 1);
  EXPECT_EQ(std::filesystem::file_size(path), in_memory.size());

  const auto missing =
      io::write_file_atomically((directory / "no" / "such").string(),
                                [&](io::ByteSink& sink) { return io::encode(view, sink); });
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().os_error, ENOENT);
  EXPECT_EQ(io::open_for_reading((directory / "absent").string()).error().os_error, ENOENT);
  EXPECT_EQ(io::open_for_reading(directory.string()).error().os_error, EISDIR);
  std::filesystem::remove_all(directory);
}

// A large section is read in pieces with a question between them: a stop
// request ends the read there, for both kinds, at every point it is asked.
TEST(IoCodec, ReadingStopsWhenInterrupted) {
  const auto flat = random_flat_parts(20'000, 64, MetricKind::Euclidean, 3);  // 10 MB of vectors
  const auto graph = built_hnsw_parts({.dim = 2, .layers = 3, .schema = Schema{"tag"}}, 40, 4);
  for (const Bytes& file : {encode_to_bytes(view_of(flat)), encode_to_bytes(view_of(graph))}) {
    StopAfter counting(std::numeric_limits<std::uint64_t>::max());
    io::SpanSource whole(file);
    ASSERT_TRUE(io::decode_parts(whole, counting).has_value());
    ASSERT_GE(counting.questions, 2u);
    for (std::uint64_t passing = 0; passing < counting.questions; ++passing) {
      StopAfter stop(passing);
      io::SpanSource source(file);
      const auto decoded = io::decode_parts(source, stop);
      ASSERT_FALSE(decoded.has_value());
      EXPECT_EQ(decoded.error().kind, io::CodecError::Kind::Interrupted);
      EXPECT_EQ(stop.questions, passing + 1);
    }
  }
}

// Where a file system refuses unnamed files: a random name, created
// exclusively, renamed over the target, or removed when not published.
TEST(IoFile, NamedTemporaryFilesArePublishedOrDiscarded) {
  const auto directory =
      std::filesystem::temp_directory_path() / ("halqen-named-" + std::to_string(::getpid()));
  std::filesystem::create_directories(directory);
  const std::string target = (directory / "index.halqen").string();
  auto first = io::create_named_temporary(directory.string());
  auto second = io::create_named_temporary(directory.string());
  ASSERT_TRUE(first.has_value() && second.has_value());
  const std::string prefix = directory.string() + "/.halqen-";
  EXPECT_EQ(first->name.rfind(prefix, 0), 0u);
  EXPECT_EQ(first->name.size(), prefix.size() + 16);
  EXPECT_NE(first->name, second->name);
  ASSERT_EQ(::write(first->descriptor.get(), "new", 3), 3);
  ASSERT_TRUE(io::publish(*first, target).has_value());
  io::discard(*first);  // published: nothing left to remove
  io::discard(*second);
  EXPECT_EQ(std::filesystem::file_size(target), 3u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory), {}), 1);
  std::filesystem::remove_all(directory);
}

template <typename Index>
Index reloaded(const Index& index) {
  const auto bytes = encode_to_bytes(io::view_of(index));
  io::SpanSource source(bytes);
  auto loaded = io::decode_index(source);
  EXPECT_TRUE(loaded.has_value()) << loaded.error().message;
  return std::get<Index>(std::move(*loaded));
}

template <typename Search>
void expect_same_answers(Search search_original, Search search_loaded, std::uint64_t dim,
                         std::uint64_t seed) {
  const auto queries = random_vectors(20, dim, seed);
  for (std::uint64_t q = 0; q < 20; ++q) {
    const auto query = std::span(queries).subspan(q * dim, dim);
    const auto expected = search_original(query);
    const auto actual = search_loaded(query);
    ASSERT_EQ(expected.has_value(), actual.has_value());
    if (expected) {
      EXPECT_TRUE(same_hits(*expected, *actual));
    }
  }
}

TEST(IoCodec, LoadedFlatIndexAnswersAndGrowsLikeTheOriginal) {
  for (const MetricKind metric : kAllMetrics) {
    FlatIndex original(9, metric);
    const auto vectors = random_vectors(200, 9, 5);
    for (std::size_t i = 0; i < 150; ++i) original.insert(std::span(vectors).subspan(i * 9, 9));
    FlatIndex loaded = reloaded(original);
    const auto check = [&] {
      expect_same_answers<
          std::function<std::expected<std::vector<SearchHit>, FlatError>(VectorView)>>(
          [&](VectorView q) { return original.search(q, 17); },
          [&](VectorView q) { return loaded.search(q, 17); }, 9, 6);
    };
    check();
    for (std::size_t i = 150; i < 200; ++i) {
      original.insert(std::span(vectors).subspan(i * 9, 9));
      loaded.insert(std::span(vectors).subspan(i * 9, 9));
    }
    EXPECT_EQ(loaded.size(), 200u);
    check();
  }
}

TEST(IoCodec, LoadedGraphAnswersAndGrowsLikeTheOriginal) {
  for (const MetricKind metric : kAllMetrics) {
    HNSWParams params{.dim = 5,
                      .layers = 4,
                      .ef_construction = 16,
                      .ef_search = 12,
                      .metric = metric,
                      .schema = Schema{"color"}};
    HNSW original(params);
    SplitMixSource levels(9);
    const auto vectors = random_vectors(400, 5, 7);
    const auto insert = [&](HNSW& index, std::size_t i, RandomSource& rng) {
      const MetadataRecord record = {Metadata::Int(static_cast<std::int64_t>(i % 3))};
      ASSERT_TRUE(
          index.insert(std::span(vectors).subspan(i * 5, 5), i % 4 ? &record : nullptr, rng));
    };
    for (std::size_t i = 0; i < 300; ++i) insert(original, i, levels);
    HNSW loaded = reloaded(original);
    const Filter filter = equality_filter("color", Metadata::Int(1));
    const auto check = [&] {
      for (const Filter* f : {static_cast<const Filter*>(nullptr), &filter}) {
        expect_same_answers<
            std::function<std::expected<std::vector<SearchHit>, HNSWError>(VectorView)>>(
            [&](VectorView q) { return original.search(q, 9, f); },
            [&](VectorView q) { return loaded.search(q, 9, f); }, 5, 8);
      }
    };
    check();
    SplitMixSource original_levels(10);
    SplitMixSource loaded_levels(10);
    for (std::size_t i = 300; i < 400; ++i) {
      insert(original, i, original_levels);
      insert(loaded, i, loaded_levels);
    }
    EXPECT_EQ(encode_to_bytes(io::view_of(original)), encode_to_bytes(io::view_of(loaded)));
    check();
  }
}

}  // namespace
}  // namespace halqen::testing
