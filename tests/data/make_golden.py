"""Writes the golden index files (run once per new file; committed).

    python tests/data/make_golden.py

Only files that do not exist yet are written: a golden file, once committed,
is what every later version of halqen must read. test_persist.py checks the
answers of the files of format version 1, test_graph_persist.py those of the
GraphIndex files of versions 2 to 4, against a plain reference.
"""
import pathlib
import random

import halqen_ext
from halqen import PyFlat, PyHNSW

HERE = pathlib.Path(__file__).resolve().parent


def golden_vectors(count, dim):
    rng = random.Random(20240611)
    return [[round(rng.uniform(-1.0, 1.0), 3) for _ in range(dim)] for _ in range(count)]


def flat_cosine(vectors):
    flat = PyFlat(4, metric="cosine")
    flat.create(vectors)
    return flat


def hnsw_euclidean(vectors):
    hnsw = PyHNSW(4, layers=1, m=8, ef_construction=10, ef_search=6, metric="euclidean",
                  schema=["parity"])
    for i, vector in enumerate(vectors):
        hnsw.insert(vector, metadata=[("parity", i % 2)])
    return hnsw


def graph_angular(vectors):
    """The first 30 vectors with default ids and no records; the last 10 with
    ids of the caller's (so the file holds the labels section) and records.
    The walk on the vectors, as when the file was made (no codes section)."""
    graph = halqen_ext.GraphIndex(4, "angular", m=4, ef_construction=12, ef_search=5, seed=9,
                                  schema=["parity"], walk="exact")
    graph.add(vectors[:30])
    graph.add(vectors[30:], ids=range(100, 110), metadata=[[("parity", i % 2)] for i in range(10)])
    return graph


def eighths(vectors):
    """The vectors rounded to eighths: float32 values, so kept as float32."""
    return [[round(x * 8) / 8 for x in vector] for vector in vectors]


def graph_euclidean(vectors):
    """Versions 3 and 4 (the same index): float32 rows, the 8-bit walk with its code rows saved, the
    caller's ids with records, and two removed vectors whose slots the last
    addition fills but one."""
    rows = eighths(vectors)
    graph = halqen_ext.GraphIndex(4, "euclidean", m=4, ef_construction=12, ef_search=5, seed=3,
                                  schema=["parity"])
    graph.add(rows[:30], ids=range(200, 230), metadata=[[("parity", i % 2)] for i in range(30)])
    graph.remove([203, 217, 224])
    graph.add(rows[30:32], metadata=[[("parity", 0)], [("parity", 1)]])
    return graph


GOLDEN = {
    "flat-cosine-v1.halqen": flat_cosine,
    "hnsw-euclidean-v1.halqen": hnsw_euclidean,
    "graph-angular-v2.halqen": graph_angular,
    "graph-euclidean-v3.halqen": graph_euclidean,
    "graph-euclidean-v4.halqen": graph_euclidean,
}


def main():
    vectors = golden_vectors(40, 4)
    for name, build in GOLDEN.items():
        path = HERE / name
        if not path.exists():
            halqen_ext.write_index(build(vectors), path)


if __name__ == "__main__":
    main()
