"""The client-side record of a sharded index: one future per shard, pinned in
worker memory, with the global ids it covers; and the one round of tasks that
every operation is."""
from __future__ import annotations

import threading
from concurrent.futures import CancelledError
from dataclasses import dataclass
from typing import Any, Callable, List, Optional, Sequence

import dask
from distributed import Client, Future, KilledWorker, wait

from . import _direct
from ._convert import MetadataValue

# The shards' rows travel inside their build tasks on purpose: the scheduler
# keeps those tasks, and a shard lost with its worker is rebuilt from them.
# Dask warns about such graphs; for this layer they are the recovery source.
QUIET_LARGE_GRAPHS = {"distributed.admin.large-graph-warning-threshold": "1 PiB"}
# A fan-out that loses a worker mid-way is sent once more before failing.
FAN_OUT_ATTEMPTS = 2


class ShardLostError(RuntimeError):
    """A shard could not be reached: its worker died and Dask could not
    rebuild it (or gave up on the task). No partial answer is returned."""


@dataclass
class ShardRef:
    future: Future      # the Shard in a worker's memory
    offset: int         # global id of its first vector
    count: int          # vectors it holds
    # ShardedHNSW: the record of the shard's entry node (node 0); None when
    # that node has no record.
    entry: Optional[List[MetadataValue]] = None


class ShardSet:
    """The shards of one index, in id order, and the client they live on."""

    def __init__(self, client: Client) -> None:
        self.client = client
        self.refs: List[ShardRef] = []
        # One change at a time, and no search beside one but a ShardedGraph's:
        # a change grows a shard in place, and only a GraphIndex serves
        # searches while it changes.
        self.lock = threading.RLock()
        self._reads_registered = False

    def __len__(self) -> int:
        return sum(ref.count for ref in self.refs)

    def submit(self, function: Callable[..., Any], *args: Any, **options: Any) -> Future:
        with dask.config.set(QUIET_LARGE_GRAPHS):
            return self.client.submit(function, *args, pure=False, **options)

    def map(self, function: Callable[..., Any], shards: Sequence[Future], arguments: Sequence[tuple]) -> List[Future]:
        """`function(shard, *arguments[i])` for every shard, sent to the
        scheduler as one graph: one message per round, not one per shard."""
        with dask.config.set(QUIET_LARGE_GRAPHS):
            return self.client.map(function, shards, *zip(*arguments), pure=False)

    def compute(self, delayed: Any) -> Future:
        with dask.config.set(QUIET_LARGE_GRAPHS):
            return self.client.compute(delayed)

    def settle(self, futures: Sequence[Future]) -> None:
        """Waits for the futures without fetching their results, and raises
        the first failure (with the worker's traceback). On failure every one
        of them is released, so nothing half-built stays in the cluster."""
        wait(futures)
        failed = [future for future in futures if future.status != "finished"]
        if not failed:
            return
        # A task's own error explains more than a cancellation it caused, and
        # is fetched before the cancel, which would replace it.
        failed.sort(key=lambda future: future.status != "error")
        try:
            failed[0].result()
        except (KilledWorker, CancelledError) as error:
            raise ShardLostError(f"building a shard failed: its worker was lost ({error!r})") from error
        finally:
            self.client.cancel(list(futures))

    def fan_out(self, function: Callable[..., Any], args_of: Callable[[int, ShardRef], tuple],
                combine: Optional[tuple] = None) -> List[Any]:
        """`function(shard, *args_of(i, ref))` for every shard, and the results
        in shard order; with `combine` (the arguments of the read's merge,
        _direct.COMBINES), partial answers whose merge is the answer: one per
        worker, or one per shard. A read goes straight to the workers holding the
        shards (_direct); anything else, or a read that finds a shard gone,
        is one task per shard. A task whose worker dies is re-run by Dask on
        another worker (after the shard is rebuilt); if that fails too, the
        whole round is sent once more, then ShardLostError."""
        # The shards as they stand now: a change in another thread may give a
        # shard a new future meanwhile (these keep theirs alive).
        refs = list(self.refs)
        shards = [ref.future for ref in refs]
        arguments = [args_of(i, ref) for i, ref in enumerate(refs)]
        results = self._read_direct(function, shards, arguments, combine)
        if results is not None:
            return results
        for attempt in range(FAN_OUT_ATTEMPTS):
            futures = self.map(function, shards, arguments)
            try:
                return self.client.gather(futures)
            except (KilledWorker, CancelledError) as error:
                self.client.cancel(futures)
                if attempt + 1 == FAN_OUT_ATTEMPTS:
                    raise ShardLostError(
                        f"{function.__name__} over {len(refs)} shards failed twice: a shard's "
                        f"worker was lost and the shard could not be rebuilt ({error!r}); "
                        "no partial answer was returned") from error
        raise AssertionError("unreachable")

    def _read_direct(self, function: Callable[..., Any], shards: Sequence[Future],
                     arguments: Sequence[tuple], combine: Optional[tuple]) -> Optional[List[Any]]:
        if not _direct.is_read(function):
            return None
        if not self._reads_registered:
            self._reads_registered = _direct.register(self.client)
            if not self._reads_registered:
                return None
        holders = self.who_has(shards)
        calls = [(position, shard.key, args) for position, (shard, args) in enumerate(zip(shards, arguments))]
        return _direct.read(self.client, function, holders, calls, combine)

    def last_has_room(self, shard_size: int) -> bool:
        return bool(self.refs) and self.refs[-1].count < shard_size

    def grow_last(self, function: Callable[..., Any], *args: Any) -> None:
        """Adds one vector to the last shard, in place on its worker. The old
        future is dropped; its task stays in the graph as the recipe a lost
        shard is rebuilt with."""
        last = self.refs[-1]
        future = self.submit(function, last.future, *args)
        self.settle([future])
        last.future = future
        last.count += 1

    def release(self) -> None:
        """Drops every shard future: Dask frees the shards' worker memory."""
        with self.lock:
            self.refs.clear()

    def add(self, refs: Sequence[ShardRef]) -> None:
        self.refs.extend(refs)
        # The read handlers are installed as the first shards are made, while
        # the workers that made them are up: registered at the first read, they
        # would be broadcast to a worker lost a moment before, and fail.
        if not self._reads_registered:
            self._reads_registered = _direct.register(self.client)

    def next_offset(self) -> int:
        return len(self)

    def who_has(self, futures: Sequence[Future]) -> List[Optional[str]]:
        holders = self.client.who_has(list(futures))
        return [next(iter(holders.get(future.key, ())), None) for future in futures]

    def workers(self) -> List[str]:
        return sorted(self.client.nthreads())
