"""Section 1: one exact query against the memory stream and the peers."""
import numpy as np

from common import StreamKernel, median_seconds

DIM = 128
K = 10
# Rows read as this many contiguous stripes side by side, as the exact index
# reads them: the fastest one core reads memory here.
STREAM_STRIPES = 8


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
    times = {
        "stream, 1 sequential stripe": median_seconds(lambda: stream.sum(data, 1), repeats),
        f"stream, {STREAM_STRIPES} stripes side by side": median_seconds(
            lambda: stream.sum(data, STREAM_STRIPES), repeats),
        "PyFlat.search": median_seconds(lambda: index.search(query_list, k=K), repeats),
        "numpy difference of squares": median_seconds(lambda: numpy_difference(data, query),
                                                      repeats),
        "numpy dot expansion": median_seconds(lambda: numpy_expansion(data, norms, query),
                                              repeats),
        "faiss IndexFlatL2 (float32)": median_seconds(lambda: flat32.search(query32, K),
                                                      repeats),
    }
    floor = min(times["stream, 1 sequential stripe"],
                times[f"stream, {STREAM_STRIPES} stripes side by side"])
    return {"count": count, "dim": DIM, "k": K, "bytes": data.nbytes, "seconds": times,
            "stream_floor_seconds": floor}


def run_all(quick, rng):
    stream = StreamKernel()
    sizes = [100_000] if quick else [100_000, 1_000_000]
    repeats = 5 if quick else 9
    return [run(count, repeats, rng, stream) for count in sizes]


def print_table(results):
    for result in results:
        seconds = result["seconds"]
        floor = result["stream_floor_seconds"]
        print(f"\n1. exact search, N={result['count']:,}, dim {result['dim']}, k={result['k']} "
              f"({result['bytes'] / 1e9:.2f} GB float64), one query per call")
        for name, value in seconds.items():
            print(f"   {name:34s} {value * 1e3:9.3f} ms  {value / floor:6.2f}x stream floor  "
                  f"{result['bytes'] / value / 1e9:6.1f} GB/s")
