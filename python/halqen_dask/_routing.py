"""Which shard of a ShardedGraph holds an id: a fixed hash of the id, modulo
the shard count. The hash is SplitMix64's finaliser, the same in every
process and on every machine (Python's hash() of an int is not mixed, and
that of other types is salted per process)."""
from __future__ import annotations

from typing import List

import numpy as np

ROUTING_NAME = "splitmix64"
_INCREMENT = np.uint64(0x9E3779B97F4A7C15)
_FIRST_MULTIPLIER = np.uint64(0xBF58476D1CE4E5B9)
_SECOND_MULTIPLIER = np.uint64(0x94D049BB133111EB)
_FIRST_SHIFT, _SECOND_SHIFT, _LAST_SHIFT = np.uint64(30), np.uint64(27), np.uint64(31)


def mixed(ids: np.ndarray) -> np.ndarray:
    """SplitMix64's output for each id (uint64 arithmetic wraps)."""
    z = ids.astype(np.uint64) + _INCREMENT
    z = (z ^ (z >> _FIRST_SHIFT)) * _FIRST_MULTIPLIER
    z = (z ^ (z >> _SECOND_SHIFT)) * _SECOND_MULTIPLIER
    return z ^ (z >> _LAST_SHIFT)


def shard_of(ids: np.ndarray, shard_count: int) -> np.ndarray:
    """The shard of each id, as an int64 array."""
    return (mixed(ids) % np.uint64(shard_count)).astype(np.int64)


def rows_by_shard(shards: np.ndarray, shard_count: int) -> List[np.ndarray]:
    """For each shard, the positions of its rows in call order (a stable
    sort keeps the order, so a shard adds its rows as the caller gave them)."""
    order = np.argsort(shards, kind="stable")
    bounds = np.searchsorted(shards[order], np.arange(shard_count + 1))
    return [order[bounds[s]:bounds[s + 1]] for s in range(shard_count)]
