#!/usr/bin/env bash
# Builds kernel_timing and runs it, then numpy's float64 matrix product on
# the same sizes, one thread each, and prints the ratios; then the 4-bit
# product-code scan on every level (nibble_timing).
# Usage: bench/kernels/run.sh [rows] [queries] [repeats]
set -euo pipefail
cd "$(dirname "$0")/../.."
ROWS=${1:-1000000}
QUERIES=${2:-256}
REPEATS=${3:-5}
PY=${PY:-.venv/bin/python}
OUT=build/kernel_timing
mkdir -p "$OUT"

# The library's own flags: exact floating point, no FMA contraction.
g++ -std=c++23 -O3 -ffp-contract=off -fno-fast-math -Wall -Wextra -Isrc -Ibench/kernels \
  -c bench/kernels/kernel_timing.cpp -o "$OUT/kernel_timing.o"
for source in src/metrics/*.cpp; do
  g++ -std=c++23 -O3 -ffp-contract=off -fno-fast-math -Wall -Wextra -Isrc -c "$source" \
    -o "$OUT/$(basename "$source" .cpp).o"
done
# The floor is built for this machine.
g++ -std=c++23 -O3 -march=native -c bench/kernels/read_once.cpp -o "$OUT/read_once.o"
g++ "$OUT"/*.o -o "$OUT/kernel_timing"

"$OUT/kernel_timing" "$ROWS" "$QUERIES" "$REPEATS" | tee "$OUT/kernels.txt"

OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 "$PY" - "$ROWS" "$QUERIES" "$REPEATS" "$OUT/kernels.txt" <<'PYTHON'
import sys, time
import numpy as np

rows, queries, repeats = (int(a) for a in sys.argv[1:4])
RUN = 4096  # rows per product, as kernel_timing scores them
rng = np.random.default_rng(1)
X = rng.standard_normal((rows, 128))
Q = rng.standard_normal((queries, 128))
QT = np.ascontiguousarray(Q.T)
buffer = np.empty((RUN, queries))


def whole():
    X @ QT


def in_runs():
    for first in range(0, rows, RUN):
        part = X[first:first + RUN]
        np.matmul(part, QT, out=buffer[:len(part)])


def fastest_ms_per_query(work):
    best = float("inf")
    for _ in range(max(1, repeats // 2)):
        start = time.thread_time()
        work()
        best = min(best, time.thread_time() - start)
    return best * 1e3 / queries


numpy_ms = {"whole": fastest_ms_per_query(whole), "in runs": fastest_ms_per_query(in_runs)}
for name, value in numpy_ms.items():
    print(f"numpy X @ Q.T float64, {name}: {value:.3f} ms/query")
for line in open(sys.argv[4]):
    words = line.split()
    if words[0] == "block":
        ours = float(words[2])
        print(f"  {words[1]:28s} {ours:8.3f} ms/query  " +
              "  ".join(f"{ours / v:5.2f}x numpy {n}" for n, v in numpy_ms.items()))
PYTHON

NIBBLE_OUT=build/nibble_timing
mkdir -p "$NIBBLE_OUT"
for source in bench/kernels/nibble_timing.cpp src/codes/code_kernels_*.cpp \
  src/codes/code_dispatch.cpp src/codes/nibble_block.cpp; do
  g++ -std=c++23 -O3 -ffp-contract=off -fno-fast-math -Wall -Wextra -Isrc -c "$source" \
    -o "$NIBBLE_OUT/$(basename "$source" .cpp).o"
done
g++ "$NIBBLE_OUT"/*.o -o "$NIBBLE_OUT/nibble_timing"
"$NIBBLE_OUT/nibble_timing" "$ROWS" "$REPEATS"
