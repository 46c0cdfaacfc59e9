"""Section 5: saving and loading, against the peers' own save and load.

A 1,000,000 x 128 PyFlat is written to and read from a file in the page
cache (and to and from bytes), beside faiss IndexFlatL2 and hnswlib BFIndex
on the same data; a 20,000 x 128 PyHNSW is read back and compared with
building it, beside hnswlib and faiss HNSW indexes. write_index includes its
fsync (the file is on the device when it returns), which the peers' writers
do not do; serialize_index is the same encoding into memory. The peers store
float32, half of halqen's float64 bytes: rates are in GB/s of each
library's own file.
"""
import os
import shutil
import tempfile
import time

import numpy as np

from common import median_seconds

DIM = 128
FLAT_COUNT = 1_000_000
HNSW_COUNT = 20_000


def timed(function):
    started = time.perf_counter()
    result = function()
    return time.perf_counter() - started, result


def file_rates(name, write, read, path, repeats):
    """Median seconds of writing and of reading back `path`, and its size."""
    write_seconds = median_seconds(write, repeats)
    size = os.path.getsize(path)
    read(path)  # warm: the file is in the page cache for every timed read
    read_seconds = median_seconds(lambda: read(path), repeats)
    return {"library": name, "bytes": size, "write": write_seconds, "read": read_seconds}


def flat_section(count, repeats, rng, directory):
    import faiss
    import hnswlib
    import halqen_ext
    from halqen import PyFlat

    data = rng.standard_normal((count, DIM))
    single = data.astype(np.float32)
    index = PyFlat(DIM)
    index.create(data)
    rows = []

    path = os.path.join(directory, "flat.halqen")
    rows.append(file_rates("halqen write_index/read_index",
                           lambda: halqen_ext.write_index(index, path),
                           halqen_ext.read_index, path, repeats))

    blob = halqen_ext.serialize_index(index)
    serialize = median_seconds(lambda: halqen_ext.serialize_index(index), repeats)
    deserialize = median_seconds(lambda: halqen_ext.deserialize_index(blob), repeats)
    rows.append({"library": "halqen serialize/deserialize (memory)", "bytes": len(blob),
                 "write": serialize, "read": deserialize})

    del blob

    faiss_index = faiss.IndexFlatL2(DIM)
    faiss_index.add(single)
    faiss_path = os.path.join(directory, "flat.faiss")
    rows.append(file_rates("faiss IndexFlatL2 write_index/read_index",
                           lambda: faiss.write_index(faiss_index, faiss_path),
                           faiss.read_index, faiss_path, repeats))
    del faiss_index

    brute = hnswlib.BFIndex(space="l2", dim=DIM)
    brute.init_index(max_elements=count)
    brute.add_items(single)
    brute_path = os.path.join(directory, "flat.hnswlib")

    def load_brute(path):
        loaded = hnswlib.BFIndex(space="l2", dim=DIM)
        loaded.load_index(path, max_elements=count)
        return loaded

    rows.append(file_rates("hnswlib BFIndex save_index/load_index",
                           lambda: brute.save_index(brute_path), load_brute, brute_path, repeats))
    return {"count": count, "dim": DIM, "rows": rows}


def hnsw_section(count, repeats, rng, directory):
    import faiss
    import hnswlib
    import halqen_ext
    from halqen import PyHNSW

    data = rng.standard_normal((count, DIM))
    single = data.astype(np.float32)
    rows = []

    def build_halqen():
        index = PyHNSW(DIM, metric="euclidean")
        index.create(data)
        return index

    build, index = timed(build_halqen)
    path = os.path.join(directory, "graph.halqen")
    rates = file_rates("halqen PyHNSW", lambda: halqen_ext.write_index(index, path),
                       halqen_ext.read_index, path, repeats)
    rows.append({**rates, "build": build})

    def build_hnswlib():
        graph = hnswlib.Index(space="l2", dim=DIM)
        graph.init_index(max_elements=count, M=16, ef_construction=200)
        graph.add_items(single, num_threads=1)
        return graph

    build, graph = timed(build_hnswlib)
    graph_path = os.path.join(directory, "graph.hnswlib")

    def load_hnswlib(path):
        loaded = hnswlib.Index(space="l2", dim=DIM)
        loaded.load_index(path, max_elements=count)
        return loaded

    rates = file_rates("hnswlib Index (M=16, ef_construction=200)",
                       lambda: graph.save_index(graph_path), load_hnswlib, graph_path, repeats)
    rows.append({**rates, "build": build})

    def build_faiss():
        graph = faiss.IndexHNSWFlat(DIM, 16)
        graph.hnsw.efConstruction = 200
        graph.add(single)
        return graph

    build, faiss_graph = timed(build_faiss)
    faiss_path = os.path.join(directory, "graph.faiss")
    rates = file_rates("faiss IndexHNSWFlat (M=16, efConstruction=200)",
                       lambda: faiss.write_index(faiss_graph, faiss_path), faiss.read_index,
                       faiss_path, repeats)
    rows.append({**rates, "build": build})
    return {"count": count, "dim": DIM, "rows": rows}


def run_all(quick, rng):
    directory = tempfile.mkdtemp(prefix="halqen-bench-")
    try:
        return {
            "flat": flat_section(FLAT_COUNT // 10 if quick else FLAT_COUNT, 2 if quick else 3,
                                 rng, directory),
            "hnsw": hnsw_section(HNSW_COUNT // 10 if quick else HNSW_COUNT, 3, rng, directory),
        }
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def print_table(result):
    flat = result["flat"]
    print(f"\n5. saving and loading: flat, N={flat['count']:,}, dim {flat['dim']} "
          f"(GB/s of each library's own file)")
    print(f"   {'':48s} {'MB':>7s} {'write s':>8s} {'GB/s':>6s} {'read s':>8s} {'GB/s':>6s}")
    for row in flat["rows"]:
        print(f"   {row['library']:48s} {row['bytes'] / 1e6:7.0f} {row['write']:8.3f} "
              f"{row['bytes'] / row['write'] / 1e9:6.2f} {row['read']:8.3f} "
              f"{row['bytes'] / row['read'] / 1e9:6.2f}")
    hnsw = result["hnsw"]
    print(f"\n   graph, N={hnsw['count']:,}, dim {hnsw['dim']}: reading against building")
    print(f"   {'':48s} {'build s':>8s} {'write s':>8s} {'read s':>8s} {'build/read':>10s}")
    for row in hnsw["rows"]:
        print(f"   {row['library']:48s} {row['build']:8.2f} {row['write']:8.3f} "
              f"{row['read']:8.3f} {row['build'] / row['read']:9.0f}x")
