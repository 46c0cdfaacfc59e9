"""Section 6: many queries at once (halqen_ext.search_batch), B1 to B4.

B1  PyFlat, N x 128, a batch of queries, k=10, one thread: time per query
    against the memory-read floor of one pass over the store.
B2  the same batch on every usable CPU against one thread.
B3  the same batch beside numpy float64 (X @ Q.T with precomputed norms and
    argpartition) and faiss IndexFlatL2.search (float32), one thread each.
B4  PyHNSW, 1,000 queries over 20,000 x 128: the batch on every usable CPU
    against a Python loop of search.

Every figure is a median of rounds that time each case once in turn. The
one-thread cases (B1, B3) are also timed in process CPU time, which other
work on a shared machine inflates far less than wall time; B2 and B4 are
about wall time, and need the machine's CPUs free to mean anything.
"""
import os
import statistics
import time

import numpy as np

from common import StreamKernel

DIM = 128
K = 10
FLOOR_STRIPES = (1, 2, 4, 8)
# numpy's product is taken for this many queries at a time, so that the
# distance matrix (block x N) stays a few hundred megabytes.
NUMPY_QUERY_BLOCK = 32


def usable_cpus():
    return len(os.sched_getaffinity(0))


def interleaved_times(functions, repeats):
    """Median wall and process CPU seconds of each of `functions` (a dict),
    timed in rounds that call each once in turn, after one untimed call."""
    for function in functions.values():
        function()
    wall = {name: [] for name in functions}
    cpu = {name: [] for name in functions}
    for _ in range(repeats):
        for name, function in functions.items():
            started, started_cpu = time.perf_counter(), time.process_time()
            function()
            cpu[name].append(time.process_time() - started_cpu)
            wall[name].append(time.perf_counter() - started)
    return ({name: statistics.median(values) for name, values in wall.items()},
            {name: statistics.median(values) for name, values in cpu.items()})


def numpy_batch(data, norms, queries):
    """The k nearest rows of each query by squared euclidean distance through
    the dot-product expansion, float64, nearest first."""
    answers = []
    for first in range(0, len(queries), NUMPY_QUERY_BLOCK):
        block = queries[first:first + NUMPY_QUERY_BLOCK]
        distances = block @ data.T  # one row per query
        distances *= -2.0
        distances += norms
        distances += (block * block).sum(axis=1)[:, None]
        top = np.argpartition(distances, K, axis=1)[:, :K]
        for row, ids in zip(distances, top):
            answers.append(ids[np.argsort(row[ids], kind="stable")])
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
    wall, cpu = interleaved_times({
        **floors,
        "PyFlat.search, one query": lambda: index.search(queries[0], K),
        "search_batch, 1 thread": lambda: halqen_ext.search_batch(index, queries, K, threads=1),
        f"search_batch, {cpus} threads": lambda: halqen_ext.search_batch(index, queries, K,
                                                                          threads=cpus),
        "numpy X @ Q.T float64": lambda: numpy_batch(data, norms, queries),
        "faiss IndexFlatL2 float32": lambda: flat32.search(queries32, K),
    }, repeats)

    def per_query(times):
        floor = min(times.pop(name) for name in floors)
        each = {name: value if name.startswith("PyFlat.search") else value / query_count
                for name, value in times.items()}
        one = each["search_batch, 1 thread"]
        return {"floor_seconds": floor, "seconds_per_query": each,
                "B1_batch_over_floor": one / floor,
                "B3_batch_over_numpy": one / each["numpy X @ Q.T float64"],
                "B3_batch_over_faiss": one / each["faiss IndexFlatL2 float32"]}

    by_wall, by_cpu = per_query(wall), per_query(cpu)
    by_wall["B2_speedup_all_cpus"] = (by_wall["seconds_per_query"]["search_batch, 1 thread"]
                                      / by_wall["seconds_per_query"][
                                          f"search_batch, {cpus} threads"])
    return {"count": count, "dim": DIM, "k": K, "queries": query_count, "cpus": cpus,
            "wall": by_wall, "cpu": by_cpu}


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
    times, cpu = interleaved_times({
        "loop of PyHNSW.search": lambda: [index.search(q, K) for q in query_lists],
        "search_batch, 1 thread": lambda: halqen_ext.search_batch(index, queries, K, threads=1),
        f"search_batch, {cpus} threads": lambda: halqen_ext.search_batch(index, queries, K,
                                                                          threads=cpus),
        f"search_ids, {cpus} threads": lambda: halqen_ext.search_ids(index, queries, K,
                                                                      threads=cpus),
    }, repeats)
    return {
        "count": count, "dim": DIM, "k": K, "queries": query_count, "cpus": cpus,
        "seconds": times, "cpu_seconds": cpu,
        "B4_throughput_over_loop": times["loop of PyHNSW.search"]
        / times[f"search_batch, {cpus} threads"],
    }


def run_all(quick, rng):
    if quick:
        return {"exact": exact_batches(100_000, 64, 3, rng),
                "graph": graph_batches(5_000, 200, 3, rng)}
    return {"exact": exact_batches(1_000_000, 256, 3, rng),
            "graph": graph_batches(20_000, 1_000, 5, rng)}


def print_exact(exact, clock):
    timed = exact[clock]
    floor = timed["floor_seconds"]
    print(f"   {clock} time")
    print(f"   {'memory-read floor (one pass)':37s} {floor * 1e3:9.3f} ms")
    for name, value in timed["seconds_per_query"].items():
        print(f"   {name:37s} {value * 1e3:9.3f} ms per query  {value / floor:6.3f}x floor")
    print(f"   B1 batch, one thread / floor        {timed['B1_batch_over_floor']:6.3f}")
    print(f"   B3 batch / numpy float64            {timed['B3_batch_over_numpy']:6.2f}")
    print(f"   B3 batch / faiss float32            {timed['B3_batch_over_faiss']:6.2f}")


def print_table(result):
    exact = result["exact"]
    print(f"\n6. batches of queries, PyFlat N={exact['count']:,}, dim {exact['dim']}, "
          f"{exact['queries']} queries, k={exact['k']}, {exact['cpus']} usable CPUs")
    print_exact(exact, "cpu")
    print_exact(exact, "wall")
    print(f"   B2 one thread / all CPUs (wall)     {exact['wall']['B2_speedup_all_cpus']:6.2f}x")
    graph = result["graph"]
    print(f"\n   PyHNSW N={graph['count']:,}, {graph['queries']} queries, k={graph['k']}")
    for name, value in graph["seconds"].items():
        print(f"   {name:37s} {value * 1e3:9.1f} ms  {graph['queries'] / value:9.0f} queries/s"
              f"  (CPU {graph['cpu_seconds'][name] * 1e3:.0f} ms)")
    print(f"   B4 batch, all CPUs / loop (wall)    {graph['B4_throughput_over_loop']:6.2f}x")
