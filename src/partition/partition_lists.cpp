#include "partition/partition_lists.hpp"

#include <algorithm>
#include <utility>

#include "codes/code_kernels.hpp"
#include "codes/nibble_block.hpp"

namespace halqen::partition {

using codes::kNibbleBlock;

PartitionLists::PartitionLists(std::size_t partitions, std::size_t subspaces)
    : subspaces_(subspaces),
      block_bytes_(codes::nibble_block_bytes(subspaces)),
      members_(partitions),
      blocks_(partitions),
      exceptions_(partitions) {}

PartitionLists::PartitionLists(std::size_t subspaces, std::size_t slots,
                               std::vector<std::vector<std::uint32_t>> members,
                               std::vector<std::vector<std::uint8_t>> blocks,
                               std::vector<std::vector<std::uint32_t>> exceptions)
    : subspaces_(subspaces),
      block_bytes_(codes::nibble_block_bytes(subspaces)),
      members_(std::move(members)),
      blocks_(std::move(blocks)),
      exceptions_(std::move(exceptions)),
      partition_of_(slots, kNone) {
  for (std::uint32_t p = 0; p < members_.size(); ++p) {
    for (std::uint32_t i = 0; i < members_[p].size(); ++i) {
      partition_of_[members_[p][i]] = p;
    }
    for (std::uint32_t i = 0; i < exceptions_[p].size(); ++i) {
      partition_of_[exceptions_[p][i]] = p | kExceptional;
    }
  }
}

std::uint8_t* PartitionLists::block_of(std::uint32_t partition, std::size_t position) {
  return blocks_[partition].data() + position / kNibbleBlock * block_bytes_;
}

void PartitionLists::add(std::uint32_t partition, std::uint32_t slot,
                         std::span<const std::uint8_t> codes) {
  std::vector<std::uint32_t>& list = members_[partition];
  const std::size_t position = list.size();
  if (position % kNibbleBlock == 0)
    blocks_[partition].resize(blocks_[partition].size() + block_bytes_, 0);
  list.push_back(slot);
  codes::put_nibble_codes(block_of(partition, position), position % kNibbleBlock, codes);
  place(slot, partition);
}

void PartitionLists::place(std::uint32_t slot, std::uint32_t partition) {
  if (partition_of_.size() <= slot) partition_of_.resize(slot + std::size_t{1}, kNone);
  partition_of_[slot] = partition;
}

void PartitionLists::add_exception(std::uint32_t partition, std::uint32_t slot) {
  exceptions_[partition].push_back(slot);
  place(slot, partition | kExceptional);
}

void PartitionLists::remove(std::uint32_t slot) {
  if ((partition_of_[slot] & kExceptional) != 0) {
    std::vector<std::uint32_t>& list = exceptions_[partition_of_[slot] & ~kExceptional];
    *std::ranges::find(list, slot) = list.back();
    list.pop_back();
    partition_of_[slot] = kNone;
    return;
  }
  const std::uint32_t partition = partition_of_[slot];
  std::vector<std::uint32_t>& list = members_[partition];
  // A list is searched for its member rather than every slot keeping its
  // place: a removal reads one list, and memory keeps 4 bytes a vector.
  const auto position = static_cast<std::size_t>(std::ranges::find(list, slot) - list.begin());
  const std::size_t last = list.size() - 1;
  std::vector<std::uint8_t> codes(subspaces_);
  std::uint8_t* last_block = block_of(partition, last);
  for (std::size_t s = 0; s < subspaces_; ++s) {
    codes[s] = codes::nibble_code(last_block, last % kNibbleBlock, s);
  }
  if (position != last) {
    codes::put_nibble_codes(block_of(partition, position), position % kNibbleBlock, codes);
    list[position] = list[last];
  }
  std::ranges::fill(codes, 0);
  codes::put_nibble_codes(last_block, last % kNibbleBlock, codes);
  list.pop_back();
  if (list.size() % kNibbleBlock == 0)
    blocks_[partition].resize(blocks_[partition].size() - block_bytes_);
  partition_of_[slot] = kNone;
}

void PartitionLists::shrink_to_fit() {
  for (std::size_t p = 0; p < members_.size(); ++p) {
    members_[p].shrink_to_fit();
    blocks_[p].shrink_to_fit();
    exceptions_[p].shrink_to_fit();
  }
  partition_of_.shrink_to_fit();
}

std::uint64_t PartitionLists::heap_bytes() const {
  std::uint64_t bytes = partition_of_.capacity() * sizeof(std::uint32_t);
  for (std::size_t p = 0; p < members_.size(); ++p) {
    bytes += (members_[p].capacity() + exceptions_[p].capacity()) * sizeof(std::uint32_t) +
             blocks_[p].capacity();
  }
  return bytes;
}

}  // namespace halqen::partition
