"""ShardedFlat: an exact index split into PyFlat shards on Dask workers."""
from __future__ import annotations

import operator
import os
from typing import Any, List, Optional, Tuple

import numpy as np
from dask import delayed
from distributed import Client

from . import _tasks
from ._client import resolve_client
from ._base import ShardedIndex, positive
from ._convert import IndexSettings, as_k, as_row, check, check_settings, checked_matrix
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
        # PyFlat's checks of these settings, and of every later argument
        # against them (_convert.check).
        self._checks = IndexSettings("PyFlat", {"dim": dim, "metric": metric})
        check_settings(self._checks)
        self._dim = operator.index(dim)
        self._metric = metric
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
            blocks = blocks_of(vectors, self._dim, self._shard_size, self._checks)
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
            check(self._checks, "insert", vector)
            row = as_row(vector)
            if self._shards.last_has_room(self._shard_size):
                self._shards.grow_last(_tasks.append_flat, row)
                return
            future = self._shards.submit(_tasks.new_flat, row, self._dim, self._metric)
            self._shards.settle([future])
            self._shards.add([ShardRef(future, self._shards.next_offset(), 1)])

    def search(self, query: Any, k: Optional[int] = None) -> List[Tuple[int, float]]:
        """The k nearest as (id, distance) pairs, nearest first."""
        check(self._checks, "search", query, k)
        return self._search(as_row(query)[np.newaxis, :], as_k(k))[0]

    def search_batch(self, queries: Any, k: Optional[int] = None) -> List[List[Tuple[int, float]]]:
        """`[search(q, k) for q in queries]` in one round of tasks: each shard
        answers the whole batch, and the client merges."""
        matrix = checked_matrix(self._checks, "search_batch", queries, self._dim, k)
        return self._search(matrix, as_k(k))

    def _search(self, queries: np.ndarray, k: int) -> List[List[Tuple[int, float]]]:
        with self._shards.lock:
            if len(self._shards) == 0 or self._dim == 0:
                check(self._checks, "search_empty")  # raises as an index of no numbers does
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
        index._read_shards(path, document["shards"], lambda _: None)
        return index
