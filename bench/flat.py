"""Exact search and ingestion benchmark for PyFlat against numpy brute force.

Prints a table of per-query and per-insert times; every figure is the median
of several runs, all single-threaded. Usage: python bench/flat.py [--quick]
"""
import os

# Single-threaded comparisons: fix the BLAS thread count before numpy loads.
for variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[variable] = "1"

import argparse  # noqa: E402
import statistics  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

from halqen import PyFlat  # noqa: E402

DIM = 128
K = 10


def median_seconds(function, repeats):
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        function()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def numpy_difference(data, query):
    distances = np.sqrt(((data - query) ** 2).sum(axis=1))
    top = np.argpartition(distances, K)[:K]
    return top[np.argsort(distances[top])]


def numpy_expansion(data, norms, query):
    distances = norms - 2.0 * (data @ query) + query @ query
    top = np.argpartition(distances, K)[:K]
    return top[np.argsort(distances[top])]


def search_table(count, repeats, rng):
    data = rng.standard_normal((count, DIM))
    query = rng.standard_normal(DIM)
    index = PyFlat(DIM)
    index.create(data)
    norms = (data * data).sum(axis=1)
    expected = [i for i, _ in index.search(query, k=K)]
    assert list(numpy_difference(data, query)) == expected
    rows = {
        "memory stream floor (numpy sum of the same bytes)": median_seconds(lambda: data.sum(), repeats),
        "PyFlat.search": median_seconds(lambda: index.search(query, k=K), repeats),
        "numpy difference of squares + argpartition": median_seconds(
            lambda: numpy_difference(data, query), repeats),
        "numpy dot expansion (precomputed norms) + argpartition": median_seconds(
            lambda: numpy_expansion(data, norms, query), repeats),
    }
    floor = rows["memory stream floor (numpy sum of the same bytes)"]
    print(f"\nexact search, N={count:,}, dim {DIM}, k={K} ({data.nbytes / 1e9:.2f} GB)")
    for name, seconds in rows.items():
        print(f"  {name:58s} {seconds * 1e3:9.2f} ms  {seconds / floor:5.2f}x floor")


def ingestion_table(count, repeats, rng):
    data = rng.standard_normal((count, DIM))
    rows_as_lists = data.tolist()

    def create_from(source):
        index = PyFlat(DIM)
        index.create(source)

    def insert_each(rows):
        index = PyFlat(DIM)
        for row in rows:
            index.insert(row)

    per_row = 1e6 / count
    print(f"\ningestion, N={count:,}, dim {DIM} (microseconds per vector)")
    results = {
        "PyFlat.create(list of lists)": median_seconds(lambda: create_from(rows_as_lists), repeats),
        "PyFlat.create(numpy array)": median_seconds(lambda: create_from(data), repeats),
        "PyFlat.insert(list) per row": median_seconds(lambda: insert_each(rows_as_lists), repeats),
        "PyFlat.insert(numpy row) per row": median_seconds(lambda: insert_each(data), repeats),
        "np.asarray(list of lists)": median_seconds(lambda: np.asarray(rows_as_lists), repeats),
    }
    for name, seconds in results.items():
        print(f"  {name:58s} {seconds * per_row:9.3f} us")
    gigabytes = data.nbytes / 1e9
    print(f"  create from numpy: {gigabytes / results['PyFlat.create(numpy array)']:.2f} GB/s")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="small sizes, few repeats")
    options = parser.parse_args()
    rng = np.random.default_rng(0)
    sizes = [100_000] if options.quick else [100_000, 1_000_000]
    repeats = 3 if options.quick else 7
    for count in sizes:
        search_table(count, repeats, rng)
    ingestion_table(20_000 if options.quick else 100_000, 3, rng)


if __name__ == "__main__":
    main()
