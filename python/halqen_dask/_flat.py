"""ShardedFlat: an exact index split into PyFlat shards on Dask workers."""
from __future__ import annotations

import os
from typing import Any, List, Optional, Tuple

import numpy as np
from dask import delayed
from distributed import Client

from . import _tasks
from ._client import resolve_client
from ._base import ShardedIndex, positive
from ._convert import as_batch_k, as_count, as_k, as_metric_name, as_queries, as_vector
from ._manifest import read_manifest, require_int
from ._merge import merge_flat
from ._shards import ShardRef, ShardSet
from ._source import Block, blocks_of

KIND = "flat"


class ShardedFlat(ShardedIndex):
    """An exact index whose vectors are spread over PyFlat shards of at most
    `shard_size` vectors in the memory of a Dask cluster.

    Answers are those of one PyFlat holding the same vectors in the same
    order: ids are global insertion positions, distances are bit for bit the
    same, and ties (equal distances, NaN) are ordered by id as in PyFlat."""

    def __init__(self, dim: int, metric: Optional[str] = None, *, client: Optional[Client] = None,
                 shard_size: int = 1_000_000) -> None:
        self._dim = as_count("dim", dim)
        self._metric = as_metric_name(metric)
        self._shard_size = positive("shard_size", shard_size)
        self._shards = ShardSet(resolve_client(client))

    @property
    def metric(self) -> Optional[str]:
        return self._metric

    def __repr__(self) -> str:
        return (f"ShardedFlat(dim={self._dim}, metric={self._metric!r}, shards={self.shard_count}, "
                f"vectors={len(self)})")

    def create(self, vectors: Any) -> None:
        """Adds the vectors (2-D numpy array, list of vectors or dask.array),
        which take the next ids, as new shards. Every row is checked before
        anything is built, so a failed create adds nothing."""
        with self._shards.lock:
            blocks = blocks_of(vectors, self._dim, self._shard_size)
            futures = [self._build(block) for block in blocks]
            self._shards.settle(futures)
            offset = self._shards.next_offset()
            self._shards.add([ShardRef(future, offset + block.offset, block.count)
                              for future, block in zip(futures, blocks)])

    def _build(self, block: Block) -> Any:
        if isinstance(block.rows, np.ndarray):
            return self._shards.submit(_tasks.build_flat, block.rows, self._dim, self._metric)
        return self._shards.compute(delayed(_tasks.build_flat, pure=False)(block.rows, self._dim, self._metric))

    def insert(self, vector: Any) -> None:
        """Adds one vector to the last shard, or starts a new one when it is full."""
        with self._shards.lock:
            row = as_vector(vector, self._dim)
            if self._shards.last_has_room(self._shard_size):
                self._shards.grow_last(_tasks.append_flat, row)
                return
            future = self._shards.submit(_tasks.new_flat, row, self._dim, self._metric)
            self._shards.settle([future])
            self._shards.add([ShardRef(future, self._shards.next_offset(), 1)])

    def search(self, query: Any, k: Optional[int] = None) -> List[Tuple[int, float]]:
        """The k nearest as (id, distance) pairs, nearest first."""
        row = as_vector(query, self._dim, "query")
        return self._search(row[np.newaxis, :], as_k(k))[0]

    def search_batch(self, queries: Any, k: Optional[int] = None) -> List[List[Tuple[int, float]]]:
        """`[search(q, k) for q in queries]` in one round of tasks: each shard
        answers the whole batch, and the client merges."""
        count = as_batch_k(k)
        return self._search(as_queries(queries, self._dim), count)

    def _search(self, queries: np.ndarray, k: int) -> List[List[Tuple[int, float]]]:
        with self._shards.lock:
            if len(self._shards) == 0 or self._dim == 0:
                raise ValueError("Search error: EmptyIndex")
            if len(queries) == 0:
                return []
            per_shard = self._shards.fan_out(_tasks.search_flat, lambda _, ref: (queries, k, ref.offset))
            return merge_flat(per_shard, k)

    def save(self, directory: "str | os.PathLike[str]") -> None:
        """Writes one file per shard (halqen_ext.write_index, run on the shard's
        worker) and a manifest into `directory`, which every worker must reach
        under the same path (one machine, or a shared file system)."""
        self._save(directory, KIND, {"dim": self._dim, "metric": self._metric, "shard_size": self._shard_size},
                   lambda _: {})

    @classmethod
    def load(cls, directory: "str | os.PathLike[str]", client: Optional[Client] = None) -> "ShardedFlat":
        """Reads an index written by `save`, each shard on a worker. A shard
        lost later is read again from its file."""
        path = os.path.abspath(os.fspath(directory))
        document = read_manifest(path, KIND)
        settings = document["settings"]
        index = cls(require_int(path, settings, "dim", 0), settings.get("metric"), client=client,
                    shard_size=require_int(path, settings, "shard_size", 1))
        index._read_shards(path, document["shards"], _tasks.flat_bytes, lambda _: None)
        return index
