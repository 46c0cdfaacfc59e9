"""Section 2: ingestion by create and by insert, against plain conversions."""
import array

import numpy as np

from common import median_seconds

DIM = 128


def hnsw_without_links():
    """A PyHNSW that stores and draws levels but links nothing (layers=0),
    so the figure is the ingestion path alone, not graph construction."""
    from halqen import PyHNSW

    return PyHNSW(DIM, layers=0, metric="euclidean")


def flat():
    from halqen import PyFlat

    return PyFlat(DIM)


def run(count, repeats, rng):
    data = np.ascontiguousarray(rng.standard_normal((count, DIM)))
    rows = data.tolist()

    def create(make, source):
        make().create(source)

    def insert_each(make, source):
        index = make()
        for row in source:
            index.insert(row)

    cases = {
        "PyFlat.create(list of lists)": lambda: create(flat, rows),
        "PyFlat.create(numpy array)": lambda: create(flat, data),
        "PyFlat.insert(list) each": lambda: insert_each(flat, rows),
        "PyFlat.insert(numpy row) each": lambda: insert_each(flat, data),
        "PyHNSW.create(list of lists), no links": lambda: create(hnsw_without_links, rows),
        "PyHNSW.create(numpy array), no links": lambda: create(hnsw_without_links, data),
        "PyHNSW.insert(list) each, no links": lambda: insert_each(hnsw_without_links, rows),
        "PyHNSW.insert(numpy row) each, no links": lambda: insert_each(hnsw_without_links, data),
        "np.asarray(list of lists, float64)": lambda: np.asarray(rows, dtype=np.float64),
        "array.array('d', row) each": lambda: [array.array("d", row) for row in rows],
    }
    seconds = {name: median_seconds(case, repeats) for name, case in cases.items()}
    return {"count": count, "dim": DIM, "bytes": data.nbytes, "seconds": seconds}


def run_all(quick, rng):
    return run(20_000 if quick else 100_000, 3 if quick else 5, rng)


def print_table(result):
    count = result["count"]
    print(f"\n2. ingestion, N={count:,}, dim {result['dim']} (per vector; GB/s of float64 data)")
    for name, value in result["seconds"].items():
        rate = result["bytes"] / value / 1e9
        print(f"   {name:42s} {value / count * 1e6:8.3f} us  {rate:6.2f} GB/s")
    seconds = result["seconds"]
    ratio = seconds["PyFlat.create(list of lists)"] / seconds["array.array('d', row) each"]
    print(f"   PyFlat.create(list of lists) / array.array per row: {ratio:.2f}x")
