"""Sharded halqen indexes on a Dask cluster.

`ShardedFlat` and `ShardedHNSW` spread their vectors over PyFlat or PyHNSW
shards, and `ShardedGraph` over halqen_ext.GraphIndex shards (each id routed
to one shard by its hash), held in the memory of Dask workers; they search
every shard in one round of tasks and merge the answers on the client.
Install with `pip install 'halqen[dask]'`; a Dask client must be running
(`distributed.Client()`).
"""
from halqen_ext import __version__ as __version__

from ._flat import ShardedFlat
from ._graph import ShardedGraph
from ._hnsw import ShardedHNSW
from ._shards import ShardLostError

__all__ = ["ShardedFlat", "ShardedGraph", "ShardedHNSW", "ShardLostError"]
