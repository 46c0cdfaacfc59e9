"""Builds and queries one approximate index in a fresh process, so that its
resident-memory growth is its own; prints one JSON object.

Usage: approx_worker.py LIBRARY COUNT BUILD_REPEATS QUERY_REPEATS [--digits]
LIBRARY is halqen, hnswlib or faiss.
"""
import common  # noqa: F401  (single-threaded set-up before numpy)

import gc  # noqa: E402
import json  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

from common import median_seconds, resident_bytes  # noqa: E402

RANDOM_DIM = 128
K = 10
QUERIES = 100
SEED = 20240
# The peers' parameters, matching the graph's defaults where they have one.
M = 16
EF_CONSTRUCTION = 200
EF_SEARCH = 50


def random_data(count):
    rng = np.random.default_rng(SEED + count)
    return rng.standard_normal((count, RANDOM_DIM)), rng.standard_normal((QUERIES, RANDOM_DIM))


def digits_data():
    from sklearn.datasets import load_digits

    values = np.ascontiguousarray(load_digits().data, dtype=np.float64)
    return values[:-QUERIES], values[-QUERIES:]


class Halqen:
    itemsize = 8

    def prepare(self):
        import halqen  # noqa: F401

    def build(self, data):
        from halqen import PyHNSW

        index = PyHNSW(data.shape[1], metric="euclidean")
        index.create(data)
        return index

    def query(self, index, queries):
        return [index.search(q, k=K) for q in queries]

    def distances(self, data, query, answer):
        return [distance for distance, _ in answer]


class Hnswlib:
    itemsize = 4

    def prepare(self):
        import hnswlib  # noqa: F401

    def build(self, data):
        import hnswlib

        index = hnswlib.Index(space="l2", dim=data.shape[1])
        index.init_index(max_elements=len(data), M=M, ef_construction=EF_CONSTRUCTION)
        index.set_num_threads(1)
        index.add_items(data.astype(np.float32), num_threads=1)
        index.set_ef(EF_SEARCH)
        return index

    def query(self, index, queries):
        return [index.knn_query(q.reshape(1, -1), k=K, num_threads=1)[0][0] for q in queries]

    def distances(self, data, query, answer):
        return np.sqrt(((data[answer] - query) ** 2).sum(axis=1)).tolist()


class Faiss:
    itemsize = 4

    def prepare(self):
        import faiss

        faiss.omp_set_num_threads(1)

    def build(self, data):
        import faiss

        faiss.omp_set_num_threads(1)
        index = faiss.IndexHNSWFlat(data.shape[1], M)
        index.hnsw.efConstruction = EF_CONSTRUCTION
        index.hnsw.efSearch = EF_SEARCH
        index.add(data.astype(np.float32))
        return index

    def query(self, index, queries):
        return [index.search(q.reshape(1, -1), K)[1][0] for q in queries]

    def distances(self, data, query, answer):
        return np.sqrt(((data[answer] - query) ** 2).sum(axis=1)).tolist()


LIBRARIES = {"halqen": Halqen, "hnswlib": Hnswlib, "faiss": Faiss}


def recall(library, data, queries, answers):
    """Share of returned results at most as far as the true k-th nearest
    (exact float64 distances), which counts ties and duplicates fairly."""
    from halqen import PyFlat

    exact = PyFlat(data.shape[1])
    exact.create(data)
    found = 0
    for query, answer in zip(queries, answers):
        kth = exact.search(query.tolist(), k=K)[-1][1]
        found += sum(1 for d in library.distances(data, query, answer) if d <= kth * (1 + 1e-9))
    return found / (K * len(queries))


def flat_query_seconds(data, queries, repeats):
    from halqen import PyFlat

    exact = PyFlat(data.shape[1])
    exact.create(data)
    rows = [q.tolist() for q in queries]
    return median_seconds(lambda: [exact.search(q, k=K) for q in rows], repeats) / len(rows)


def main():
    name, count, build_repeats, query_repeats = sys.argv[1], *map(int, sys.argv[2:5])
    digits = "--digits" in sys.argv
    data, queries = digits_data() if digits else random_data(count)
    library = LIBRARIES[name]()
    # Loading a library's code is not part of its index's memory.
    library.prepare()
    gc.collect()
    before = resident_bytes()
    started = time.perf_counter()
    index = library.build(data)
    build_times = [time.perf_counter() - started]
    graph_bytes = resident_bytes() - before - data.size * library.itemsize
    for _ in range(build_repeats - 1):
        started = time.perf_counter()
        library.build(data)
        build_times.append(time.perf_counter() - started)
    query_list = [q.tolist() for q in queries] if name == "halqen" else queries
    answers = library.query(index, query_list)
    query_seconds = median_seconds(lambda: library.query(index, query_list), query_repeats)
    result = {
        "library": name,
        "count": len(data),
        "dim": data.shape[1],
        "build_seconds": sorted(build_times)[len(build_times) // 2],
        "build_runs": len(build_times),
        "query_seconds": query_seconds / len(queries),
        "recall_at_10": recall(library, data, queries, answers),
        "graph_bytes_per_node": graph_bytes / len(data),
    }
    if name == "halqen":
        result["flat_query_seconds"] = flat_query_seconds(data, queries, query_repeats)
    print(json.dumps(result))


if __name__ == "__main__":
    main()
