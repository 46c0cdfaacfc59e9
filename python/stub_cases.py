"""Cases for the halqen stubs, checked by tools/typecheck.sh with mypy --strict.

Every call at module level is accepted by the module (the script also runs)
and must type-check. Every call in refused() is refused by the module and
carries an ignore comment naming the expected error, which --strict reports
as unused if the stubs ever accept that call.
"""
import array
from collections.abc import Sequence
from fractions import Fraction

import numpy as np

import pathlib
import tempfile

import halqen_ext
from halqen import PyFlat, PyHNSW
from halqen_ext import GraphIndex, PartitionIndex

flat = PyFlat(3, metric="cosine")
flat.insert([1, 2.0, True])
flat.insert((Fraction(1, 2), np.float32(1), 3))
flat.insert(array.array("d", [1, 2, 3]))
flat.insert(np.zeros(3, dtype=np.int8))
flat.insert(b"abc")
flat.insert(range(3))
flat.create(np.zeros((2, 3)))
flat.create([np.zeros(3), [1, 2, 3]])
ranked: list[tuple[int, float]] = flat.search([1, 2, 3], k=np.int64(2))
ranked = flat.search(np.ones(3)[::-1], None)

graph = PyHNSW(3, 5, 16, 200, 50, "euclidean", ("a", "b"))
graph = PyHNSW(dim=3, metric="angular", schema=["a", "b"], ef_search=None)
names: Sequence[str] = ["a", "b"]
graph = PyHNSW(3, metric="inner_product", schema=names)
graph = PyHNSW(3, 5, metric="euclidean", schema=np.array(["a", "b"]))
graph = PyHNSW(3, None, None, None, None, "angular", None)
graph = PyHNSW(dim=3, metric="euclidean", schema=("a", "b"))
graph.insert([1, 2, 3], metadata=[("a", "x"), ("b", 2)])
graph.create([[1, 2, 3]], metadata=[[("a", 1.5), ("b", True)]])
graph.create(np.eye(3))
found: list[tuple[float, list[float]]] = graph.search([1, 2, 3], filter=("a", "x"))
found = graph.search(np.zeros(3), k=3, filter=("b", np.int16(2)))

blob: bytes = halqen_ext.serialize_index(flat)
loaded: PyFlat | PyHNSW | GraphIndex | PartitionIndex = halqen_ext.deserialize_index(bytearray(blob))
loaded = halqen_ext.deserialize_index(memoryview(halqen_ext.serialize_index(graph)))
with tempfile.TemporaryDirectory() as directory:
    halqen_ext.write_index(graph, pathlib.Path(directory) / "graph.halqen")
    loaded = halqen_ext.read_index(pathlib.Path(directory) / "graph.halqen")
    halqen_ext.write_index(index=flat, path=directory + "/flat.halqen")
    loaded = halqen_ext.read_index(path=directory + "/flat.halqen")
answers: list[list[tuple[int, float]]] = halqen_ext.search_batch(flat, np.zeros((4, 3)), k=2)
answers = halqen_ext.search_batch(flat, [[1, 2, 3], np.ones(3)], None, None, 2)
answers = halqen_ext.search_ids(flat, [(1.5, 2, True)], threads=np.int64(1))
answers = halqen_ext.search_ids(graph, np.eye(3), k=2, filter=("a", "x"), ef=10)
graph_answers: list[list[tuple[float, list[float]]]] = halqen_ext.search_batch(
    graph, [[1, 2, 3]], 3, ("b", 2)
)

approximate = GraphIndex(3, "angular", m=8, seed=1, schema=["a"])
approximate.add(np.eye(3), ids=[7, 8, 9], metadata=[[("a", i)] for i in range(3)], threads=1)
approximate.add([[1, 2, 3]], progress=False)
approximate.ef_search = 32
ids, distances = approximate.search(np.ones((2, 3)), k=2, filter=("a", 1))
nearest: list[int] = ids.tolist()
best: float = float(distances[0, 0])
one_ids, one_distances = approximate.search([1, 2, 3], k=np.int64(4), ef=40)
rows: np.ndarray = approximate.get_vectors([7, 8])
assert len(approximate) == 4 and 7 in approximate and approximate.ef_search == 32
restored = halqen_ext.deserialize_index(halqen_ext.serialize_index(approximate))
if isinstance(restored, GraphIndex):
    restored.add([[3, 2, 1]])
    restored.remove([7], threads=1)
    restored.remove(np.array([8, 9]))
    restored.add([[1, 1, 1]], ids=[10])
    assert len(restored) == 2 and 7 not in restored

partitioned = PartitionIndex(3, "euclidean", partitions=2, seed=1)
partitioned.add(np.eye(3), ids=[7, 8, 9], threads=1)
partitioned.train(np.random.default_rng(0).standard_normal((20, 3)))
part_ids, part_values = partitioned.search(np.ones((2, 3)), k=2, ef=8)
part_ids, part_values = partitioned.search([1, 2, 3], probes=1, reorder=4)
partitioned.remove([8])
assert len(partitioned) == 2 and partitioned.partitions == 2


def refused() -> None:
    flat.insert("abc")  # type: ignore[arg-type]
    flat.insert({1.0, 2.0})  # type: ignore[arg-type]
    flat.insert([None])  # type: ignore[list-item]
    flat.search([1, 2, 3], k=1.5)  # type: ignore[arg-type]
    graph.insert([1, 2, 3], metadata={"a": 1})  # type: ignore[arg-type]
    graph.search([1, 2, 3], filter=["a", 1])  # type: ignore[arg-type]
    graph.search([1, 2, 3], filter=("a", 1, 2))  # type: ignore[arg-type]
    graph.insert([1, 2, 3], metadata=[("a", None)])  # type: ignore[list-item]
    PyFlat(3, metric=1)  # type: ignore[arg-type]
    PyFlat(3.0)  # type: ignore[arg-type]
    PyHNSW(3, metric="euclidean", unknown=1)  # type: ignore[call-overload]
    PyHNSW(3)  # type: ignore[call-overload]
    PyHNSW(3, metric=None)  # type: ignore[call-overload]
    PyHNSW(3, metric="cosine")  # type: ignore[call-overload]
    PyHNSW(3, 5, 16, 200, 50, "Euclidean")  # type: ignore[call-overload]
    PyHNSW(3, metric="euclidean", schema="ab")  # type: ignore[call-overload]
    wrong: list[tuple[float, list[float]]] = flat.search([1, 2, 3])  # type: ignore[assignment]
    halqen_ext.serialize_index([flat])  # type: ignore[arg-type]
    GraphIndex(3, "cosine")  # type: ignore[arg-type]
    PartitionIndex(3, "euclidean", schema=["a"])  # type: ignore[arg-type]
    halqen_ext.search_ids(approximate, [[1, 2, 3]])  # type: ignore[call-overload]
    halqen_ext.write_index(flat, b"flat.halqen")  # type: ignore[arg-type]
    halqen_ext.deserialize_index("not bytes")  # type: ignore[arg-type]
    exact: PyFlat = halqen_ext.read_index("flat.halqen")  # type: ignore[assignment]
    halqen_ext.search_batch(flat, [[1, 2, 3]], filter=("a", "x"))  # type: ignore[call-overload]
    halqen_ext.search_ids(flat, [[1, 2, 3]], ef=10)  # type: ignore[call-overload]
    halqen_ext.search_batch(graph, [[1, 2, 3]], ef=10)  # type: ignore[call-overload]
    halqen_ext.search_batch([flat], [[1, 2, 3]])  # type: ignore[call-overload]
    halqen_ext.search_batch(flat, "abc")  # type: ignore[arg-type]
    ids: list[list[tuple[float, list[float]]]] = halqen_ext.search_ids(graph, [[1, 2, 3]])  # type: ignore[assignment]
