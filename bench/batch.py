"""Section 6: many queries at once (halqen_ext.search_batch), B1 to B4.

B1  PyFlat, N x 128, a batch of queries, k=10, one thread: time per query
    against the memory-read floor of one pass over the store.
B2  the same batch on every usable CPU against one thread.
B3  the same batch beside numpy float64 (X @ Q.T with precomputed norms and
    argpartition) and faiss IndexFlatL2.search (float32), one thread each.
B4  PyHNSW, 1,000 queries over 20,000 x 128: the batch on every usable CPU
    against a Python loop of search.

Every figure is a median of rounds that time each case once in turn.
"""
import os

import numpy as np

from common import StreamKernel, interleaved_medians

DIM = 128
K = 10
FLOOR_STRIPES = (1, 2, 4, 8)
# numpy's product is taken for this many queries at a time, so that the
# distance matrix (N x block) stays a few hundred megabytes.
NUMPY_QUERY_BLOCK = 32


def usable_cpus():
    return len(os.sched_getaffinity(0))


def numpy_batch(data, norms, queries):
    """The k nearest rows of each query by squared euclidean distance through
    the dot-product expansion, float64, nearest first."""
    answers = []
    for first in range(0, len(queries), NUMPY_QUERY_BLOCK):
        block = queries[first:first + NUMPY_QUERY_BLOCK]
        distances = norms[:, None] - 2.0 * (data @ block.T) + (block * block).sum(axis=1)
        top = np.argpartition(distances, K, axis=0)[:K]
        for column in range(block.shape[0]):
            ids = top[:, column]
            answers.append(ids[np.argsort(distances[ids, column], kind="stable")])
    return answers


def faiss_index(data):
    import faiss

    faiss.omp_set_num_threads(1)
    index = faiss.IndexFlatL2(DIM)
    index.add(data.astype(np.float32))
    return index


def exact_batches(count, query_count, repeats, rng):
    import halqen_ext
    from halqen import PyFlat

    data = rng.standard_normal((count, DIM))
    queries = rng.standard_normal((query_count, DIM))
    index = PyFlat(DIM)
    index.create(data)
    cpus = usable_cpus()
    answers = halqen_ext.search_batch(index, queries, K, threads=cpus)
    assert answers[:4] == [index.search(q, K) for q in queries[:4]], "batch != search"
    norms = (data * data).sum(axis=1)
    agree = [list(ids) == [i for i, _ in hits]
             for ids, hits in zip(numpy_batch(data, norms, queries[:8]), answers)]
    print(f"   numpy agrees with PyFlat on {sum(agree)} of {len(agree)} queries")
    flat32 = faiss_index(data)
    queries32 = queries.astype(np.float32)
    stream = StreamKernel()
    floors = {f"floor, {s} stripes": (lambda s=s: stream.sum(data, s)) for s in FLOOR_STRIPES}
    times = interleaved_medians({
        **floors,
        "PyFlat.search, one query": lambda: index.search(queries[0], K),
        "search_batch, 1 thread": lambda: halqen_ext.search_batch(index, queries, K, threads=1),
        f"search_batch, {cpus} threads": lambda: halqen_ext.search_batch(index, queries, K,
                                                                          threads=cpus),
        "numpy X @ Q.T float64": lambda: numpy_batch(data, norms, queries),
        "faiss IndexFlatL2 float32": lambda: flat32.search(queries32, K),
    }, repeats)
    floor = min(times.pop(name) for name in floors)
    per_query = {name: value if name.startswith("PyFlat.search") else value / query_count
                 for name, value in times.items()}
    one = per_query["search_batch, 1 thread"]
    return {
        "count": count, "dim": DIM, "k": K, "queries": query_count, "cpus": cpus,
        "floor_seconds": floor, "seconds_per_query": per_query,
        "B1_batch_over_floor": one / floor,
        "B2_speedup_all_cpus": one / per_query[f"search_batch, {cpus} threads"],
        "B3_batch_over_numpy": one / per_query["numpy X @ Q.T float64"],
        "B3_batch_over_faiss": one / per_query["faiss IndexFlatL2 float32"],
    }


def graph_batches(count, query_count, repeats, rng):
    import halqen_ext
    from halqen import PyHNSW

    data = rng.standard_normal((count, DIM))
    queries = rng.standard_normal((query_count, DIM))
    index = PyHNSW(DIM, metric="euclidean")
    index.create(data)
    query_lists = queries.tolist()
    cpus = usable_cpus()
    assert halqen_ext.search_batch(index, queries, K, threads=cpus) == [
        index.search(q, K) for q in query_lists]
    times = interleaved_medians({
        "loop of PyHNSW.search": lambda: [index.search(q, K) for q in query_lists],
        "search_batch, 1 thread": lambda: halqen_ext.search_batch(index, queries, K, threads=1),
        f"search_batch, {cpus} threads": lambda: halqen_ext.search_batch(index, queries, K,
                                                                          threads=cpus),
        f"search_ids, {cpus} threads": lambda: halqen_ext.search_ids(index, queries, K,
                                                                      threads=cpus),
    }, repeats)
    return {
        "count": count, "dim": DIM, "k": K, "queries": query_count, "cpus": cpus,
        "seconds": times,
        "B4_throughput_over_loop": times["loop of PyHNSW.search"]
        / times[f"search_batch, {cpus} threads"],
    }


def run_all(quick, rng):
    if quick:
        return {"exact": exact_batches(100_000, 64, 3, rng),
                "graph": graph_batches(5_000, 200, 3, rng)}
    return {"exact": exact_batches(1_000_000, 256, 3, rng),
            "graph": graph_batches(20_000, 1_000, 5, rng)}


def print_table(result):
    exact = result["exact"]
    print(f"\n6. batches of queries, PyFlat N={exact['count']:,}, dim {exact['dim']}, "
          f"{exact['queries']} queries, k={exact['k']}, {exact['cpus']} usable CPUs")
    print(f"   {'memory-read floor (one pass)':37s} {exact['floor_seconds'] * 1e3:9.3f} ms")
    for name, value in exact["seconds_per_query"].items():
        print(f"   {name:37s} {value * 1e3:9.3f} ms per query  "
              f"{value / exact['floor_seconds']:6.3f}x floor")
    print(f"   B1 batch, one thread / floor        {exact['B1_batch_over_floor']:6.3f}")
    print(f"   B2 one thread / all CPUs            {exact['B2_speedup_all_cpus']:6.2f}x")
    print(f"   B3 batch / numpy float64            {exact['B3_batch_over_numpy']:6.2f}")
    print(f"   B3 batch / faiss float32            {exact['B3_batch_over_faiss']:6.2f}")
    graph = result["graph"]
    print(f"\n   PyHNSW N={graph['count']:,}, {graph['queries']} queries, k={graph['k']}")
    for name, value in graph["seconds"].items():
        print(f"   {name:37s} {value * 1e3:9.1f} ms  "
              f"{graph['queries'] / value:9.0f} queries/s")
    print(f"   B4 batch, all CPUs / loop           {graph['B4_throughput_over_loop']:6.2f}x")
