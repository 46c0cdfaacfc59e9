"""The functions that run on the workers: build, copy, load, grow, search
and write one shard. Each shard is a `Shard`, the index plus its size."""
from __future__ import annotations

import os
import threading
from typing import Any, Dict, List, Optional, Sequence, Tuple

import halqen
import halqen_ext  # registers pickling of both index classes
import numpy as np
from dask.sizeof import sizeof
from distributed import Variable, worker_client

from ._manifest import check_shard_file, check_shard_length, file_header


def heap_bytes(index: Any) -> int:
    """The bytes the index holds, as its core counts them."""
    return int(getattr(halqen_ext, "__heap_bytes")(index))


class Shard:
    """One index in a worker's memory, with the bytes it holds: Dask needs
    them both to keep a shard where it is (rather than copy it to an idle
    worker) and to account for the worker's memory. The index counts them
    itself (a graph holds about 3.5 KB per node beside its vector at the
    default m); `grown` counts them again after an insertion."""

    __slots__ = ("index", "nbytes")

    def __init__(self, index: Any) -> None:
        self.index = index
        self.nbytes = heap_bytes(index)

    def grown(self) -> "Shard":
        self.nbytes = heap_bytes(self.index)
        return self

    def __getstate__(self) -> Tuple[Any, int]:
        return (self.index, self.nbytes)

    def __setstate__(self, state: Tuple[Any, int]) -> None:
        self.index, self.nbytes = state


@sizeof.register(Shard)
def _sizeof_shard(shard: Shard) -> int:
    return shard.nbytes


def rows(block: Any) -> np.ndarray:
    return np.ascontiguousarray(block, dtype=np.float64)


def build_flat(block: Any, dim: int, metric: Optional[str]) -> Shard:
    index = halqen.PyFlat(dim, metric)
    vectors = rows(block)
    index.create(vectors)
    return Shard(index)


def build_hnsw_bytes(block: Any, metadata: Optional[List[Any]], params: Dict[str, Any]) -> bytes:
    """A new PyHNSW over the block, serialized: a lost shard is rebuilt from
    these bytes, so it keeps its graph (a rebuild from the rows would draw new
    random levels)."""
    index = halqen.PyHNSW(**params)
    index.create(rows(block), metadata)
    return halqen_ext.serialize_index(index)


def keep_bytes(data: bytes) -> bytes:
    """The copy of a serialized shard that another worker keeps."""
    return data


def load_shard(data: bytes) -> Shard:
    return Shard(halqen_ext.deserialize_index(data))


def load_copy(variable: str) -> Shard:
    """The shard, deserialized from the copy that another worker keeps (its
    future is held by the Dask Variable `variable`). The copy is fetched here
    rather than passed as a dependency: a dependency would leave a replica of
    it on this worker, and Dask's memory manager could then drop the other
    worker's replica, so that shard and copy would die together. The task
    stays deterministic: rerun after this worker dies, it fetches the same
    copy."""
    with worker_client() as client:  # secedes: the copy may still be computing
        data = Variable(variable, client=client).get().result()
    return load_shard(data)


def read_shard(path: str, position: int, entry: Dict[str, Any]) -> Shard:
    """The shard from its file, once the file is found to hold what its
    manifest entry says (also when a lost shard is read again later). A
    GraphIndex is mapped from the file, which the workers share: it serves
    at once, and its pages are the page cache's; the other kinds are read
    into memory."""
    check_shard_file(path, position, entry)
    index = halqen_ext.read_index(path, mmap=True)
    check_shard_length(path, position, entry, index)
    return Shard(index)


def write_shard(shard: Shard, path: str) -> Dict[str, int]:
    """Writes the shard's file; for the manifest, its header's count (a
    GraphIndex counts its free slots too) and its size in bytes."""
    halqen_ext.write_index(shard.index, path)
    header = file_header(path, 0)
    return {"count": header["count"], "bytes": header["bytes"]}


def append_flat(shard: Shard, vector: np.ndarray) -> Shard:
    """Grows the shard in place. The result is a new key for the same object,
    and the task that made it stays in the scheduler's graph, so a shard lost
    with its worker is rebuilt and grown again by replaying its appends."""
    shard.index.insert(vector)
    return shard.grown()


def append_hnsw(shard: Shard, vector: np.ndarray, metadata: Optional[List[Any]]) -> Shard:
    shard.index.insert(vector, metadata)
    return shard.grown()


def new_flat(vector: np.ndarray, dim: int, metric: Optional[str]) -> Shard:
    return build_flat(vector[np.newaxis, :], dim, metric)


def new_hnsw(vector: np.ndarray, metadata: Optional[List[Any]], params: Dict[str, Any]) -> Shard:
    index = halqen.PyHNSW(**params)
    index.insert(vector, metadata)
    return Shard(index)


def search_flat(shard: Shard, queries: np.ndarray, k: int, offset: int,
                cancel: Optional[threading.Event] = None) -> List[List[Tuple[int, float]]]:
    """Each query's (global id, distance) pairs from this shard. One thread
    per task: Dask runs one task per worker thread. CancelledError once
    `cancel` is set."""
    answers = halqen_ext.search_batch(shard.index, queries, k, threads=1, cancel=cancel)
    if offset == 0:
        return answers
    return [[(offset + local, distance) for local, distance in answer] for answer in answers]


def search_hnsw(shard: Shard, queries: Sequence[Any], k: int, filter: Optional[Tuple[str, Any]],
                drop_entry: bool, cancel: Optional[threading.Event] = None) -> List[List[Tuple[float, List[float]]]]:
    """Each query's (distance, vector) pairs from this shard.

    With `drop_entry` the shard's entry node (node 0) does not match the
    filter, but a filtered search still reports it when it reaches it: one
    more result is asked for, each with its id, and node 0 is dropped."""
    if not drop_entry:
        return halqen_ext.search_batch(shard.index, queries, k, filter, threads=1, cancel=cancel)
    labelled = getattr(halqen_ext, "__search_labelled")(shard.index, queries, k + 1, filter, threads=1,
                                                       cancel=cancel)
    return [[hit for node, hit in answer if node != 0][:k] for answer in labelled]
