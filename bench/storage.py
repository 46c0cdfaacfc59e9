"""Section storage: GraphIndex on float32 input with its rows kept as float32
(the default, which loses nothing on such data) beside the same index held
to float64 rows.

Clustered data (bench/clustered.py) made float32, N x 128, default settings.
Each index is built in a fresh process, which reports the resident memory
its build added per vector (the input held before it) and the heap bytes the
index counts. Both are then built in one process and searched on one thread
over a range of ef, in interleaved rounds after a warm-up: queries/s at
recall@10 0.95 (interpolated between the two ef that bracket it), and
whether every answer of the two is the same (ids and distance bits). Last,
what widening costs: the time of adding one row that is not a float32 value
to the float32 index (which copies every row into float64) beside adding
one that is, both after a first add of one row.
"""
import subprocess
import sys
import time

import numpy as np

from clustered import gaussian_mixture
from common import interleaved_medians
from ground_truth import kth_distances, recall

DIM = 128
CLUSTERS = 64
QUERIES = 1000
K = 10
TARGET_RECALL = 0.95
EFS = (10, 12, 16, 20, 24, 32, 48, 64)
STORAGES = (None, "float64")
SEED = 7

BUILD_IN_FRESH_PROCESS = """
import sys
import numpy as np
sys.path.insert(0, sys.argv[1])
from clustered import gaussian_mixture
from common import resident_bytes
import halqen_ext
count, storage = int(sys.argv[2]), (None if sys.argv[3] == "None" else sys.argv[3])
data = gaussian_mixture(count, 1, %d, %d, %d)[0].astype(np.float32)
before = resident_bytes()
index = halqen_ext.GraphIndex(%d, "euclidean", storage=storage)
index.add(data)
print(resident_bytes() - before, getattr(halqen_ext, "__heap_bytes")(index), index.storage)
""" % (DIM, CLUSTERS, SEED, DIM)


def memory_of(count, storage):
    from pathlib import Path

    completed = subprocess.run(
        [sys.executable, "-c", BUILD_IN_FRESH_PROCESS, str(Path(__file__).resolve().parent), str(count),
         str(storage)], capture_output=True, text=True, check=True)
    resident, heap, used = completed.stdout.split()
    return {"resident_per_vector": int(resident) / count, "heap_per_vector": int(heap) / count,
            "storage": used}


def rate_at_recall(points):
    """Queries/s at TARGET_RECALL, linear between the two bracketing points
    of (recall, queries/s) sorted by ef; None where no point reaches it."""
    for (low_recall, low_rate), (high_recall, high_rate) in zip(points, points[1:]):
        if low_recall < TARGET_RECALL <= high_recall:
            share = (TARGET_RECALL - low_recall) / (high_recall - low_recall)
            return low_rate + share * (high_rate - low_rate)
    if points and points[0][0] >= TARGET_RECALL:
        return points[0][1]
    return None


def search_all(index, queries, ef):
    return index.search(queries, k=K, ef=ef, threads=1)


def widening_seconds(data, repeats):
    """(seconds to add one float32 row, seconds to add one that widens)."""
    import halqen_ext

    narrow_row = data[:1].astype(np.float64)
    wide_row = narrow_row.copy()
    wide_row[0, 0] += 1e-9
    stayed, widened = [], []
    for _ in range(repeats):
        index = halqen_ext.GraphIndex(DIM, "euclidean")
        index.add(data)
        index.add(narrow_row)  # the first add after a build also settles what the build left
        started = time.perf_counter()
        index.add(narrow_row)
        stayed.append(time.perf_counter() - started)
        started = time.perf_counter()
        index.add(wide_row)
        widened.append(time.perf_counter() - started)
        assert index.storage == "float64"
    return float(np.median(stayed)), float(np.median(widened))


def run_all(quick):
    import halqen_ext

    count = 20_000 if quick else 100_000
    repeats = 2 if quick else 5
    data, queries = gaussian_mixture(count, QUERIES, DIM, CLUSTERS, SEED)
    data = data.astype(np.float32)
    queries = queries.astype(np.float32).astype(np.float64)
    kth = kth_distances(data.astype(np.float64), queries, K)
    memory = {str(storage): memory_of(count, storage) for storage in STORAGES}
    indexes = {}
    for storage in STORAGES:
        indexes[str(storage)] = halqen_ext.GraphIndex(DIM, "euclidean", storage=storage)
        indexes[str(storage)].add(data)
    points = {name: [] for name in indexes}
    identical = True
    for ef in EFS:
        answers = {name: search_all(index, queries, ef) for name, index in indexes.items()}
        first, second = answers.values()
        identical &= (first[0] == second[0]).all() and first[1].tobytes() == second[1].tobytes()
        seconds = interleaved_medians(
            {name: (lambda index=index: search_all(index, queries, ef)) for name, index in indexes.items()},
            repeats)
        for name in indexes:
            points[name].append((recall(data, queries, answers[name][0], kth), QUERIES / seconds[name]))
    stayed, widened = widening_seconds(data, 1 if quick else 3)
    return {
        "count": count, "dim": DIM, "memory": memory, "identical_answers": bool(identical),
        "points": {name: [[ef, r, q] for ef, (r, q) in zip(EFS, curve)] for name, curve in points.items()},
        "rate_at_recall": {name: rate_at_recall(curve) for name, curve in points.items()},
        "add_one_row_seconds": stayed, "add_one_widening_row_seconds": widened,
        "formula_bytes": DIM * 4 + DIM + 8 + 1.3 * 2 * 16 * 4 + 64,
    }


def print_table(result):
    print(f"\nstorage: GraphIndex on float32 input, {result['count']:,} x {result['dim']}, clustered")
    print(f"  every answer identical (ids and distance bits): {result['identical_answers']}")
    for name, memory in result["memory"].items():
        label = "default" if name == "None" else f"storage={name!r}"
        print(f"  {label:18} rows {memory['storage']}: resident {memory['resident_per_vector']:7.0f} B/vector, "
              f"heap {memory['heap_per_vector']:7.0f} B/vector")
    print(f"  target (float32 row + codes + 1.3 x links + 64): {result['formula_bytes']:.0f} B/vector")
    rates = result["rate_at_recall"]
    for name, rate in rates.items():
        label = "default" if name == "None" else f"storage={name!r}"
        shown = "not reached" if rate is None else f"{rate:8.0f}"
        print(f"  {label:18} queries/s at recall@10 {TARGET_RECALL}: {shown}")
    if rates["None"] and rates["float64"]:
        print(f"  ratio default / float64: {rates['None'] / rates['float64']:.3f}")
    print(f"  adding one row: {result['add_one_row_seconds'] * 1e3:.2f} ms; one that widens the store: "
          f"{result['add_one_widening_row_seconds'] * 1e3:.2f} ms")
