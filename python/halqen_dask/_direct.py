"""Reads of shards sent straight to the workers that hold them.

A task round goes client -> scheduler -> worker -> scheduler -> client, each
hop a batched stream that waits up to its interval (10, 5 and 2 ms): about
15 ms per round on a quiet machine, more than a shard's whole search of a
small batch. A read sent to the holding worker's own handler costs one
message each way (about 1.5 ms).

Only reads go this way: every change to a shard stays a task, whose record
is what rebuilds a lost shard. Whenever a shard is not in its worker's
memory, or the worker cannot be reached, the read returns None and the
caller runs the task round instead, which rebuilds what was lost. A worker
killed a moment ago is still named by the scheduler: reaching it fails at
once on a closed connection, or else within REACH_SECONDS, where Dask would
retry for its whole connect timeout (30 s by default).

A read the client stops waiting for (Ctrl-C) is ended on the workers too,
so that they are free for the next: every read takes a `cancel` event
(a threading.Event) and stops soon after it is set."""
from __future__ import annotations

import asyncio
import concurrent.futures
import threading
import uuid
from collections import OrderedDict
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from distributed import Client, WorkerPlugin
from distributed.core import send_recv
from distributed.protocol import to_serialize
from distributed.protocol.pickle import dumps

from . import _graph_tasks, _tasks
from ._merge import merge_graph

HANDLER = "halqen_read_shards"
CANCEL_HANDLER = "halqen_cancel_read"
# The functions a worker runs for this handler: reads that change nothing,
# each taking a `cancel` event as its last argument.
READS: Dict[str, Callable[..., Any]] = {
    function.__name__: function
    for function in (_tasks.search_flat, _tasks.search_hnsw, _graph_tasks.search_graph)}
# Reads whose answers merge: a worker asked for several shards merges their
# answers into one (the merge is associative: a total order, cut to k), so
# the client merges one answer per worker rather than one per shard.
COMBINES: Dict[str, Callable[..., Any]] = {_graph_tasks.search_graph.__name__: merge_graph}
# Reads that run beside a task changing the same shard: a GraphIndex lets
# searches in while it is added to or removed from. They get threads of
# their own; the others take the worker's task threads, after its tasks.
BESIDE_CHANGES = frozenset({_graph_tasks.search_graph.__name__})
# The answer of a worker that does not hold one of the shards asked for.
MISSING = "missing"
# The answer of a worker whose read the client cancelled.
CANCELLED = "cancelled"
# Cancels a worker remembers for reads it has not started: a cancel and its
# read travel on separate connections, so the cancel may come first.
EARLY_CANCELS = 1024
# How long a direct read, or the handlers' registration, waits to reach the
# workers before the read goes by tasks: a live worker answers a connection
# in milliseconds.
REACH_SECONDS = 2.0

# (shard position, the shard future's key, the read's arguments)
Call = Tuple[int, Any, tuple]


class ShardCalls:
    """(key, arguments) of each shard a worker is asked to read, pickled as
    one object: an argument shared by the calls (the batch of queries)
    then travels once per worker, not once per shard, where Dask would
    serialize a list's items one by one. `combine`: the arguments of the
    read's merge (after the answers), or None for one answer per shard."""

    __slots__ = ("calls", "combine")

    def __init__(self, calls: List[Tuple[Any, tuple]], combine: Optional[tuple] = None) -> None:
        self.calls = calls
        self.combine = combine


class RunningReads:
    """A worker's cancellable reads in progress, by the id their client gave
    them, and the cancels that came before their reads."""

    def __init__(self) -> None:
        self.running: Dict[str, threading.Event] = {}
        self.early: "OrderedDict[str, None]" = OrderedDict()

    def start(self, read_id: str) -> threading.Event:
        event = threading.Event()
        if read_id in self.early:
            del self.early[read_id]
            event.set()
        self.running[read_id] = event
        return event

    def finish(self, read_id: str) -> None:
        self.running.pop(read_id, None)

    def cancel(self, read_id: str) -> None:
        event = self.running.get(read_id)
        if event is not None:
            event.set()
            return
        self.early[read_id] = None
        while len(self.early) > EARLY_CANCELS:
            self.early.popitem(last=False)


class DirectReads(WorkerPlugin):
    """Adds the read handlers to every worker, present and future (Dask
    installs a registered plugin on each worker that joins)."""

    name = "halqen-direct-reads"
    # Registered once per cluster: registering again would replace each
    # worker's record of its running reads, losing their cancels.
    idempotent = True

    def setup(self, worker: Any) -> None:
        self.reads = RunningReads()
        self.pool = concurrent.futures.ThreadPoolExecutor(
            max_workers=max(1, worker.state.nthreads), thread_name_prefix="halqen-read")
        worker.handlers[HANDLER] = _handler_of(worker, self.reads, self.pool)
        worker.handlers[CANCEL_HANDLER] = _cancel_handler_of(self.reads)

    def teardown(self, worker: Any) -> None:
        self.pool.shutdown(wait=False, cancel_futures=True)


def _handler_of(worker: Any, reads: RunningReads,
                beside_changes: concurrent.futures.Executor) -> Callable[..., Any]:
    async def halqen_read_shards(read: str = "", shards: Optional[ShardCalls] = None,
                                 read_id: str = "") -> Dict[str, Any]:
        function = READS[read]
        calls = shards.calls if shards is not None else []
        if not all(key in worker.data for key, _ in calls):
            return {"status": MISSING}
        cancel = reads.start(read_id) if read_id else None
        # On threads as many as the worker's task threads, never on its event
        # loop: the task threads themselves, as a task would run, unless the
        # read may run beside a change of its shard (which may be a task).
        loop = asyncio.get_running_loop()
        pool = beside_changes if read in BESIDE_CHANGES else worker.executors["default"]
        try:
            results = await asyncio.gather(*[
                loop.run_in_executor(pool, _apply, function, worker.data[key], arguments, cancel)
                for key, arguments in calls])
        finally:
            if read_id:
                reads.finish(read_id)
        if any(result is _CANCELLED for result in results):
            return {"status": CANCELLED}
        if shards is not None and shards.combine is not None and len(results) > 1:
            results = [await loop.run_in_executor(pool, _apply, COMBINES[read], results, shards.combine)]
        return {"status": "OK", "results": to_serialize(results)}

    return halqen_read_shards


def _cancel_handler_of(reads: RunningReads) -> Callable[..., Any]:
    async def halqen_cancel_read(read_id: str = "") -> None:
        reads.cancel(read_id)

    return halqen_cancel_read


# What a cancelled read returns in place of its answer: its error, raised in
# an executor, would reach the event loop as asyncio's own CancelledError.
_CANCELLED = object()


def _apply(function: Callable[..., Any], subject: Any, arguments: tuple,
           cancel: Optional[threading.Event] = None) -> Any:
    if cancel is None:
        return function(subject, *arguments)
    try:
        return function(subject, *arguments, cancel=cancel)
    except concurrent.futures.CancelledError:
        return _CANCELLED


def is_read(function: Callable[..., Any]) -> bool:
    return READS.get(function.__name__) is function


def register(client: Client) -> bool:
    """Whether the read handlers are now on every worker. False when a
    worker could not be told within REACH_SECONDS (one lost a moment ago,
    which the scheduler still names): reads go by tasks until a later
    registration succeeds. The scheduler keeps the plugin all the same, for
    the workers that join later."""
    try:
        replies = client.sync(_register, client, callback_timeout=REACH_SECONDS)
    except (OSError, asyncio.TimeoutError):  # Dask's CommClosedError is an OSError
        return False
    return all(isinstance(reply, dict) and reply.get("status") == "OK" for reply in replies.values())


async def _register(client: Client) -> Dict[str, Any]:
    # What Client.register_plugin sends, without its wait for every worker.
    plugin = DirectReads()
    return await client.scheduler.register_worker_plugin(plugin=dumps(plugin), name=plugin.name,
                                                         idempotent=plugin.idempotent)


def read(client: Client, function: Callable[..., Any], holders: Sequence[Optional[str]],
         calls: Sequence[Call], combine: Optional[tuple] = None) -> Optional[List[Any]]:
    """`function(shard, *arguments)` for every call, each on the worker named
    for it in `holders`, in call order; None if any shard was not found
    there or its worker could not be reached (nothing was changed). With
    `combine` (the arguments of the read's merge), each worker merges its
    answers, and the list holds one answer per worker. `function` is one of
    READS (is_read), which the workers also hold to."""
    if any(holder is None for holder in holders):
        return None
    if combine is not None and function.__name__ not in COMBINES:
        raise ValueError(f"{function.__name__} has no merge of its answers")
    by_worker: Dict[str, List[Call]] = {}
    for holder, call in zip(holders, calls):
        by_worker.setdefault(str(holder), []).append(call)
    read_id = uuid.uuid4().hex
    try:
        answers = client.sync(_ask_all, client, function.__name__, by_worker, combine, read_id)
    except BaseException:
        # Ctrl-C, mostly: the workers would finish the read for no one, and
        # the next read would wait for them. Sent without waiting.
        if client.loop is not None:
            client.loop.add_callback(_cancel_all, client, list(by_worker), read_id)
        raise
    if answers is None:
        return None
    if combine is not None:
        return [value for _, values in answers for value in values]
    results: List[Any] = [None] * len(calls)
    for positions, values in answers:
        for position, value in zip(positions, values):
            results[position] = value
    return results


async def _ask_all(client: Client, name: str, by_worker: Dict[str, List[Call]], combine: Optional[tuple],
                   read_id: str) -> Optional[List[Tuple[List[int], List[Any]]]]:
    asks = {worker: asyncio.ensure_future(_ask(client, name, worker, calls, combine, read_id))
            for worker, calls in by_worker.items()}
    try:
        answers = await asyncio.gather(*asks.values())
    except (OSError, asyncio.TimeoutError):  # a worker gone or unreachable (Dask's CommClosedError is one)
        # The others' reads would hold the threads the task round needs: they
        # are cancelled, and the task round does not wait for the cancels.
        running = [worker for worker, ask in asks.items() if not ask.done()]
        for worker in running:
            asks[worker].cancel()
        if client.loop is not None:
            client.loop.add_callback(_cancel_all, client, running, read_id)
        return None
    found = [answer for answer in answers if answer is not None]
    return found if len(found) == len(answers) else None


async def _ask(client: Client, name: str, worker: str, calls: List[Call], combine: Optional[tuple],
               read_id: str) -> Optional[Tuple[List[int], List[Any]]]:
    message = ShardCalls([(key, arguments) for _, key, arguments in calls], combine)
    # Only the connection is timed: a read may rightly take long.
    comm = await asyncio.wait_for(client.rpc.connect(worker, timeout=REACH_SECONDS), REACH_SECONDS)
    try:
        reply = await send_recv(comm, op=HANDLER, read=name, shards=to_serialize(message), read_id=read_id)
    finally:
        client.rpc.reuse(worker, comm)
    if not isinstance(reply, dict) or reply.get("status") != "OK":
        return None  # the shard is not there, or the worker lacks the handler
    return [position for position, _, _ in calls], reply["results"]


async def _cancel_all(client: Client, workers: List[str], read_id: str) -> None:
    # A worker gone needs no cancel, and is not waited for.
    await asyncio.gather(*[asyncio.wait_for(client.rpc(worker).halqen_cancel_read(read_id=read_id), REACH_SECONDS)
                           for worker in workers], return_exceptions=True)
