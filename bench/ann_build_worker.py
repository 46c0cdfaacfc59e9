"""Builds one graph index in a fresh process, so that its resident growth is
its own: build seconds with a given number of threads (after a small warm-up
build), resident bytes per vector, and optionally the index saved to a file
for the search worker. Prints one JSON object.

Usage: ann_build_worker.py LIBRARY THREADS [--save PATH] DATA-ARGUMENTS
"""
import common  # noqa: F401  (single-threaded set-up before numpy)

import argparse  # noqa: E402
import gc  # noqa: E402
import json  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import ann_data  # noqa: E402
import peers  # noqa: E402
from common import resident_bytes  # noqa: E402

# The warm-up build loads the library's code, starts its threads and
# touches the allocator before anything is timed.
WARMUP_VECTORS = 2_000


def measured_build(library, vectors, threads):
    """(index, wall seconds, CPU seconds of all threads, resident growth in bytes)."""
    gc.collect()
    before = resident_bytes()
    started, started_cpu = time.perf_counter(), time.process_time()
    index = library.build(vectors, threads)
    seconds, cpu_seconds = time.perf_counter() - started, time.process_time() - started_cpu
    gc.collect()
    return index, seconds, cpu_seconds, resident_bytes() - before


def main():
    spec, rest = ann_data.parse_spec(None)
    parser = argparse.ArgumentParser()
    parser.add_argument("library", choices=peers.LIBRARIES)
    parser.add_argument("threads", type=int)
    parser.add_argument("--save")
    options = parser.parse_args(rest)
    library = peers.make(options.library)
    data, _ = ann_data.load(spec)
    # The library's own copy of the input is part of its index, the input is not.
    vectors = np.ascontiguousarray(data, dtype=library.dtype)
    del data
    library.build(vectors[:WARMUP_VECTORS], options.threads)
    index, seconds, cpu_seconds, grown = measured_build(library, vectors, options.threads)
    saved, save_error = False, None
    if options.save:
        # Whatever stops the save, the search worker then builds the index itself.
        try:
            library.save(index, options.save)
            saved = True
        except Exception as error:  # noqa: BLE001
            save_error = f"{type(error).__name__}: {error}"
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
        "saved": saved,
        "save_error": save_error,
    }))


if __name__ == "__main__":
    main()
