"""halqen_ext.search_batch and search_ids against the loop of search they stand for.

Every comparison is bit for bit (floats by their bit patterns; any NaN equals
any NaN, since where two NaNs meet in one distance IEEE leaves open which one
the result carries) and covers the exception too: a call that fails must fail
with the class and message the loop raises.
"""
import concurrent.futures
import math
import random
import signal
import struct
import textwrap
import threading
import time

import numpy as np
import pytest

import halqen_ext
from halqen import PyFlat, PyHNSW
from child_process import start_python
from reference import euclidean, flat_search

FLAT_METRICS = [None, "cosine", "inner_product"]
GRAPH_METRICS = ["euclidean", "angular", "inner_product"]
THREAD_COUNTS = [1, 3]
SCHEMA = ["color", "size"]
COLORS = ["red", "blue", "green"]


def bits(value):
    """Floats as their bit patterns, every NaN alike."""
    if isinstance(value, float):
        return ("float", "nan" if math.isnan(value) else struct.pack("<d", value))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [bits(item) for item in value])
    return value


def outcome(call):
    try:
        return ("returned", bits(call()))
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        return ("raised", type(exc), str(exc))


def loop_of_search(index, queries, k=None, filter=None):
    if isinstance(index, PyFlat):
        return [index.search(q, k) for q in queries]
    return [index.search(q, k, filter) for q in queries]


def awkward_vector(rng, dim):
    """Small integers (distances tie), now and then NaN, an infinity, -0.0 or zeros."""
    vector = [float(rng.randint(-2, 2)) for _ in range(dim)]
    kind = rng.randint(0, 12)
    if kind == 0:
        vector = [0.0] * dim
    elif kind == 1:
        vector[rng.randrange(dim)] = math.nan
    elif kind == 2:
        vector[rng.randrange(dim)] = rng.choice([math.inf, -math.inf])
    elif kind == 3:
        vector[rng.randrange(dim)] = -0.0
    return vector


def random_ks(rng, count):
    return [None, 0, 1, rng.randint(2, count), count, count + rng.randint(1, 50), 2**64 - 1]


def filled_flat(metric, vectors):
    index = PyFlat(len(vectors[0]), metric)
    index.create(vectors)
    return index


def filled_graph(metric, vectors, rng, **params):
    index = PyHNSW(len(vectors[0]), metric=metric, schema=SCHEMA, **params)
    metadata = [[("color", rng.choice(COLORS)), ("size", rng.randint(0, 3))] for _ in vectors]
    index.create(vectors, metadata)
    return index


# --- the loop, bit for bit ----------------------------------------------------------


@pytest.mark.parametrize("threads", THREAD_COUNTS)
@pytest.mark.parametrize("metric", FLAT_METRICS)
def test_flat_batch_is_the_loop_of_search(metric, threads):
    rng = random.Random(f"flat {metric} {threads}")
    dim = 5
    vectors = [awkward_vector(rng, dim) for _ in range(200)]
    index = filled_flat(metric, vectors)
    queries = [awkward_vector(rng, dim) for _ in range(30)]
    for k in random_ks(rng, len(vectors)):
        expected = outcome(lambda: loop_of_search(index, queries, k))
        for given in (queries, np.array(queries), tuple(map(tuple, queries))):
            assert outcome(lambda: halqen_ext.search_batch(index, given, k, threads=threads)) == expected
            assert outcome(lambda: halqen_ext.search_ids(index, given, k, threads=threads)) == expected


def test_flat_batch_over_several_ranges_of_rows():
    """A store of several ranges of rows: the per-range selections merge into search's."""
    rng = np.random.default_rng(3)
    dim = 512  # a range then holds 8,192 rows
    vectors = rng.integers(-1, 2, size=(17_000, dim)).astype(float)
    queries = rng.integers(-1, 2, size=(6, dim)).astype(float)
    for metric in FLAT_METRICS:
        index = filled_flat(metric, vectors)
        for k in (1, 25, 9_000):
            expected = outcome(lambda: loop_of_search(index, queries, k))
            assert outcome(lambda: halqen_ext.search_batch(index, queries, k, threads=2)) == expected


@pytest.mark.parametrize("threads", THREAD_COUNTS)
@pytest.mark.parametrize("metric", GRAPH_METRICS)
def test_graph_batch_is_the_loop_of_search(metric, threads):
    rng = random.Random(f"graph {metric} {threads}")
    dim = 4
    vectors = [awkward_vector(rng, dim) for _ in range(400)]
    index = filled_graph(metric, vectors, rng, ef_construction=20, ef_search=12)
    queries = [awkward_vector(rng, dim) for _ in range(60)]
    filters = [None, ("color", "blue"), ("size", 2), ("color", "purple"), ("weight", 1)]
    for k in random_ks(rng, len(vectors)):
        for filter in filters:
            expected = outcome(lambda: loop_of_search(index, queries, k, filter))
            batch = outcome(lambda: halqen_ext.search_batch(index, queries, k, filter, threads))
            assert batch == expected, (k, filter)
            assert outcome(
                lambda: halqen_ext.search_batch(index, np.array(queries), k, filter, threads)
            ) == expected


def test_graph_ids_are_the_batch_with_ids_for_vectors():
    rng = random.Random(5)
    dim = 4
    vectors = [[rng.uniform(-1, 1) for _ in range(dim)] for _ in range(300)]
    vectors[7] = [math.nan] * dim
    index = filled_graph("euclidean", vectors, rng, ef_search=9)
    queries = [awkward_vector(rng, dim) for _ in range(40)]
    for k in (None, 0, 3, 9, 50):
        for filter in (None, ("color", "red")):
            batch = halqen_ext.search_batch(index, queries, k, filter)
            ids = halqen_ext.search_ids(index, queries, k, filter, threads=2)
            assert len(ids) == len(batch)
            for found, named in zip(batch, ids):
                assert bits([d for d, _ in found]) == bits([d for _, d in named])
                assert bits([v for _, v in found]) == bits([vectors[i] for i, _ in named])


def test_graph_ids_with_a_wider_final_search():
    """One layer, every node linked to every other: a final search as wide as the
    index reaches all of it, beyond ef_search."""
    rng = random.Random(6)
    dim = 3
    vectors = [[rng.uniform(-5, 5) for _ in range(dim)] for _ in range(150)]
    index = PyHNSW(dim, layers=1, ef_construction=10_000, ef_search=4, metric="euclidean")
    index.create(vectors)
    queries = [[rng.uniform(-5, 5) for _ in range(dim)] for _ in range(10)]
    for query, hits in zip(queries, halqen_ext.search_ids(index, queries, k=1000, ef=1000)):
        reference = flat_search(vectors, query, len(vectors), euclidean)
        assert [d for _, d in hits] == [d for _, d in reference]
        assert sorted(i for i, _ in hits) == list(range(len(vectors)))
    assert [len(h) for h in halqen_ext.search_ids(index, queries, k=1000)] == [4] * 10
    assert [len(h) for h in halqen_ext.search_ids(index, queries, k=2, ef=100)] == [2] * 10
    with pytest.raises(ValueError, match="^Search error: InvalidEF$"):
        halqen_ext.search_ids(index, queries, ef=0)
    assert halqen_ext.search_ids(PyHNSW(dim, metric="euclidean"), queries, ef=0) == [[]] * 10


def test_a_query_list_that_changes_during_conversion():
    index = filled_flat(None, [[float(i), 0.0] for i in range(10)])

    class Changing:
        """A component whose conversion edits the list of queries."""

        def __init__(self, queries, edit):
            self.queries, self.edit = queries, edit

        def __float__(self):
            self.edit(self.queries)
            return 0.5

    edits = [
        lambda qs: qs.append([7.0, 7.0]),
        lambda qs: qs.pop(),
        lambda qs: qs.pop(0),
        lambda qs: qs.clear(),
        lambda qs: qs.__setitem__(2, [3.0, 3.0]),
    ]
    for edit in edits:

        def make_queries():
            queries = [[1.0, 1.0], [2.0, 2.0], [4.0, 4.0], [5.0, 5.0]]
            queries[1] = [Changing(queries, edit), 0.0]
            return queries

        expected = outcome(lambda: loop_of_search(index, make_queries(), 3))
        assert outcome(lambda: halqen_ext.search_batch(index, make_queries(), 3)) == expected
        assert outcome(lambda: halqen_ext.search_ids(index, make_queries(), 3, threads=2)) == expected


# --- checks and messages ------------------------------------------------------------


def renamed(result):
    """A loop's conversion error names search's parameter 'query'; the batch's 'queries'."""
    if result[0] == "raised":
        return (result[0], result[1], result[2].replace("argument 'query'", "argument 'queries'"))
    return result


@pytest.mark.parametrize("position", [0, 3, 9])
def test_bad_queries_raise_as_the_loop_does(position):
    rng = random.Random(position)
    flat = filled_flat(None, [[rng.uniform(-1, 1) for _ in range(3)] for _ in range(50)])
    graph = filled_graph("euclidean", [[rng.uniform(-1, 1) for _ in range(3)] for _ in range(50)], rng)
    bad_queries = [[1.0, 2.0], [1.0, "x", 3.0], "abc", {1.0, 2.0, 3.0}, None, [1.0, None, 2.0], 5]
    for bad in bad_queries:
        queries = [[rng.uniform(-1, 1) for _ in range(3)] for _ in range(10)]
        queries[position] = bad
        for index in (flat, graph):
            expected = renamed(outcome(lambda: loop_of_search(index, queries, 2)))
            if index is flat:
                assert expected[0] == "raised", bad
            assert outcome(lambda: halqen_ext.search_batch(index, queries, 2)) == expected
            if expected[0] == "raised":
                ids = outcome(lambda: halqen_ext.search_ids(index, queries, 2, threads=1))
                assert ids == expected


def test_index_errors_raise_as_the_loop_does():
    rng = random.Random(8)
    query = [[0.5, 0.5, 0.5]]
    empty_flat = PyFlat(3)
    no_layers = PyHNSW(3, layers=0, metric="euclidean")
    no_width = PyHNSW(3, ef_search=0, metric="euclidean")
    plain = PyHNSW(3, metric="euclidean")
    empty_schema = PyHNSW(3, metric="euclidean", schema=[])
    for index in (no_layers, no_width, plain, empty_schema):
        index.insert([1.0, 2.0, 3.0])
    graph = filled_graph("euclidean", [[rng.uniform(-1, 1) for _ in range(3)] for _ in range(20)], rng)
    cases = [
        (empty_flat, None, "Search error: EmptyIndex"),
        (no_layers, None, "Search error: InvalidLayer"),
        (no_width, None, "Search error: InvalidEF"),
        (plain, ("color", "red"), "No schema provided in HNSW instance; cannot use metadata filtering"),
        (empty_schema, ("color", "red"), "Search error: EmptySchema"),
        (graph, ("color", None), "Unsupported type for metadata filter"),
        (graph, ("weight", 1), "Search error: AttributeNotFound"),
    ]
    for index, filter, message in cases:
        assert outcome(lambda: loop_of_search(index, query * 4, 1, filter)) == ("raised", ValueError, message)
        assert outcome(lambda: halqen_ext.search_batch(index, query * 4, 1, filter)) == (
            "raised",
            ValueError,
            message,
        )
        # No query, nothing searched: the loop raises nothing either.
        assert halqen_ext.search_batch(index, [], 1, filter) == []
        assert halqen_ext.search_ids(index, [], 1, filter) == []
    # An empty graph answers every query, whatever its parameters.
    for index in (PyHNSW(3, layers=0, ef_search=0, metric="euclidean", schema=[]),):
        assert halqen_ext.search_batch(index, query * 3, 5, ("weight", 1)) == [[], [], []]


def test_argument_checks():
    flat = filled_flat(None, [[1.0, 2.0]])
    graph = PyHNSW(2, metric="euclidean")
    graph.insert([1.0, 2.0])
    for function in (halqen_ext.search_batch, halqen_ext.search_ids):
        with pytest.raises(TypeError, match="^filter applies to a PyHNSW only: a PyFlat has no metadata$"):
            function(flat, [[1.0, 2.0]], filter=("color", "red"))
        for threads in (0, -3):
            with pytest.raises(ValueError, match=f"^threads must be at least 1, got {threads}$"):
                function(flat, [[1.0, 2.0]], threads=threads)
        with pytest.raises(TypeError, match="^argument 'threads': "):
            function(graph, [[1.0, 2.0]], threads=1.5)
        with pytest.raises(OverflowError, match=r"^argument 'threads': expected an integer from 1 to 2\^63 - 1, got 1180591620717411303424$"):
            function(graph, [[1.0, 2.0]], threads=2**70)
        with pytest.raises(OverflowError, match=r"^argument 'k': expected an integer from 0 to 2\^64 - 1, got -1$"):
            function(flat, [[1.0, 2.0]], k=-1)
        with pytest.raises(TypeError, match=r"^argument 'index': 'list' object cannot be converted to 'PyFlat \| PyHNSW \| GraphIndex \| PartitionIndex'$"):
            function([flat], [[1.0, 2.0]])
        with pytest.raises(TypeError, match="^argument 'queries': Can't extract `str` to `Vec`$"):
            function(flat, "ab")
        expected_form = "^argument 'queries': expected a 2-D array or a sequence of vectors, got "
        with pytest.raises(TypeError, match=expected_form + "'int'$"):
            function(flat, 5)
        with pytest.raises(TypeError, match=expected_form + "a 1-D 'ndarray'$"):
            function(flat, np.array([1.0, 2.0]))
        with pytest.raises(TypeError, match=expected_form + "a 'list' of 'float'$"):
            function(flat, [1.0, 2.0])
        # Far more threads than work: capped, same answer.
        assert function(flat, [[0.0, 0.0]] * 3, threads=2**62) == [[(0, math.sqrt(5.0))]] * 3
    with pytest.raises(OverflowError, match=r"^argument 'ef': expected an integer from 0 to 2\^64 - 1, got -2$"):
        halqen_ext.search_ids(graph, [[1.0, 2.0]], ef=-2)
    with pytest.raises(TypeError, match="^ef applies to a PyHNSW only: a PyFlat search is exact$"):
        halqen_ext.search_ids(flat, [[1.0, 2.0]], ef=3)
    with pytest.raises(TypeError, match="unexpected keyword argument 'ef'"):
        halqen_ext.search_batch(graph, [[1.0, 2.0]], ef=3)


# --- threads -------------------------------------------------------------------------


def test_an_insert_meanwhile_meets_the_borrow_and_python_runs_on():
    """The batch holds a shared borrow for the whole call with the interpreter
    lock released: another thread runs Python meanwhile, searches the same
    index, and its inserts fail with the documented RuntimeError."""
    rng = np.random.default_rng(9)
    dim = 64
    index = filled_flat(None, rng.standard_normal((20_000, dim)))
    converting = threading.Event()

    class Signal:
        def __float__(self):
            converting.set()
            return 0.0

    queries = [[Signal()] + [0.0] * (dim - 1)] + list(rng.standard_normal((600, dim)))
    single = bits(index.search(queries[1], 2))
    answers = []
    batch = threading.Thread(
        target=lambda: answers.append(halqen_ext.search_batch(index, queries, 3, threads=2))
    )
    batch.start()
    converting.wait()
    inserts, searches = [], []
    for _ in range(3):
        try:
            index.insert([1.0] * dim)
            inserts.append("inserted")
        except RuntimeError as exc:
            inserts.append(str(exc))
        searches.append(bits(index.search(queries[1], 2)))
    batch.join()
    assert inserts == ["Already borrowed"] * 3
    assert searches == [single] * 3
    assert bits(answers[0]) == bits(loop_of_search(index, queries, 3))


CTRL_C_CHILD = textwrap.dedent(
    """
    import sys, time
    import numpy as np
    import halqen, halqen_ext

    rng = np.random.default_rng(0)
    dim = 64
    index = halqen.PyFlat(dim)
    index.create(rng.standard_normal((200_000, dim)))
    queries = rng.standard_normal((40_000, dim))
    print("ready", flush=True)
    started = time.monotonic()
    try:
        halqen_ext.search_batch(index, queries, k=5, threads=2)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
        index.insert([0.0] * dim)  # the borrow was given back
        print("inserted", index.search([0.0] * dim)[0][1], flush=True)
    """
)


def test_ctrl_c_stops_a_long_batch():
    child = start_python(CTRL_C_CHILD)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        signalled = time.monotonic()
        out, err = child.communicate(timeout=60)
        stopped_after = time.monotonic() - signalled
    finally:
        child.kill()
    assert out.split("\n")[:2] == ["interrupted", "inserted 0.0"], (out, err)
    # The whole batch takes tens of seconds; a stop comes between pieces.
    assert stopped_after < 5.0


def test_a_cancel_event_stops_a_batch_from_another_thread():
    rng = np.random.default_rng(10)
    flat = filled_flat(None, rng.standard_normal((200_000, 64)))
    graph = filled_graph("euclidean", rng.standard_normal((300, 8)).tolist(), random.Random(10))
    already = threading.Event()
    already.set()
    for call in (lambda: halqen_ext.search_batch(graph, [[0.0] * 8], cancel=already),
                 lambda: halqen_ext.search_ids(graph, [[0.0] * 8], cancel=already),
                 lambda: getattr(halqen_ext, "__search_labelled")(flat, [[0.0] * 64], cancel=already)):
        with pytest.raises(concurrent.futures.CancelledError):
            call()
    queries = rng.standard_normal((40_000, 64))  # tens of seconds of scoring
    later = threading.Event()
    threading.Timer(0.3, later.set).start()
    started = time.monotonic()
    with pytest.raises(concurrent.futures.CancelledError):
        halqen_ext.search_batch(flat, queries, k=5, threads=2, cancel=later)
    assert time.monotonic() - started < 5.0
    flat.insert([0.0] * 64)  # the borrow was given back
    assert bits(halqen_ext.search_batch(flat, queries[:3], 2, cancel=threading.Event())) == \
        bits(loop_of_search(flat, queries[:3], 2))
