"""ShardedHNSW: an approximate index split into PyHNSW shards on Dask workers."""
from __future__ import annotations

import operator
import os
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np
from dask import delayed
from distributed import Client, Future

from . import _tasks
from ._base import ShardedIndex, positive
from ._client import resolve_client
from ._convert import (IndexSettings, MetadataValue, as_k, as_metadata_value, as_pairs, as_row, check,
                       check_settings, is_numeric_matrix, metadata_equal, record_of)
from ._manifest import read_manifest, require_int
from ._merge import merge_hnsw
from ._copies import CopyRegistry
from ._shards import ShardRef, ShardSet
from ._source import Block, blocks_of

KIND = "hnsw"
PARAMETERS = ("layers", "m", "ef_construction", "ef_search")


class ShardedHNSW(ShardedIndex):
    """An approximate index whose vectors are spread over PyHNSW shards of at
    most `shard_size` vectors in the memory of a Dask cluster. Every shard has
    the given parameters; a search asks every shard and merges the results by
    distance, cut to k. A filtered search returns only vectors that match.

    A shard built by `create` keeps a serialized copy on another worker, so a
    shard lost with its worker comes back with the same graph."""

    def __init__(self, dim: int, *, metric: str, client: Optional[Client] = None, shard_size: int = 20_000,
                 layers: Optional[int] = None, m: Optional[int] = None, ef_construction: Optional[int] = None,
                 ef_search: Optional[int] = None, schema: Optional[Sequence[str]] = None) -> None:
        # PyHNSW's checks of these settings, as given, and of every later
        # argument against them (_convert.check). Any str is passed on: the
        # class refuses unknown metrics itself.
        given = {"dim": dim, "layers": layers, "m": m, "ef_construction": ef_construction, "ef_search": ef_search,
                 "metric": metric, "schema": schema}
        check_settings(IndexSettings("PyHNSW", given))
        self._params: Dict[str, Any] = dict(given, schema=None if schema is None else list(schema))
        self._checks = IndexSettings("PyHNSW", self._params)
        self._dim = operator.index(dim)
        self._schema = self._params["schema"]
        self._shard_size = positive("shard_size", shard_size)
        self._shards = ShardSet(resolve_client(client))
        self._copies = CopyRegistry(self._shards.client)

    @property
    def metric(self) -> str:
        return str(self._params["metric"])

    @property
    def schema(self) -> Optional[List[str]]:
        return None if self._schema is None else list(self._schema)

    def _release(self) -> None:
        self._shards.release()
        self._copies.release()

    def __repr__(self) -> str:
        return (f"ShardedHNSW(dim={self._dim}, metric={self.metric!r}, shards={self.shard_count}, "
                f"vectors={len(self)})")

    # -- building ---------------------------------------------------------

    def create(self, vectors: Any, metadata: Optional[Sequence[Any]] = None) -> None:
        """Adds the vectors (2-D numpy array, list of vectors or dask.array),
        with one metadata list per vector if given, as new shards. Everything
        is checked before anything is built."""
        with self._shards.lock:
            blocks = blocks_of(vectors, self._dim, self._shard_size, self._checks)
            pairs, records = self._check_metadata(metadata, sum(block.count for block in blocks))
            frozen = [self._build(block, _slice(pairs, block)) for block in blocks]
            self._shards.settle(frozen)
            shards = self._keep_copies(frozen)
            offset = self._shards.next_offset()
            self._shards.add([ShardRef(future, offset + block.offset, block.count,
                                       None if records is None else records[block.offset])
                              for future, block in zip(shards, blocks)])

    def _check_metadata(self, metadata: Optional[Sequence[Any]], count: int
                        ) -> Tuple[Optional[List[Any]], Optional[List[List[MetadataValue]]]]:
        if metadata is None:
            return None, None
        check(self._checks, "metadata", metadata, count)
        pairs = [as_pairs(entry) for entry in metadata]
        return pairs, [record_of(self._schema, entry) for entry in pairs]

    def _build(self, block: Block, pairs: Optional[List[Any]]) -> Future:
        if isinstance(block.rows, np.ndarray):
            return self._shards.submit(_tasks.build_hnsw_bytes, block.rows, pairs, self._params)
        return self._shards.compute(
            delayed(_tasks.build_hnsw_bytes, pure=False)(block.rows, pairs, self._params))

    def _keep_copies(self, frozen: List[Future]) -> List[Future]:
        """Each serialized shard gets a copy on another worker, and the live
        shard is loaded from that copy: when the shard's worker dies, Dask
        reloads it from the copy, with the same graph."""
        workers = self._shards.workers()
        keepers = [_other_worker(workers, holder) for holder in self._shards.who_has(frozen)]
        copies = [None if keeper is None else
                  self._shards.submit(_tasks.keep_bytes, future, workers=[keeper], allow_other_workers=True)
                  for future, keeper in zip(frozen, keepers)]
        self._shards.settle([copy for copy in copies if copy is not None])
        shards = []
        for future, copy in zip(frozen, copies):
            if copy is None:  # one worker: nowhere else to keep a copy
                shards.append(self._shards.submit(_tasks.load_shard, future))
                continue
            variable = self._copies.keep(copy)
            holder = self._shards.who_has([future])[0]
            shards.append(self._shards.submit(_tasks.load_copy, variable,
                                              workers=[holder] if holder else None, allow_other_workers=True))
        self._shards.settle(shards)
        return shards

    def insert(self, vector: Any, metadata: Optional[Sequence[Tuple[str, Any]]] = None) -> None:
        """Adds one vector (and its metadata) to the last shard, or starts a
        new shard when it is full."""
        with self._shards.lock:
            check(self._checks, "insert", vector, metadata)
            row = as_row(vector)
            pairs, record = None, None
            if metadata is not None:
                pairs = as_pairs(metadata)
                record = record_of(self._schema, pairs)
            if self._shards.last_has_room(self._shard_size):
                self._shards.grow_last(_tasks.append_hnsw, row, pairs)
                return
            future = self._shards.submit(_tasks.new_hnsw, row, pairs, self._params)
            self._shards.settle([future])
            self._shards.add([ShardRef(future, self._shards.next_offset(), 1, record)])

    # -- searching --------------------------------------------------------

    def search(self, query: Any, k: Optional[int] = None, filter: Optional[Tuple[str, Any]] = None
               ) -> List[Tuple[float, List[float]]]:
        """The k nearest as (distance, vector) pairs, nearest first."""
        check(self._checks, "search", query, k, filter)
        check(self._checks, "query_lengths", [query])
        return self._search(as_row(query)[np.newaxis, :], as_k(k), filter)[0]

    def search_batch(self, queries: Any, k: Optional[int] = None, filter: Optional[Tuple[str, Any]] = None
                     ) -> List[List[Tuple[float, List[float]]]]:
        """`[search(q, k, filter) for q in queries]` in one round of tasks."""
        if is_numeric_matrix(queries, self._dim):
            matrix = np.ascontiguousarray(queries, dtype=np.float64)
            check(self._checks, "search_batch", matrix, k, filter)
        else:
            check(self._checks, "search_batch", queries, k, filter)
            check(self._checks, "query_lengths", queries)
            rows = [as_row(query) for query in queries]
            matrix = np.stack(rows) if rows else np.empty((0, self._dim))
        return self._search(matrix, as_k(k), filter)

    def _search(self, queries: np.ndarray, k: int, filter: Optional[Tuple[str, Any]]
                ) -> List[List[Tuple[float, List[float]]]]:
        with self._shards.lock:
            if len(self._shards) == 0 or len(queries) == 0:
                return [[] for _ in queries]
            wanted = self._wanted(filter)
            per_shard = self._shards.fan_out(
                _tasks.search_hnsw, lambda _, ref: (queries, k, filter, not self._entry_matches(ref, wanted)))
            return merge_hnsw(per_shard, k)

    def _wanted(self, filter: Optional[Tuple[str, Any]]) -> Optional[Tuple[Optional[int], Optional[MetadataValue]]]:
        """The schema position and converted value a filter tests, or None
        without a filter. An unknown attribute gives no position (the shards
        report it as the index does)."""
        if filter is None:
            return None
        name, value = filter
        schema = self._schema or []
        return (schema.index(name) if name in schema else None, as_metadata_value(value))

    @staticmethod
    def _entry_matches(ref: ShardRef, wanted: Optional[Tuple[Optional[int], Optional[MetadataValue]]]) -> bool:
        """Whether the shard's entry node may be reported: always without a
        filter; with one, only when its record holds the filter's value (a
        node without a record never matches)."""
        if wanted is None:
            return True
        position, value = wanted
        if position is None or value is None or ref.entry is None or position >= len(ref.entry):
            return False
        return metadata_equal(ref.entry[position], value)

    # -- saving -----------------------------------------------------------

    def save(self, directory: "str | os.PathLike[str]") -> None:
        """Writes one file per shard and a manifest into `directory`, which
        every worker must reach under the same path."""
        self._save(directory, KIND, dict(self._params, shard_size=self._shard_size),
                   lambda ref: {"entry": ref.entry})

    @classmethod
    def load(cls, directory: "str | os.PathLike[str]", client: Optional[Client] = None) -> "ShardedHNSW":
        """Reads an index written by `save`, each shard on a worker. A shard
        lost later is read again from its file, with the same graph."""
        path = os.path.abspath(os.fspath(directory))
        document = read_manifest(path, KIND)
        settings = document["settings"]
        arguments = {name: settings.get(name) for name in PARAMETERS + ("schema",)}
        index = cls(require_int(path, settings, "dim", 0), metric=settings.get("metric"), client=client,
                    shard_size=require_int(path, settings, "shard_size", 1), **arguments)
        index._read_shards(path, document["shards"], lambda entry: _entry_record(path, entry.get("entry")))
        return index


def _slice(pairs: Optional[List[Any]], block: Block) -> Optional[List[Any]]:
    return None if pairs is None else pairs[block.offset:block.offset + block.count]


def _other_worker(workers: List[str], holder: Optional[str]) -> Optional[str]:
    """The worker after `holder` in address order, so copies spread evenly."""
    if holder is None or len(workers) < 2 or holder not in workers:
        return None
    return workers[(workers.index(holder) + 1) % len(workers)]


def _entry_record(path: str, entry: Any) -> Optional[List[MetadataValue]]:
    """An entry record from a manifest: a list of [kind, value] pairs."""
    if entry is None:
        return None
    kinds = {"str": str, "int": int, "float": float}
    if not isinstance(entry, list) or not all(
            isinstance(item, list) and len(item) == 2 and item[0] in kinds
            and isinstance(item[1], kinds[item[0]]) and not isinstance(item[1], bool) for item in entry):
        raise ValueError(f"{path}: malformed entry record {entry!r}")
    return [(kind, value) for kind, value in entry]
