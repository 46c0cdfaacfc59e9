"""GraphIndex filters: the value rules, and a filtered search against an
exact filtered scan whether it scores the matches or walks the graph."""
import math

import numpy as np
import pytest

from halqen_ext import GraphIndex
from test_graph_index import clustered

K = 10


def exact_filtered(data, queries, admitted):
    """Ids of the K nearest admitted vectors per query."""
    ids = np.flatnonzero(admitted)
    distances = ((queries[:, None, :] - data[None, ids, :]) ** 2).sum(-1)
    order = np.argsort(distances, axis=1, kind="stable")[:, :K]
    return [ids[row].tolist() for row in order]


def test_filters_keep_the_metadata_equality():
    stored = [0.0, -0.0, math.nan, 1, 1.0, True, "1", 2]
    index = GraphIndex(2, "euclidean", schema=["v"])
    index.add([[float(i), 0.0] for i in range(len(stored))],
              metadata=[[("v", value)] for value in stored])
    cases = [(-0.0, {0, 1}), (0.0, {0, 1}), (math.nan, set()), (1, {3, 5}), (True, {3, 5}),
             (1.0, {4}), ("1", {6}), ([1, 1.0, 1], {3, 4, 5}), ([], set()), ([7, "x"], set()),
             ([2], {7})]
    for value, expected in cases:
        ids, values = index.search([0.0, 0.0], k=len(stored), filter=("v", value))
        found = [i for i in ids.tolist() if i >= 0]
        assert set(found) == expected and len(found) == len(expected), value
        assert values.tolist()[len(found):] == [math.inf] * (len(stored) - len(found))
    with pytest.raises(ValueError, match="'w' is not in the schema"):
        index.search([0.0, 0.0], filter=("w", 1))
    with pytest.raises(ValueError, match="Unsupported type for metadata filter"):
        index.search([0.0, 0.0], filter=("v", [1, object()]))


@pytest.mark.parametrize("count", [1500, 12000])  # scored, then walked
def test_a_filtered_search_finds_k_matches_and_the_nearest(count):
    rng = np.random.default_rng(count)
    mixture = clustered(count + 60, 16, seed=count, clusters=20)
    data, queries = mixture[:count], mixture[count:]
    cluster = np.argmin(((data[:, None, :] - data[rng.choice(count, 20)][None]) ** 2).sum(-1), 1)
    flags = {"half": rng.random(count) < 0.5, "tenth": rng.random(count) < 0.1}
    index = GraphIndex(16, "euclidean", m=8, ef_construction=60, schema=["half", "tenth", "c"])
    index.add(data, metadata=[[("half", int(flags["half"][i])), ("tenth", int(flags["tenth"][i])),
                               ("c", int(cluster[i]))] for i in range(count)])
    filters = [("half", 1, flags["half"]), ("tenth", 1, flags["tenth"]),
               ("c", [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11], cluster < 12),
               ("c", 3, cluster == 3)]
    for name, value, admitted in filters:
        found, _ = index.search(queries, k=K, ef=4 * K, filter=(name, value), threads=2)
        truth = exact_filtered(data, queries, admitted)
        assert all(admitted[row].all() for row in found.tolist())
        assert (found >= 0).all()  # every filter here has at least K matches
        hits = sum(len(set(f) & set(t)) for f, t in zip(found.tolist(), truth))
        assert hits >= 0.95 * K * len(queries), (name, value)
        alone, _ = index.search(queries[:5], k=K, ef=4 * K, filter=(name, value), threads=1)
        assert alone.tolist() == found[:5].tolist()


def test_one_match_and_every_vector_matching():
    data = clustered(3000, 8, seed=9)
    index = GraphIndex(8, "euclidean", m=8, ef_construction=40, schema=["one", "all"])
    index.add(data, metadata=[[("one", int(i == 1234)), ("all", "x")] for i in range(len(data))])
    ids, _ = index.search(data[:3], k=4, filter=("one", 1))
    assert ids.tolist() == [[1234, -1, -1, -1]] * 3
    ids, _ = index.search(data[:3], k=4, filter=("one", 2))
    assert ids.tolist() == [[-1] * 4] * 3
    every, _ = index.search(data[:50], k=K, ef=3000, filter=("all", "x"))
    unfiltered, _ = index.search(data[:50], k=K, ef=3000)
    assert every.tolist() == unfiltered.tolist()
