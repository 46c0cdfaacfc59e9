#include "module/thread_count.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

#include "parallel/piece_runner.hpp"

namespace halqen::py {
namespace {

// More workers than this per usable CPU only add switching.
constexpr std::size_t kThreadsPerCpu = 4;

}  // namespace

PyResult<ThreadCount> FromPython<ThreadCount>::convert(PyObject* o) {
  HALQEN_TRY_ASSIGN(const std::int64_t threads, extract_i64(o));
  if (threads < 1) {
    return std::unexpected(PyErr::new_err(
        PyExc_ValueError, "threads must be at least 1, got " + std::to_string(threads)));
  }
  return ThreadCount{static_cast<std::size_t>(threads)};
}

std::size_t worker_threads(const std::optional<ThreadCount>& threads) {
  const std::size_t cpus = usable_cpu_count();
  return threads ? std::min(threads->value, kThreadsPerCpu * cpus) : cpus;
}

}  // namespace halqen::py
