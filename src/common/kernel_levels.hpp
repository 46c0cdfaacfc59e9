// Which of a family of kernel sets runs: the levels this CPU supports,
// detected once, plainest first, and the one in use (the fastest, unless a
// test forces another). The metric kernels and the code kernels each keep
// one; only what a level needs of the CPU differs between them.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace halqen {

template <class Level, std::size_t kCount>
class KernelLevels {
 public:
  // `all` lists every level plainest first; `supported` says whether this
  // CPU runs one; `family` names the levels in errors ("kernel level").
  KernelLevels(const Level (&all)[kCount], bool (*supported)(Level), std::string_view family)
      : family_(family) {
    for (const Level level : all) {
      if (supported(level)) available_[size_++] = level;
    }
    if (size_ == 0) throw std::logic_error(std::string(family) + ": no level runs here");
    selected_.store(available_[size_ - 1], std::memory_order_relaxed);
  }

  std::span<const Level> available() const { return {available_.data(), size_}; }

  Level active() const { return selected_.load(std::memory_order_relaxed); }

  // For tests: results do not change, only the speed.
  void force(Level level) {
    for (const Level candidate : available()) {
      if (candidate == level) {
        selected_.store(level, std::memory_order_relaxed);
        return;
      }
    }
    throw std::invalid_argument(std::string(family_) + " " +
                                std::to_string(static_cast<int>(level)) +
                                " is not available on this CPU");
  }

 private:
  std::array<Level, kCount> available_{};
  std::size_t size_ = 0;
  std::atomic<Level> selected_{};
  std::string_view family_;
};

}  // namespace halqen
