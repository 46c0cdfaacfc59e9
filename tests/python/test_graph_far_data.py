"""GraphIndex on finite data beyond float32's range, or so small that its
squares go subnormal in float32: the walks that read float32 codes (the
float32 walk, and the exact walk's large additions, built on float32 copies)
find what an exact walk built one vector at a time finds, and every copy of
such an index answers and grows as the original, through additions that
change the codes' scale and removals."""
import functools

import numpy as np
import pytest

import halqen_ext
from halqen_ext import GraphIndex
from test_graph_persist import copies

DIM = 16
SCALES = [1e19, 1e-40]


def normal(count, seed, scale):
    return np.random.default_rng(seed).normal(size=(count, DIM)) * scale


def recall_at_10(index, data, queries):
    # float64 holds these squares: 1e38 * 16 and 1e-80 are well within it.
    distances = ((queries[:, None, :] - data[None, :, :]) ** 2).sum(axis=2)
    truth = np.argsort(distances, axis=1, kind="stable")[:, :10]
    found, _ = index.search(queries, k=10)
    return np.mean([len(set(f) & set(t)) / 10 for f, t in zip(found.tolist(), truth.tolist())])


@functools.lru_cache(maxsize=None)
def one_at_a_time_recall(scale):
    """The reference: an exact walk given one vector per add call, which
    never builds on float32 copies."""
    data, queries = normal(3000, 1, scale), normal(200, 2, scale)
    index = GraphIndex(DIM, "euclidean", walk="exact", seed=5)
    for row in data:
        index.add(row[None, :])
    return recall_at_10(index, data, queries)


@pytest.mark.parametrize("walk", ["float32", "exact"])
@pytest.mark.parametrize("scale", SCALES)
def test_a_batch_far_from_one_recalls_as_one_row_at_a_time(walk, scale):
    data, queries = normal(3000, 1, scale), normal(200, 2, scale)
    index = GraphIndex(DIM, "euclidean", walk=walk, seed=5)
    index.add(data, threads=2)
    reference = one_at_a_time_recall(scale)
    assert reference > 0.95
    assert recall_at_10(index, data, queries) >= reference - 0.01


def answers(index, queries):
    ids, values = index.search(queries, k=5)
    return ids.tolist(), values.tobytes()


# Tiny data first; then larger data it still fits (which alone would set
# another scale, so the copies must keep it); then data far larger, which
# changes it; then the removal of that data, after which the scale is again
# not what the vectors alone would set; then an addition into freed slots.
STEPS = [
    ("add", 1e-30, np.arange(1000, 1100)),
    ("add", 1e19, np.arange(2000, 2010)),
    ("remove", None, np.arange(2000, 2010)),
    ("add", 1e-35, np.arange(3000, 3030)),
]


def apply(index, step, seed, threads):
    kind, scale, ids = step
    if kind == "add":
        index.add(normal(len(ids), seed, scale), ids=ids, threads=threads)
    else:
        index.remove(ids, threads=threads)


@pytest.mark.parametrize("metric", ["euclidean", "inner_product"])
def test_copies_answer_and_grow_like_the_original_through_scale_changes(metric, tmp_path):
    original = GraphIndex(DIM, metric, m=8, ef_construction=40, seed=3, walk="float32")
    base = normal(400, 10, 1e-40)
    original.add(base, threads=2)
    queries = normal(20, 11, 1e-40)
    # The walk finds the nearest of tiny data (its codes used to flush to 0).
    ids, _ = original.search(queries, k=1, ef=64)
    if metric == "euclidean":
        nearest = ((queries[:, None, :] - base[None, :, :]) ** 2).sum(axis=2).argmin(axis=1)
    else:
        nearest = (queries @ base.T).argmax(axis=1)
    assert np.mean(ids[:, 0] == nearest) >= 0.9
    live = []
    for done in range(len(STEPS) + 1):
        saved = halqen_ext.serialize_index(original)
        expected = answers(original, queries)
        for loaded in live:
            assert halqen_ext.serialize_index(loaded) == saved
            assert answers(loaded, queries) == expected
        for loaded in copies(original, tmp_path):
            assert halqen_ext.serialize_index(loaded) == saved
            assert answers(loaded, queries) == expected
            live.append(loaded)
        if done == len(STEPS):
            break
        apply(original, STEPS[done], 20 + done, threads=2)
        for i, loaded in enumerate(live):
            apply(loaded, STEPS[done], 20 + done, threads=1 + i % 2)


@pytest.mark.parametrize("walk", ["exact", "float32", "sq8"])
@pytest.mark.parametrize("filtered", [False, True])
def test_overflowing_similarities_rank_nan_after_minus_infinity(walk, filtered):
    # Inner products past float64's range: +inf, -inf, and NaN where the
    # two meet in one sum. Most similar first, then -inf, NaN last.
    big = 1e300
    rows = [[big, 0.0], [big, -big], [-big, 0.0], [big, -big], [-big, 0.0], [big, 0.0], [1.0, 1.0]]
    index = GraphIndex(2, "inner_product", walk=walk, schema=["tag"])
    index.add(np.array(rows), metadata=[[("tag", "a")]] * len(rows))
    kwargs = {"filter": ("tag", "a")} if filtered else {}
    ids, values = index.search(np.array([[big, big]]), k=len(rows), **kwargs)
    assert ids[0].tolist() == [0, 5, 6, 2, 4, 1, 3]
    assert values[0][:2].tolist() == [np.inf, np.inf]
    assert values[0][3:5].tolist() == [-np.inf, -np.inf]
    assert np.isnan(values[0][5:]).all()
