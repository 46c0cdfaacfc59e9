"""GraphIndex.remove and replacement by add, against a model of the live ids:
after every step of a random sequence of removals, additions and
replacements, searches find only live ids, with their own vectors and
metadata, filtered or not, exactly as an exact scan does; the same sequence
gives the same bytes on 1 and 2 threads; free slots survive files, pickling
and a load's later additions; an add stopped by Ctrl-C leaves each id it
replaces with its old vector and metadata or its new ones."""
import _thread
import pickle
import signal
import sys
import threading
import time

import numpy as np
import pytest

import halqen_ext
from halqen_ext import GraphIndex
from reference import euclidean
from test_graph_index import clustered

DIM = 5
SHARDS = 3


class Model:
    """The live ids of an index with their vectors and shards."""

    def __init__(self):
        self.rows = {}
        self.next_id = 0

    def add(self, ids, vectors, shards):
        for i, v, s in zip(ids, vectors, shards):
            self.rows[int(i)] = (np.array(v), int(s))
        self.next_id = max([self.next_id] + [int(i) + 1 for i in ids])


def new_index():
    return GraphIndex(DIM, "euclidean", m=3, ef_construction=12, ef_search=8, seed=4,
                      schema=["shard"])


def step(index, model, rng, threads):
    """One random removal, addition (default or chosen ids) or replacement."""
    action = rng.choice(["remove", "add", "replace"], p=[0.4, 0.3, 0.3]) if model.rows else "add"
    if action == "remove":
        live = np.array(sorted(model.rows))
        share = 1.0 if rng.random() < 0.1 else rng.uniform(0.05, 0.7)
        chosen = rng.choice(live, max(1, int(share * len(live))), replace=False)
        # A repeated id is removed once; a numpy array is accepted as ids.
        ids = np.concatenate([chosen, chosen[:1]]) if rng.random() < 0.5 else chosen.tolist()
        index.remove(ids, threads=threads)
        for i in chosen:
            del model.rows[int(i)]
        return
    count = int(rng.integers(1, 60))
    vectors = clustered(count, DIM, int(rng.integers(1 << 30)))
    shards = rng.integers(0, SHARDS, count)
    metadata = [[("shard", int(s))] for s in shards]
    if action == "add" and rng.random() < 0.5:
        ids = list(range(model.next_id, model.next_id + count))
        index.add(vectors, metadata=metadata, threads=threads)
    else:
        present = sorted(model.rows) if action == "replace" else []
        taken = rng.choice(present, min(len(present), count // 2), replace=False).tolist() \
            if present else []
        fresh = rng.choice(np.arange(model.next_id, model.next_id + 4 * count),
                           count - len(taken), replace=False).tolist()
        ids = [int(i) for i in rng.permutation(taken + fresh)]
        index.add(vectors, ids=ids, metadata=metadata, threads=threads)
    model.add(ids, vectors, shards)


def exact_ids(model, query, k, shard=None):
    rows = [(i, v) for i, (v, s) in model.rows.items() if shard is None or s == shard]
    scored = sorted((euclidean(query.tolist(), v.tolist()), i) for i, v in rows)
    return [i for _, i in scored[:k]], [d for d, _ in scored[:k]]


def check(index, model, queries):
    live = sorted(model.rows)
    assert len(index) == len(live)
    assert sorted(index.ids().tolist()) == live
    assert all(i in index for i in live)
    assert not any(i in index for i in range(model.next_id + 3) if i not in model.rows)
    if not live:
        ids, _ = index.search(queries, k=3)
        assert (ids == -1).all()
        return
    assert np.array_equal(index.get_vectors(live), np.array([model.rows[i][0] for i in live]))
    k = min(6, len(live))
    # A walk as wide as the index meets every live node: exact search.
    ids, values = index.search(queries, k=k, ef=len(live))
    for q, query in enumerate(queries):
        assert (ids[q].tolist(), values[q].tolist()) == exact_ids(model, query, k)
    for shard in range(SHARDS):
        ids, values = index.search(queries, k=k, ef=len(live), filter=("shard", shard))
        for q, query in enumerate(queries):
            want, distances = exact_ids(model, query, k, shard)
            assert ids[q].tolist()[:len(want)] == want
            assert values[q].tolist()[:len(want)] == distances
            assert (ids[q][len(want):] == -1).all()


def run(seed, steps, threads, queries=None):
    rng = np.random.default_rng(seed)
    index, model = new_index(), Model()
    for _ in range(steps):
        step(index, model, rng, threads)
        if queries is not None:
            check(index, model, queries)
    return index, model, rng


@pytest.mark.parametrize("seed", [1, 2])
def test_a_random_sequence_matches_its_model_after_every_step(seed):
    run(seed, 30, 2, queries=clustered(4, DIM, 99))


def test_the_same_sequence_gives_the_same_bytes_on_one_and_two_threads():
    one, _, _ = run(3, 25, 1)
    two, _, _ = run(3, 25, 2)
    assert halqen_ext.serialize_index(one) == halqen_ext.serialize_index(two)


def test_copies_keep_the_free_slots_and_continue_like_the_original(tmp_path):
    original, model, _ = run(5, 12, 2)
    original.remove(sorted(model.rows)[::3])
    for i in sorted(model.rows)[::3]:
        del model.rows[i]
    saved = halqen_ext.serialize_index(original)
    path = tmp_path / "graph.halqen"
    halqen_ext.write_index(original, path)
    copies = [halqen_ext.read_index(path), halqen_ext.deserialize_index(saved),
              pickle.loads(pickle.dumps(original))]
    queries = clustered(4, DIM, 98)
    for copy in copies:
        assert halqen_ext.serialize_index(copy) == saved
        check(copy, model, queries)
    # The same later steps grow every copy into the same bytes as the original.
    for index in [original] + copies:
        rng = np.random.default_rng(77)
        follow = Model()
        follow.rows, follow.next_id = dict(model.rows), model.next_id
        for _ in range(4):
            step(index, follow, rng, 2)
    grown = halqen_ext.serialize_index(original)
    assert all(halqen_ext.serialize_index(copy) == grown for copy in copies)


def test_errors_change_nothing_and_removing_everything_leaves_a_usable_index():
    index = new_index()
    index.add(clustered(30, DIM, 1), metadata=[[("shard", 0)]] * 30)
    before = halqen_ext.serialize_index(index)
    with pytest.raises(KeyError, match="^31$"):
        index.remove([3, 31, 4])
    with pytest.raises(ValueError, match="id 7 is given twice"):
        index.add(clustered(3, DIM, 2), ids=[7, 50, 7])
    assert halqen_ext.serialize_index(index) == before
    index.remove(range(30))
    assert len(index) == 0 and 0 not in index
    index.add(clustered(5, DIM, 3))
    assert sorted(index.search(clustered(1, DIM, 4)[0], k=5)[0].tolist()) == list(range(30, 35))


def interrupted(add, let_through=5):
    """Runs add() while another thread sends Ctrl-C over and over once the
    main thread is inside the call; the handler lets the first let_through
    go by, so the add is well under way, then raises. Asserts that add()
    raised KeyboardInterrupt."""
    asked = 0
    done = threading.Event()

    def handler(signum, frame):
        nonlocal asked
        asked += 1
        if asked == let_through + 1:
            done.set()
            raise KeyboardInterrupt

    main = threading.main_thread().ident

    def send():
        while not done.is_set():
            frame = sys._current_frames().get(main)
            if frame is not None and frame.f_code is add.__code__:
                _thread.interrupt_main()
            time.sleep(0.005)

    previous = signal.signal(signal.SIGINT, handler)
    sender = threading.Thread(target=send)
    sender.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            add()
    finally:
        done.set()
        sender.join()
        signal.signal(signal.SIGINT, previous)  # handles a request still pending first


def test_ctrl_c_during_a_replacing_add_leaves_each_replaced_id_old_or_new(tmp_path):
    index, model = new_index(), Model()
    old = clustered(3000, DIM, 31)
    index.add(old, metadata=[[("shard", 0)]] * len(old))
    model.add(range(len(old)), old, [0] * len(old))
    count, every = 60_000, 30
    new = clustered(count, DIM, 32)
    # Every 30th row replaces one of the first 2,000 ids, over the whole add.
    ids = [row // every if row % every == 0 else len(old) + row for row in range(count)]
    replaced = set(ids[::every])
    interrupted(lambda: index.add(new, ids=ids, metadata=[[("shard", 1)]] * count))

    missing = sorted(i for i in replaced if i not in index)
    assert missing == [], f"{len(missing)} of {len(replaced)} replaced ids gone"
    added = [(i, row) for i, row in zip(ids, new) if i in index and i not in replaced]
    assert 0 < len(added) < count - len(replaced)
    # A replaced id that does not hold its old vector must hold its new one.
    for i, row in zip(ids, new):
        if i in replaced and not np.array_equal(index.get_vectors([i])[0], model.rows[i][0]):
            model.add([i], [row], [1])
    model.add([i for i, _ in added], [row for _, row in added], [1] * len(added))
    # check() compares every vector, and searches with and without a filter
    # by metadata against an exact scan of the model.
    queries = clustered(2, DIM, 33)
    check(index, model, queries)
    path = tmp_path / "graph.halqen"
    halqen_ext.write_index(index, path)
    loaded = halqen_ext.read_index(path)
    assert halqen_ext.serialize_index(loaded) == halqen_ext.serialize_index(index)
    check(loaded, model, queries)


def test_values_no_vector_holds_any_more_are_forgotten():
    live, cycles = 200, 3000
    vectors = clustered(live + cycles, DIM, seed=31)
    metadata = [[("name", f"value number {i}"), ("number", i)] for i in range(live + cycles)]
    index = GraphIndex(DIM, "euclidean", schema=["name", "number"])
    index.add(vectors[:live], metadata=metadata[:live], threads=1)
    for i in range(live, live + cycles):  # one new distinct value in, one out
        index.add(vectors[i:i + 1], metadata=metadata[i:i + 1], threads=1)
        index.remove([i - live], threads=1)
    heap_bytes = getattr(halqen_ext, "__heap_bytes")
    loaded = halqen_ext.deserialize_index(halqen_ext.serialize_index(index))
    assert heap_bytes(index) < 2 * heap_bytes(loaded)  # not the values of the 3000 removed
    newest = live + cycles - 1
    assert index.search(vectors[-1], k=1, filter=("name", f"value number {newest}"))[0][0] == newest
    assert index.search(vectors[0], k=1, filter=("name", "value number 0"))[0][0] == -1
