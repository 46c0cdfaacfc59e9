"""halqen_ext.GraphIndex against exact search, with ids, metadata, bad input,
threads and Ctrl-C."""
import concurrent.futures
import json
import math
import os
import signal
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from halqen_ext import GraphIndex
from child_process import start_python
from reference import cosine, dot, euclidean

METRICS = {"euclidean": euclidean, "angular": cosine, "inner_product": dot}
# Ctrl-C reaches an add at its next batch boundary. The instrumented build
# (the sanitizer run) builds each batch several times slower.
BATCH_BOUNDARY_SECONDS = 0.5
SANITIZER_SLOWDOWN = 5
CTRL_C_LIMIT = BATCH_BOUNDARY_SECONDS * (SANITIZER_SLOWDOWN
                                         if os.environ.get("HALQEN_SANITIZED") == "1" else 1)


def clustered(count, dim, seed, clusters=8):
    """A Gaussian mixture: tight clusters around spread-out centres."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(0.0, 10.0, (clusters, dim))
    return centres[rng.integers(0, clusters, count)] + rng.normal(0.0, 1.0, (count, dim))


def exact(vectors, query, k, metric, ids=None):
    """(ids, values) of the k nearest by the sequential metric, ties by id."""
    ids = list(range(len(vectors))) if ids is None else list(ids)
    values = [METRICS[metric](query.tolist(), row.tolist()) for row in vectors]
    sign = 1.0 if metric == "euclidean" else -1.0
    order = sorted(range(len(values)), key=lambda i: (sign * values[i], ids[i]))[:k]
    return [ids[i] for i in order], [values[i] for i in order]


@pytest.mark.parametrize("metric", sorted(METRICS))
def test_a_walk_as_wide_as_the_index_is_exact_search_bit_for_bit(metric):
    data = clustered(600, 10, seed=1)
    queries = clustered(8, 10, seed=2)
    index = GraphIndex(10, metric, m=5, ef_construction=30)
    index.add(data.astype(np.float32).astype(np.float64))
    found_ids, found_values = index.search(queries, k=7, ef=len(data))
    assert found_ids.dtype == np.int64 and found_values.dtype == np.float64
    assert found_ids.shape == found_values.shape == (8, 7)
    stored = data.astype(np.float32).astype(np.float64)
    for q, query in enumerate(queries):
        ids, values = exact(stored, query, 7, metric)
        assert found_ids[q].tolist() == ids
        assert found_values[q].tolist() == values  # bit for bit: the same kernels


def nearest_by_value_then_id(vectors, ids, queries, k, metric):
    """numpy's k nearest of each query, equal values by the lower id. On small
    integers every sum is exact, so the values are the index's bit for bit."""
    if metric == "euclidean":
        values = np.sqrt(((queries[:, None, :] - vectors[None, :, :]) ** 2).sum(-1))
    else:
        values = queries @ vectors.T
        if metric == "angular":
            norms = np.sqrt((vectors * vectors).sum(-1))
            values = values / (np.sqrt((queries * queries).sum(-1))[:, None] * norms[None, :])
    keys = values if metric == "euclidean" else -values
    order = np.lexsort((np.broadcast_to(ids, keys.shape), keys), axis=1)[:, :k]
    return np.asarray(ids)[order], np.take_along_axis(values, order, axis=1)


def ties_data(seed, halves):
    """Points of a small integer grid, each stored several times, under ids
    in scrambled order (slot order is not id order), and queries on the
    grid and, with `halves`, between its points."""
    rng = np.random.default_rng(seed)
    grid = rng.integers(0, 4, size=(120, 3)).astype(np.float64)
    grid = grid[grid.any(axis=1)]  # the angular metric takes no zero vector
    vectors = np.concatenate([grid, grid[::-1], grid[:50]])
    ids = rng.permutation(10**6)[:len(vectors)]
    queries = rng.integers(0, 4, size=(40, 3)).astype(np.float64)
    queries = queries[queries.any(axis=1)]
    if halves:
        queries = np.concatenate([queries, [[0.5, 1.5, 1.0], [2.5, 0.5, 0.5]]])
    return vectors, ids, queries


# Every walk as wide as the index, so every answer is exact: equal values
# must come in ascending id order, whichever of them the walk met first.
# Not the queries between grid points for 8-bit codes, which do not hold
# them exactly: equally distant vectors then differ by code, and only the
# 3k nearest by code are scored exactly.
@pytest.mark.parametrize("walk", ["exact", "float32", "sq8"])
@pytest.mark.parametrize("metric", sorted(METRICS))
def test_equal_values_come_in_ascending_id_order(metric, walk):
    vectors, ids, queries = ties_data(seed=22, halves=walk != "sq8")
    index = GraphIndex(3, metric, walk=walk, schema=["parity"])
    index.add(vectors, ids=ids, metadata=[[("parity", int(i) % 2)] for i in ids])
    odd = ids % 2 == 1
    for k in (1, 6, 40):
        want_ids, want_values = nearest_by_value_then_id(vectors, ids, queries, k, metric)
        got_ids, got_values = index.search(queries, k=k, ef=len(vectors))
        np.testing.assert_array_equal(got_ids, want_ids)
        assert got_values.tobytes() == want_values.tobytes()
        one_ids, _ = index.search(queries[3], k=k, ef=len(vectors))
        np.testing.assert_array_equal(one_ids, want_ids[3])
        want_ids, want_values = nearest_by_value_then_id(vectors[odd], ids[odd], queries, k, metric)
        got_ids, got_values = index.search(queries, k=k, ef=len(vectors), filter=("parity", 1))
        np.testing.assert_array_equal(got_ids, want_ids)
        assert got_values.tobytes() == want_values.tobytes()


def test_recall_on_clustered_data_at_the_default_width():
    """The exact walk's recall, and each code walk's within 0.02 of it (the
    graphs differ too: a code walk's index is built on its codes)."""
    data = clustered(5000, 24, seed=3, clusters=30)
    queries = clustered(1000, 24, seed=4, clusters=30)
    distances = ((queries[:, None, :] - data[None, :, :]) ** 2).sum(-1)
    truth = np.argsort(distances, axis=1, kind="stable")[:, :10]

    def recall(walk):
        index = GraphIndex(24, "euclidean", walk=walk)
        index.add(data)
        found, _ = index.search(queries, k=10)
        return np.mean([len(set(f) & set(t)) / 10
                        for f, t in zip(found.tolist(), truth.tolist())])

    exact = recall("exact")
    assert exact >= 0.95
    for walk in ["float32", "sq8"]:
        assert recall(walk) >= exact - 0.02, walk


def test_ids_are_the_users_and_defaults_continue_past_the_largest():
    index = GraphIndex(2, "euclidean")
    index.add([[0.0, 0.0], [1.0, 0.0]])                     # ids 0, 1
    index.add([[5.0, 5.0]], ids=[40])
    index.add(np.array([[9.0, 9.0], [7.0, 7.0]]))           # ids 41, 42
    assert len(index) == 5
    assert [i in index for i in (0, 1, 40, 41, 42, 2, -1, "x")] == [True] * 5 + [False] * 3
    ids, values = index.search([5.9, 5.9], k=2)
    assert ids.tolist() == [40, 42] and values[1] == euclidean([5.9, 5.9], [7.0, 7.0])
    assert index.get_vectors([41, 0]).tolist() == [[9.0, 9.0], [0.0, 0.0]]
    with pytest.raises(KeyError, match="43"):
        index.get_vectors([43])
    with pytest.raises(ValueError, match="id 7 is given twice"):
        index.add([[1.0, 1.0], [2.0, 2.0]], ids=[7, 7])
    assert len(index) == 5 and 7 not in index
    index.add([[1.0, 1.0], [2.0, 2.0]], ids=[100, 40])      # 40 is replaced
    assert len(index) == 6 and index.get_vectors([40, 100]).tolist() == [[2.0, 2.0], [1.0, 1.0]]
    index.add([[3.0, 3.0]], ids=[2**63 - 1])
    with pytest.raises(ValueError, match="id 9223372036854775808 is larger than"):
        index.add([[4.0, 4.0]])
    assert len(index) == 7


def test_rows_are_padded_where_fewer_than_k_qualify():
    euclid = GraphIndex(2, "euclidean")
    euclid.add([[0.0, 0.0], [1.0, 1.0]])
    ids, values = euclid.search([0.0, 0.0], k=4)
    assert ids.tolist() == [0, 1, -1, -1]
    assert values.tolist() == [0.0, math.sqrt(2.0), math.inf, math.inf]
    angular = GraphIndex(2, "angular")
    angular.add([[1.0, 0.0]])
    ids, values = angular.search([[1.0, 0.0], [0.0, 1.0]], k=2)
    assert ids.tolist() == [[0, -1], [0, -1]]
    assert values.tolist() == [[1.0, -math.inf], [0.0, -math.inf]]


# Every live node stays reachable from the entry, equal distances and
# vectors that are not their own nearest included: a walk as wide as the
# index finds all of them.
@pytest.mark.parametrize("m", [2, 4, 16])
@pytest.mark.parametrize("data", ["copies", "grid", "inner_product"])
@pytest.mark.parametrize("calls", ["one add", "adds and a removal"])
def test_a_walk_as_wide_as_the_index_finds_every_vector(data, calls, m):
    rng = np.random.default_rng(m)
    if data == "inner_product":
        index, vectors = GraphIndex(2, "inner_product", m=m), rng.standard_normal((500, 2))
    elif data == "grid":
        index, vectors = GraphIndex(3, "euclidean", m=m), rng.integers(0, 3, (400, 3)) * 1.0
    else:
        index, vectors = GraphIndex(2, "euclidean", m=m), np.zeros((100, 2))
    if calls == "one add":
        index.add(vectors)
    else:
        for part in np.array_split(vectors, 3):
            index.add(part)
        index.remove(np.arange(0, len(vectors), 7))
    live = len(index)
    queries = np.concatenate([vectors[:3], rng.standard_normal((3, vectors.shape[1]))])
    ids, _ = index.search(queries, k=live, ef=live)
    assert (ids >= 0).all()
    assert sorted(ids[0].tolist()) == sorted(index.ids().tolist())
    half, _ = index.search(queries, k=live // 2, ef=5 * live)
    assert (half >= 0).all()


def test_a_filter_returns_only_matches_nearest_first():
    data = clustered(1500, 6, seed=5)
    colours = ["red", "green", "blue"]
    index = GraphIndex(6, "euclidean", schema=["colour", "size"])
    metadata = [[("colour", colours[i % 3]), ("size", i % 7)] for i in range(len(data))]
    index.add(data, metadata=metadata)
    query = data[10] + 0.1
    for name, value in [("colour", "blue"), ("size", 3), ("size", 3.0)]:
        ids, values = index.search(query, k=15, ef=2000, filter=(name, value))
        matching = [i for i, pairs in enumerate(metadata) if dict(pairs)[name] == value
                    and type(dict(pairs)[name]) is type(value)]
        expected = exact(data[matching], query, 15, "euclidean", ids=matching)
        padded = len(expected[0])
        assert ids.tolist()[:padded] == expected[0] and values.tolist()[:padded] == expected[1]
        assert ids.tolist()[padded:] == [-1] * (15 - padded)
    with pytest.raises(ValueError, match="'shape' is not in the schema"):
        index.search(query, filter=("shape", "round"))
    with pytest.raises(ValueError, match="cannot use metadata"):
        GraphIndex(6, "euclidean").add(data[:1], metadata=[[("colour", "red")]])


def _set_event():
    event = threading.Event()
    event.set()
    return event


@pytest.mark.parametrize("call, error, message", [
    (lambda g: g.add([[1.0, math.nan]]), ValueError, "component 1 is nan"),
    (lambda g: g.add([[0.0, 1.0], [math.inf, 0.0]]), ValueError, r"vector 1 of the call"),
    (lambda g: g.add([[1.0, 2.0, 3.0]]), ValueError, "Expected vector of length 2, got 3"),
    (lambda g: g.add(np.zeros((2, 2, 2))), TypeError, "argument 'vectors'"),
    (lambda g: g.add([[1.0, 1.0]], ids=[-1]), OverflowError, "argument 'ids': expected an integer"),
    (lambda g: g.add([[1.0, 1.0]], ids=[2**63]), ValueError, "larger than"),
    (lambda g: g.search([1.0], k=1), ValueError, "Expected vector of length 2, got 1"),
    (lambda g: g.search([[[1.0, 1.0]]]), TypeError, "argument 'queries'"),
    (lambda g: g.search([[0.0, 0.0], [1.0, math.nan]]), ValueError,
     r"component 1 is nan \(query 1 of the call\)"),
    (lambda g: g.search([1.0, 1.0], ef=0), ValueError, "ef must be at least 1, got 0"),
    # No rows, so no entry bound; the k itself is refused, cancel or not.
    (lambda g: g.search(np.empty((0, 2)), k=2**64 - 1, cancel=_set_event()), ValueError,
     r"k = 18446744073709551615 is past 2\^63 - 1"),
    (lambda g: g.search_by_id([], k=2**63), ValueError, r"k = 9223372036854775808 is past"),
    (lambda g: GraphIndex(2, "cosine"), ValueError, "Unsupported metric 'cosine'"),
    (lambda g: GraphIndex(2, "euclidean", m=1), ValueError, "m must be between 2 and 1024"),
])
def test_bad_input_raises_and_adds_nothing(call, error, message):
    index = GraphIndex(2, "euclidean")
    index.add([[0.5, 0.5]])
    with pytest.raises(error, match=message):
        call(index)
    assert len(index) == 1


def test_a_zero_vector_has_no_angle():
    index = GraphIndex(3, "angular")
    with pytest.raises(ValueError, match="zero vector"):
        index.add([[1.0, 0.0, 0.0], [0.0, 0.0, 0.0]])
    assert len(index) == 0
    index.add([[1.0, 0.0, 0.0]])
    with pytest.raises(ValueError, match="zero query"):
        index.search([0.0, 0.0, 0.0])


def test_a_vector_whose_squares_underflow_has_no_angle():
    # Not zero, but its float64 squared norm is: the cosine would divide by 0.
    tiny = [1e-170, 1e-170]
    index = GraphIndex(2, "angular")
    with pytest.raises(ValueError, match=r"zero vector .*squared norm.*\(vector 1 of the call\)"):
        index.add([[1.0, 0.0], tiny])
    assert len(index) == 0
    index.add([[1.0, 0.0], [1e-150, 1e-150]])  # squares of 1e-300 still add up to a norm
    with pytest.raises(ValueError, match="zero query"):
        index.search(tiny)
    ids, values = index.search([1.0, 1.0], k=2)
    assert sorted(ids.tolist()) == [0, 1] and np.isfinite(values).all()


def test_the_same_graph_for_every_thread_count():
    data = clustered(4000, 16, seed=6)
    queries = clustered(200, 16, seed=7)
    answers = []
    for threads in (1, 2, 3):
        index = GraphIndex(16, "angular", m=8, ef_construction=60, seed=11)
        index.add(data[:1000], threads=threads)
        index.add(data[1000:], threads=threads)
        answers.append(index.search(queries, k=10, ef=12, threads=threads))
    for ids, values in answers[1:]:
        assert np.array_equal(ids, answers[0][0])
        assert np.array_equal(values, answers[0][1])


# A child that adds far more than it can in a second and reports what
# stayed after the interrupt.
CHILD = textwrap.dedent("""
    import json, sys
    import numpy as np
    from halqen_ext import GraphIndex

    count, dim = 200_000, 64
    rng = np.random.default_rng(0)
    data = rng.normal(0.0, 10.0, (50, dim))[rng.integers(0, 50, count)] + rng.normal(size=(count, dim))
    index = GraphIndex(dim, "euclidean", ef_construction=100)
    np.ones((count, dim)).sum()
    print("started", flush=True)
    try:
        index.add(data, threads=2)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    else:
        print("finished", flush=True)
        sys.exit(1)
    kept = len(index)
    # A walk as wide as the index reaches every node linked in: each kept
    # vector must be found (a narrower walk may miss a few, by design).
    ids, _ = index.search(data[:kept:max(1, kept // 50)], k=1, ef=kept)
    print(json.dumps({
        "kept": kept,
        "prefix": all(i in index for i in range(kept)) and kept not in index,
        "found": ids[:, 0].tolist() == list(range(0, kept, max(1, kept // 50))),
    }), flush=True)
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="POSIX signals")
def test_ctrl_c_stops_add_at_a_batch_boundary():
    child = start_python(CHILD)
    try:
        assert child.stdout.readline().strip() == "started"
        time.sleep(1.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        assert child.stdout.readline().strip() == "interrupted"
        latency = time.monotonic() - sent
        report = json.loads(child.stdout.readline())
        assert child.wait(timeout=60) == 0, child.stderr.read()
    finally:
        child.kill()
        child.wait()
    assert latency < CTRL_C_LIMIT
    assert 0 < report["kept"] < 200_000
    assert report["prefix"] and report["found"]


def test_a_cancel_event_ends_a_search_from_another_thread():
    data = clustered(5000, 16, seed=12)
    index = GraphIndex(16, "euclidean")
    index.add(data)
    queries = clustered(200_000, 16, seed=13)  # far more than a second at this width
    expected = index.search(queries[:50], k=5)

    class Broken:
        def is_set(self):
            raise ValueError("broken event")

    already = threading.Event()
    already.set()
    with pytest.raises(concurrent.futures.CancelledError):
        index.search(queries[:1], k=5, cancel=already)  # asked before the search, too
    with pytest.raises(TypeError, match="is_set"):
        index.search(queries[:2], cancel=object())
    with pytest.raises(ValueError, match="broken event"):
        index.search(queries, k=5, ef=500, threads=1, cancel=Broken())
    later = threading.Event()
    threading.Timer(0.3, later.set).start()
    started = time.monotonic()
    with pytest.raises(concurrent.futures.CancelledError):
        index.search(queries, k=5, ef=500, threads=2, cancel=later)
    assert time.monotonic() - started < 10  # the whole search takes far longer
    got = index.search(queries[:50], k=5, cancel=threading.Event())  # and the index answers as before
    assert np.array_equal(got[0], expected[0]) and got[1].tobytes() == expected[1].tobytes()
