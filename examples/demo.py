"""halqen demo: exact and approximate nearest-neighbour search on a clustered data set.

Generates a deterministic data set (vectors of dimension 64 around a few
cluster centres, each tagged with its cluster's colour), builds an exact
PyFlat index and an approximate PyHNSW index over it, and reports what the
searches find, how long they take and how much of the exact top 10 the
approximate index recovers. Then the same with halqen_ext.GraphIndex, the
index for large collections: built on every CPU with a progress bar (on
stderr), searched for all queries at once, filtered, saved to a file and
read back.
"""
import os
import random
import sys
import tempfile
import time
from typing import Callable, TypeVar

import halqen_ext
from halqen import PyFlat, PyHNSW
from halqen_ext import GraphIndex

DIM = 64
CLUSTERS = 8
PER_CLUSTER = 375
QUERIES = 50
K = 10
Vector = list[float]
Result = TypeVar("Result")

COLOURS = ["red", "green", "blue", "amber", "violet", "teal", "coral", "slate"]


def make_data(seed: int = 2026) -> tuple[list[Vector], list[int], list[Vector]]:
    rng = random.Random(seed)
    centres = [[rng.uniform(-10.0, 10.0) for _ in range(DIM)] for _ in range(CLUSTERS)]
    vectors: list[Vector] = []
    tags: list[int] = []
    for cluster, centre in enumerate(centres):
        for _ in range(PER_CLUSTER):
            vectors.append([c + rng.gauss(0.0, 1.5) for c in centre])
            tags.append(cluster)
    queries: list[Vector] = []
    for _ in range(QUERIES):
        centre = centres[rng.randrange(CLUSTERS)]
        queries.append([c + rng.gauss(0.0, 1.5) for c in centre])
    return vectors, tags, queries


def progress(done: int, total: int, started: float) -> None:
    width = 30
    filled = width * done // total
    sys.stdout.write(f"\r  [{'#' * filled}{'.' * (width - filled)}] {done}/{total} "
                     f"{time.perf_counter() - started:5.1f} s")
    sys.stdout.flush()


def build_hnsw(vectors: list[Vector], tags: list[int]) -> tuple[PyHNSW, float]:
    index = PyHNSW(DIM, metric="euclidean", schema=["colour", "cluster"])
    batch = 250
    started = time.perf_counter()
    for start in range(0, len(vectors), batch):
        chunk = range(start, min(start + batch, len(vectors)))
        index.create([vectors[i] for i in chunk],
                     metadata=[[("colour", COLOURS[tags[i]]), ("cluster", tags[i])] for i in chunk])
        progress(chunk.stop, len(vectors), started)
    print()
    return index, time.perf_counter() - started


def timed(function: Callable[[Vector], Result],
          items: list[Vector]) -> tuple[list[Result], float]:
    started = time.perf_counter()
    results = [function(item) for item in items]
    return results, (time.perf_counter() - started) / len(items)


def main() -> None:
    vectors, tags, queries = make_data()
    print(f"data: {len(vectors)} vectors of dimension {DIM} in {CLUSTERS} clusters, {QUERIES} queries")

    started = time.perf_counter()
    flat = PyFlat(DIM)
    flat.create(vectors)
    print(f"PyFlat built in {time.perf_counter() - started:.3f} s")

    print("PyHNSW building (layers=5, ef_construction=200):")
    hnsw, build_seconds = build_hnsw(vectors, tags)
    print(f"PyHNSW built in {build_seconds:.2f} s")

    exact, flat_time = timed(lambda q: flat.search(q, k=K), queries)
    approx, hnsw_time = timed(lambda q: hnsw.search(q, k=K), queries)

    first = exact[0]
    print("\nquery 0, exact top 3 (id, distance):")
    for ident, distance in first[:3]:
        print(f"  id {ident:5d}  cluster {COLOURS[tags[ident]]:6s}  distance {distance:.4f}")
    print("query 0, approximate top 3 (distance):")
    for distance, _vector in approx[0][:3]:
        print(f"  distance {distance:.4f}")

    found = 0
    for exact_hits, approx_hits in zip(exact, approx):
        exact_distances = sorted(d for _, d in exact_hits)
        found += sum(1 for d, _ in approx_hits if d <= exact_distances[-1])
    recall = found / (K * len(queries))
    print(f"\nrecall@{K} of PyHNSW against PyFlat: {recall:.3f}")
    print(f"time per query: PyFlat {flat_time * 1e3:.3f} ms, PyHNSW {hnsw_time * 1e3:.3f} ms")

    query = queries[0]
    colour = COLOURS[tags[exact[0][0][0]]]
    other = COLOURS[(COLOURS.index(colour) + 1) % CLUSTERS]
    print(f"\nfiltered search near query 0 (a {colour} region), keeping only colour={other!r}:")
    for distance, vector in hnsw.search(query, k=3, filter=("colour", other)):
        print(f"  distance {distance:.4f}")
    print("the same search without a filter:")
    for distance, vector in hnsw.search(query, k=3):
        print(f"  distance {distance:.4f}")

    graph_tour(vectors, tags, queries, [[ident for ident, _ in hits] for hits in exact], other)


def graph_tour(vectors: list[Vector], tags: list[int], queries: list[Vector],
               exact_ids: list[list[int]], colour: str) -> None:
    print("\nGraphIndex building (m=16, ef_construction=200; progress bar on stderr):")
    graph = GraphIndex(DIM, "euclidean", schema=["colour", "cluster"])
    started = time.perf_counter()
    graph.add(vectors, metadata=[[("colour", COLOURS[t]), ("cluster", t)] for t in tags],
              progress=True)
    print(f"{graph!r} built in {time.perf_counter() - started:.2f} s")

    started = time.perf_counter()
    ids, distances = graph.search(queries, k=K)  # all queries at once, on worker threads
    per_query = (time.perf_counter() - started) / len(queries)
    found = sum(len(set(row) & set(truth)) for row, truth in zip(ids.tolist(), exact_ids))
    print(f"recall@{K} of GraphIndex against PyFlat: {found / (K * len(queries)):.3f}, "
          f"{per_query * 1e3:.3f} ms per query in a batch")

    print(f"GraphIndex filtered search near query 0, colour={colour!r} (id, distance):")
    ids, distances = graph.search(queries[0], k=3, filter=("colour", colour))
    for ident, distance in halqen_ext.trimmed(ids, distances)[0]:
        print(f"  id {ident:5d}  colour {COLOURS[tags[ident]]:6s}  distance {distance:.4f}")

    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "demo.halqen")
        halqen_ext.write_index(graph, path)
        size = os.path.getsize(path)
        loaded = halqen_ext.read_index(path)
    assert isinstance(loaded, GraphIndex)
    same = (loaded.search(queries, k=K)[0] == graph.search(queries, k=K)[0]).all()
    print(f"saved to a file of {size / 1e6:.1f} MB and read back: {loaded!r}, same answers: {same}")


if __name__ == "__main__":
    main()
