"""ShardedGraph: GraphIndex shards on Dask workers, each id routed to one
shard by a fixed hash of the id."""
from __future__ import annotations

import math
import operator
import os
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np
from dask import delayed
from distributed import Client, Future

from . import _graph_tasks as tasks
from ._base import ShardedIndex, positive
from ._client import resolve_client
from ._convert import IndexSettings, as_pairs, check, check_settings, checked_matrix, is_numeric_matrix
from ._manifest import read_manifest, require_int
from ._merge import merge_graph
from ._routing import ROUTING_NAME, rows_by_shard, shard_of
from ._shards import ShardRef, ShardSet
from ._source import dask_blocks, is_dask_array

KIND = "graph"
PARAMETERS = ("m", "ef_construction", "ef_search")
DEFAULT_WALK = "sq8"
LARGEST_ID = 2**63 - 1
DEFAULT_K = 10

Ids = np.ndarray
Metadata = Optional[List[List[Tuple[str, Any]]]]


class ShardedGraph(ShardedIndex):
    """A GraphIndex spread over shards in the memory of a Dask cluster, with
    GraphIndex's calls: add, search (the same arrays, merged from every
    shard's answer), remove, len, save and load.

    Ids are global. Each goes to the shard given by a fixed hash of the id
    (SplitMix64) modulo the shard count, so replacing or removing it touches
    that shard alone. The shard count is fixed by the first add that stores
    anything: `shards` if given, else ceil(n / shard_size) for the n vectors of
    that call. Later additions spread over the same shards, which grow past
    shard_size if the index outgrows its first call: add the bulk first, or
    give `shards` for an index that starts small.

    Every shard adds, removes and searches on one thread (Dask runs one task
    per worker thread). A search is sent to each worker holding shards
    directly, not as tasks, and each worker merges its shards' answers
    before the client merges the workers'. A search's ef is the width of
    the whole search, shared by the shards: each walks max(k, ceil(ef /
    shards)) wide, which measured the recall of one GraphIndex walking ef
    wide over all the vectors (each walk costing more than 1/shards of the
    full one's: part of a walk's cost does not depend on its width). A
    shard lost with its worker is rebuilt by replaying its calls, which
    builds the same graph again, or read again from its file after `load`."""

    def __init__(self, dim: int, metric: str, *, client: Optional[Client] = None, shard_size: int = 1_000_000,
                 shards: Optional[int] = None, m: int = 16, ef_construction: int = 200, ef_search: int = 64,
                 schema: Optional[Sequence[str]] = None, walk: str = DEFAULT_WALK,
                 storage: Optional[str] = None) -> None:
        # GraphIndex's checks of these settings, as given, and of every later
        # argument against them (_convert.check). Any str is passed on: the
        # class refuses unknown metrics itself.
        check_settings(IndexSettings("GraphIndex", {
            "dim": dim, "metric": metric, "m": m, "ef_construction": ef_construction, "ef_search": ef_search,
            "schema": schema, "walk": walk, "storage": storage}))
        self._params: Dict[str, Any] = {
            "dim": operator.index(dim), "metric": metric, "m": operator.index(m),
            "ef_construction": operator.index(ef_construction), "ef_search": operator.index(ef_search),
            "schema": None if schema is None else list(schema), "walk": DEFAULT_WALK if walk is None else walk,
            "storage": storage}
        self._checks = IndexSettings("GraphIndex", self._params)
        self._dim = self._params["dim"]
        self._shard_size = positive("shard_size", shard_size)
        self._fixed_shards = None if shards is None else positive("shards", shards)
        self._next_id = 0
        self._shards = ShardSet(resolve_client(client))

    @property
    def metric(self) -> str:
        return str(self._params["metric"])

    @property
    def schema(self) -> Optional[List[str]]:
        schema = self._params["schema"]
        return None if schema is None else list(schema)

    @property
    def walk(self) -> str:
        """What each shard's walk reads, as GraphIndex's walk."""
        return str(self._params["walk"])

    @property
    def storage(self) -> Optional[str]:
        """How each shard keeps its rows, as given to GraphIndex (None: float32
        while nothing is lost, then float64)."""
        return self._params["storage"]

    @property
    def ef_search(self) -> int:
        return int(self._params["ef_search"])

    @ef_search.setter
    def ef_search(self, value: int) -> None:
        check(self._checks, "ef_search", value)  # GraphIndex's checks of the property
        self._params["ef_search"] = operator.index(value)

    def heap_bytes(self) -> int:
        """The bytes the shards hold on the workers' heaps, as GraphIndex
        counts them (the figure Dask accounts a shard's memory by)."""
        with self._shards.lock:
            return sum(self._shards.client.gather([self._shards.submit(tasks.held_bytes, ref.future)
                                                   for ref in self._shards.refs]))

    def __repr__(self) -> str:
        return (f"ShardedGraph(dim={self._dim}, metric={self.metric!r}, shards={self.shard_count}, "
                f"vectors={len(self)})")

    # -- adding -----------------------------------------------------------

    def add(self, vectors: Any, ids: Any = None, metadata: Optional[Sequence[Any]] = None) -> None:
        """Adds the vectors (2-D numpy array, sequence of vectors or
        dask.array, whose blocks stay on the workers) under their ids (by
        default continuing from one past the largest id used so far), with
        one metadata list per vector if given. Everything is checked before
        any shard changes, so a call that fails adds nothing."""
        with self._shards.lock:
            if is_dask_array(vectors):
                self._add_dask(vectors, ids, metadata)
            else:
                self._add_local(vectors, ids, metadata)

    def _add_local(self, vectors: Any, ids: Any, metadata: Optional[Sequence[Any]]) -> None:
        ids = _local_ids(ids)
        # Every row, id and record, checked in one call as GraphIndex.add checks them.
        matrix = checked_matrix(self._checks, "add", vectors, self._dim, ids, metadata)
        labels, pairs = self._labels(len(matrix), ids, metadata)
        if len(matrix) == 0:
            return
        routes = self._route(labels)
        self._store([(shard, labels[rows], _pick(pairs, rows), matrix[rows]) for shard, rows in routes])

    def _add_dask(self, array: Any, ids: Any, metadata: Optional[Sequence[Any]]) -> None:
        blocks = dask_blocks(array, self._dim, self._checks, "add")
        count = sum(block.count for block in blocks)
        ids = _local_ids(ids)
        if ids is not None or metadata is not None:
            check(self._checks, "labels", count, ids, metadata)  # the rows are checked where they lie
        labels, pairs = self._labels(count, ids, metadata)
        if count == 0:
            return
        shard_count = self._shard_count_for(count)
        shard_of_row = shard_of(labels, shard_count)
        # Each block is checked and cut into its shards' rows where it lies.
        cut = [self._shards.compute(delayed(tasks.checked_block, pure=False)(
                   block.rows, self._params, block.offset,
                   shard_of_row[block.offset:block.offset + block.count], shard_count))
               for block in blocks]
        self._shards.settle(cut)
        self._make_shards(shard_count)
        routes = rows_by_shard(shard_of_row, shard_count)
        additions = []
        for shard, rows in enumerate(routes):
            if len(rows) == 0:
                continue
            parts = [self._shards.submit(tasks.part, future, shard)
                     for future, block in zip(cut, blocks)
                     if np.any(shard_of_row[block.offset:block.offset + block.count] == shard)]
            additions.append((shard, labels[rows], _pick(pairs, rows), *parts))
        self._change(tasks.add_rows, additions)
        self._next_id = max(self._next_id, int(labels.max()) + 1)

    def _labels(self, count: int, ids: Any, metadata: Optional[Sequence[Any]]) -> Tuple[Ids, Metadata]:
        """The ids of `count` vectors (given, or the defaults) as int64, and
        the metadata as lists of pairs, once GraphIndex's checks passed them."""
        if ids is None:
            labels = np.arange(self._next_id, self._next_id + count, dtype=np.uint64)
            if count and self._next_id + count - 1 > LARGEST_ID:
                # The index's error for the first id past the range.
                check(self._checks, "labels", count, [int(label) for label in labels], metadata)
        else:
            labels = ids if isinstance(ids, np.ndarray) and ids.dtype.kind in "iu" else \
                np.array([operator.index(label) for label in ids], dtype=np.uint64)
        pairs = None if metadata is None else [as_pairs(entry) for entry in metadata]
        return np.asarray(labels, dtype=np.int64).reshape(-1), pairs

    def _route(self, labels: Ids) -> List[Tuple[int, np.ndarray]]:
        """(shard, positions of its rows) for every shard that gets rows (an
        id present already goes to the shard that holds it, which replaces it)."""
        shard_count = self._shard_count_for(len(labels))
        self._make_shards(shard_count)
        routes = rows_by_shard(shard_of(labels, shard_count), shard_count)
        return [(shard, rows) for shard, rows in enumerate(routes) if len(rows)]

    def _store(self, additions: List[Tuple[int, Ids, Metadata, np.ndarray]]) -> None:
        self._change(tasks.add_rows, additions)
        self._next_id = max(self._next_id, max(int(labels.max()) for _, labels, _, _ in additions) + 1)

    def _shard_count_for(self, count: int) -> int:
        """The shard count, once `count` vectors are added."""
        if self._shards.refs:
            return self.shard_count
        return self._fixed_shards or max(1, math.ceil(count / self._shard_size))

    def _make_shards(self, shard_count: int) -> None:
        """The first time, the shards are made, empty, one per worker in turn
        so that the first ones built run side by side."""
        if self._shards.refs:
            return
        workers = self._shards.workers()
        futures = [self._shards.submit(tasks.new_graph, self._params, workers=[workers[i % len(workers)]],
                                       allow_other_workers=True) for i in range(shard_count)]
        self._shards.settle(futures)
        self._shards.add([ShardRef(future, 0, 0) for future in futures])

    def _change(self, function: Any, calls: List[Tuple[Any, ...]]) -> None:
        """`function(shard, *arguments)` for each (shard, *arguments), run
        where the shard lives; then the shards' new futures and sizes."""
        futures = []
        for shard, *arguments in calls:
            ref = self._shards.refs[shard]
            holder = self._shards.who_has([ref.future])[0]
            futures.append(self._shards.submit(function, ref.future, *arguments,
                                               workers=[holder] if holder else None, allow_other_workers=True))
        self._shards.settle(futures)
        sizes = self._shards.client.gather([self._shards.submit(tasks.length, future) for future in futures])
        for (shard, *_), future, size in zip(calls, futures, sizes):
            self._shards.refs[shard].future = future
            self._shards.refs[shard].count = size

    # -- removing ---------------------------------------------------------

    def _held_routes(self, wanted: List[int]) -> Tuple[np.ndarray, List[Tuple[int, np.ndarray]]]:
        """The ids as an array, and for each shard holding some of them their
        positions; KeyError for the first id the index does not hold."""
        for label in wanted:
            if not 0 <= label <= LARGEST_ID or not self._shards.refs:
                raise KeyError(label)
        labels = np.array(wanted, dtype=np.int64)
        routes = [(shard, rows) for shard, rows in enumerate(
            rows_by_shard(shard_of(labels, self.shard_count), self.shard_count)) if len(rows)]
        held = self._shards.client.gather([
            self._shards.submit(tasks.held_ids, self._shards.refs[shard].future, labels[rows].tolist())
            for shard, rows in routes])
        present = set().union(*held)
        for label in wanted:
            if label not in present:
                raise KeyError(label)
        return labels, routes

    def remove(self, ids: Sequence[Any]) -> None:
        """Removes the vectors of the ids, each from its shard. An id the
        index does not hold raises KeyError naming it, and nothing is removed."""
        with self._shards.lock:
            wanted = list(dict.fromkeys(operator.index(label) for label in ids))
            if not wanted:
                return
            labels, routes = self._held_routes(wanted)
            self._change(tasks.remove_ids, [(shard, labels[rows].tolist()) for shard, rows in routes])

    def update_metadata(self, ids: Sequence[Any], metadata: Sequence[Sequence[Tuple[str, Any]]]) -> None:
        """Gives the vectors of the ids new metadata, as
        GraphIndex.update_metadata does, each in its shard. An id the index
        does not hold raises KeyError naming it, and nothing is changed."""
        with self._shards.lock:
            wanted = [operator.index(label) for label in ids]
            lists = list(metadata)
            if len(lists) != len(wanted):
                raise ValueError(f"update_metadata got {len(wanted)} ids and {len(lists)} metadata lists: "
                                 f"give one list of pairs per id")
            if not wanted:
                return
            # The lists checked as add checks them (against distinct stand-in ids).
            check(self._checks, "labels", len(wanted), list(range(len(wanted))), lists)
            labels, routes = self._held_routes(wanted)
            self._change(tasks.update_metadata, [(shard, labels[rows].tolist(), [lists[row] for row in rows])
                                                 for shard, rows in routes])

    # -- searching --------------------------------------------------------

    def search(self, queries: Any, k: Optional[int] = DEFAULT_K, *, ef: Optional[int] = None,
               filter: Any = None, filters: Optional[Sequence[Any]] = None
               ) -> Tuple[np.ndarray, np.ndarray]:
        """(ids, values) of the k nearest of each query, as GraphIndex.search
        gives them: int64 and float64 arrays of shape (n, k), or (k,) for one
        1-D query; nearest first (most similar first for a similarity); rows
        padded with id -1 and +inf (euclidean) or -inf where fewer than k
        vectors qualify, to any k while the result holds at most 2^31
        entries (queries times k), else ValueError; k=0 gives empty rows. Every shard answers the whole batch and the client
        keeps the best k. A filter returns only matches, k of them whenever
        at least k exist across the shards; filter and filters take what
        GraphIndex.search takes (pairs, and expression dicts, which travel to
        the workers as they are). Ctrl-C ends the shards' walks on the
        workers too."""
        if is_numeric_matrix(queries, self._dim):
            matrix = np.ascontiguousarray(queries, dtype=np.float64)
            check(self._checks, "search", matrix, k, ef, filter, None, None, filters)
        else:
            check(self._checks, "search", queries, k, ef, filter, None, None, filters)
            matrix = _as_queries(queries, self._dim)
        k = DEFAULT_K if k is None else operator.index(k)
        width = self.ef_search if ef is None else operator.index(ef)
        single = matrix.ndim == 1
        # No lock: each shard's GraphIndex answers searches while it changes.
        found = self._search(matrix.reshape(-1, self._dim), k, width, filter, filters)
        return (found[0][0], found[1][0]) if single else found

    def _search(self, queries: np.ndarray, k: int, ef: int, filter: Any,
                filters: Optional[Sequence[Any]] = None) -> Tuple[np.ndarray, np.ndarray]:
        similarity = self.metric != "euclidean"
        if not self._shards.refs or len(queries) == 0:
            padding = -math.inf if similarity else math.inf
            return np.full((len(queries), k), -1, dtype=np.int64), np.full((len(queries), k), padding)
        # The shards share the width (their recall then matches one index's).
        width = max(k, -(-ef // self.shard_count))
        # Each worker merges its own shards' answers first (the same merge);
        # a shard sends no padding past what it holds.
        parts = self._shards.fan_out(
            tasks.search_graph, lambda _, ref: (queries, min(k, ref.count), width, filter, filters),
            combine=(k, similarity))
        return merge_graph(parts, k, similarity)

    # -- saving -----------------------------------------------------------

    def save(self, directory: "str | os.PathLike[str]") -> None:
        """Writes one GraphIndex file per shard (on the shard's worker) and a
        manifest into `directory`, which every worker must reach under the
        same path. A save replaces the one before whole or not at all."""
        settings = dict(self._params, shard_size=self._shard_size, shards=self.shard_count,
                        routing=ROUTING_NAME, next_id=self._next_id)
        self._save(directory, KIND, settings, lambda _: {})

    @classmethod
    def load(cls, directory: "str | os.PathLike[str]", client: Optional[Client] = None) -> "ShardedGraph":
        """Reads an index written by `save`, each shard on a worker, each
        file checked against its manifest entry first. A shard lost later is
        read again from its file."""
        path = os.path.abspath(os.fspath(directory))
        document = read_manifest(path, KIND)
        settings, entries = document["settings"], document["shards"]
        if settings.get("routing") != ROUTING_NAME:
            raise ValueError(f"{path}: routing {settings.get('routing')!r}, expected {ROUTING_NAME!r}")
        shard_count = require_int(path, settings, "shards", 1)
        if shard_count != len(entries):
            raise ValueError(f"{path}: {len(entries)} shard entries for {shard_count} shards")
        index = cls(require_int(path, settings, "dim", 1), settings.get("metric"), client=client,
                    shard_size=require_int(path, settings, "shard_size", 1), shards=shard_count,
                    schema=settings.get("schema"), walk=settings.get("walk", DEFAULT_WALK),
                    storage=settings.get("storage"),
                    **{name: require_int(path, settings, name, 1) for name in PARAMETERS})
        next_id = require_int(path, settings, "next_id", 0)
        if next_id > LARGEST_ID + 1:
            raise ValueError(f"{path}: setting next_id is {next_id}, past the largest id {LARGEST_ID} plus one")
        index._read_shards(path, entries, lambda _: None)
        index._next_id = next_id
        index._check_routing(path)
        return index

    def _check_routing(self, path: str) -> None:
        """Every shard read holds only ids routed to it: else a remove or a
        replace would miss the id, and a replace would store it twice."""
        misrouted = self._shards.client.gather([
            self._shards.submit(tasks.misrouted_id, ref.future, position, self.shard_count)
            for position, ref in enumerate(self._shards.refs)])
        for position, label in enumerate(misrouted):
            if label is not None:
                self.close()
                routed = int(shard_of(np.array([label]), len(misrouted))[0])
                raise ValueError(f"{path}: shard {position} holds id {label}, which the routing puts in "
                                 f"shard {routed}")


def _local_ids(ids: Any) -> Any:
    """The ids as given, or a dask.array of them computed: eight bytes a
    vector, and the client routes by them."""
    return ids.compute() if is_dask_array(ids) else ids


def _pick(pairs: Metadata, rows: np.ndarray) -> Metadata:
    return None if pairs is None else [pairs[row] for row in rows.tolist()]


def _as_queries(queries: Any, dim: int) -> np.ndarray:
    """Queries that passed the index's checks as float64: one vector (1-D)
    or a matrix of `dim` columns."""
    try:
        matrix = np.asarray(queries, dtype=np.float64)
    except (TypeError, ValueError):
        matrix = np.array([[float(x) for x in row] for row in queries], dtype=np.float64)
    if matrix.ndim == 1 and matrix.size == 0:
        return np.empty((0, dim))
    return matrix
