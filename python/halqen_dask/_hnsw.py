"""ShardedHNSW: an approximate index split into PyHNSW shards on Dask workers."""
from __future__ import annotations

import os
from typing import Any, Dict, List, Optional, Sequence, Tuple

import halqen
import numpy as np
from dask import delayed
from distributed import Client, Future

from . import _tasks
from ._base import ShardedIndex, positive
from ._client import resolve_client
from ._convert import (MetadataValue, as_batch_k, as_k, as_metadata_value, as_pair, as_pairs, as_queries, as_vector,
                       build_record, metadata_equal, type_name)
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
        # An empty local PyHNSW checks the parameters with the class's own
        # messages and later checks queries and filters the same way. Any str
        # is passed on: the class refuses unknown metrics itself.
        self._probe = halqen.PyHNSW(dim, layers, m, ef_construction, ef_search,  # type: ignore[call-overload, misc]
                                    metric, schema)
        self._params: Dict[str, Any] = {"dim": dim, "layers": layers, "m": m, "ef_construction": ef_construction,
                                        "ef_search": ef_search, "metric": metric,
                                        "schema": None if schema is None else list(schema)}
        self._dim = int(dim)
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
            blocks = blocks_of(vectors, self._dim, self._shard_size)
            pairs, records = self._check_metadata(metadata, sum(block.count for block in blocks))
            frozen = [self._build(block, _slice(pairs, block)) for block in blocks]
            self._shards.settle(frozen)
            shards = self._keep_copies(frozen, blocks)
            offset = self._shards.next_offset()
            self._shards.add([ShardRef(future, offset + block.offset, block.count,
                                       None if records is None else records[block.offset])
                              for future, block in zip(shards, blocks)])

    def _check_metadata(self, metadata: Optional[Sequence[Any]], count: int
                        ) -> Tuple[Optional[List[Any]], Optional[List[List[MetadataValue]]]]:
        if metadata is None:
            return None, None
        pairs = [as_pairs("metadata", entry) for entry in _as_list("metadata", metadata)]
        if len(pairs) != count:
            raise ValueError("Length of metadata list must match number of vectors")
        if self._schema is None:
            raise ValueError("No schema provided in HNSW instance; cannot use metadata")
        return pairs, [build_record(self._schema, entry) for entry in pairs]

    def _build(self, block: Block, pairs: Optional[List[Any]]) -> Future:
        if isinstance(block.rows, np.ndarray):
            return self._shards.submit(_tasks.build_hnsw_bytes, block.rows, pairs, self._params)
        return self._shards.compute(
            delayed(_tasks.build_hnsw_bytes, pure=False)(block.rows, pairs, self._params))

    def _keep_copies(self, frozen: List[Future], blocks: List[Block]) -> List[Future]:
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
        for future, block, copy in zip(frozen, blocks, copies):
            nbytes = _tasks.hnsw_bytes(block.count, self._dim)
            if copy is None:  # one worker: nowhere else to keep a copy
                shards.append(self._shards.submit(_tasks.load_shard, future, nbytes))
                continue
            variable = self._copies.keep(copy)
            holder = self._shards.who_has([future])[0]
            shards.append(self._shards.submit(_tasks.load_copy, variable, nbytes,
                                              workers=[holder] if holder else None, allow_other_workers=True))
        self._shards.settle(shards)
        return shards

    def insert(self, vector: Any, metadata: Optional[Sequence[Tuple[str, Any]]] = None) -> None:
        """Adds one vector (and its metadata) to the last shard, or starts a
        new shard when it is full."""
        with self._shards.lock:
            row = as_vector(vector, self._dim)
            pairs, record = None, None
            if metadata is not None:
                pairs = as_pairs("metadata", metadata)
                if self._schema is None:
                    raise ValueError("No schema provided in HNSW instance; cannot use metadata")
                record = build_record(self._schema, pairs)
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
        self._probe.search(query, k, filter)
        row = as_vector(query, self._dim, "query")
        return self._search(row[np.newaxis, :], as_k(k), filter)[0]

    def search_batch(self, queries: Any, k: Optional[int] = None, filter: Optional[Tuple[str, Any]] = None
                     ) -> List[List[Tuple[float, List[float]]]]:
        """`[search(q, k, filter) for q in queries]` in one round of tasks."""
        count = as_batch_k(k)
        matrix = as_queries(queries, self._dim)
        if len(matrix):
            self._probe.search(matrix[0], k, filter)
        return self._search(matrix, count, filter)

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
        name, value = as_pair("filter", filter)
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
        index._read_shards(path, document["shards"], _tasks.hnsw_bytes,
                           lambda entry: _entry_record(path, entry.get("entry")))
        return index


def _slice(pairs: Optional[List[Any]], block: Block) -> Optional[List[Any]]:
    return None if pairs is None else pairs[block.offset:block.offset + block.count]


def _as_list(name: str, value: Any) -> List[Any]:
    if isinstance(value, str):
        raise TypeError(f"argument '{name}': Can't extract `str` to `Vec`")
    if not isinstance(value, (Sequence, np.ndarray)):
        raise TypeError(f"argument '{name}': '{type_name(value)}' object cannot be converted to 'Sequence'")
    return list(value)


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
