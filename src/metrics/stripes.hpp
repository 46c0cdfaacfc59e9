// The order in which a kernel visits the stored vectors of a batch.
//
// A kernel computes `slots` stored vectors at a time. Visiting them as
// neighbours (rows i, i+1, ... together) reads memory as that many short
// interleaved streams, which the hardware prefetchers follow poorly. Instead
// the batch is cut into `slots` contiguous stripes and slot s walks stripe s
// from its start: memory is read as `slots` long sequential streams.
#pragma once

#include <cstddef>

namespace halqen::kernels {

class Stripes {
 public:
  Stripes(std::size_t count, std::size_t slots)
      : count_(count), length_((count + slots - 1) / slots) {}

  // Steps needed to visit every position.
  std::size_t steps() const { return length_; }

  // The batch position that `slot` visits at `step`, or end() when its stripe
  // is shorter than the others and already done.
  std::size_t position(std::size_t slot, std::size_t step) const {
    const std::size_t p = slot * length_ + step;
    return p < count_ ? p : count_;
  }

  std::size_t end() const { return count_; }

 private:
  std::size_t count_;
  std::size_t length_;
};

}  // namespace halqen::kernels
