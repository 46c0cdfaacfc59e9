#include "module/progress_bar.hpp"

#include <unistd.h>

#include <cstdio>

namespace halqen::py {
namespace {

// Redraws per second on a terminal; lines per minute elsewhere.
constexpr auto kTerminalInterval = std::chrono::milliseconds(100);
constexpr auto kPlainInterval = std::chrono::seconds(5);
constexpr int kBarWidth = 30;
constexpr int kSecondsPerMinute = 60;

void write_all(const std::string& text) {
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(STDERR_FILENO, text.data() + written, text.size() - written);
    if (n <= 0) return;  // a closed or failing stderr only loses the bar
    written += static_cast<std::size_t>(n);
  }
}

std::string minutes_and_seconds(double seconds) {
  const auto whole = static_cast<long>(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", whole / kSecondsPerMinute,
                whole % kSecondsPerMinute);
  return text;
}

}  // namespace

ProgressBar::ProgressBar()
    : terminal_(::isatty(STDERR_FILENO) == 1), start_(Clock::now()), last_drawn_(start_) {}

std::string ProgressBar::line(std::size_t done, std::size_t total, double seconds) const {
  const double fraction = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
  const double rate = seconds > 0.0 ? static_cast<double>(done) / seconds : 0.0;
  const double left = rate > 0.0 ? static_cast<double>(total - done) / rate : 0.0;
  std::string bar;
  if (terminal_) {
    const int filled = static_cast<int>(fraction * kBarWidth);
    // Appended piece by piece: GCC 12 warns falsely about "[" + std::string.
    bar.append(1, '[').append(filled, '#').append(kBarWidth - filled, ' ').append("] ");
  }
  char numbers[160];
  std::snprintf(numbers, sizeof numbers, "%zu/%zu vectors, %.0f/s, %s elapsed, %s left", done,
                total, rate, minutes_and_seconds(seconds).c_str(),
                minutes_and_seconds(left).c_str());
  return bar + numbers;
}

void ProgressBar::update(std::size_t done, std::size_t total) {
  const Clock::time_point now = Clock::now();
  const bool last = done >= total;
  const auto interval =
      terminal_ ? Clock::duration(kTerminalInterval) : Clock::duration(kPlainInterval);
  if (!last && now - last_drawn_ < interval) return;
  last_drawn_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const std::string text = line(done, total, seconds);
  write_all(terminal_ ? "\r" + text + (last ? "\n" : "") : text + "\n");
}

}  // namespace halqen::py
