// A progress bar on stderr for long additions: count, rate and time left,
// redrawn in place on a terminal, as a plain line now and then elsewhere.
// Writes to the file descriptor directly: it runs without the interpreter
// lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace halqen::py {

class ProgressBar {
 public:
  ProgressBar();
  // `done` of `total` vectors added.
  void update(std::size_t done, std::size_t total);

 private:
  using Clock = std::chrono::steady_clock;
  std::string line(std::size_t done, std::size_t total, double seconds) const;

  bool terminal_;
  Clock::time_point start_;
  Clock::time_point last_drawn_;
};

}  // namespace halqen::py
