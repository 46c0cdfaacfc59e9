// An interrupt for tests of bulk operations.
#pragma once

#include <cstdint>

#include "common/interrupt.hpp"

namespace halqen {

// Lets the first `passing` questions pass, then asks to stop every time.
class StopAfter final : public Interrupt {
 public:
  explicit StopAfter(std::uint64_t passing) : passing_(passing) {}
  bool requested() override { return ++questions > passing_; }

  std::uint64_t questions = 0;

 private:
  std::uint64_t passing_;
};

}  // namespace halqen
