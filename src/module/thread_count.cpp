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
  Ref index = Ref::steal(PyNumber_Index(o));
  if (!index) {
    return fetch_error();
  }
  const long long threads = PyLong_AsLongLong(index.get());
  if (threads == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
      return fetch_error();
    }
    PyErr_Clear();
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "argument 'threads': expected an integer from 1 to 2^63 - 1, got %R", index.get()));
    return message ? std::unexpected(PyErr::new_err(PyExc_OverflowError, std::move(message)))
                   : fetch_error();
  }
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
