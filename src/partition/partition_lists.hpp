// The members of each partition of a partition index, and their 4-bit
// product codes laid out in blocks of kNibbleBlock for the scan: member i of
// a list is vector i % 32 of its block i / 32. Removing a member moves the
// list's last one into its place, so the blocks stay full but the last.
// A partition's exceptions are members kept without codes (their codes would
// misplace them), which a search of the partition scores exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codes/nibble_block.hpp"

namespace halqen::partition {

class PartitionLists {
 public:
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};

  PartitionLists(std::size_t partitions, std::size_t subspaces);
  // Lists as saved: each partition's members, in order, and its blocks.
  // Preconditions: every member below `slots` and in one list at most;
  // each list's blocks exactly blocks_for(its members) bytes.
  PartitionLists(std::size_t subspaces, std::size_t slots,
                 std::vector<std::vector<std::uint32_t>> members,
                 std::vector<std::vector<std::uint8_t>> blocks,
                 std::vector<std::vector<std::uint32_t>> exceptions);
  // The bytes of the blocks that hold `members` codes.
  std::size_t blocks_for(std::size_t members) const {
    return (members + codes::kNibbleBlock - 1) / codes::kNibbleBlock * block_bytes_;
  }

  std::size_t partitions() const { return members_.size(); }
  std::size_t block_bytes() const { return block_bytes_; }
  // Appends `slot` with `codes` (one per subspace) to `partition`'s list.
  void add(std::uint32_t partition, std::uint32_t slot, std::span<const std::uint8_t> codes);
  // Appends `slot` to `partition`'s exceptions.
  void add_exception(std::uint32_t partition, std::uint32_t slot);
  // Takes `slot` out of its list (precondition: it is in one).
  void remove(std::uint32_t slot);
  // The partition holding `slot`, or kNone.
  std::uint32_t partition_of(std::uint32_t slot) const {
    if (slot >= partition_of_.size() || partition_of_[slot] == kNone) return kNone;
    return partition_of_[slot] & ~kExceptional;
  }
  std::span<const std::uint32_t> members(std::uint32_t partition) const {
    return members_[partition];
  }
  std::span<const std::uint32_t> exceptions(std::uint32_t partition) const {
    return exceptions_[partition];
  }
  // The list's blocks: ceil(members / 32) of block_bytes() each; the codes
  // past the last member are zeros.
  const std::uint8_t* blocks(std::uint32_t partition) const { return blocks_[partition].data(); }
  std::span<const std::uint8_t> block_bytes_of(std::uint32_t partition) const {
    return blocks_[partition];
  }
  std::uint64_t heap_bytes() const;
  // Gives back the room the lists grew into beyond what they hold.
  void shrink_to_fit();

 private:
  std::uint8_t* block_of(std::uint32_t partition, std::size_t position);
  void place(std::uint32_t slot, std::uint32_t partition);

  std::size_t subspaces_;
  std::size_t block_bytes_;
  std::vector<std::vector<std::uint32_t>> members_;
  std::vector<std::vector<std::uint8_t>> blocks_;
  std::vector<std::vector<std::uint32_t>> exceptions_;
  // Per slot: its partition (kNone: in none), kExceptional added for an
  // exception (partitions are far fewer than 2^31).
  static constexpr std::uint32_t kExceptional = std::uint32_t{1} << 31;
  std::vector<std::uint32_t> partition_of_;
};

}  // namespace halqen::partition
