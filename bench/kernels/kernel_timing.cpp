// Timing of the exact index's kernels on one thread, side by side with their
// floors. Not a test: it prints figures, and bench/kernels/run.sh adds
// numpy's matrix product beside them.
//
//   single  one query against every row (the euclidean row kernel, in runs
//           of rows as the exact index scores them) beside read_once, a
//           vectorised loop that reads the same bytes once.
//   block   a block of queries against every row (QueryBlock, in runs of
//           rows), for each metric: milliseconds per query.
//
// Usage: kernel_timing [rows] [queries] [repeats]; 0 queries times only the
// single query. Every figure is the
// fastest of `repeats` runs, in thread CPU time (the machine may be shared).
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "metrics/batch.hpp"
#include "metrics/block.hpp"
#include "metrics/dispatch.hpp"
#include "metrics/metric_table.hpp"
#include "read_once.hpp"

namespace {

constexpr std::size_t kDim = 128;
// Rows per call of the single-query kernel, as the exact index uses.
constexpr std::size_t kSingleRun = 16384;
// Streams of the striped read-once loop, as many as the row kernels read.
constexpr std::size_t kReadStripes = 8;
// Rows per call of the block kernel: the results (queries x rows) stay small.
constexpr std::size_t kBlockRun = 4096;

double cpu_ms() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

template <typename Work>
double fastest_ms(int repeats, Work work) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const double start = cpu_ms();
    work();
    best = std::min(best, cpu_ms() - start);
  }
  return best;
}

std::vector<double> normal_values(std::size_t count, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  std::vector<double> values(count);
  for (double& v : values) v = normal(rng);
  return values;
}

void time_single(const std::vector<double>& rows, std::size_t count, int repeats) {
  const std::vector<double> query = normal_values(kDim, 2);
  std::vector<double> out(kSingleRun);
  volatile double sink = 0.0;
  double kernel = 1e300;
  double sequential = 1e300;
  double striped = 1e300;
  // Alternated, so that all see the same state of a shared machine.
  for (int r = 0; r < repeats; ++r) {
    sequential = std::min(sequential, fastest_ms(1, [&] {
                            sink = sink + kernel_timing::read_once(rows.data(), rows.size(), 1);
                          }));
    striped =
        std::min(striped, fastest_ms(1, [&] {
                   sink = sink + kernel_timing::read_once(rows.data(), rows.size(), kReadStripes);
                 }));
    kernel = std::min(kernel, fastest_ms(1, [&] {
                        for (std::size_t first = 0; first < count; first += kSingleRun) {
                          const std::size_t run = std::min(kSingleRun, count - first);
                          halqen::distances_rows(halqen::MetricKind::Euclidean, query,
                                                 rows.data() + first * kDim, kDim, run, out.data());
                        }
                      }));
  }
  const double floor = std::min(sequential, striped);
  std::printf("single read_once_ms sequential %.3f, %zu stripes %.3f\n", sequential, kReadStripes,
              striped);
  std::printf("single euclidean_ms %.3f ratio %.3f\n", kernel, kernel / floor);
}

void time_block(const std::vector<double>& rows, std::size_t count, std::size_t queries,
                int repeats) {
  const std::vector<double> query_values = normal_values(queries * kDim, 3);
  std::vector<halqen::VectorView> views;
  for (std::size_t j = 0; j < queries; ++j) views.emplace_back(&query_values[j * kDim], kDim);
  std::vector<double> out(queries * kBlockRun);
  for (const halqen::MetricRow& metric : halqen::kMetrics) {
    const halqen::QueryBlock block(metric.kind, views);
    const double ms = fastest_ms(repeats, [&] {
      for (std::size_t first = 0; first < count; first += kBlockRun) {
        const std::size_t run = std::min(kBlockRun, count - first);
        block.distances(rows.data() + first * kDim, nullptr, kDim, run, out.data());
      }
    });
    std::printf("block %s_ms_per_query %.3f\n", std::string(metric.hnsw_name).c_str(),
                ms / static_cast<double>(queries));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::stoul(argv[1]) : 1'000'000;
  const std::size_t queries = argc > 2 ? std::stoul(argv[2]) : 256;
  const int repeats = argc > 3 ? std::stoi(argv[3]) : 5;
  std::printf("kernel %s rows %zu dim %zu queries %zu\n",
              std::string(halqen::kernel_name(halqen::active_kernel())).c_str(), count, kDim,
              queries);
  const std::vector<double> rows = normal_values(count * kDim, 1);
  time_single(rows, count, repeats);
  if (queries > 0) time_block(rows, count, queries, std::max(1, repeats / 2));
  return 0;
}
