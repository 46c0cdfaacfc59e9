"""A GraphIndex serves searches while it grows and shrinks: searches in
several threads beside a thread that adds, removes and replaces, every answer
checked against the model's states around it; writers that wait their turn;
the bytes built the same with or without searches beside them."""
import os
import signal
import threading
import time

import numpy as np
import pytest

import halqen_ext
from halqen_ext import GraphIndex
from reference import euclidean

DIM = 12


def clustered(rng, count):
    centres = rng.normal(size=(16, DIM)) * 4
    return centres[rng.integers(0, len(centres), count)] + rng.normal(size=(count, DIM))


def steps(seed):
    """The writer's calls: (kind, ids, rows) of adds of new ids, removals and
    replacements, drawn ahead so that a run without searches repeats them."""
    rng = np.random.default_rng(seed)
    held = list(range(3000))
    next_id = 3000
    calls = []
    for _ in range(24):
        kind = rng.choice(["add", "add", "remove", "replace"])
        if kind == "add":
            count = int(rng.integers(1, 800))
            ids = list(range(next_id, next_id + count))
            next_id += count
            held += ids
        elif kind == "remove":
            ids = [int(i) for i in rng.choice(held, size=int(rng.integers(1, 300)), replace=False)]
            held = [i for i in held if i not in set(ids)]
        else:
            ids = [int(i) for i in rng.choice(held, size=int(rng.integers(1, 200)), replace=False)]
        calls.append((str(kind), ids, None if kind == "remove" else clustered(rng, len(ids))))
    return clustered(rng, 3000), calls


def apply(index, call):
    kind, ids, rows = call
    if kind == "remove":
        index.remove(ids)
    else:
        index.add(rows, ids=ids)


class Timeline:
    """When each id's vectors were live: per id, (vector, first moment it
    may be seen, last moment it may be seen)."""

    def __init__(self):
        self.spans = {}

    def live_spans(self, ids):
        return [self.spans[ident][-1] for ident in ids]

    def added(self, ids, rows, started):
        for ident, row in zip(ids, rows):
            self.spans.setdefault(ident, []).append([row, started, None])

    @staticmethod
    def ended(spans, finished):
        for span in spans:
            span[2] = finished

    def admits(self, ident, value, began, ended):
        """Whether some vector of `ident` live at some moment of [began,
        ended] has the metric's value `value` to the query."""
        return any(start <= ended and (stop is None or stop >= began) and value(row)
                   for row, start, stop in self.spans.get(ident, []))


def test_searches_beside_adds_removals_and_replacements_see_completed_steps():
    first, calls = steps(seed=3)
    index = GraphIndex(DIM, "euclidean", ef_search=40, seed=2)
    index.add(first)
    timeline = Timeline()
    timeline.added(range(3000), first, 0.0)
    done = threading.Event()
    faults, answered = [], [0]
    queries = clustered(np.random.default_rng(9), 64)

    def search(thread):
        n = thread
        while not done.is_set():
            query = queries[n % len(queries)]
            n += 3
            began = time.perf_counter()
            try:
                ids, values = index.search(query, k=5)
            except Exception as error:  # noqa: BLE001 - every failure is a finding here
                faults.append(repr(error))
                continue
            ended = time.perf_counter()
            answered[0] += 1
            for ident, value in zip(ids.tolist(), values.tolist()):
                if ident == -1:
                    continue
                exact = lambda row: euclidean(row.tolist(), query.tolist()) == value  # noqa: E731
                if not timeline.admits(ident, exact, began, ended):
                    faults.append(f"id {ident} at {value} was not live during the search")

    searchers = [threading.Thread(target=search, args=(t,)) for t in range(3)]
    for thread in searchers:
        thread.start()
    try:
        for kind, ids, rows in calls:
            # Known before the call starts: searches may see the new
            # vectors from then on, and the old ones until it has ended.
            leaving = [] if kind == "add" else timeline.live_spans(ids)
            if kind != "remove":
                timeline.added(ids, rows, time.perf_counter())
            apply(index, (kind, ids, rows))
            timeline.ended(leaving, time.perf_counter())
    finally:
        done.set()
        for thread in searchers:
            thread.join()
    assert faults == []
    assert answered[0] > 0
    # The same calls without searches build the same bytes.
    alone = GraphIndex(DIM, "euclidean", ef_search=40, seed=2)
    alone.add(first)
    for call in calls:
        apply(alone, call)
    assert halqen_ext.serialize_index(alone) == halqen_ext.serialize_index(index)


def test_a_second_writer_waits_its_turn_and_writers_keep_their_order():
    rng = np.random.default_rng(4)
    data = clustered(rng, 12_500)
    index = GraphIndex(DIM, "euclidean", ef_construction=64)
    index.add(data[:100])
    order = []

    def add(part, name):
        index.add(data[part], ids=range(part.start, part.stop), threads=1)
        order.append(name)

    first = threading.Thread(target=add, args=(slice(100, 12_000), "first"))
    first.start()
    while index.search(data[150], k=1)[0].tolist() != [150]:
        pass  # a batch of the first add is in: it holds its turn
    second = threading.Thread(target=add, args=(slice(12_000, 12_500), "second"))
    second.start()
    time.sleep(0.05)
    index.remove([5])  # a third, behind both
    order.append("remove")
    first.join()
    second.join()
    assert order == ["first", "second", "remove"]
    assert len(index) == 12_499 and 5 not in index and 12_499 in index


def add_running(seed):
    """An index of 100 rows, with an add of 19,900 more started in a thread
    (one worker thread: it runs a few seconds); the index, all 20,000 rows
    and the thread."""
    data = clustered(np.random.default_rng(seed), 20_000)
    index = GraphIndex(DIM, "euclidean", ef_construction=64)
    index.add(data[:100])
    running = threading.Thread(target=index.add, args=(data[100:],), kwargs={"threads": 1})
    running.start()
    return index, data, running


@pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="needs pthread_kill")
def test_ctrl_c_ends_a_writer_waiting_for_its_turn_and_leaves_the_running_one_whole():
    index, data, running = add_running(seed=5)
    while index.search(data[150], k=1)[0].tolist() != [150]:
        pass  # a batch of the running add is in: it holds its turn
    main = threading.main_thread().ident
    threading.Timer(0.2, lambda: signal.pthread_kill(main, signal.SIGINT)).start()
    began = time.perf_counter()
    with pytest.raises(KeyboardInterrupt):
        index.add(data[:1] + 1000.0, ids=[10**9])
    waited = time.perf_counter() - began
    assert running.is_alive(), "the running add ended first: give it more rows"
    running.join()
    assert waited < 5.0
    assert len(index) == 20_000 and 10**9 not in index


def test_counts_and_lookups_come_in_between_the_steps_of_an_add():
    index, _, running = add_running(seed=6)
    counts, found = [], []
    while running.is_alive():
        counts.append(len(index))
        found.append(counts[-1] - 1 in index)  # the last row of a completed batch
    running.join()
    during = counts[:-1]
    assert len(during) >= 3 and len(set(during)) >= 2, "len waited for the whole add"
    assert all(100 <= count <= 20_000 for count in counts) and counts == sorted(counts)
    assert all(found)


def test_a_whole_read_inside_a_change_on_the_same_thread_is_refused_not_a_hang(tmp_path):
    index = GraphIndex(2, "euclidean")
    index.add([[0.0, 0.0], [1.0, 1.0]])

    class Path(os.PathLike):
        def __fspath__(self):
            index.add([[2.0, 2.0]])  # a change while write_index holds the index
            return str(tmp_path / "index.halqen")

    with pytest.raises(RuntimeError, match="use the index after that call returns"):
        halqen_ext.write_index(index, Path())
    assert len(index) == 2


def test_python_code_run_by_a_calls_conversion_may_use_the_index():
    index = GraphIndex(2, "euclidean", schema=["a"])
    index.add([[0.0, 0.0]], metadata=[[("a", 1)]])
    seen = []

    class Nested:
        """A metadata value whose conversion adds to and searches the index."""

        def __index__(self):
            index.add([[9.0, 9.0]], ids=[50])
            seen.append(index.search([9.0, 9.0], k=1)[0].tolist())
            return 3

    # In a thread, so that a call waiting for itself fails the test, not the run.
    caller = threading.Thread(
        target=lambda: index.add([[1.0, 1.0]], ids=[7], metadata=[[("a", Nested())]]),
        daemon=True)
    caller.start()
    caller.join(timeout=30)
    assert not caller.is_alive(), "the add waited for the call it was converting for"
    assert seen == [[50]]
    assert sorted(index.ids().tolist()) == [0, 7, 50]
