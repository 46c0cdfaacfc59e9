"""Builds one index of the partition comparison in a fresh process, so that
its resident growth is its own, then searches it on one thread, one query
per call from Python (as ann-benchmarks does), under each of its settings.
Build seconds are wall time after a small warm-up build (the input arrays
already read in and touched); search rates are from the process's CPU time,
which one search thread uses only while it runs (a library that searched
on more threads would show it as a lower rate). The ids of every setting go
to DIRECTORY/LIBRARY.npz for the caller to score; prints one JSON object.

Usage: partition_worker.py LIBRARY DIRECTORY THREADS [--quick]
"""
import common  # noqa: F401  (single-threaded set-up before numpy)

import argparse  # noqa: E402
import gc  # noqa: E402
import json  # noqa: E402
import statistics  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

import partition_libraries  # noqa: E402
from common import resident_bytes  # noqa: E402

# The warm-up build loads the library's code, starts its threads and
# touches the allocator before anything is timed.
WARMUP_VECTORS = 5_000
# Queries answered untimed before a setting's timed passes.
WARMUP_QUERIES = 50
# A setting is timed over all queries once, and again (up to this many
# passes, the median counts) while its passes add up to less than
# SHORT_SECONDS: the slow settings would gain nothing from more.
TIMED_PASSES = 3
SHORT_SECONDS = 0.5
# The shortest CPU time taken for a measurement, against a division by zero.
CLOCK_GRAIN_SECONDS = 1e-6


def measured_build(library, vectors, threads):
    """(index, wall seconds, CPU seconds of all threads, resident growth in bytes)."""
    gc.collect()
    before = resident_bytes()
    started, started_cpu = time.perf_counter(), time.process_time()
    index = library.build(vectors, threads)
    seconds, cpu_seconds = time.perf_counter() - started, time.process_time() - started_cpu
    gc.collect()
    return index, seconds, cpu_seconds, resident_bytes() - before


def one_pass(search, queries, ids):
    """(CPU seconds, wall seconds) of one query per call over all queries,
    each answer kept in its row of ids."""
    started, started_wall = time.process_time(), time.perf_counter()
    for row, query in enumerate(queries):
        ids[row] = search(query)
    return (max(time.process_time() - started, CLOCK_GRAIN_SECONDS),
            time.perf_counter() - started_wall)


def measured_setting(library, index, setting, queries):
    """(ids, CPU seconds per pass, wall seconds per pass) of one setting."""
    search = library.searcher(index, setting)
    for query in queries[:WARMUP_QUERIES]:
        search(query)
    ids = np.empty((len(queries), partition_libraries.K), dtype=np.int64)
    passes = [one_pass(search, queries, ids)]
    while len(passes) < TIMED_PASSES and sum(cpu for cpu, _ in passes) < SHORT_SECONDS:
        passes.append(one_pass(search, queries, ids))
    return (ids, statistics.median(cpu for cpu, _ in passes),
            statistics.median(wall for _, wall in passes))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("library", choices=partition_libraries.LIBRARIES)
    parser.add_argument("directory", type=Path)
    parser.add_argument("threads", type=int)
    parser.add_argument("--quick", action="store_true")
    options = parser.parse_args()
    library = partition_libraries.make(options.library)
    # Read whole (not mapped), so that every page is resident before the build.
    vectors = np.ascontiguousarray(np.load(options.directory / "data.npy"))
    queries = np.ascontiguousarray(np.load(options.directory / "queries.npy"))
    warmup = library.build(vectors[:WARMUP_VECTORS].copy(), options.threads)
    del warmup
    index, seconds, cpu_seconds, grown = measured_build(library, vectors, options.threads)
    typed = library.queries(queries)
    points, answers = [], {}
    sweep_started = time.perf_counter()
    for number, setting in enumerate(library.settings(index, len(vectors), options.quick)):
        ids, cpu, wall = measured_setting(library, index, setting, typed)
        answers[f"point{number}"] = ids
        points.append({**setting, "queries_per_second": len(queries) / cpu,
                       "wall_queries_per_second": len(queries) / wall})
    sweep_seconds = time.perf_counter() - sweep_started
    np.savez(options.directory / f"{options.library}.npz", **answers)
    print(json.dumps({
        "library": options.library,
        "threads": options.threads,
        "count": len(vectors),
        "dim": vectors.shape[1],
        "build_seconds": seconds,
        # On a shared machine the wall time also counts waiting for a core.
        "build_cpu_seconds": cpu_seconds,
        "bytes_per_vector": grown / len(vectors),
        "vector_bytes": vectors.shape[1] * vectors.itemsize,
        "index": library.describe(index, len(vectors)),
        "points": points,
        # The whole sweep's wall time, for planning the section's length.
        "sweep_seconds": sweep_seconds,
    }))


if __name__ == "__main__":
    main()
