"""Several threads hammer one index while argument conversion hands the interpreter over.

Each vector element is an object whose __float__ calls time.sleep(0), so the
interpreter switches threads in the middle of a call's conversion and calls
on one index overlap. The only failures allowed are the two borrow errors;
afterwards the index holds exactly the vectors of the calls that succeeded,
numbered without gaps, each call's vectors side by side in list order.
"""
import copy
import os
import pickle
import random
import sys
import threading
import time
import traceback

import numpy as np
import pytest

import halqen_ext
from halqen import PyFlat, PyHNSW
from halqen_ext import GraphIndex
from reference import euclidean, flat_search

THREADS = 4
CALLS_PER_THREAD = 300
DIM = 3
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
# A small switch interval makes the interpreter change threads often even
# outside the explicit yields.
SWITCH_INTERVAL = 1e-5

class Yielding:
    """A number whose conversion lets other threads run."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


def yielding(vector):
    return [Yielding(x) for x in vector]


class Tally:
    def __init__(self):
        self.lock = threading.Lock()
        self.calls = self.successes = self.borrow_errors = 0
        self.stored = []  # the vector lists of successful inserts and creates
        self.unexpected = []

    def record(self, outcome, stored=None):
        with self.lock:
            self.calls += 1
            if isinstance(outcome, RuntimeError) and str(outcome) in BORROW_ERRORS:
                self.borrow_errors += 1
            elif isinstance(outcome, BaseException):
                self.unexpected.append(repr(outcome))
            else:
                self.successes += 1
                if stored is not None:
                    self.stored.append(stored)


def hammer(index, tally, seed, start):
    rng = random.Random(seed)
    start.wait()
    for n in range(CALLS_PER_THREAD):
        action = rng.choice(["insert", "insert", "create", "search", "search", "batch"])
        # Unique components: thread seed, call number, position.
        fresh = lambda j: [seed * 1e6 + n * 10 + j + i / 10 for i in range(DIM)]  # noqa: E731
        try:
            if action == "insert":
                vector = fresh(0)
                index.insert(yielding(vector))
                tally.record(None, [vector])
            elif action == "create":
                vectors = [fresh(j) for j in range(rng.randint(1, 3))]
                index.create([yielding(v) for v in vectors])
                tally.record(None, vectors)
            elif action == "search":
                query = [rng.uniform(-1, 1) for _ in range(DIM)]
                tally.record(index.search(yielding(query), k=3))
            else:
                queries = [yielding([rng.uniform(-1, 1) for _ in range(DIM)]) for _ in range(2)]
                tally.record(halqen_ext.search_batch(index, queries, k=3, threads=2))
        except BaseException as exc:  # noqa: B036 - a PanicException would be a finding
            tally.record(exc)


def run_threads(index):
    tally = Tally()
    start = threading.Barrier(THREADS)
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(SWITCH_INTERVAL)
    try:
        threads = [
            threading.Thread(target=hammer, args=(index, tally, seed + 1, start))
            for seed in range(THREADS)
        ]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert tally.unexpected == []
    assert tally.calls == THREADS * CALLS_PER_THREAD
    assert tally.borrow_errors > 0, "the calls never overlapped"
    print(f"calls {tally.calls}, successes {tally.successes}, borrow errors {tally.borrow_errors}")
    return tally


def test_flat_index_stays_consistent_under_threads():
    index = PyFlat(DIM)
    tally = run_threads(index)
    # Each successful call's vectors hold consecutive ids in list order, and
    # together the calls number 0..N-1 without a gap: the order of the ids is
    # the order in which the calls stored them.
    stored_at = {}
    for vectors in tally.stored:
        ids = []
        for vector in vectors:
            [(ident, distance)] = index.search(vector, k=1)
            assert distance == 0.0
            ids.append(ident)
        assert ids == list(range(ids[0], ids[0] + len(ids)))
        stored_at.update(zip(ids, vectors))
    assert sorted(stored_at) == list(range(len(stored_at)))
    stored = [stored_at[i] for i in range(len(stored_at))]
    rng = random.Random(5)
    for _ in range(20):
        query = [rng.uniform(-1e6, 5e6) for _ in range(DIM)]
        assert index.search(query, k=len(stored) + 5) == flat_search(stored, query, len(stored), euclidean)


def test_graph_index_stays_consistent_under_threads():
    # One layer and widths beyond the node count: a search reaches every node.
    index = PyHNSW(DIM, layers=1, ef_construction=100_000, ef_search=100_000, metric="euclidean")
    stored = [v for vectors in run_threads(index).stored for v in vectors]
    rng = random.Random(6)
    for _ in range(5):
        query = [rng.uniform(-1e6, 5e6) for _ in range(DIM)]
        hits = index.search(query, k=len(stored) + 5)
        expected = flat_search(stored, query, len(stored), euclidean)
        assert [d for d, _ in hits] == [d for _, d in expected]
        assert sorted(v for _, v in hits) == sorted(stored)


@pytest.mark.parametrize("cls", ["flat", "hnsw"])
def test_threads_creating_indexes_while_others_search(cls):
    """Constructors convert with the interpreter handed over too, and own no borrow."""

    class YieldingIndex:
        def __init__(self, value):
            self.value = value

        def __index__(self):
            time.sleep(0)
            return self.value

    shared = PyFlat(DIM) if cls == "flat" else PyHNSW(DIM, layers=1, metric="euclidean")
    shared.insert([0.0] * DIM)
    errors = []

    def build():
        for _ in range(200):
            try:
                fresh = PyFlat(YieldingIndex(DIM)) if cls == "flat" else PyHNSW(
                    YieldingIndex(DIM), layers=YieldingIndex(1), metric="euclidean"
                )
                fresh.insert([Yielding(1.0)] * DIM)
                shared.search([Yielding(0.0)] * DIM)
            except BaseException as exc:  # noqa: B036
                errors.append(exc)

    threads = [threading.Thread(target=build) for _ in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


@pytest.mark.parametrize("cls", ["flat", "hnsw"])
def test_batches_from_several_threads_share_the_index(cls):
    """Batches on one index from several Python threads at once, each on
    worker threads of its own: every answer is the loop of search."""
    rng = random.Random(7)
    vectors = [[rng.uniform(-1, 1) for _ in range(DIM)] for _ in range(2000)]
    index = PyFlat(DIM) if cls == "flat" else PyHNSW(DIM, metric="euclidean")
    index.create(vectors)
    query_sets = [[[rng.uniform(-1, 1) for _ in range(DIM)] for _ in range(300)] for _ in range(THREADS)]
    expected = [[index.search(q, 4) for q in queries] for queries in query_sets]
    answers = [None] * THREADS

    def batch(n):
        answers[n] = halqen_ext.search_batch(index, query_sets[n], 4, threads=2)

    threads = [threading.Thread(target=batch, args=(n,)) for n in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert answers == expected


class Blocking:
    """A number whose conversion holds its call's borrow until released."""

    def __init__(self):
        self.entered = threading.Event()
        self.release = threading.Event()

    def __float__(self):
        self.entered.set()
        self.release.wait()
        return 0.0


class Forking:
    """A number whose conversion forks: the child goes on with the call."""

    def __init__(self):
        self.pid = None

    def __float__(self):
        self.pid = os.fork()
        return 0.0


def exit_child(check):
    try:
        check()
    except BaseException:  # noqa: BLE001 - reported through the exit status
        traceback.print_exc()
        sys.stderr.flush()
        os._exit(1)
    os._exit(0)


def exit_status(pid):
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork with threads running
def test_a_forked_child_drops_borrows_of_threads_it_does_not_have():
    index = PyFlat(1)
    index.insert([1.0])
    blocker = Blocking()
    searcher = threading.Thread(target=index.search, args=([blocker],))
    searcher.start()
    blocker.entered.wait()
    try:
        pid = os.fork()
        if pid == 0:
            exit_child(lambda: index.insert([2.0]))  # the searching thread is not in the child
        with pytest.raises(RuntimeError, match="Already borrowed"):
            index.insert([2.0])  # the parent still has it
    finally:
        blocker.release.set()
        searcher.join()
    assert exit_status(pid) == 0

    # The forking thread's own borrow stays in the child and is given back there.
    forker = Forking()
    index.search([forker])
    if forker.pid == 0:
        exit_child(lambda: index.insert([3.0]))
    assert exit_status(forker.pid) == 0


FORKED_MID_CHANGE = "being changed by another thread when the process forked"


def every_use(index, vector, path):
    """One call of each method, property and protocol of a GraphIndex."""
    return {
        "search": lambda: index.search(vector),
        "add": lambda: index.add([vector]),
        "remove": lambda: index.remove([0]),
        "ids": index.ids,
        "get_vectors": lambda: index.get_vectors([0]),
        "len": lambda: len(index),
        "in": lambda: 0 in index,
        "ef_search": lambda: index.ef_search,
        "set ef_search": lambda: setattr(index, "ef_search", 5),
        "walk": lambda: index.walk,
        "write_index": lambda: halqen_ext.write_index(index, path),
        "serialize_index": lambda: halqen_ext.serialize_index(index),
        "pickle": lambda: pickle.dumps(index),
        "copy": lambda: copy.copy(index),
    }


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork with threads running
def test_a_forked_child_refuses_an_index_another_thread_was_changing(tmp_path):
    data = np.random.default_rng(5).normal(size=(20_000, 16))
    changing, idle = (GraphIndex(16, "euclidean", ef_construction=50) for _ in range(2))
    changing.add(data[:100])
    idle.add(data[:100])
    adder = threading.Thread(target=changing.add, args=(data[100:],), kwargs={"threads": 1})
    adder.start()

    def check_child():
        for use in every_use(changing, data[0], tmp_path / "child.halqen").values():
            with pytest.raises(RuntimeError, match=FORKED_MID_CHANGE + ".*load a saved copy"):
                use()
        # An index no thread was changing works as usual.
        idle.add(data[100:200])
        assert len(idle) == 200 and np.array_equal(idle.get_vectors([150]), data[150:151])
        assert idle.search(data[150], k=1)[0].tolist() == [150]
        halqen_ext.deserialize_index(halqen_ext.serialize_index(idle))

    try:
        # Searches run beside the add; a whole read waits for it to end.
        while changing.search(data[150], k=1)[0].tolist() != [150]:
            pass  # a batch of the add is in: it holds its turn
        time.sleep(0.2)
        pid = os.fork()
        if pid == 0:
            exit_child(check_child)
        changing_at_fork = adder.is_alive()
    finally:
        adder.join()
    assert changing_at_fork, "the add ended before the fork: give it more rows"
    assert exit_status(pid) == 0
    # The parent's add went on undisturbed.
    assert len(changing) == 20_000 and 19_999 in changing
