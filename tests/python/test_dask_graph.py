"""ShardedGraph on a LocalCluster of two worker processes, against one
GraphIndex holding the same vectors: with ef at least the shard count times
a shard's size every shard answers exactly, so the merged answer must be one exact GraphIndex's,
bit for bit; at the default ef, recall. Then removal, a worker killed
between two searches, searches sent past the scheduler (and their fall-back
to tasks), save and load, and a dask.array source."""
import _thread
import itertools
import json
import os
import struct
import threading
import time

import numpy as np
import pytest

pytest.importorskip("distributed", reason="Dask needs Python 3.10 or newer")

import dask.array as da  # noqa: E402
from distributed import Client, LocalCluster, wait  # noqa: E402
from distributed.protocol import dumps, loads, to_serialize  # noqa: E402

import halqen_ext  # noqa: E402
from halqen_dask import ShardedGraph  # noqa: E402
from halqen_dask import _graph as graph_module  # noqa: E402
from halqen_dask._direct import HANDLER, DirectReads, RunningReads, ShardCalls  # noqa: E402
from halqen_dask._merge import merge_graph  # noqa: E402
from halqen_dask._shards import ShardSet  # noqa: E402
from test_dask import holder, kill_worker  # noqa: E402

DIM = 12
EXACT_EF = 4096  # at least every index's size here: every walk is exhaustive
COLOURS = ("red", "green", "blue")


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0",
                      scheduler_kwargs={"dashboard": False}) as cluster, \
            Client(cluster) as dask_client:
        yield dask_client


def clustered(rng, count):
    centres = rng.normal(size=(count // 100 + 1, DIM)) * 4
    return centres[rng.integers(0, len(centres), count)] + rng.normal(size=(count, DIM))


def metadata_of(ids):
    return [[("colour", COLOURS[ident % 3]), ("rare", int(ident % 997 == 0))] for ident in ids]


def pair(client, metric, **options):
    """A ShardedGraph and one GraphIndex of the same settings."""
    sharded = ShardedGraph(DIM, metric, client=client, schema=["colour", "rare"], **options)
    return sharded, halqen_ext.GraphIndex(DIM, metric, schema=["colour", "rare"])


def assert_same(sharded, single, queries, k, **options):
    got, expected = sharded.search(queries, k, **options), single.search(queries, k, **options)
    np.testing.assert_array_equal(got[0], expected[0])
    assert got[1].tobytes() == expected[1].tobytes()


@pytest.mark.parametrize("metric", ["euclidean", "angular", "inner_product"])
def test_answers_are_one_graph_index_s(client, metric):
    rng = np.random.default_rng(1)
    vectors = clustered(rng, 3000)
    ids = rng.choice(10**12, size=2000, replace=False)
    sharded, single = pair(client, metric, shard_size=700)
    for index in (sharded, single):
        index.add(vectors[:2000], ids, metadata_of(ids))
        index.add(vectors[2000:].tolist(), metadata=metadata_of(range(1000)))  # default ids follow the largest
    assert (len(sharded), sharded.shard_count) == (3000, 3)
    queries = clustered(rng, 40)
    assert_same(sharded, single, queries, 10, ef=EXACT_EF)
    assert_same(sharded, single, queries[0], 7, ef=EXACT_EF)  # one 1-D query: 1-D results
    expressions = ({"colour": {"$ne": "green"}, "rare": {"$lt": 1}},
                   {"$or": [{"colour": "red"}, {"rare": {"$gte": 1}}]},
                   {"$id": {"$in": [int(i) for i in ids[:300]]}})
    for wanted in (("colour", "green"), ("colour", ["red", "blue"]), ("rare", 1)) + expressions:
        assert_same(sharded, single, queries, 10, ef=EXACT_EF, filter=wanted)
    each = [expressions[q % 3] for q in range(len(queries))]  # a filter per query
    assert_same(sharded, single, queries, 10, ef=EXACT_EF, filters=each)
    matches = sum(1 for ident in list(ids) + list(range(1000)) if ident % 997 == 0)  # the metadata's numbers
    rare = sharded.search(queries, 10, filter=("rare", 1))[0]
    assert ((rare >= 0).sum(axis=1) == min(10, matches)).all()  # every match, then padding
    assert_same(sharded, single, queries[:3], 1500, ef=EXACT_EF)  # past 1,024: cut at the index's size
    if metric == "euclidean":
        truth = single.search(queries, 10, ef=EXACT_EF)[0]
        found = sharded.search(queries, 10)[0]
        assert np.mean([len(set(a) & set(b)) for a, b in zip(found, truth)]) / 10 >= 0.95
    changed = [int(i) for i in ids[:500]]
    for index in (sharded, single):
        index.update_metadata(changed, [[("colour", "red"), ("rare", 1)]] * len(changed))
    for wanted in expressions[:2] + (("rare", 1),):
        assert_same(sharded, single, queries, 10, ef=EXACT_EF, filter=wanted)


@pytest.mark.parametrize("metric", ["euclidean", "inner_product"])
def test_equal_values_come_by_id_as_from_one_graph_index(client, metric):
    rng = np.random.default_rng(8)
    points = rng.integers(0, 2, size=(60, DIM)).astype(np.float64)
    vectors = np.concatenate([points] * 5)  # every value ties at least five ways
    ids = rng.choice(10**9, size=len(vectors), replace=False)  # slot order is not id order
    sharded, single = pair(client, metric, shard_size=100)
    for index in (sharded, single):
        index.add(vectors, ids, metadata_of(ids))
    queries = rng.integers(0, 2, size=(20, DIM)).astype(np.float64)
    for k in (3, 12):
        assert_same(sharded, single, queries, k, ef=EXACT_EF)
        assert_same(sharded, single, queries, k, ef=EXACT_EF, filter=("colour", "red"))
    got_ids, got_values = single.search(queries, 12, ef=EXACT_EF)
    keys = got_values if metric == "euclidean" else -got_values
    assert (np.lexsort((got_ids, keys), axis=1) == np.arange(12)).all()  # (value, id) order


def test_failed_calls_change_nothing(client):
    rng = np.random.default_rng(2)
    vectors = clustered(rng, 600)
    sharded, single = pair(client, "angular", shard_size=200)
    sharded.add(vectors, metadata=metadata_of(range(600)))
    bad = vectors[:50].copy()
    bad[31, 4] = np.nan
    zero = vectors[:50].copy()
    zero[7] = 0.0
    tiny = vectors[:50].copy()
    tiny[9] = 1e-170  # its squares underflow: a squared norm of 0
    calls = [lambda index: index.add(bad), lambda index: index.add(zero), lambda index: index.add(tiny),
             lambda index: index.add(vectors[:2], [5, 5]),
             lambda index: index.add(vectors[:2], metadata=[[("colour", "red")]] * 2),
             lambda index: index.add(vectors[:2], [1, 2, 3]),
             lambda index: index.search(vectors[:2, :3]),
             lambda index: index.search(vectors[:2], -1),
             lambda index: index.search(vectors[:3], 2**30),
             lambda index: index.search(vectors[:2], filter=[("size", 1), ("colour", "red")]),
             lambda index: index.search(vectors[:2], filter=("size", 1))]
    for call in calls:
        with pytest.raises(Exception) as expected:
            call(single)
        with pytest.raises(type(expected.value)) as got:
            call(sharded)
        assert str(got.value) == str(expected.value)
    # Past the vectors held, rows pad as one GraphIndex pads; k=0 is empty.
    ids, values = sharded.search(vectors[0], 2000)
    assert ids.shape == values.shape == (2000,)
    assert sorted(ids[:600].tolist()) == list(range(600)) and (ids[600:] == -1).all()
    assert (values[600:] == -np.inf).all()
    assert [array.shape for array in sharded.search(vectors[:2], 0)] == [(2, 0), (2, 0)]
    assert len(sharded) == 600
    with pytest.raises(ValueError, match=f"dim must be at most {2**61 - 1}, got {2**61}"):
        ShardedGraph(2**61, "euclidean", client=client)


def raised(call, index):
    with pytest.raises(Exception) as error:
        call(index)
    return type(error.value), str(error.value)


def test_every_query_is_checked_as_one_graph_index_checks_it(client):
    """Each query of a search, not only the first, is held to GraphIndex's
    rules on the client, before anything is sent: so an index that holds
    nothing yet, where no shard searches, refuses what one GraphIndex
    refuses."""
    sharded, single = pair(client, "angular")
    with_nan = np.ones((3, DIM))
    with_nan[2, 5] = np.nan
    with_zero = np.ones((3, DIM))
    with_zero[1] = 0.0
    calls = [lambda index: index.search(with_nan), lambda index: index.search(with_zero),
             lambda index: index.search(with_nan.tolist()), lambda index: index.search(with_nan[2]),
             lambda index: index.search(np.ones((3, DIM)), 2**30)]
    for call in calls:
        assert raised(call, sharded) == raised(call, single)
    sharded.add(clustered(np.random.default_rng(10), 50))
    for call in calls:
        assert raised(call, sharded) == raised(call, single)


def test_what_one_graph_index_takes_the_sharded_one_takes(client):
    """A lone vector is one row to add, as a list or a 1-D array."""
    rng = np.random.default_rng(12)
    sharded, single = pair(client, "euclidean")
    vectors = clustered(rng, 3)
    for index in (sharded, single):
        index.add(vectors[0], metadata=metadata_of([0]))
        index.add(vectors[1].tolist(), ids=[7])
        index.add(vectors[2:])
    assert_same(sharded, single, vectors, 3, ef=EXACT_EF)
    assert sharded.search(vectors, 3, filter=("colour", "red"))[0].tolist() == \
        single.search(vectors, 3, filter=("colour", "red"))[0].tolist()


def test_ef_search_is_checked_as_graph_index_checks_it(client):
    sharded, single = pair(client, "euclidean", ef_search=40)
    for value in (0, -1, 2**64, "8", 1.5, None):
        def assign(index, value=value):
            index.ef_search = value
        assert raised(assign, sharded) == raised(assign, single)
    assert sharded.ef_search == 40
    sharded.ef_search = np.int64(7)
    assert sharded.ef_search == 7 and type(sharded._params["ef_search"]) is int


def test_removes_and_replaces_as_one_graph_index(client):
    rng = np.random.default_rng(3)
    vectors = clustered(rng, 2000)
    sharded, single = pair(client, "euclidean", shard_size=700)
    for index in (sharded, single):
        index.add(vectors, metadata=metadata_of(range(2000)))
    gone = rng.choice(2000, 600, replace=False).tolist()
    with pytest.raises(KeyError, match="123456789"):
        sharded.remove(gone[:5] + [123456789])
    assert len(sharded) == 2000  # nothing removed
    moved = clustered(rng, 100)
    for index in (sharded, single):
        index.remove(gone)
        index.add(moved, list(range(100)), metadata_of(range(100)))  # replaces ids 0..99
    assert len(sharded) == len(single)
    queries = np.vstack([clustered(rng, 20), moved[:5]])
    assert_same(sharded, single, queries, 10, ef=EXACT_EF)
    assert_same(sharded, single, queries, 10, ef=EXACT_EF, filter=("colour", "blue"))
    assert not set(sharded.search(queries, 50)[0].ravel().tolist()) & (set(gone) - set(range(100)))


def test_a_worker_killed_between_two_searches(client):
    rng = np.random.default_rng(4)
    vectors = clustered(rng, 3000)
    sharded = ShardedGraph(DIM, "euclidean", client=client, shards=2)
    sharded.add(vectors[:2000])
    sharded.add(vectors[2000:])  # a second call on every shard, replayed in order on rebuild
    sharded.remove(list(range(0, 3000, 7)))
    queries = clustered(rng, 30)
    before = sharded.search(queries, 10)
    kill_worker(client, holder(client, sharded, 0))
    after = sharded.search(queries, 10)  # shard 0 rebuilt: the same graph, the same answers
    np.testing.assert_array_equal(after[0], before[0])
    assert after[1].tobytes() == before[1].tobytes()


def test_searches_are_answered_while_an_add_runs_on_the_workers(client):
    rng = np.random.default_rng(12)
    vectors = clustered(rng, 42_000)
    sharded = ShardedGraph(DIM, "euclidean", client=client, shards=2)
    sharded.add(vectors[:2000])
    adder = threading.Thread(target=sharded.add, args=(vectors[2000:],))
    queries = clustered(rng, 5)
    answered_during, seen = 0, set()
    adder.start()
    while adder.is_alive():
        ids, _ = sharded.search(queries, 10)
        seen.update(ids.ravel().tolist())
        answered_during += adder.is_alive()
    adder.join()
    # Each answer holds only ids added before or during the search.
    assert seen <= set(range(len(vectors)))
    assert answered_during >= 3, "searches waited for the whole add"
    assert len(sharded) == len(vectors)


def test_searches_skip_the_scheduler_and_fall_back_to_tasks(client, monkeypatch):
    rng = np.random.default_rng(7)
    vectors = clustered(rng, 2000)
    sharded, single = pair(client, "euclidean", shards=3)  # one worker holds two shards
    for index in (sharded, single):
        index.add(vectors, metadata=metadata_of(range(2000)))
    queries = clustered(rng, 30)
    rounds, merged = [], []
    real_map = ShardSet.map
    monkeypatch.setattr(ShardSet, "map", lambda *args: rounds.append(args[1]) or real_map(*args))
    monkeypatch.setattr(graph_module, "merge_graph", lambda parts, *args: merged.append(len(parts)) or
                        merge_graph(parts, *args))
    assert_same(sharded, single, queries, 10, ef=EXACT_EF, filter=("colour", "red"))
    assert rounds == []  # every shard read in its worker's memory: no task
    holders = ShardSet.who_has(sharded._shards, [ref.future for ref in sharded._shards.refs])
    assert merged == [len(set(holders))]  # a worker holding several shards merged their answers
    workers = sorted(client.nthreads())
    elsewhere = [{workers[0]: workers[1], workers[1]: workers[0]}[address] for address in holders]
    monkeypatch.setattr(ShardSet, "who_has", lambda *_: elsewhere)  # every shard looked for on the wrong worker
    assert_same(sharded, single, queries, 10, ef=EXACT_EF)
    assert len(rounds) == 1 and merged[-1] == 3  # the workers said so: a task per shard answered


def running_reads(dask_worker):
    plugin = dask_worker.plugins.get(DirectReads.name)  # installed with the first shards
    return len(plugin.reads.running) if plugin is not None else 0


def test_ctrl_c_ends_the_search_on_the_workers_too(client):
    rng = np.random.default_rng(9)
    vectors = clustered(rng, 4000)
    sharded, single = pair(client, "euclidean", shards=2)
    for index in (sharded, single):
        index.add(vectors)
    queries = clustered(rng, 200_000)  # exhaustive walks: far longer than the wait below, per worker

    def interrupt_once_walking():
        deadline = time.monotonic() + 60
        while not all(client.run(running_reads).values()) and time.monotonic() < deadline:
            time.sleep(0.05)
        _thread.interrupt_main()

    threading.Thread(target=interrupt_once_walking, daemon=True).start()
    with pytest.raises(KeyboardInterrupt):
        sharded.search(queries, 10, ef=EXACT_EF)
    deadline = time.monotonic() + 10
    while any(client.run(running_reads).values()) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not any(client.run(running_reads).values())  # the workers stopped walking
    assert_same(sharded, single, queries[:20], 10, ef=EXACT_EF)


def test_a_cancel_that_overtakes_its_read_still_ends_it():
    reads = RunningReads()
    reads.cancel("early")
    assert reads.start("early").is_set() and not reads.start("other").is_set()
    reads.cancel("other")
    assert reads.running["other"].is_set()
    reads.finish("other")
    assert "other" not in reads.running


def test_a_worker_is_sent_the_queries_once_for_all_its_shards():
    queries = np.random.default_rng(8).normal(size=(1000, DIM))
    message = ShardCalls([(f"shard-{i}", (queries, 10, 64, None)) for i in range(7)])
    frames = dumps({"op": HANDLER, "shards": to_serialize(message)})
    assert sum(memoryview(frame).nbytes for frame in frames) < 2 * queries.nbytes
    received = loads(frames)["shards"].calls
    assert [key for key, _ in received] == [f"shard-{i}" for i in range(7)]
    assert all(np.array_equal(arguments[0], queries) for _, arguments in received)


def test_save_and_load(client, tmp_path):
    rng = np.random.default_rng(5)
    vectors = clustered(rng, 1500)
    sharded = ShardedGraph(DIM, "inner_product", client=client, shards=3, ef_search=40, schema=["colour", "rare"],
                           walk="float32", storage="float32")
    sharded.add(vectors[:3], [7, 8, 9], metadata_of([7, 8, 9]))  # most shards hold one vector, or none
    sharded.save(tmp_path / "small")
    sharded.add(vectors[3:], metadata=metadata_of(range(1497)))
    sharded.save(tmp_path / "index")
    loaded = ShardedGraph.load(tmp_path / "index", client=client)
    assert (len(loaded), loaded.shard_count, loaded.ef_search, loaded.schema, loaded.walk, loaded.storage) == \
        (1500, 3, 40, ["colour", "rare"], "float32", "float32")
    # Rows held to float32 are searched rounded, in the loaded shards too.
    rounded = vectors.astype(np.float32).astype(np.float64)
    best = loaded.search(vectors[:5], 1, ef=EXACT_EF)[1][:, 0]
    assert np.allclose(best, (vectors[:5] @ rounded.T).max(axis=1), rtol=1e-12)
    assert not np.allclose(best, (vectors[:5] @ vectors.T).max(axis=1), rtol=1e-12)
    queries = clustered(rng, 20)
    for options in ({}, {"ef": EXACT_EF, "filter": ("colour", "red")}):
        assert_same(loaded, sharded, queries, 10, **options)
    for index in (loaded, sharded):
        index.add(vectors[:2])  # default ids go on from the saved index's
    assert_same(loaded, sharded, queries, 10)
    assert len(ShardedGraph.load(tmp_path / "small", client=client)) == 3

    manifest_path = tmp_path / "index" / "manifest.json"
    manifest = json.loads(manifest_path.read_text())
    manifest["settings"]["shards"] = 4
    manifest_path.write_text(json.dumps(manifest))
    with pytest.raises(ValueError, match="3 shard entries for 4 shards"):
        ShardedGraph.load(tmp_path / "index", client=client)
    manifest["settings"]["shards"] = 3
    manifest["shards"][1]["count"] += 1
    manifest_path.write_text(json.dumps(manifest))
    with pytest.raises(ValueError, match="shard 1 does not match its manifest entry: count"):
        ShardedGraph.load(tmp_path / "index", client=client)
    manifest["shards"][1]["count"] -= 1
    vectors = manifest["shards"][1]["vectors"]
    manifest["shards"][1]["vectors"] -= 1  # the file's header agrees, its vectors do not
    manifest_path.write_text(json.dumps(manifest))
    with pytest.raises(ValueError, match=f"shard 1 does not match its manifest entry: {vectors} vectors in the "
                                         f"file, {vectors - 1} in the manifest"):
        ShardedGraph.load(tmp_path / "index", client=client)
    manifest["shards"][1]["vectors"] += 1
    first, second = (tmp_path / "index" / entry["file"] for entry in manifest["shards"][:2])
    contents = first.read_bytes()
    first.write_bytes(second.read_bytes())
    second.write_bytes(contents)  # each file whole and as its entry says, in the other's place
    for name in ("vectors", "count", "bytes"):
        manifest["shards"][0][name], manifest["shards"][1][name] = \
            manifest["shards"][1][name], manifest["shards"][0][name]
    manifest_path.write_text(json.dumps(manifest))
    with pytest.raises(ValueError, match="shard 0 holds id [0-9]+, which the routing puts in shard 1"):
        ShardedGraph.load(tmp_path / "index", client=client)


def shard_ids(index):
    return index.client.gather([index.client.submit(lambda shard: shard.index.ids(), ref.future, pure=False)
                                for ref in index._shards.refs])


def assert_loads_as(path, original, model, queries):
    """The index loaded from `path` holds the same ids in each shard, in the
    same order, as the original and the model, and answers as the original
    bit for bit."""
    loaded = ShardedGraph.load(path, client=original.client)
    assert len(loaded) == len(original) == len(model)
    held = shard_ids(loaded)
    assert all(np.array_equal(a, b) for a, b in zip(held, shard_ids(original)))
    assert sorted(np.concatenate(held).tolist()) == sorted(model)
    for options in ({}, {"ef": EXACT_EF}, {"ef": EXACT_EF, "filter": ("colour", "red")}):
        assert_same(loaded, original, queries, 10, **options)
    labels = np.array(sorted(model))
    distances = ((np.array([model[label] for label in labels])[None] - queries[:, None]) ** 2).sum(axis=2)
    np.testing.assert_array_equal(loaded.search(queries, 10, ef=EXACT_EF)[0],
                                  labels[np.argsort(distances, axis=1, kind="stable")[:, :10]])
    loaded.close()


def slots_in_file(path):
    """The count in an index file's header: a GraphIndex's slots, free ones included."""
    with open(path, "rb") as stream:
        return struct.unpack_from("<Q", stream.read(40), 32)[0]


def as_version_2(path, index):
    """The manifest of the index saved in `path` as saves wrote it before it
    recorded a shard file's count of slots: "count" the shard's vectors."""
    manifest_path = path / "manifest.json"
    manifest = json.loads(manifest_path.read_text())
    manifest["version"] = 2
    for entry, ids in zip(manifest["shards"], shard_ids(index)):
        entry.pop("vectors", None)
        entry["count"] = len(ids)
    manifest_path.write_text(json.dumps(manifest))
    return manifest


ORDERS = list(itertools.permutations(["add", "replace", "remove"]))


@pytest.mark.parametrize("order", ORDERS, ids="-".join)
def test_saved_after_any_changes_loads_as_it_was(client, tmp_path, order):
    rng = np.random.default_rng(ORDERS.index(order))
    sharded = ShardedGraph(DIM, "euclidean", client=client, shards=2, schema=["colour", "rare"])
    model = {}  # id -> vector, what the index must hold
    queries = clustered(rng, 12)
    free_slots = []

    def add(ids, vectors):
        sharded.add(vectors, ids, metadata_of(ids))
        model.update(zip(ids.tolist(), vectors))

    add(rng.choice(10**6, size=300, replace=False), clustered(rng, 300))
    for step, operation in enumerate(order):
        held = np.array(sorted(model))
        if operation == "add":  # some far outside the range so far, which widens the 8-bit codes
            fresh = np.setdiff1d(rng.choice(10**6, size=80, replace=False), held)
            add(fresh, clustered(rng, len(fresh)) * 3 * (step + 1))
        elif operation == "replace":
            add(rng.choice(held, size=60, replace=False), clustered(rng, 60))
        else:
            gone = rng.choice(held, size=len(held) // 3, replace=False).tolist()
            sharded.remove(gone)
            for label in gone:
                del model[label]
        path = tmp_path / f"step-{step}"
        sharded.save(path)
        assert_loads_as(path, sharded, model, queries)
        manifest = as_version_2(path, sharded)  # a count of vectors, which a file with free slots exceeds
        assert_loads_as(path, sharded, model, queries)
        free_slots.append(sum(slots_in_file(path / entry["file"]) - entry["count"] for entry in manifest["shards"]))
    assert any(free_slots)  # some file held free slots: its count was not the vectors'


def test_dask_array_rows_stay_on_the_workers(client, monkeypatch):
    rng = np.random.default_rng(6)
    vectors = clustered(rng, 1600)
    source = da.from_array(vectors, chunks=(400, DIM)).persist()
    wait(source)
    gathered = []
    real_gather = client.gather
    monkeypatch.setattr(client, "gather", lambda futures, *a, **kw: gathered.append(real_gather(futures, *a, **kw))
                        or gathered[-1])
    sharded = ShardedGraph(DIM, "euclidean", client=client, shard_size=800)
    broken = source.map_blocks(lambda block: np.where(block > 3.5, np.inf, block))
    with pytest.raises(ValueError, match="must be finite.* in the dask array's rows"):
        sharded.add(broken)
    assert (len(sharded), sharded.shard_count) == (0, 0)  # not even the shard count is fixed
    ids = rng.choice(10**9, size=1600, replace=False)
    sharded.add(source, ids)
    assert not any(isinstance(value, np.ndarray) and value.ndim == 2 for value in _flat(gathered))
    monkeypatch.undo()
    single = halqen_ext.GraphIndex(DIM, "euclidean")
    single.add(vectors, ids)
    assert_same(sharded, single, clustered(rng, 20), 10, ef=EXACT_EF)


def _flat(value):
    if isinstance(value, (list, tuple)):
        for item in value:
            yield from _flat(item)
    else:
        yield value
