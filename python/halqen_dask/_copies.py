"""The serialized copies ShardedHNSW shards are reloaded from, each published
in a Dask Variable that the reloading task reads."""
from __future__ import annotations

import weakref
from typing import List

from distributed import Client, Future, Variable

VARIABLE_PREFIX = "halqen-dask-copy-"


class CopyRegistry:
    """Holds one Variable per copy while its index lives; the Variables (and
    so the copies in worker memory) are deleted with the index."""

    def __init__(self, client: Client) -> None:
        self._client = client
        self._names: List[str] = []
        self._finalizer = weakref.finalize(self, _delete_all, client, self._names)

    def release(self) -> None:
        self._finalizer()

    def keep(self, copy: Future) -> str:
        name = VARIABLE_PREFIX + str(copy.key)
        Variable(name, client=self._client).set(copy)
        self._names.append(name)
        return name


def _delete_all(client: Client, names: List[str]) -> None:
    if client.status != "running":
        return  # the cluster, and every Variable with it, is gone
    for name in names:
        Variable(name, client=client).delete()
