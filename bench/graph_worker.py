"""One PyHNSW at default parameters in a fresh process, so that its resident
growth is its own: build time, bytes per vector beyond the raw vectors, and
one search against one PyFlat search over the same data, timed in alternating
rounds. Prints one JSON object.

Usage: graph_worker.py COUNT QUERY_REPEATS
"""
import common  # noqa: F401  (single-threaded set-up before numpy)

import gc  # noqa: E402
import json  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

from common import interleaved_medians, resident_bytes  # noqa: E402

DIM = 128
K = 10
QUERIES = 100
SEED = 1212


def main():
    count, repeats = int(sys.argv[1]), int(sys.argv[2])
    from halqen import PyFlat, PyHNSW

    rng = np.random.default_rng(SEED + count)
    data = rng.standard_normal((count, DIM))
    queries = [q.tolist() for q in rng.standard_normal((QUERIES, DIM))]
    gc.collect()
    before = resident_bytes()
    graph = PyHNSW(DIM, metric="euclidean")
    started = time.perf_counter()
    graph.create(data)
    build_seconds = time.perf_counter() - started
    gc.collect()
    grown = resident_bytes() - before
    flat = PyFlat(DIM)
    flat.create(data)
    seconds = interleaved_medians({
        "hnsw": lambda: [graph.search(q, k=K) for q in queries],
        "flat": lambda: [flat.search(q, k=K) for q in queries],
    }, repeats)
    print(json.dumps({
        "count": count,
        "dim": DIM,
        "build_seconds": build_seconds,
        # All the index holds, its copy of the vectors included.
        "bytes_per_vector": grown / count,
        "hnsw_query_seconds": seconds["hnsw"] / QUERIES,
        "flat_query_seconds": seconds["flat"] / QUERIES,
    }))


if __name__ == "__main__":
    main()
