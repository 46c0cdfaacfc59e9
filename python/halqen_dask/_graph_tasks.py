"""The functions that run on the workers for ShardedGraph: create, grow,
shrink and search one GraphIndex shard, and cut a dask.array block into the
rows of each shard.

Every call that changes a shard changes it in place and returns it under a
new key; the tasks stay in the scheduler's graph, so a shard lost with its
worker is rebuilt by replaying them. GraphIndex builds the same graph for
the same sequence of calls, so the rebuilt shard answers as the lost one."""
from __future__ import annotations

import copy
import threading
from typing import Any, Dict, List, Optional, Sequence, Tuple

import halqen_ext
import numpy as np

from ._convert import IndexSettings, check
from ._routing import shard_of
from ._tasks import Shard, rows

# One thread per task: Dask runs as many tasks at once as a worker has threads.
THREADS_PER_TASK = 1


def new_graph(params: Dict[str, Any]) -> Shard:
    return Shard(halqen_ext.GraphIndex(**params))


def checked_block(block: Any, params: Dict[str, Any], first_row: int, shard_of_rows: np.ndarray,
                  shard_count: int) -> Tuple[np.ndarray, ...]:
    """The block's rows cut into one array per shard, after GraphIndex's
    checks of its rows (on the settings `params`); an error names the
    block's rows."""
    matrix = rows(block)
    try:
        check(IndexSettings("GraphIndex", params), "add", matrix)
    except (TypeError, ValueError) as error:
        raise type(error)(f"{error}, in the dask array's rows {first_row} to "
                          f"{first_row + len(matrix) - 1}") from None
    return tuple(matrix[shard_of_rows == shard] for shard in range(shard_count))


def part(parts: Sequence[np.ndarray], shard: int) -> np.ndarray:
    return parts[shard]


def changeable(shard: Shard) -> Any:
    """The shard's index, copied into memory first if it is mapped from its
    file (a loaded shard), which is read-only."""
    if shard.index.mapped:
        shard.index = copy.copy(shard.index)
    return shard.index


def add_rows(shard: Shard, ids: np.ndarray, metadata: Optional[List[Any]], *blocks: np.ndarray) -> Shard:
    """Adds the rows (the blocks in order, checked before) under their ids."""
    matrix = blocks[0] if len(blocks) == 1 else np.concatenate(blocks)
    changeable(shard).add(rows(matrix), ids, metadata, threads=THREADS_PER_TASK)
    return shard.grown()


def remove_ids(shard: Shard, ids: List[int]) -> Shard:
    changeable(shard).remove(ids)
    return shard.grown()


def update_metadata(shard: Shard, ids: List[int], metadata: List[Any]) -> Shard:
    changeable(shard).update_metadata(ids, metadata)
    return shard.grown()


def held_ids(shard: Shard, ids: List[int]) -> List[int]:
    """Those of the ids the shard holds."""
    return [ident for ident in ids if ident in shard.index]


def misrouted_id(shard: Shard, position: int, shard_count: int) -> Optional[int]:
    """An id of the shard that the routing puts in another shard, if any."""
    ids = shard.index.ids()
    wrong = ids[shard_of(ids, shard_count) != position]
    return int(wrong[0]) if len(wrong) else None


def length(shard: Shard) -> int:
    return len(shard.index)


def held_bytes(shard: Shard) -> int:
    return shard.nbytes


def search_graph(shard: Shard, queries: np.ndarray, k: int, ef: int, filter: Any,
                 filters: Optional[Sequence[Any]] = None,
                 cancel: Optional[threading.Event] = None) -> Tuple[np.ndarray, np.ndarray]:
    """Each query's ids and values from this shard, padded as GraphIndex pads;
    concurrent.futures.CancelledError once `cancel` is set."""
    return shard.index.search(queries, k, ef=ef, filter=filter, filters=filters,
                              threads=THREADS_PER_TASK, cancel=cancel)
