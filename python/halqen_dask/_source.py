"""Turning what the caller gives to `create` into row blocks, one per shard.

A numpy array or a list is cut into blocks of `shard_size` rows on the
client. A dask.array stays where it is: each of its row blocks becomes one
shard, built by a task that Dask runs where the block is."""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, List

import numpy as np

from ._convert import IndexSettings, check, checked_matrix


@dataclass
class Block:
    rows: Any        # a numpy array, or a dask Delayed for one row block
    offset: int      # position of its first row in the caller's vectors
    count: int


def is_dask_array(value: object) -> bool:
    try:
        import dask.array as da
    except ImportError:  # pragma: no cover - dask[array] comes with the extra
        return False
    return isinstance(value, da.Array)


def blocks_of(vectors: object, dim: int, shard_size: int, index: IndexSettings) -> List[Block]:
    """The row blocks of `vectors`, checked as the index's `create` checks
    vectors (an empty list, a row of another length)."""
    blocks = dask_blocks(vectors, dim, index) if is_dask_array(vectors) else \
        client_blocks(vectors, dim, shard_size, index)
    if not blocks:
        check(index, "create", [])
    return blocks


def client_blocks(vectors: object, dim: int, shard_size: int, index: IndexSettings) -> List[Block]:
    matrix = checked_matrix(index, "create", vectors, dim)
    return [Block(matrix[start:start + shard_size], start, min(shard_size, len(matrix) - start))
            for start in range(0, len(matrix), shard_size)]


def dask_blocks(array: Any, dim: int, index: IndexSettings, method: str = "create") -> List[Block]:
    """The row blocks of a dask.array; rows of another width fail with what
    the index's `<method>` raises for them (its checks of the width alone:
    the rows lie on the workers)."""
    if array.ndim != 2:
        raise ValueError(f"expected a 2-D dask array of vectors, got {array.ndim} dimension(s)")
    if not math.isnan(array.shape[1]):
        check(index, f"{method}_width", int(array.shape[1]))
    if len(array.chunks[1]) > 1:
        array = array.rechunk({1: -1})  # whole rows per block; moves data between workers only
    if any(math.isnan(size) for size in array.chunks[0]):
        array = array.compute_chunk_sizes()  # only the sizes come back
    if not np.issubdtype(array.dtype, np.number) and array.dtype != np.bool_:
        raise TypeError(f"argument 'vectors': a dask array of {array.dtype} is not numeric")
    blocks, offset = [], 0
    for delayed, size in zip(array.to_delayed()[:, 0], array.chunks[0]):
        if size > 0:
            blocks.append(Block(delayed, offset, int(size)))
        offset += int(size)
    return blocks
