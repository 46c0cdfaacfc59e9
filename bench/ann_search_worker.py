"""Searches every library's index over the same held-out queries in one
process, one thread each, sweeping ef to trace recall@k against queries per
second. At each ef the libraries are timed in alternating rounds after a
warm-up round, so that load from elsewhere on the machine falls on all of
them alike. The time is the process's CPU time: on a shared machine the
wall time of a long call measures mostly this process's share of the
cores, and one search thread uses one core while it runs. Indexes come
from the files the build workers saved; a library that could not save is
built here. Prints one JSON object.

Usage: ann_search_worker.py --library NAME[=PATH] ... --ef E ... --repeats R DATA-ARGUMENTS
"""
import common  # noqa: F401  (single-threaded set-up before numpy)

import argparse  # noqa: E402
import json  # noqa: E402
import math  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import ann_data  # noqa: E402
import ground_truth  # noqa: E402
import peers  # noqa: E402
from common import interleaved_medians  # noqa: E402

K = 10
# Threads of a build done here, when an index could not be saved.
FALLBACK_BUILD_THREADS = 2
# A timed call repeats the batch until it takes about this much CPU time, so
# that small sets are not timed at the clock's grain.
MIN_CALL_SECONDS = 0.2
# The shortest CPU time taken for a measurement, against a division by zero.
CLOCK_GRAIN_SECONDS = 1e-6


def open_indexes(requests, data):
    """{name: (library, index)} from NAME[=PATH] words."""
    indexes = {}
    for request in requests:
        name, _, path = request.partition("=")
        library = peers.make(name)
        if path:
            index = library.load(path, data.shape[1])
        else:
            vectors = np.ascontiguousarray(data, dtype=library.dtype)
            index = library.build(vectors, FALLBACK_BUILD_THREADS)
        indexes[name] = library, index
    return indexes


def passes_for(call):
    """How many calls in a row take about MIN_CALL_SECONDS of CPU time."""
    started = time.process_time()
    call()
    seconds = max(time.process_time() - started, CLOCK_GRAIN_SECONDS)
    return max(1, math.ceil(MIN_CALL_SECONDS / seconds))


def repeated(call, passes):
    def run():
        for _ in range(passes):
            call()
    return run


def points_at(ef, indexes, typed, data, queries, kth, repeats):
    """Recall and queries/s of every library at one ef, timed side by side."""
    def searcher(name):
        library, index = indexes[name]
        return lambda: library.search(index, typed[name], K, ef)

    calls = {name: searcher(name) for name in indexes}
    recalls = {name: float(ground_truth.recall(data, queries, call(), kth))
               for name, call in calls.items()}
    passes = {name: passes_for(call) for name, call in calls.items()}
    seconds = interleaved_medians({name: repeated(call, passes[name])
                                   for name, call in calls.items()}, repeats,
                                  clock=time.process_time)
    return [{"library": name, "ef": ef, "recall": recalls[name],
             "queries_per_second": passes[name] * len(queries) / seconds[name]}
            for name in indexes]


def sweep(indexes, data, queries, efs, repeats):
    kth = ground_truth.kth_distances(data, queries, K)
    typed = {name: np.ascontiguousarray(queries, dtype=library.dtype)
             for name, (library, _) in indexes.items()}
    return [point for ef in efs
            for point in points_at(ef, indexes, typed, data, queries, kth, repeats)]


def main():
    spec, rest = ann_data.parse_spec(None)
    parser = argparse.ArgumentParser()
    parser.add_argument("--library", action="append", required=True)
    parser.add_argument("--ef", type=int, nargs="+", required=True)
    parser.add_argument("--repeats", type=int, default=3)
    options = parser.parse_args(rest)
    data, queries = ann_data.load(spec)
    indexes = open_indexes(options.library, data)
    print(json.dumps({"k": K, "queries": len(queries),
                      "points": sweep(indexes, data, queries, options.ef, options.repeats)}))


if __name__ == "__main__":
    main()
