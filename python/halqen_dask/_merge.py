"""Merging the shards' answers on the client.

Every shard answers in the order of one index, so a k-way merge of the
shards' lists, cut to k, is the answer of one index over all the vectors."""
from __future__ import annotations

import heapq
import math
from itertools import islice
from typing import Any, Iterable, List, Sequence, Tuple

import numpy as np


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


def merge_graph(per_shard: Sequence[Tuple[Any, Any]], k: int, similarity: bool) -> Tuple[Any, Any]:
    """The first k of all shards' (ids, values) rows, nearest first (most
    similar first for a similarity), equal values by the smaller id, the
    shards' padding (id -1) last; padded to k as one GraphIndex pads."""
    ids = np.concatenate([shard_ids for shard_ids, _ in per_shard], axis=1)
    values = np.concatenate([shard_values for _, shard_values in per_shard], axis=1)
    padding = ids < 0
    order = np.lexsort((ids, -values if similarity else values, padding), axis=1)[:, :k]
    merged_ids = np.take_along_axis(ids, order, axis=1)
    merged_values = np.take_along_axis(values, order, axis=1)
    missing = k - merged_ids.shape[1]
    if missing > 0:
        pad_value = -math.inf if similarity else math.inf
        merged_ids = np.pad(merged_ids, ((0, 0), (0, missing)), constant_values=-1)
        merged_values = np.pad(merged_values, ((0, 0), (0, missing)), constant_values=pad_value)
    return merged_ids, merged_values
