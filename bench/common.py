"""Shared helpers of the benchmark suite: single-threaded set-up, timing,
resident memory and the stream kernel."""
import ctypes
import os
import shutil
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

# Every library runs on one thread. These must be set before numpy (or any
# BLAS) is imported, so the entry script imports this module first.
THREAD_VARIABLES = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")


def pin_single_thread():
    for variable in THREAD_VARIABLES:
        os.environ[variable] = "1"
    # Set on some machines for old OpenBLAS builds; they slow a current numpy,
    # so the benchmark process drops both together.
    if "OPENBLAS_CORETYPE" in os.environ and "OPENBLAS_L2_SIZE" in os.environ:
        del os.environ["OPENBLAS_CORETYPE"]
        del os.environ["OPENBLAS_L2_SIZE"]


pin_single_thread()

BENCH_DIR = Path(__file__).resolve().parent
RESULTS_DIR = BENCH_DIR / "results"


def median_seconds(function, repeats, warmup=1):
    """Median wall time of `repeats` calls, after `warmup` untimed calls."""
    for _ in range(warmup):
        function()
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        function()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def interleaved_medians(functions, repeats, warmup=1, clock=time.perf_counter):
    """Median time (wall time unless `clock` says otherwise) of each of
    `functions` (a dict), timed in rounds that call each once in turn, so
    that load from elsewhere on the machine falls on all of them alike."""
    for function in functions.values():
        for _ in range(warmup):
            function()
    times = {name: [] for name in functions}
    for _ in range(repeats):
        for name, function in functions.items():
            started = clock()
            function()
            times[name].append(clock() - started)
    return {name: statistics.median(values) for name, values in times.items()}


def median_per_call(function, calls, repeats):
    """Median over `repeats` rounds of the mean time of `calls` calls."""
    function()
    rounds = []
    for _ in range(repeats):
        started = time.perf_counter()
        for _ in range(calls):
            function()
        rounds.append((time.perf_counter() - started) / calls)
    return statistics.median(rounds)


def resident_bytes():
    """Resident set size of this process, after returning freed heap to the OS."""
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except OSError:
        pass
    with open("/proc/self/statm") as statm:
        pages = int(statm.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE")


class StreamKernel:
    """bench/stream.c, the memory-read floor, compiled for this processor
    into a temporary directory and loaded."""

    def __init__(self):
        compiler = shutil.which("cc") or shutil.which("gcc")
        if compiler is None:
            raise RuntimeError("no C compiler (cc) for the stream kernel")
        self._directory = tempfile.TemporaryDirectory(prefix="halqen-bench-")
        library = Path(self._directory.name) / "libstream.so"
        subprocess.run([compiler, "-O3", "-march=native", "-shared", "-fPIC", "-o", str(library),
                        str(BENCH_DIR / "stream.c")], check=True)
        self._library = ctypes.CDLL(str(library))
        self._library.stream_sum.restype = ctypes.c_double
        self._library.stream_sum.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t]

    def sum(self, array, stripes=1):
        """Reads every double of a C-contiguous float64 numpy array once, as
        `stripes` contiguous parts side by side."""
        return self._library.stream_sum(array.ctypes.data, array.size, stripes)


def machine_description():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"cpu": model, "cores": os.cpu_count()}
