#include "parallel/piece_runner.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace halqen {
namespace {

// What the workers of one run share.
class Workbench {
 public:
  explicit Workbench(const PieceJob& job) : job_(job) {}

  // A worker's life: pieces until none is left or a stop is requested.
  void work() {
    while (!stop_.load()) {
      const std::size_t piece = next_piece_.fetch_add(1);
      if (piece >= job_.piece_count) break;
      try {
        job_.run_piece(piece);
      } catch (...) {
        record_failure(std::current_exception());
      }
    }
    std::lock_guard lock(mutex_);
    --working_;
    changed_.notify_all();
  }

  void stop() { stop_.store(true); }
  bool stopped() const { return stop_.load(); }

  // Counts a worker about to start; forget_start() if it then fails to.
  void expect_worker() {
    std::lock_guard lock(mutex_);
    ++working_;
  }
  void forget_worker() {
    std::lock_guard lock(mutex_);
    --working_;
  }

  // Waits up to `interval`; true once every worker has finished.
  bool wait_for_workers(std::chrono::milliseconds interval) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, interval, [&] { return working_ == 0; });
  }

  void rethrow_failure() {
    std::lock_guard lock(mutex_);
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  void record_failure(std::exception_ptr failure) {
    std::lock_guard lock(mutex_);
    if (!failure_) failure_ = std::move(failure);
    stop_.store(true);
  }

  const PieceJob& job_;
  std::atomic<std::size_t> next_piece_{0};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t working_ = 0;
  std::exception_ptr failure_;
};

// The started workers; leaving the scope on any path stops and joins them.
class WorkerGroup {
 public:
  explicit WorkerGroup(Workbench& bench) : bench_(bench) {}
  WorkerGroup(const WorkerGroup&) = delete;
  WorkerGroup& operator=(const WorkerGroup&) = delete;
  ~WorkerGroup() {
    bench_.stop();
    join();
  }

  // Starts up to `count` workers; as many as the system allows.
  void start(std::size_t count) {
    threads_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      bench_.expect_worker();
      try {
        threads_.emplace_back([this] { bench_.work(); });
      } catch (const std::system_error&) {
        bench_.forget_worker();
        break;
      }
    }
  }

  std::size_t size() const { return threads_.size(); }

  void join() {
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

 private:
  Workbench& bench_;
  std::vector<std::thread> threads_;
};

RunEnd run_on_caller(const PieceJob& job, const RunControl& control) {
  for (std::size_t piece = 0; piece < job.piece_count; ++piece) {
    job.run_piece(piece);
    if (piece + 1 < job.piece_count && !control.keep_going()) return RunEnd::Stopped;
  }
  return RunEnd::Completed;
}

}  // namespace

RunEnd run_pieces(const PieceJob& job, const RunControl& control) {
  if (control.threads == 0 || !job.run_piece || !control.keep_going) {
    throw std::invalid_argument("run_pieces needs at least one thread, a piece and a poll");
  }
  if (job.piece_count == 0) return RunEnd::Completed;
  Workbench bench(job);
  bool stopped = false;
  {
    WorkerGroup workers(bench);
    workers.start(std::min(control.threads, job.piece_count));
    if (workers.size() == 0) return run_on_caller(job, control);
    while (!bench.wait_for_workers(control.poll_interval)) {
      if (!bench.stopped() && !control.keep_going()) {
        stopped = true;
        bench.stop();
      }
    }
  }
  bench.rethrow_failure();
  return stopped ? RunEnd::Stopped : RunEnd::Completed;
}

std::size_t usable_cpu_count() {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  if (sched_getaffinity(0, sizeof(mask), &mask) == 0) {
    const int count = CPU_COUNT(&mask);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

}  // namespace halqen
