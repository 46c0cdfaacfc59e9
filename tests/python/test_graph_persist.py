"""GraphIndex saved, loaded and pickled through halqen_ext: every copy encodes
to the same bytes, answers every search identically and, given the same add
calls, grows into the same index as the original; the golden file reads."""
import copy
import pathlib
import pickle

import numpy as np
import pytest

import halqen_ext
from halqen_ext import GraphIndex
from reference import cosine, dot, euclidean

GOLDEN = pathlib.Path(__file__).resolve().parents[1] / "data"
# The format version GraphIndex files are written in.
WRITTEN_VERSION = 4
METRICS = {"euclidean": euclidean, "angular": cosine, "inner_product": dot}


def clustered(count, dim, seed, clusters=6):
    rng = np.random.default_rng(seed)
    centres = rng.normal(0.0, 10.0, (clusters, dim))
    return centres[rng.integers(0, clusters, count)] + rng.normal(0.0, 1.0, (count, dim))


def copies(index, tmp_path):
    path = tmp_path / "graph.halqen"
    halqen_ext.write_index(index, path)
    yield halqen_ext.read_index(path)
    yield halqen_ext.deserialize_index(bytearray(halqen_ext.serialize_index(index)))
    yield pickle.loads(pickle.dumps(index, protocol=pickle.HIGHEST_PROTOCOL))
    yield copy.deepcopy(index)


def answers(index, queries, filtered):
    found = [index.search(queries, k=9), index.search(queries[0], k=3, ef=40)]
    if filtered:
        found.append(index.search(queries, k=5, filter=("shard", 1)))
    return [(ids.tolist(), values.tobytes()) for ids, values in found]


def additions(seed, count, first_id, schema):
    """The keyword arguments of one add call: vectors, and ids and records by choice."""
    rng = np.random.default_rng(seed)
    add = {"vectors": clustered(count, 6, seed)}
    if first_id is not None:
        add["ids"] = rng.permutation(count) + first_id
    if schema:
        add["metadata"] = [[("shard", int(s))] for s in rng.integers(0, 3, count)]
    return add


# The walk on 8-bit codes keeps its range: the later additions (other
# clusters) widen it, in the copies as in the original.
@pytest.mark.parametrize("walk", ["exact", "float32", "sq8"])
@pytest.mark.parametrize("metric", sorted(METRICS))
@pytest.mark.parametrize("schema, first_id", [(None, None), (["shard"], 5000)])
def test_copies_answer_and_grow_like_the_original(metric, schema, first_id, walk, tmp_path):
    original = GraphIndex(6, metric, m=6, ef_construction=24, ef_search=12, seed=11,
                          schema=schema, walk=walk)
    original.add(**additions(1, 400, first_id, schema), threads=2)
    original.ef_search = 17
    saved = halqen_ext.serialize_index(original)
    queries = clustered(6, 6, 3)
    more = additions(2, 300, None, schema)
    for loaded in copies(original, tmp_path):
        assert type(loaded) is GraphIndex and loaded is not original
        assert halqen_ext.serialize_index(loaded) == saved
        assert loaded.ef_search == 17 and len(loaded) == len(original)
        assert loaded.walk == walk
        assert answers(loaded, queries, schema) == answers(original, queries, schema)
        loaded.add(**more, threads=1)
    original.add(**more, threads=2)
    grown = halqen_ext.serialize_index(original)
    for loaded in copies(original, tmp_path):
        assert halqen_ext.serialize_index(loaded) == grown


def test_empty_and_explicit_id_indexes_round_trip(tmp_path):
    empty = GraphIndex(3, "inner_product", schema=[])
    ided = GraphIndex(2, "euclidean", m=2)
    ided.add([[0.0, 1.0], [2.0, 0.5]], ids=[2**62, 7])
    for index in [empty, ided]:
        for loaded in copies(index, tmp_path):
            assert halqen_ext.serialize_index(loaded) == halqen_ext.serialize_index(index)
    loaded = halqen_ext.deserialize_index(halqen_ext.serialize_index(ided))
    assert 7 in loaded and 2**62 in loaded and 0 not in loaded
    loaded.add([[1.0, 1.0]])
    assert loaded.search([1.0, 1.0], k=1)[0].tolist() == [2**62 + 1]
    loaded.add([[3.0, 3.0]], ids=[7])                       # replaced
    assert len(loaded) == 3 and loaded.get_vectors([7]).tolist() == [[3.0, 3.0]]


def test_every_dim_an_index_takes_saves_and_loads(tmp_path):
    widest = 2**61 - 1  # its rows' bytes still fit the file's 64-bit sizes
    for walk in ("exact", "sq8"):
        index = GraphIndex(widest, "euclidean", walk=walk)
        saved = halqen_ext.serialize_index(index)
        for loaded in copies(index, tmp_path):
            assert halqen_ext.serialize_index(loaded) == saved and len(loaded) == 0
    with pytest.raises(ValueError, match=f"dim must be at most {widest}, got {widest + 1}"):
        GraphIndex(widest + 1, "euclidean")


def test_batch_searches_name_graph_index_search():
    index = GraphIndex(2, "euclidean")
    index.add([[0.0, 1.0], [1.0, 0.0]])
    for search in [halqen_ext.search_batch, halqen_ext.search_ids]:
        with pytest.raises(TypeError, match=r"GraphIndex\.search\(queries"):
            search(index, [[0.0, 1.0]], k=1)


def test_the_golden_file_of_format_version_2_reads():
    path = GOLDEN / "graph-angular-v2.halqen"
    index = halqen_ext.read_index(path)
    assert isinstance(index, GraphIndex)
    rng_vectors = golden_vectors(45, 4)
    vectors, queries = np.array(rng_vectors[:40]), np.array(rng_vectors[40:])
    ids = list(range(30)) + list(range(100, 110))
    assert len(index) == 40 and index.ef_search == 5
    assert index.get_vectors(ids).tobytes() == vectors.tobytes()
    for query in queries:
        found, values = index.search(query, k=40, ef=40)
        similarity = [cosine(query.tolist(), row.tolist()) for row in vectors]
        order = sorted(range(40), key=lambda i: (-similarity[i], ids[i]))
        assert found.tolist() == [ids[i] for i in order]
        assert values.tolist() == [similarity[i] for i in order]
        matching, _ = index.search(query, k=5, ef=40, filter=("parity", 1))
        assert sorted(matching.tolist()) == [101, 103, 105, 107, 109]
    # Written again in the current version, whose copy is the same index.
    written = halqen_ext.serialize_index(index)
    assert written[8] == WRITTEN_VERSION and written[12:] != path.read_bytes()[12:]
    assert halqen_ext.serialize_index(halqen_ext.deserialize_index(written)) == written


@pytest.mark.parametrize("version", [3, 4])
@pytest.mark.parametrize("mapped", [False, True])
def test_the_golden_files_of_format_versions_3_and_4_read(version, mapped):
    """The same index, written in either version; mapped or read."""
    path = GOLDEN / f"graph-euclidean-v{version}.halqen"
    index = halqen_ext.read_index(path, mmap=mapped)
    rows = [[round(x * 8) / 8 for x in vector] for vector in golden_vectors(40, 4)]
    removed = {3, 17, 24}
    stored = {200 + i: rows[i] for i in range(30) if i not in removed}
    stored.update({230: rows[30], 231: rows[31]})
    parity = {200 + i: i % 2 for i in range(30)}
    parity.update({230: 0, 231: 1})
    assert index.storage == "float32" and index.walk == "sq8" and len(index) == 29
    assert sorted(index.ids().tolist()) == sorted(stored)
    assert index.get_vectors(list(stored)).tolist() == list(stored.values())
    for query in rows[32:]:
        found, values = index.search(query, k=29, ef=29)
        distance = {i: euclidean(query, row) for i, row in stored.items()}
        order = sorted(stored, key=lambda i: (distance[i], i))
        assert found.tolist() == order
        assert values.tolist() == [distance[i] for i in order]
        odd, _ = index.search(query, k=20, ef=29, filter=("parity", 1))
        expected = sorted(i for i in stored if parity[i] == 1)
        assert sorted(odd.tolist()) == [-1] * (20 - len(expected)) + expected
    written = halqen_ext.serialize_index(index)
    if version == WRITTEN_VERSION:
        assert written == path.read_bytes()
    else:
        assert written[8] == WRITTEN_VERSION
        assert written == halqen_ext.serialize_index(halqen_ext.read_index(GOLDEN / "graph-euclidean-v4.halqen"))


def golden_vectors(count, dim):
    """The vectors the golden file was written from (tests/data/make_golden.py)."""
    import random

    rng = random.Random(20240611)
    return [[round(rng.uniform(-1.0, 1.0), 3) for _ in range(dim)] for _ in range(count)]


def grow(index, dim, rng, steps):
    """Random add, replace and remove calls on small, tied, oddly scaled data."""
    for _ in range(steps):
        live = index.ids()
        if len(live) > 2 and rng.random() < 0.3:
            index.remove(rng.choice(live, int(rng.integers(1, len(live))), replace=False))
            continue
        count = int(rng.integers(1, 60))
        vectors = rng.standard_normal((count, dim)) * rng.choice([0.1, 1.0, 10.0, 100.0])
        if rng.random() < 0.2:
            vectors = np.round(vectors) + 0.5  # ties, and no zero vector
        ids = None
        if len(live) and rng.random() < 0.3:
            taken = rng.choice(live, min(len(live), count), replace=False)
            ids = np.concatenate([taken, np.arange(count - len(taken)) + 10_000 * (1 + len(live))])
        index.add(vectors, ids=ids, threads=int(rng.integers(1, 3)))


# A copy taken after any sequence of calls (removals included) is the
# original: the same calls grow both into the same bytes.
@pytest.mark.parametrize("walk", ["exact", "float32", "sq8"])
@pytest.mark.parametrize("metric", sorted(METRICS))
def test_copies_taken_at_any_step_grow_into_the_same_bytes(metric, walk, tmp_path):
    for seed in range(120):
        rng = np.random.default_rng(seed)
        dim = int(rng.integers(1, 6))
        original = GraphIndex(dim, metric, m=int(rng.choice([2, 4, 8])), ef_construction=16,
                              seed=seed, walk=walk)
        grow(original, dim, rng, int(rng.integers(1, 4)))
        loaded = list(copies(original, tmp_path))[seed % 4]
        steps = int(rng.integers(1, 4))
        grow(original, dim, np.random.default_rng([seed, 1]), steps)
        grow(loaded, dim, np.random.default_rng([seed, 1]), steps)
        assert halqen_ext.serialize_index(loaded) == halqen_ext.serialize_index(original), seed
