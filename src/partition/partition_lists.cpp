#include "partition/partition_lists.hpp"

#include <algorithm>

#include "codes/code_kernels.hpp"
#include "codes/nibble_block.hpp"

namespace halqen::partition {

using codes::kNibbleBlock;

PartitionLists::PartitionLists(std::size_t partitions, std::size_t subspaces)
    : subspaces_(subspaces),
      block_bytes_(codes::nibble_block_bytes(subspaces)),
      members_(partitions),
      blocks_(partitions) {}

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
  if (partition_of_.size() <= slot) {
    partition_of_.resize(slot + std::size_t{1}, kNone);
    position_.resize(slot + std::size_t{1}, 0);
  }
  partition_of_[slot] = partition;
  position_[slot] = static_cast<std::uint32_t>(position);
}

void PartitionLists::remove(std::uint32_t slot) {
  const std::uint32_t partition = partition_of_[slot];
  std::vector<std::uint32_t>& list = members_[partition];
  const std::size_t position = position_[slot];
  const std::size_t last = list.size() - 1;
  std::vector<std::uint8_t> codes(subspaces_);
  std::uint8_t* last_block = block_of(partition, last);
  for (std::size_t s = 0; s < subspaces_; ++s) {
    codes[s] = codes::nibble_code(last_block, last % kNibbleBlock, s);
  }
  if (position != last) {
    codes::put_nibble_codes(block_of(partition, position), position % kNibbleBlock, codes);
    list[position] = list[last];
    position_[list[position]] = static_cast<std::uint32_t>(position);
  }
  std::ranges::fill(codes, 0);
  codes::put_nibble_codes(last_block, last % kNibbleBlock, codes);
  list.pop_back();
  if (list.size() % kNibbleBlock == 0)
    blocks_[partition].resize(blocks_[partition].size() - block_bytes_);
  partition_of_[slot] = kNone;
}

std::uint64_t PartitionLists::heap_bytes() const {
  std::uint64_t bytes = (partition_of_.capacity() + position_.capacity()) * sizeof(std::uint32_t);
  for (std::size_t p = 0; p < members_.size(); ++p) {
    bytes += members_[p].capacity() * sizeof(std::uint32_t) + blocks_[p].capacity();
  }
  return bytes;
}

}  // namespace halqen::partition
