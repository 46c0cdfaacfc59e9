"""Section 1: one exact query against the memory stream and the peers."""
import numpy as np

from common import StreamKernel, interleaved_medians

DIM = 128
K = 10
# Stripe counts tried for the memory-read floor (bench/stream.c): the
# fastest of them is the floor that every row is compared with.
FLOOR_STRIPES = (1, 2, 4, 8)
FLOOR = "memory-read floor (C, -march=native)"


def numpy_difference(data, query):
    distances = np.sqrt(((data - query) ** 2).sum(axis=1))
    top = np.argpartition(distances, K)[:K]
    return top[np.argsort(distances[top], kind="stable")]


def numpy_expansion(data, norms, query):
    distances = norms - 2.0 * (data @ query) + query @ query
    top = np.argpartition(distances, K)[:K]
    return top[np.argsort(distances[top], kind="stable")]


def faiss_flat(data):
    import faiss

    faiss.omp_set_num_threads(1)
    index = faiss.IndexFlatL2(DIM)
    index.add(data.astype(np.float32))
    return index


def run(count, repeats, rng, stream):
    from halqen import PyFlat

    data = rng.standard_normal((count, DIM))
    query = rng.standard_normal(DIM)
    query_list = query.tolist()
    index = PyFlat(DIM)
    index.create(data)
    norms = (data * data).sum(axis=1)
    expected = [i for i, _ in index.search(query_list, k=K)]
    assert list(numpy_difference(data, query)) == expected, "numpy disagrees with PyFlat"
    flat32 = faiss_flat(data)
    query32 = query.astype(np.float32).reshape(1, DIM)
    floor_cases = {f"floor, {stripes} stripes": (lambda stripes=stripes: stream.sum(data, stripes))
                   for stripes in FLOOR_STRIPES}
    times = interleaved_medians({
        **floor_cases,
        "PyFlat.search": lambda: index.search(query_list, k=K),
        "numpy difference of squares": lambda: numpy_difference(data, query),
        "numpy dot expansion": lambda: numpy_expansion(data, norms, query),
        "faiss IndexFlatL2 (float32)": lambda: flat32.search(query32, K),
    }, repeats)
    by_stripes = {stripes: times.pop(name) for stripes, name in zip(FLOOR_STRIPES, floor_cases)}
    floor = min(by_stripes.values())
    return {"count": count, "dim": DIM, "k": K, "bytes": data.nbytes,
            "seconds": {FLOOR: floor, **times}, "floor_seconds": floor,
            "floor_seconds_by_stripes": {str(s): value for s, value in by_stripes.items()}}


def run_all(quick, rng):
    stream = StreamKernel()
    sizes = [100_000] if quick else [100_000, 1_000_000]
    repeats = 5 if quick else 9
    return [run(count, repeats, rng, stream) for count in sizes]


def print_table(results):
    for result in results:
        seconds = result["seconds"]
        floor = result["floor_seconds"]
        print(f"\n1. exact search, N={result['count']:,}, dim {result['dim']}, k={result['k']} "
              f"({result['bytes'] / 1e9:.2f} GB float64), one query per call")
        for name, value in seconds.items():
            print(f"   {name:37s} {value * 1e3:9.3f} ms  {value / floor:6.2f}x floor  "
                  f"{result['bytes'] / value / 1e9:6.1f} GB/s")
        stripes = ", ".join(f"{count}: {value * 1e3:.1f} ms"
                            for count, value in result["floor_seconds_by_stripes"].items())
        print(f"   (floor by stripe count: {stripes})")
