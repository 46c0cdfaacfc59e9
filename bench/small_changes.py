"""What one small change costs in a large GraphIndex: adding one vector and
removing one id, threads=1, on clustered 128-dimensional data, at growing
sizes. Both should grow with the call, not with the index: the targets are
2 ms for an add and 5 ms for a removal at 1,000,000 vectors (the full run;
--quick stops at 20,000). Medians and 99th percentiles of single calls,
each size built once, searched once before timing so that its pages are
in; the index is then saved and read back, and its first addition and
first removal (which passes over the graph once) are shown apart. A
removal reads outward from the removed node, hop by hop, for the links
into it, and every list only when some come from further than that search
may go (the tail of the 99th percentile). Run alone:
python bench/small_changes.py [--quick]."""
import common  # noqa: F401  (single-threaded set-up before numpy)

import argparse  # noqa: E402
import os  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import halqen_ext  # noqa: E402
from halqen_ext import GraphIndex  # noqa: E402

DIM = 128
CLUSTERS = 256
FULL_SIZES = (100_000, 1_000_000)
QUICK_SIZES = (20_000,)
CALLS = 200
BUILD_THREADS = 2
ADD_TARGET_MS = 2.0
REMOVE_TARGET_MS = 5.0
SEED = 11


def clustered(rng, centres, count):
    return centres[rng.integers(0, len(centres), count)] + rng.normal(0.0, 1.0, (count, DIM))


def timed_calls(call, count):
    """Milliseconds of each of `count` calls of call(i)."""
    spent = []
    for i in range(count):
        started = time.perf_counter()
        call(i)
        spent.append((time.perf_counter() - started) * 1e3)
    return np.array(spent)


def measure(count):
    rng = np.random.default_rng(SEED)
    centres = rng.normal(0.0, 4.0, (CLUSTERS, DIM))
    index = GraphIndex(DIM, "euclidean")
    started = time.perf_counter()
    index.add(clustered(rng, centres, count), threads=BUILD_THREADS)
    build_seconds = time.perf_counter() - started
    index.search(clustered(rng, centres, 100), k=10)
    fresh = clustered(rng, centres, CALLS + 1)
    # The first addition after a load, timed apart.
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "index.hq")
        halqen_ext.write_index(index, path)
        del index
        started = time.perf_counter()
        index = halqen_ext.read_index(path)
        load_seconds = time.perf_counter() - started
    first = timed_calls(lambda i: index.add(fresh[:1], ids=[count], threads=1), 1)[0]
    adds = timed_calls(lambda i: index.add(fresh[i + 1:i + 2], ids=[count + 1 + i], threads=1),
                       CALLS)
    gone = rng.choice(count, CALLS + 1, replace=False)
    first_remove = timed_calls(lambda i: index.remove([int(gone[0])], threads=1), 1)[0]
    removes = timed_calls(lambda i: index.remove([int(gone[i + 1])], threads=1), CALLS)
    summary = {"count": count, "build_seconds": build_seconds, "load_seconds": load_seconds,
               "first_add_ms": first, "first_remove_ms": first_remove}
    for name, spent in (("add", adds), ("remove", removes)):
        summary[name] = {"median_ms": float(np.median(spent)),
                         "p95_ms": float(np.percentile(spent, 95)),
                         "p99_ms": float(np.percentile(spent, 99))}
    return summary


def run_all(quick):
    return {"results": [measure(count) for count in (QUICK_SIZES if quick else FULL_SIZES)]}


def print_table(section):
    print("\nsmall changes: one add or removal in a large GraphIndex (clustered, 128 dimensions, "
          f"threads=1;\n   targets at 1,000,000: add {ADD_TARGET_MS} ms, remove {REMOVE_TARGET_MS} ms)")
    print(f"   {'vectors':>10} {'build s':>8} {'load s':>7} {'first add/remove ms':>20} "
          f"{'add ms (p99)':>16} {'remove ms (p95, p99)':>25}")
    for r in section["results"]:
        add, remove = r["add"], r["remove"]
        print(f"   {r['count']:>10,} {r['build_seconds']:>8.1f} {r['load_seconds']:>7.2f} "
              f"{r['first_add_ms']:>11.1f} / {r['first_remove_ms']:>6.0f} "
              f"{add['median_ms']:>8.2f} ({add['p99_ms']:>5.2f}) "
              f"{remove['median_ms']:>9.2f} ({remove['p95_ms']:>5.2f}, {remove['p99_ms']:>5.2f})")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true")
    options = parser.parse_args()
    print_table(run_all(options.quick))


if __name__ == "__main__":
    main()
