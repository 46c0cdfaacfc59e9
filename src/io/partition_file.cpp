#include "io/partition_file.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <span>
#include <string>
#include <vector>

#include "codes/product_quantizer.hpp"
#include "common/checked_product.hpp"
#include "graph/label_map.hpp"
#include "io/little_endian.hpp"
#include "io/optional_sections.hpp"
#include "io/payload_cursor.hpp"
#include "io/section.hpp"
#include "io/section_arrays.hpp"

namespace halqen::io {
namespace {

using format::SectionTag;
using partition::PartitionIndex;

constexpr std::uint64_t kFrameBytes = format::kSectionHeadBytes + format::kSectionChecksumBytes;
constexpr std::uint64_t kStateWords = 5;
constexpr std::uint64_t kWord = sizeof(std::uint64_t);
constexpr std::uint64_t kSlotBytes = sizeof(std::uint32_t);
// Rows are written through a buffer of about this many numbers.
constexpr std::size_t kNumbersPerPiece = std::size_t{1} << 16;

bool has_labels(const PartitionIndex& index) {
  return !index.explicit_labels().empty();
}

std::uint64_t rows_bytes(const PartitionIndex& index) {
  return std::uint64_t{index.slot_count()} * index.dim() * sizeof(double);
}

std::uint64_t centroids_bytes(const PartitionIndex& index) {
  return kWord + (index.centroids().size() + index.codebooks().size()) * sizeof(double);
}

std::uint64_t lists_bytes(const PartitionIndex& index) {
  std::uint64_t bytes = 0;
  const partition::PartitionLists& lists = index.lists();
  for (std::uint32_t p = 0; p < index.partitions(); ++p) {
    bytes += 2 * kWord + (lists.members(p).size() + lists.exceptions(p).size()) * kSlotBytes +
             lists.block_bytes_of(p).size();
  }
  return bytes;
}

FileHeader partition_header(const PartitionIndex& index) {
  using Kind = FileKind<PartitionIndex>;
  return {.version = Kind::kVersion,
          .kind = Kind::kCode,
          .metric = index.params().metric,
          .section_count =
              static_cast<std::uint32_t>(Kind::kSections.size() + (has_labels(index) ? 1 : 0)),
          .dim = index.dim(),
          .count = index.slot_count()};
}

std::expected<void, CodecError> write_rows(const PartitionIndex& index, ByteSink& sink) {
  auto section = SectionWriter::begin(sink, SectionTag::Vectors, rows_bytes(index));
  if (!section) return std::unexpected(section.error());
  const std::size_t dim = index.dim();
  const std::size_t rows_per_piece = std::max<std::size_t>(1, kNumbersPerPiece / dim);
  std::vector<double> piece;
  for (std::uint32_t first = 0; first < index.slot_count(); first += rows_per_piece) {
    const std::uint32_t end = static_cast<std::uint32_t>(
        std::min<std::size_t>(index.slot_count(), first + rows_per_piece));
    piece.resize((end - first) * dim);
    for (std::uint32_t slot = first; slot < end; ++slot) {
      index.copy_vector(slot, piece.data() + (slot - first) * dim);
    }
    if (auto written = section->write_values<double>(piece); !written) return written;
  }
  return section->finish();
}

std::expected<void, CodecError> write_state(const PartitionIndex& index, ByteSink& sink) {
  const std::array<std::uint64_t, kStateWords> state = {
      index.params().seed, index.next_default(), index.trained_at(), index.params().partitions,
      std::bit_cast<std::uint64_t>(index.code_error_limit())};
  return write_array_section<std::uint64_t>(sink, SectionTag::PartitionState, state);
}

std::expected<void, CodecError> write_centroids(const PartitionIndex& index, ByteSink& sink) {
  auto section = SectionWriter::begin(sink, SectionTag::Centroids, centroids_bytes(index));
  if (!section) return std::unexpected(section.error());
  const std::array<std::uint64_t, 1> partitions = {index.partitions()};
  if (auto written = section->write_values<std::uint64_t>(partitions); !written) return written;
  if (auto written = section->write_values(index.centroids()); !written) return written;
  if (auto written = section->write_values(index.codebooks()); !written) return written;
  return section->finish();
}

std::expected<void, CodecError> write_lists(const PartitionIndex& index, ByteSink& sink) {
  auto section = SectionWriter::begin(sink, SectionTag::PartitionLists, lists_bytes(index));
  if (!section) return std::unexpected(section.error());
  const partition::PartitionLists& lists = index.lists();
  for (std::uint32_t p = 0; p < index.partitions(); ++p) {
    const std::array<std::uint64_t, 1> count = {lists.members(p).size()};
    if (auto written = section->write_values<std::uint64_t>(count); !written) return written;
    if (auto written = section->write_values(lists.members(p)); !written) return written;
    if (auto written = section->write_values(lists.block_bytes_of(p)); !written) return written;
    const std::array<std::uint64_t, 1> exceptions = {lists.exceptions(p).size()};
    if (auto written = section->write_values<std::uint64_t>(exceptions); !written) return written;
    if (auto written = section->write_values(lists.exceptions(p)); !written) return written;
  }
  return section->finish();
}

std::expected<void, CodecError> read_state(ByteSource& source, partition::PartitionParts& parts,
                                           Interrupt& interrupt) {
  std::vector<std::uint64_t> state;
  if (auto got = read_array_section(source, SectionTag::PartitionState, kStateWords, state,
                                    "the seed, the next id, the trained count, the partitions "
                                    "and the code error limit",
                                    interrupt);
      !got) {
    return got;
  }
  if (state[1] > graph::kLargestId + 1) {
    return std::unexpected(CodecError::format("the partition state section gives the next id " +
                                              std::to_string(state[1]) + ", above 2^63"));
  }
  if (state[3] > partition::kMaxPartitions) {
    return std::unexpected(CodecError::format("the partition state section asks for " +
                                              std::to_string(state[3]) + " partitions, above " +
                                              std::to_string(partition::kMaxPartitions)));
  }
  parts.params.seed = state[0];
  parts.next_default = state[1];
  parts.trained_at = state[2];
  parts.params.partitions = state[3];
  parts.code_error_limit = std::bit_cast<double>(state[4]);
  return {};
}

std::expected<void, CodecError> read_centroids(ByteSource& source, partition::PartitionParts& parts,
                                               Interrupt& interrupt) {
  auto section = SectionReader::open(source, SectionTag::Centroids, std::nullopt);
  if (!section) return std::unexpected(section.error());
  std::vector<std::uint64_t> lead;
  if (section->length() < kWord) {
    return std::unexpected(CodecError::format("the centroids section holds " +
                                              std::to_string(section->length()) + " bytes"));
  }
  if (auto got = section->read_values_growing(lead, 1, interrupt); !got) return got;
  const std::uint64_t partitions = lead[0];
  const std::uint64_t dim = parts.params.dim;
  if (dim == 0 || dim > partition::kMaxDim) {
    return std::unexpected(CodecError::format("dim " + std::to_string(dim) +
                                              " is out of range for a partition index"));
  }
  const auto centroid_numbers = checked_product(partitions, dim);
  const std::uint64_t code_numbers = partitions == 0 ? 0 : dim * codes::kNibbleCentroids;
  const auto numbers_bytes =
      centroid_numbers && *centroid_numbers <= (~std::uint64_t{0} - code_numbers) / sizeof(double)
          ? std::optional((*centroid_numbers + code_numbers) * sizeof(double))
          : std::nullopt;
  if (partitions > partition::kMaxPartitions || !numbers_bytes ||
      *numbers_bytes != section->length() - kWord) {
    return std::unexpected(CodecError::format(
        "the centroids section holds " + std::to_string(section->length()) + " bytes for " +
        std::to_string(partitions) + " partitions of dim " + std::to_string(dim)));
  }
  if (auto got = section->read_values_growing(parts.centroids, *centroid_numbers, interrupt);
      !got) {
    return got;
  }
  if (auto got = section->read_values_growing(parts.codebooks, code_numbers, interrupt); !got) {
    return got;
  }
  return section->finish();
}

std::expected<std::vector<std::uint32_t>, CodecError> take_members(PayloadCursor& cursor) {
  auto count = cursor.take_le<std::uint64_t>();
  if (!count) return std::unexpected(count.error());
  // The cursor refuses a count its bytes do not hold before it is sized.
  const auto bytes = checked_product(*count, kSlotBytes);
  auto taken = cursor.take(bytes ? *bytes : ~std::uint64_t{0});
  if (!taken) return std::unexpected(taken.error());
  std::vector<std::uint32_t> members(*count);
  for (std::size_t i = 0; i < members.size(); ++i) {
    members[i] = load_le<std::uint32_t>(taken->subspan(i * kSlotBytes, kSlotBytes));
  }
  return members;
}

std::expected<void, CodecError> read_lists(ByteSource& source, partition::PartitionParts& parts,
                                           Interrupt& interrupt) {
  auto payload = read_small_section(source, SectionTag::PartitionLists, interrupt);
  if (!payload) return std::unexpected(payload.error());
  PayloadCursor cursor(std::as_bytes(std::span(*payload)), "partition lists");
  const std::size_t partitions =
      parts.centroids.size() / std::max<std::uint64_t>(1, parts.params.dim);
  const partition::PartitionLists shape(0, partition::code_subspaces(parts.params.dim));
  for (std::size_t p = 0; p < partitions; ++p) {
    auto members = take_members(cursor);
    if (!members) return std::unexpected(members.error());
    auto blocks = cursor.take(shape.blocks_for(members->size()));
    if (!blocks) return std::unexpected(blocks.error());
    const auto* first = reinterpret_cast<const std::uint8_t*>(blocks->data());
    parts.blocks.emplace_back(first, first + blocks->size());
    parts.members.push_back(std::move(*members));
    auto exceptions = take_members(cursor);
    if (!exceptions) return std::unexpected(exceptions.error());
    parts.exceptions.push_back(std::move(*exceptions));
  }
  return cursor.expect_end();
}

std::expected<void, CodecError> read_labels(SectionReader& section, std::uint64_t slots,
                                            partition::PartitionParts& parts,
                                            Interrupt& interrupt) {
  const std::uint64_t expected = slots * kWord;
  if (section.length() != expected) {
    return std::unexpected(CodecError::format(
        "the labels section holds " + std::to_string(section.length()) + " bytes, expected " +
        std::to_string(expected) + " for " + count_of(slots, "slots")));
  }
  return section.read_values_growing(parts.labels, slots, interrupt);
}

}  // namespace

std::uint64_t FileKind<PartitionIndex>::encoded_size(const PartitionIndex& index) {
  const std::uint64_t labels =
      has_labels(index) ? kFrameBytes + std::uint64_t{index.slot_count()} * kWord : 0;
  return format::kHeaderBytes + kSections.size() * kFrameBytes + rows_bytes(index) +
         kStateWords * kWord + centroids_bytes(index) + lists_bytes(index) + labels;
}

std::expected<void, CodecError> FileKind<PartitionIndex>::encode(const PartitionIndex& index,
                                                                 ByteSink& sink) {
  if (auto written = sink.write(encode_header(partition_header(index))); !written) return written;
  if (auto written = write_rows(index, sink); !written) return written;
  if (auto written = write_state(index, sink); !written) return written;
  if (auto written = write_centroids(index, sink); !written) return written;
  if (auto written = write_lists(index, sink); !written) return written;
  if (has_labels(index)) {
    return write_array_section<std::uint64_t>(sink, SectionTag::Labels, index.explicit_labels());
  }
  return {};
}

std::expected<partition::PartitionParts, CodecError> FileKind<PartitionIndex>::decode(
    ByteSource& source, const FileHeader& header, Interrupt& interrupt) {
  partition::PartitionParts parts;
  parts.params.dim = header.dim;
  parts.params.metric = header.metric;
  parts.slots = header.count;
  if (auto got = read_vectors(source, header, parts.rows, interrupt); !got) {
    return std::unexpected(got.error());
  }
  if (auto got = read_state(source, parts, interrupt); !got) return std::unexpected(got.error());
  if (auto got = read_centroids(source, parts, interrupt); !got) {
    return std::unexpected(got.error());
  }
  if (auto got = read_lists(source, parts, interrupt); !got) return std::unexpected(got.error());
  const std::array<OptionalSection, 1> optional = {
      OptionalSection{SectionTag::Labels, [&](SectionReader& section) {
                        return read_labels(section, header.count, parts, interrupt);
                      }}};
  if (auto got = read_optional_sections(source, header, kSections.size(), optional); !got) {
    return std::unexpected(got.error());
  }
  return parts;
}

}  // namespace halqen::io
