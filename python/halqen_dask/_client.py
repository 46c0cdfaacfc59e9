"""Finding the Dask client a sharded index works with."""
from __future__ import annotations

from typing import Optional

from distributed import Client, default_client

NO_CLIENT_MESSAGE = (
    "halqen_dask needs a Dask client and none is running. Start one first, for example "
    "`from distributed import Client; client = Client()` (a local cluster on this "
    "machine) or `Client('tcp://scheduler-host:8786')`, or pass client=... explicitly")


def resolve_client(client: Optional[Client]) -> Client:
    """The given client, else Dask's current default client (as dask-ml and
    xgboost.dask do), else a ValueError that says how to start one."""
    if client is not None:
        if not isinstance(client, Client):
            raise TypeError(f"client must be a distributed.Client, got {type(client).__name__}")
        return client
    try:
        return default_client()
    except ValueError:
        raise ValueError(NO_CLIENT_MESSAGE) from None
