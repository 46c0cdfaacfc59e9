"""The default walk's 8-bit codes on data that is not well scaled: its
recall@10 against the float32 walk's after the same calls, at the same ef;
data beyond float32's range against an exact walk built one vector at a
time; copies of indexes with odd ranges; and the same bytes whatever the
number of threads once a range has moved.

recall is against numpy's float64 brute force in the index's metric, on
held-out queries from the same distribution as the vectors."""
import numpy as np
import pytest

import halqen_ext
from halqen_ext import GraphIndex
from test_graph_persist import copies

METRICS = ("euclidean", "angular", "inner_product")
WALKS = ("sq8", "float32", "exact")
K = 10
COUNT, QUERIES, DIM, CLUSTERS = 2_000, 1_000, 32, 50
LATENT = 16
# Narrower than the default so that the file stays quick; every walk of a
# comparison is built with it, so the comparison stays fair.
EF_CONSTRUCTION = 64
# ef 10 too: a coarse step costs most where the walk is narrow.
WIDTHS = (10, 32, 64)
TOLERANCE = 0.01
# Beside an exact build one vector at a time: it walks a little better at
# ef 10 than a build in one call, on clean data too, so only wider walks.
PER_ROW_WIDTHS = (32, 64)
PER_ROW_TOLERANCE = 0.01
OUTLIER = 1e6


def mixture(count, queries, seed=5):
    """(rows, held-out queries) of one Gaussian mixture, components around
    +-40. Each cluster spreads along directions of its own, as embeddings do;
    isotropic noise in 32 dimensions (test_graph_index's clustered) leaves
    near-ties that even clean 8-bit codes miss at ef 10."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(0.0, 25.0, (CLUSTERS, DIM))
    bases = rng.normal(0.0, 40.0 / np.sqrt(DIM), (CLUSTERS, LATENT, DIM))
    labels = rng.integers(0, CLUSTERS, count + queries)
    spread = np.einsum("nl,nld->nd", rng.standard_normal((count + queries, LATENT)),
                       bases[labels])
    both = centres[labels] + spread + rng.normal(0.0, 1.0, (count + queries, DIM))
    return both[:count], both[count:]


def adds(*batches):
    """Add calls with explicit ids, continuing from batch to batch."""
    calls, start = [], 0
    for vectors in batches:
        calls.append(("add", vectors, np.arange(start, start + len(vectors))))
        start += len(vectors)
    return calls


def live(calls):
    rows = {}
    for call in calls:
        if call[0] == "add":
            rows.update(zip(call[2].tolist(), call[1]))
        else:
            for ident in call[1]:
                del rows[ident]
    ids = np.array(sorted(rows))
    return ids, np.array([rows[i] for i in ids.tolist()])


def build(walk, metric, calls, threads=None):
    index = GraphIndex(calls[0][1].shape[1], metric, ef_construction=EF_CONSTRUCTION, walk=walk)
    for call in calls:
        if call[0] == "add":
            index.add(call[1], ids=call[2], threads=threads)
        else:
            index.remove(call[1], threads=threads)
    return index


def nearest(vectors, ids, queries, metric):
    """ids of the K nearest of each query by float64 brute force. Euclidean
    by expanded squares: in every case here the gaps between neighbours
    stay far above float64's rounding of the squared norms."""
    if metric == "angular":
        vectors = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
        queries = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    norms = (vectors * vectors).sum(1) if metric == "euclidean" else 0.0
    found = []
    for start in range(0, len(queries), 256):
        products = queries[start:start + 256] @ vectors.T
        keys = norms - 2.0 * products if metric == "euclidean" else -products
        found.append(np.argpartition(keys, K - 1, axis=1)[:, :K])
    return ids[np.concatenate(found)]


def recalls(index, queries, truth, widths):
    """recall@K by ef, rounded for the failure messages."""
    def one(ef):
        found, _ = index.search(queries, k=K, ef=ef)
        hits = sum(len(set(f) & set(t)) for f, t in zip(found.tolist(), truth.tolist()))
        return hits / truth.size
    return {ef: round(one(ef), 4) for ef in widths}


def with_outlier(rows, value):
    vector = rows[:1].copy()
    vector[0, 7] = value
    return vector


def widened(rows):
    """Thirds of the rows, each a call of its own: as they are, then 10x and
    1000x wider."""
    return [third * scale for third, scale in zip(np.array_split(rows, 3), (1.0, 10.0, 1000.0))]


def case_calls(case):
    """(calls, queries) of a case."""
    rows, queries = mixture(COUNT, QUERIES)
    outlier = with_outlier(rows, OUTLIER)
    if case == "clean":
        return adds(rows), queries
    if case == "outlier added":
        return adds(rows, outlier), queries
    if case == "outlier removed":
        return adds(rows, outlier) + [("remove", [COUNT])], queries
    if case in ("outlier inside", "1e3 inside"):
        inside = rows.copy()
        inside[COUNT // 2, 7] = OUTLIER if case == "outlier inside" else 1e3
        return adds(inside), queries
    if case == "dim 0 x1000":
        stretch = np.ones(DIM)
        stretch[0] = 1000.0
        return adds(rows * stretch), queries * stretch
    if case in ("t(1)", "t(2)"):
        heavy = np.random.default_rng(6).standard_t(int(case[2]), (COUNT + QUERIES, DIM))
        return adds(heavy[:COUNT]), heavy[COUNT:]
    if case == "widening":
        # The queries follow the widest third: no 8-bit step resolves the
        # first third once it shares a range with rows 1000x wider.
        return adds(*widened(rows)), queries * 1000.0
    if case == "units":
        units = np.ones(DIM)
        units[:3], units[3:6] = 1e4, 1e-4
        return adds(rows * units), queries * units
    raise ValueError(case)


CASES = ("clean", "outlier added", "outlier removed", "outlier inside", "1e3 inside",
         "dim 0 x1000", "t(1)", "t(2)", "widening", "units")
# Where the default walk still finds fewer than the float32 walk (none
# today). Strict: a case listed flips to a failure the day the codes keep
# up, and must then leave this list.
SHORT_OF_FLOAT32 = set()
CASES_BY_METRIC = [
    pytest.param(case, metric, marks=pytest.mark.xfail(
        strict=True, reason="8-bit codes still short of float32 here"))
    if (case, metric) in SHORT_OF_FLOAT32 else (case, metric)
    for case in CASES for metric in METRICS]


@pytest.mark.parametrize("case, metric, walk", [
    ("clean", "euclidean", "sq8"), ("t(2)", "euclidean", "sq8"), ("units", "angular", "sq8"),
    ("dim 0 x1000", "euclidean", "float32"), ("dim 0 x1000", "angular", "float32"),
    ("t(1)", "euclidean", "float32"), ("widening", "euclidean", "float32"),
    ("clean", "inner_product", "sq8"), ("t(1)", "inner_product", "float32"),
    ("outlier inside", "inner_product", "float32")])
def test_codes_that_cannot_tell_neighbours_apart_give_way_to_float32(case, metric, walk,
                                                                      tmp_path):
    """Where 256 codes per dimension cannot rank a set's neighbours (one
    dimension ruling every distance, the bulk of a heavy tail in one step,
    rows at scales 1,000 apart, inner products whose range the rows farthest
    out stretch), the index walks on float32 from then on and
    says so; copies say and answer the same."""
    calls, queries = case_calls(case)
    index = build("sq8", metric, calls)
    assert index.walk == walk
    want = index.search(queries[:50], k=K)
    for copied in copies(index, tmp_path):
        assert copied.walk == walk
        got = copied.search(queries[:50], k=K)
        np.testing.assert_array_equal(got[0], want[0])
        assert got[1].tobytes() == want[1].tobytes()


@pytest.mark.parametrize("case, metric", CASES_BY_METRIC)
def test_the_default_walk_keeps_up_with_the_float32_walk(case, metric):
    calls, queries = case_calls(case)
    ids, vectors = live(calls)
    truth = nearest(vectors, ids, queries, metric)
    codes = recalls(build("sq8", metric, calls), queries, truth, WIDTHS)
    floats = recalls(build("float32", metric, calls), queries, truth, WIDTHS)
    assert all(codes[ef] >= floats[ef] - TOLERANCE for ef in WIDTHS), (codes, floats)


_references = {}


def per_row_reference(scale, metric):
    """(rows, queries, truth, recall by ef) of an exact walk built by one add
    call per vector, once per scale and metric."""
    if (scale, metric) not in _references:
        normal = np.random.default_rng(7).standard_normal((COUNT + QUERIES, 16)) * scale
        rows, queries = normal[:COUNT], normal[COUNT:]
        truth = nearest(rows, np.arange(COUNT), queries, metric)
        index = GraphIndex(16, metric, ef_construction=EF_CONSTRUCTION, walk="exact")
        for ident, row in enumerate(rows):
            index.add(row, ids=[ident], threads=1)  # no pool to start for one vector
        _references[scale, metric] = (rows, queries, truth,
                                      recalls(index, queries, truth, PER_ROW_WIDTHS))
    return _references[scale, metric]


# Beyond float32's range: squares of 1e19 overflow it, 1e-40 is below its
# smallest normal number.
@pytest.mark.parametrize("walk", WALKS)
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("scale", [1e19, 1e-40])
def test_beyond_float32_every_walk_keeps_up_with_a_build_one_vector_at_a_time(scale, metric,
                                                                              walk):
    rows, queries, truth, reference = per_row_reference(scale, metric)
    found = recalls(build(walk, metric, adds(rows)), queries, truth, PER_ROW_WIDTHS)
    assert all(found[ef] >= reference[ef] - PER_ROW_TOLERANCE for ef in PER_ROW_WIDTHS), \
        (found, reference)


def assert_copies_are_the_original(index, queries, tmp_path):
    saved = halqen_ext.serialize_index(index)
    ids, values = index.search(queries, k=K)
    for loaded in copies(index, tmp_path):
        again_ids, again_values = loaded.search(queries, k=K)
        assert again_ids.tolist() == ids.tolist()
        assert again_values.tobytes() == values.tobytes()
        assert halqen_ext.serialize_index(loaded) == saved


# Rows all within one unit of 1000: a range far narrower than its offset.
@pytest.mark.parametrize("walk", WALKS)
@pytest.mark.parametrize("metric", METRICS)
def test_a_copy_after_a_removal_is_the_original(metric, walk, tmp_path):
    rng = np.random.default_rng(8)
    # Narrow: the graph's quality is not what is checked.
    index = GraphIndex(16, metric, ef_construction=32, walk=walk)
    index.add(rng.uniform(1000.0, 1001.0, (5000, 16)))
    index.remove([0])
    assert_copies_are_the_original(index, rng.uniform(1000.0, 1001.0, (200, 16)), tmp_path)


# A range wider than the largest float64.
@pytest.mark.parametrize("walk", WALKS)
def test_values_near_the_largest_float64_add_and_copy(walk, tmp_path):
    index = GraphIndex(1, "euclidean", walk=walk)
    index.add([[0.0], [1.6e308]])
    index.add([[1.7e308]])
    assert len(index) == 3
    found, _ = index.search([[0.0], [1.65e308], [1.7e308]], k=3)
    assert sorted(found[0].tolist()) == [0, 1, 2]
    assert_copies_are_the_original(index, np.array([[0.0], [1.65e308], [1.7e308], [-1e308]]),
                                   tmp_path)


# Queries need not look like the rows. Far outside them, 8-bit codes clamp
# the query and float32 differences overflow; the inner product's order does
# not depend on the query's scale, but its codes and bounds underflowed.
QUERIES_UNLIKE_THE_ROWS = [("euclidean", scale) for scale in (10.0, 1e3, 1e6)] + \
    [("inner_product", scale) for scale in (1e-306, 1e-300, 1e-100, 1e100, 1e300)]
_unlike_indexes = {}


@pytest.mark.parametrize("walk", ["sq8", "float32"])
@pytest.mark.parametrize("metric, scale", QUERIES_UNLIKE_THE_ROWS)
def test_queries_unlike_the_rows_are_found_as_the_exact_walk_finds_them(metric, scale, walk):
    rows, queries = mixture(COUNT, 200)
    queries = queries * scale
    truth = nearest(rows, np.arange(COUNT), queries, metric)
    for kind in ("exact", walk):
        if (kind, metric) not in _unlike_indexes:
            _unlike_indexes[kind, metric] = build(kind, metric, adds(rows))
    exact = recalls(_unlike_indexes["exact", metric], queries, truth, (64,))
    found = recalls(_unlike_indexes[walk, metric], queries, truth, (64,))
    assert exact[64] > 0.9
    assert found[64] >= exact[64] - TOLERANCE, (found, exact)


# A filter keeps the walk (more matches than are scored outright), which
# must head for the query too.
@pytest.mark.parametrize("walk", ["sq8", "float32"])
def test_a_filtered_query_far_outside_the_rows_is_found_as_the_exact_walk_finds_it(walk):
    rows, queries = mixture(10_000, 100)
    queries = queries * 1e3
    halves = np.arange(len(rows)) % 2
    kept = np.flatnonzero(halves == 0)
    truth = nearest(rows[kept], kept, queries, "euclidean")
    found = {}
    for kind in ("exact", walk):
        index = GraphIndex(rows.shape[1], "euclidean", ef_construction=EF_CONSTRUCTION, walk=kind,
                           schema=["half"])
        index.add(rows, metadata=[[("half", int(h))] for h in halves])
        ids, _ = index.search(queries, k=K, ef=64, filter=("half", 0))
        found[kind] = np.mean([len(set(f) & set(t)) / K for f, t in zip(ids.tolist(),
                                                                          truth.tolist())])
    assert found["exact"] > 0.9
    assert found[walk] >= found["exact"] - TOLERANCE, found


def determinism_calls(scenario):
    rows, _ = mixture(COUNT, 0)
    if scenario == "widening":
        return adds(*widened(rows))
    return adds(rows, with_outlier(rows, OUTLIER)) + [("remove", [COUNT])]


# Ranges moved by later calls must move the same way on any number of threads.
@pytest.mark.parametrize("walk", ["sq8", "float32"])
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("scenario", ["widening", "outlier added and removed"])
def test_the_same_bytes_on_one_thread_and_on_two(scenario, metric, walk):
    calls = determinism_calls(scenario)
    one, two = (halqen_ext.serialize_index(build(walk, metric, calls, threads=threads))
                for threads in (1, 2))
    assert one == two
