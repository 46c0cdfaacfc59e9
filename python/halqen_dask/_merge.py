"""Merging the shards' answers on the client.

Every shard answers in the order of one index, so a k-way merge of the
shards' lists, cut to k, is the answer of one index over all the vectors."""
from __future__ import annotations

import heapq
import math
from itertools import islice
from typing import Any, Iterable, List, Sequence, Tuple


def distance_key(distance: float) -> Tuple[bool, float]:
    """Distance order: numbers ascending (-0.0 equal to 0.0), NaN after every
    number, two NaNs equal."""
    if math.isnan(distance):
        return (True, 0.0)
    return (False, distance)


def _flat_rank(hit: Tuple[int, float]) -> Tuple[bool, float, int]:
    # Rank order: distance order, then the smaller id.
    nan, value = distance_key(hit[1])
    return (nan, value, hit[0])


def _hnsw_rank(hit: Tuple[float, Any]) -> Tuple[bool, float]:
    return distance_key(hit[0])


def merge_flat(per_shard: Sequence[Sequence[Sequence[Tuple[int, float]]]],
               k: int) -> List[List[Tuple[int, float]]]:
    """Per query, the first k of all shards' (id, distance) pairs in rank
    order. Ids are global, so ties resolve exactly as in one index."""
    return [_first(k, answers, _flat_rank) for answers in zip(*per_shard)]


def merge_hnsw(per_shard: Sequence[Sequence[Sequence[Tuple[float, Any]]]],
               k: int) -> List[List[Tuple[float, Any]]]:
    """Per query, the first k of all shards' (distance, vector) pairs in
    distance order; equal distances keep shard order (the merge is stable)."""
    return [_first(k, answers, _hnsw_rank) for answers in zip(*per_shard)]


def _first(k: int, answers: Iterable[Sequence[Any]], key: Any) -> List[Any]:
    return list(islice(heapq.merge(*answers, key=key), k))
