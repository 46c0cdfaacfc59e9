"""halqen_dask on a LocalCluster of two worker processes: sharded answers
against one index, a worker killed between two searches, save and load, and
a dask.array source that never reaches the client."""
import errno
import json
import math
import os
import re
import signal
import struct
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

pytest.importorskip("distributed", reason="Dask needs Python 3.10 or newer")

import dask.array as da  # noqa: E402
from distributed import Client, LocalCluster, wait  # noqa: E402

import halqen_ext  # also the shards' pickling
from halqen import PyFlat, PyHNSW
from halqen_dask import ShardedFlat, ShardedGraph, ShardedHNSW, ShardLostError, _base
from halqen_dask._shards import ShardSet

RESTART_SECONDS = 60


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0",
                      scheduler_kwargs={"dashboard": False}) as cluster, \
            Client(cluster) as dask_client:
        yield dask_client


def exact(answers):
    """Answers with each distance as its bits, so NaN and -0.0 compare exactly."""
    return [[(ident, struct.pack("<d", distance)) for ident, distance in answer] for answer in answers]


def tie_heavy_vectors(rng, count, dim):
    """Small integers (many equal distances), some zero rows (NaN cosines),
    some NaN and infinite components."""
    vectors = rng.integers(-2, 3, size=(count, dim)).astype(np.float64)
    vectors[rng.choice(count, count // 20, replace=False)] = 0.0
    vectors[rng.choice(count, 3, replace=False), 0] = np.nan
    vectors[rng.choice(count, 3, replace=False), 1] = np.inf
    return vectors


@pytest.mark.parametrize("metric", [None, "inner_product", "cosine"])
def test_sharded_flat_answers_exactly_as_one_pyflat(client, metric):
    rng = np.random.default_rng(7)
    dim = 5
    first, second, inserted = tie_heavy_vectors(rng, 400, dim), tie_heavy_vectors(rng, 150, dim), \
        tie_heavy_vectors(rng, 60, dim)
    sharded = ShardedFlat(dim, metric, client=client, shard_size=97)
    single = PyFlat(dim, metric)
    sharded.create(first)
    single.create(first)
    sharded.create(second.tolist())  # a list, continuing the ids
    single.create(second)
    for vector in inserted:  # fills the last shard, then starts new ones
        sharded.insert(vector)
        single.insert(vector)
    assert len(sharded) == 610
    assert sharded.shard_count == 5 + 2 + 1
    queries = np.vstack([tie_heavy_vectors(rng, 30, dim), np.zeros((1, dim))])
    for k in (0, 1, 7, 50, 700):
        assert exact(sharded.search_batch(queries, k)) == exact([single.search(q, k) for q in queries])
    assert exact([sharded.search(queries[3])]) == exact([single.search(queries[3])])


def test_sharded_flat_checks_arguments_as_pyflat(client):
    sharded, single = ShardedFlat(3, client=client, shard_size=2), PyFlat(3)
    for call in (lambda index: index.search([1.0, 2.0, 3.0]),
                 lambda index: index.search([1.0, 2.0]),
                 lambda index: index.insert([1.0]),
                 lambda index: index.insert("abc"),
                 lambda index: index.create([]),
                 lambda index: index.search([1.0, 2.0, 3.0], k=-1),
                 lambda index: index.search([1.0, 2.0, 3.0], k=1.5)):
        with pytest.raises(Exception) as expected:
            call(single)
        with pytest.raises(type(expected.value)) as got:
            call(sharded)
        assert str(got.value) == str(expected.value)
    # A batch's arguments are checked as halqen_ext.search_batch checks them.
    sharded.insert([1.0, 2.0, 3.0])
    single.insert([1.0, 2.0, 3.0])
    for queries, k in ((np.array([1.0, 2.0, 3.0]), 1), ([1.0, 2.0, 3.0], 1), (5, 1), ([[1.0, 2.0, 3.0]], -1)):
        with pytest.raises(Exception) as expected:
            halqen_ext.search_batch(single, queries, k)
        assert "argument '" in str(expected.value)
        with pytest.raises(type(expected.value)) as got:
            sharded.search_batch(queries, k)
        assert str(got.value) == str(expected.value)
    sharded.close()
    with pytest.raises(ValueError, match="Vector length 2 does not match index dimension 3"):
        sharded.create([[1.0, 2.0, 3.0], [1.0, 2.0]])
    assert len(sharded) == 0  # nothing of a failed create is kept


def test_sharded_argument_errors_are_worded_by_the_index(client, monkeypatch):
    """halqen_dask words no argument error of its own: each constructor and
    method runs the index's checks in C++ (halqen_ext's private entry, given
    the class's name and the sharded index's settings), so a message changed
    there is the message raised here."""
    flat = ShardedFlat(2, client=client, shard_size=5)
    graph = ShardedHNSW(2, metric="euclidean", client=client, shard_size=5, schema=["tag"])
    bounded = ShardedGraph(2, "euclidean", client=client, schema=["tag"])
    # A sharded PyHNSW needs every query of the index's length (its shards
    # get the queries as one matrix), and says so as PyFlat does.
    for call in (lambda: graph.search([1.0]), lambda: graph.search_batch([[1.0, 2.0], [1.0, 2.0, 3.0]])):
        with pytest.raises(ValueError, match="^Expected query of length 2, got [13]$"):
            call()
    calls = {
        "PyFlat.__new__": lambda: ShardedFlat(2, client=client),
        "PyFlat.insert": lambda: flat.insert([1.0, 2.0]),
        "PyFlat.create": lambda: flat.create([[1.0, 2.0]]),
        "PyFlat.create_width": lambda: flat.create(da.ones((3, 2))),
        "PyFlat.search": lambda: flat.search([1.0, 2.0]),
        "PyFlat.search_empty": lambda: flat.search([1.0, 2.0]),
        "PyFlat.search_batch": lambda: flat.search_batch(np.ones((3, 2))),
        "PyHNSW.__new__": lambda: ShardedHNSW(2, metric="euclidean", client=client),
        "PyHNSW.insert": lambda: graph.insert([1.0, 2.0], [("tag", 1)]),
        "PyHNSW.create": lambda: graph.create(np.ones((3, 2))),
        "PyHNSW.create_width": lambda: graph.create(da.ones((3, 2))),
        "PyHNSW.metadata": lambda: graph.create(np.ones((3, 2)), [[("tag", 1)]] * 3),
        "PyHNSW.search": lambda: graph.search([1.0, 2.0], 1, ("tag", 1)),
        "PyHNSW.search_batch": lambda: graph.search_batch([[1.0, 2.0]], 1, ("tag", 1)),
        "PyHNSW.query_lengths": lambda: graph.search([1.0, 2.0], 1, ("tag", 1)),
        "GraphIndex.__new__": lambda: ShardedGraph(2, "euclidean", client=client),
        "GraphIndex.add": lambda: bounded.add(np.ones((3, 2)), [1, 2, 3], [[("tag", 1)]] * 3),
        "GraphIndex.add_width": lambda: bounded.add(da.ones((3, 2)), [1, 2, 3]),
        "GraphIndex.labels": lambda: bounded.add(da.ones((3, 2)), [1, 2, 3], [[("tag", 1)]] * 3),
        "GraphIndex.search": lambda: bounded.search(np.ones((3, 2)), 1, filter=("tag", 1)),
        "GraphIndex.ef_search": lambda: setattr(bounded, "ef_search", 5),
    }
    checks = getattr(halqen_ext, "__check_arguments")
    for changed, call in calls.items():
        def reworded(kind, settings, method="__new__", arguments=(), changed=changed):
            if f"{kind}.{method}" == changed:
                raise ValueError(f"reworded {changed}")
            return checks(kind, settings, method, arguments) if method != "__new__" else checks(kind, settings)
        monkeypatch.setattr(halqen_ext, "__check_arguments", reworded)
        with pytest.raises(ValueError, match=f"^reworded {changed}$"):
            call()
    monkeypatch.undo()
    assert len(flat) == len(graph) == len(bounded) == 0
    assert bounded.ef_search == 64


def metadata_of(position):
    return [("colour", ["red", "green", "blue"][position % 3]), ("size", position % 5)]


def test_sharded_hnsw_recall_and_filter_rule(client):
    rng = np.random.default_rng(3)
    count, dim = 3000, 12
    vectors = rng.normal(size=(count, dim))
    metadata = [metadata_of(i) for i in range(count)]
    # Each shard's entry node (its first vector) is red: a filter on another
    # colour must never report it.
    sharded = ShardedHNSW(dim, metric="euclidean", client=client, shard_size=750, schema=["colour", "size"])
    sharded.create(vectors, metadata)
    assert sharded.shard_count == 4 and len(sharded) == count
    queries = rng.normal(size=(40, dim))
    colour_of = {vector.tobytes(): metadata_of(i)[0][1] for i, vector in enumerate(vectors)}

    truth = np.argsort(((queries[:, None, :] - vectors[None, :, :]) ** 2).sum(-1), axis=1)[:, :10]
    answers = sharded.search_batch(queries, 10)
    found = sum(len({np.asarray(v).tobytes() for _, v in answer} & {vectors[i].tobytes() for i in row})
                for answer, row in zip(answers, truth))
    assert found / truth.size >= 0.95
    assert all([d for d, _ in answer] == sorted(d for d, _ in answer) for answer in answers)

    for colour in ("green", "blue", "red"):
        filtered = sharded.search_batch(queries, 10, filter=("colour", colour))
        assert all(len(answer) == 10 for answer in filtered)
        assert {colour_of[np.asarray(v).tobytes()] for answer in filtered for _, v in answer} == {colour}
    # A value nothing has: one PyHNSW would report its entry node; the
    # sharded index reports nothing.
    assert sharded.search(queries[0], 5, filter=("colour", "purple")) == []
    single = PyHNSW(dim, metric="euclidean", schema=["colour", "size"])
    single.create(vectors[:50], metadata[:50])
    assert len(single.search(queries[0], 5, filter=("colour", "purple"))) == 1
    # The index's own checks and messages.
    with pytest.raises(ValueError, match="Search error: AttributeNotFound"):
        sharded.search(queries[0], 3, filter=("weight", 1))
    with pytest.raises(ValueError, match="Unsupported type for metadata filter"):
        sharded.search(queries[0], 3, filter=("colour", None))
    with pytest.raises(ValueError, match="Missing metadata for attribute 'size'"):
        sharded.insert(vectors[0], [("colour", "red")])
    with pytest.raises(ValueError, match="Unsupported metric"):
        ShardedHNSW(dim, metric="cosine", client=client)


def test_sharded_hnsw_insert_grows_and_starts_shards(client):
    rng = np.random.default_rng(5)
    sharded = ShardedHNSW(4, metric="euclidean", client=client, shard_size=3, schema=["tag"])
    vectors = rng.normal(size=(7, 4))
    for i, vector in enumerate(vectors):
        sharded.insert(vector, [("tag", i)])
    assert (len(sharded), sharded.shard_count) == (7, 3)
    for i, vector in enumerate(vectors):
        assert sharded.search(vector, 1) == [(0.0, vector.tolist())]
        assert sharded.search(vector, 1, filter=("tag", i)) == [(0.0, vector.tolist())]


def worker_pids(client):
    return client.run(os.getpid)


def kill_worker(client, address):
    """Kills a worker process; its nanny starts a new one."""
    pid = worker_pids(client)[address]
    os.kill(pid, signal.SIGKILL)
    wait_for_restart(client, pid)


def wait_for_restart(client, pid):
    deadline = time.monotonic() + RESTART_SECONDS
    while time.monotonic() < deadline:
        time.sleep(0.2)
        current = worker_pids(client)
        if len(current) == 2 and pid not in current.values():
            return
    raise AssertionError("the killed worker did not come back")


def holder(client, index, position):
    return next(iter(client.who_has([index._shards.refs[position].future]).values()))[0]


def test_worker_killed_between_two_searches(client):
    rng = np.random.default_rng(11)
    vectors = rng.normal(size=(2000, 8))
    queries = rng.normal(size=(25, 8))
    flat = ShardedFlat(8, client=client, shard_size=500)
    flat.create(vectors)
    flat.insert(queries[0])  # an insert after create is replayed on rebuild
    hnsw = ShardedHNSW(8, metric="euclidean", client=client, shard_size=700)
    hnsw.create(vectors)
    flat_before, hnsw_before = flat.search_batch(queries, 10), hnsw.search_batch(queries, 10)

    kill_worker(client, holder(client, hnsw, 0))

    assert exact(flat.search_batch(queries, 10)) == exact(flat_before)
    assert hnsw.search_batch(queries, 10) == hnsw_before  # reloaded from its copy: the same graph
    assert flat.search(queries[0], 1)[0] == (2000, 0.0)


@pytest.mark.parametrize("kind", ["flat", "hnsw", "graph"])
def test_a_search_at_once_after_a_worker_is_killed_answers_as_before(client, monkeypatch, kind):
    rng = np.random.default_rng(23)
    vectors, queries = rng.normal(size=(3000, 8)), rng.normal(size=(25, 8))
    if kind == "flat":
        index = ShardedFlat(8, client=client, shard_size=1000)
        index.create(vectors)
        single = PyFlat(8)
        single.create(vectors)
        expected = exact([single.search(query, 10) for query in queries])

        def search():
            return exact(index.search_batch(queries, 10))
    elif kind == "hnsw":
        index = ShardedHNSW(8, metric="euclidean", client=client, shard_size=1000)
        index.create(vectors)

        def search():
            return index.search_batch(queries, 10)
        expected = search()  # reloaded from its copy after the kill: the same graph
    else:
        index = ShardedGraph(8, "euclidean", client=client, shards=3)
        index.add(vectors)
        single = halqen_ext.GraphIndex(8, "euclidean")
        single.add(vectors)
        expected = [part.tobytes() for part in single.search(queries, 10, ef=4096)]  # exhaustive walks

        def search():
            return [part.tobytes() for part in index.search(queries, 10, ef=4096)]
    holders = [holder(client, index, position) for position in range(index.shard_count)]
    victim = max(set(holders), key=holders.count)
    pid = worker_pids(client)[victim]
    # The scheduler a moment after the kill, before it notices: the shards
    # are where they were.
    monkeypatch.setattr(ShardSet, "who_has", lambda *_: holders)
    os.kill(pid, signal.SIGKILL)
    try:
        assert search() == expected
    finally:
        wait_for_restart(client, pid)  # the next tests have both workers


def test_search_racing_a_worker_loss_is_whole_or_fails_clearly(client):
    rng = np.random.default_rng(19)
    flat = ShardedFlat(16, client=client, shard_size=100_000)
    flat.create(rng.normal(size=(200_000, 16)))
    queries = rng.normal(size=(500, 16))
    expected = exact(flat.search_batch(queries, 5))
    with ThreadPoolExecutor(1) as pool:
        racing = pool.submit(flat.search_batch, queries, 5)
        kill_worker(client, holder(client, flat, 0))
        try:
            assert exact(racing.result()) == expected
        except ShardLostError:
            pass  # a clear failure is allowed; a partial answer is not
    assert exact(flat.search_batch(queries, 5)) == expected


def test_save_and_load(client, tmp_path):
    rng = np.random.default_rng(13)
    vectors = rng.normal(size=(900, 6))
    queries = rng.normal(size=(20, 6))
    flat = ShardedFlat(6, "cosine", client=client, shard_size=400)
    flat.create(vectors)
    flat.save(tmp_path / "flat")
    hnsw = ShardedHNSW(6, metric="angular", client=client, shard_size=400, ef_search=30, schema=["n"])
    hnsw.create(vectors, [[("n", i % 2)] for i in range(900)])
    hnsw.save(tmp_path / "hnsw")
    files = sorted(os.listdir(tmp_path / "hnsw"))
    assert files[0] == "manifest.json" and len(files) == 4
    assert all(re.fullmatch(rf"shard-[0-9a-f]{{16}}-0000{i}\.halqen", name) for i, name in enumerate(files[1:]))

    flat_loaded = ShardedFlat.load(tmp_path / "flat", client=client)
    hnsw_loaded = ShardedHNSW.load(tmp_path / "hnsw")  # the default client
    assert (len(flat_loaded), flat_loaded.metric, flat_loaded.shard_count) == (900, "cosine", 3)
    assert exact(flat_loaded.search_batch(queries, 15)) == exact(flat.search_batch(queries, 15))
    for search_filter in (None, ("n", 1), ("n", 0)):
        assert hnsw_loaded.search_batch(queries, 15, search_filter) == hnsw.search_batch(queries, 15, search_filter)
    hnsw_loaded.insert(vectors[0], [("n", 1)])
    assert len(hnsw_loaded) == 901

    with pytest.raises(ValueError, match="not 'flat'"):
        ShardedFlat.load(tmp_path / "hnsw", client=client)
    manifest = tmp_path / "flat" / "manifest.json"
    manifest.write_text(manifest.read_text().replace('"count": 400', '"count": -4', 1))
    with pytest.raises(ValueError, match="shard 0 has count -4"):
        ShardedFlat.load(tmp_path / "flat", client=client)


def test_a_save_never_mixes_with_the_save_it_replaces(client, tmp_path, monkeypatch):
    rng = np.random.default_rng(19)
    queries = rng.normal(size=(6, 4))
    first = ShardedFlat(4, client=client, shard_size=5)  # counts 5, 5, 2
    first.create(rng.normal(size=(12, 4)))
    second = ShardedFlat(4, client=client, shard_size=4)  # counts 4, 4, 4
    second.create(rng.normal(size=(12, 4)))
    directory = tmp_path / "index"

    def loads_as(index):
        loaded = ShardedFlat.load(directory, client=client)
        assert exact(loaded.search_batch(queries, 12)) == exact(index.search_batch(queries, 12))

    first.save(directory)
    first_files = set(os.listdir(directory))
    real_write_manifest = _base.write_manifest

    def full_disk(*args):
        raise OSError(errno.ENOSPC, "No space left on device")

    monkeypatch.setattr(_base, "write_manifest", full_disk)
    with pytest.raises(OSError, match="No space left"):
        second.save(directory)
    loads_as(first)  # whole, and nothing of the failed save is left
    assert set(os.listdir(directory)) == first_files

    def overtaken(*args):  # another save runs whole before this one's manifest
        monkeypatch.setattr(_base, "write_manifest", real_write_manifest)
        first.save(directory)
        real_write_manifest(*args)

    monkeypatch.setattr(_base, "write_manifest", overtaken)
    second.save(directory)
    loads_as(second)  # the last manifest's index, whole

    manifest_path = directory / "manifest.json"
    manifest = json.loads(manifest_path.read_text())
    manifest["shards"][1].update(vectors=7, count=7)
    manifest_path.write_text(json.dumps(manifest))
    with pytest.raises(ValueError, match=r"shard 1 does not match its manifest entry: count 4 in the file, 7 in the manifest"):
        ShardedFlat.load(directory, client=client)
    manifest["shards"][1].update(vectors=4, count=4)
    manifest_path.write_text(json.dumps(manifest))
    other = PyFlat(3, "cosine")
    other.create(rng.normal(size=(4, 3)))
    halqen_ext.write_index(other, directory / manifest["shards"][2]["file"])
    with pytest.raises(ValueError, match=r"shard 2 does not match its manifest entry: dim 3 in the file, 4 in the "
                                         r"manifest; metric 1 in the file, 0 in the manifest; bytes \d+ in the file"):
        ShardedFlat.load(directory, client=client)


def test_dask_array_rows_stay_on_the_workers(client, monkeypatch):
    rng = np.random.default_rng(17)
    source = da.from_array(rng.normal(size=(1200, 8)), chunks=(300, 8)).persist()
    wait(source)
    gathered = []
    real_gather = client.gather
    monkeypatch.setattr(client, "gather", lambda futures, *a, **kw: gathered.append(real_gather(futures, *a, **kw))
                        or gathered[-1])
    sharded = ShardedFlat(8, client=client, shard_size=10_000)
    sharded.create(source)
    assert not any(isinstance(value, np.ndarray) for batch in gathered for value in _flatten(batch))
    assert sharded.shard_count == 4
    # Which worker builds each shard is the scheduler's choice (it may move
    # a chunk to an idle worker); what is promised is that no row passes
    # through the client, above.
    monkeypatch.undo()

    single = PyFlat(8)
    single.create(source.compute())
    queries = rng.normal(size=(10, 8))
    assert exact(sharded.search_batch(queries, 12)) == exact([single.search(q, 12) for q in queries])


def _flatten(value):
    if isinstance(value, (list, tuple)):
        for item in value:
            yield from _flatten(item)
    else:
        yield value


def test_without_a_client_says_how_to_start_one():
    completed = subprocess.run(
        [sys.executable, "-c", "from halqen_dask import ShardedFlat\nShardedFlat(4)"],
        capture_output=True, text=True, timeout=120)
    assert completed.returncode != 0
    assert "from distributed import Client; client = Client()" in completed.stderr
