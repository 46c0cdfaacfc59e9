"""Every documented form of the calls of halqen_ext and halqen_dask, typed.

`make typecheck` checks this file with mypy --strict, and the tests run it:
each call below is one a user may write as the README and docs/ show it. The
halqen_dask part runs where Dask is installed (`pip install 'halqen[dask]'`),
on a small in-process cluster.
"""
import importlib.util
import json
import pathlib
import pickle
import tempfile
import threading
from typing import Any

import numpy as np
from numpy.typing import NDArray

import halqen_ext
from halqen import PyFlat, PyHNSW
from halqen_ext import GraphIndex

DIM = 4
ROWS = 200


def graph_calls(data: NDArray[np.float64]) -> GraphIndex:
    index = GraphIndex(DIM, "euclidean", m=8, ef_construction=100, ef_search=32, seed=1,
                       schema=["lang", "year"], walk="sq8")
    index.add(data[:100], ids=np.arange(100), threads=2, progress=False,
              metadata=[[("lang", "en" if i % 2 else "de"), ("year", 2018 + i % 6)] for i in range(100)])
    index.add([list(row) for row in data[100:ROWS - 1]], ids=list(range(100, ROWS - 1)),
              metadata=[[("lang", "en"), ("year", 2020)]] * (ROWS - 101))
    index.add(data[ROWS - 1], metadata=[[("lang", "fr"), ("year", 2021)]])  # one 1-D row
    index.ef_search = 48

    queries = data[:3] + 0.01
    ids, distances = index.search(queries, k=5)
    first: list[int] = ids[0].tolist()
    ids, distances = index.search(queries[0], 5, ef=64, threads=1, cancel=threading.Event())
    ids, distances = index.search(queries, k=3, filter=("lang", "en"))
    ids, distances = index.search(queries, k=3, filter=("year", 2021))
    ids, distances = index.search(queries, k=3, filter=("year", [2020, 2021]))
    ids, distances = index.search(queries, k=3, filter=("year", range(2020, 2022)))
    ids, distances = index.search(queries, k=3, filter=("lang", ("en", "de")))
    ids, distances = index.search(queries, k=3, filter=("year", np.array([2019, 2020])))
    ids, distances = index.search(queries, k=0)
    ids, distances = index.search(queries, k=len(index) + 10)  # padded with -1 and inf
    answers: list[list[tuple[int, float]]] = halqen_ext.trimmed(ids, distances)
    json.dumps(answers, allow_nan=False)

    ids, distances = index.search_by_id(7, k=4)
    ids, distances = index.search_by_id([7, 8], k=4, ef=64, filter=("lang", "en"), threads=1)
    ids, distances = index.search_by_id(np.array([7, 8]))

    wide: NDArray[np.float64] = index.get_vectors([7, 8])
    narrow: NDArray[np.float32] = index.get_vectors(np.array([7, 8]), dtype=np.float32)
    assert wide.shape == narrow.shape == (2, DIM)
    held: NDArray[np.int64] = index.ids()
    every: list[int] = list(index)
    assert sorted(every) == sorted(held.tolist()) and 7 in index and len(index) == ROWS
    index.remove([7])
    index.remove(np.array([8, 9]), threads=1)
    described: str = repr(index)
    settings: tuple[int, str, int, int, int, str] = (index.dim, index.metric, index.m,
                                                     index.ef_construction, index.ef_search, index.walk)
    assert described.startswith("GraphIndex(") and settings[0] == DIM
    return index


def saving_calls(graph: GraphIndex) -> None:
    flat = PyFlat(DIM, metric="euclidean")
    flat.create([[1.0, 2.0, 3.0, 4.0]])
    hnsw = PyHNSW(DIM, metric="euclidean")
    hnsw.create(np.eye(DIM))
    with tempfile.TemporaryDirectory() as directory:
        for index in (flat, hnsw, graph):
            halqen_ext.write_index(index, pathlib.Path(directory) / "index.halqen")
            loaded = halqen_ext.read_index(directory + "/index.halqen")
            again = halqen_ext.deserialize_index(halqen_ext.serialize_index(loaded))
            assert type(again) is type(index)
    copied = pickle.loads(pickle.dumps(graph))
    assert isinstance(copied, GraphIndex) and len(copied) == len(graph)
    pairs: list[list[tuple[int, float]]] = halqen_ext.search_ids(flat, np.eye(DIM), k=1, threads=1)
    hits: list[list[tuple[float, list[float]]]] = halqen_ext.search_batch(hnsw, [[0.0, 1.0, 0.0, 0.0]], 1)
    pairs = halqen_ext.search_ids(hnsw, np.eye(DIM), 2, ef=10, cancel=threading.Event())
    assert pairs and hits


def dask_calls(data: NDArray[np.float64]) -> None:
    import distributed

    import halqen_dask
    from halqen_dask import ShardedFlat, ShardedGraph, ShardedHNSW

    # Dask's own classes carry no annotations: they are called untyped.
    dask: Any = distributed
    # No dashboard: its HTTP server takes any free port, not 8787.
    with dask.LocalCluster(n_workers=1, processes=False, threads_per_worker=1, dashboard_address=":0",
                           scheduler_kwargs={"dashboard": False}) as cluster, \
            dask.Client(cluster) as client:
        sharded = ShardedGraph(DIM, "euclidean", client=client, shards=2, schema=["lang"])
        sharded.add(data, ids=np.arange(ROWS), metadata=[[("lang", "en" if i % 2 else "de")] for i in range(ROWS)])
        sharded.add(data[:2] + 1.0)
        ids, distances = sharded.search(data[:3], k=5, ef=32, filter=("lang", ["en", "de"]))
        ids, distances = sharded.search(data[0], 0)
        rows: list[list[tuple[int, float]]] = halqen_ext.trimmed(*sharded.search(data[:2], k=ROWS + 10))
        sharded.ef_search = 40
        with tempfile.TemporaryDirectory() as directory:
            sharded.save(directory)
            loaded = ShardedGraph.load(directory, client=client)
            assert len(loaded) == len(sharded) and rows
            loaded.close()
        sharded.remove([0, 1])
        sharded.close()

        flat = ShardedFlat(DIM, "euclidean", client=client, shard_size=100)
        flat.create(data)
        flat.insert(data[0])
        nearest: list[tuple[int, float]] = flat.search(data[0], 3)
        batch: list[list[tuple[int, float]]] = flat.search_batch(data[:2], k=3)
        hnsw = ShardedHNSW(DIM, metric="euclidean", client=client, shard_size=100, schema=["lang"])
        hnsw.create(data, metadata=[[("lang", "en")]] * ROWS)
        hnsw.insert(data[0], [("lang", "de")])
        found = hnsw.search(data[0], 3, filter=("lang", "de"))
        found_batch = hnsw.search_batch(data[:2], k=3)
        assert nearest and batch and found and found_batch
        with tempfile.TemporaryDirectory() as directory:
            flat.save(directory + "/flat")
            hnsw.save(pathlib.Path(directory) / "hnsw")
            ShardedFlat.load(directory + "/flat", client=client).close()
            ShardedHNSW.load(pathlib.Path(directory) / "hnsw", client=client).close()
        flat.close()
        hnsw.close()
    assert halqen_dask.__version__ == halqen_ext.__version__


def main() -> None:
    assert halqen_ext.__version__
    data = np.random.default_rng(0).normal(size=(ROWS, DIM))
    graph = graph_calls(data)
    saving_calls(graph)
    if importlib.util.find_spec("distributed") is not None:
        dask_calls(data)
    print("every call form ran")


if __name__ == "__main__":
    main()
