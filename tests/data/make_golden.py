"""Writes the golden index files of format version 1 (run once; committed).

    python tests/data/make_golden.py

Every later version of halqen must read these files; test_persist.py checks
their answers against a plain reference and against a fresh build.
"""
import pathlib
import random

import halqen_ext
from halqen import PyFlat, PyHNSW

HERE = pathlib.Path(__file__).resolve().parent


def golden_vectors(count, dim):
    rng = random.Random(20240611)
    return [[round(rng.uniform(-1.0, 1.0), 3) for _ in range(dim)] for _ in range(count)]


def main():
    vectors = golden_vectors(40, 4)
    flat = PyFlat(4, metric="cosine")
    flat.create(vectors)
    halqen_ext.write_index(flat, HERE / "flat-cosine-v1.halqen")
    hnsw = PyHNSW(4, layers=1, m=8, ef_construction=10, ef_search=6, metric="euclidean",
                  schema=["parity"])
    for i, vector in enumerate(vectors):
        hnsw.insert(vector, metadata=[("parity", i % 2)])
    halqen_ext.write_index(hnsw, HERE / "hnsw-euclidean-v1.halqen")


if __name__ == "__main__":
    main()
