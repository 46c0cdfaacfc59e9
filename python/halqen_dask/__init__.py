"""Sharded halqen indexes on a Dask cluster.

`ShardedFlat` and `ShardedHNSW` spread their vectors over PyFlat or PyHNSW
shards held in the memory of Dask workers, search every shard in one round of
tasks and merge the answers on the client. Install with `pip install
'halqen[dask]'`; a Dask client must be running (`distributed.Client()`).
"""
from ._flat import ShardedFlat
from ._hnsw import ShardedHNSW
from ._shards import ShardLostError

__all__ = ["ShardedFlat", "ShardedHNSW", "ShardLostError"]
