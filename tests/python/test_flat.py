"""PyFlat: metrics, numbering, ranking and its own errors."""
import math
import pathlib
import random
import re

import pytest

from halqen import PyFlat

from reference import cosine, dot, euclidean, flat_search

SOURCE_TREE = pathlib.Path(__file__).resolve().parents[2]
METRICS = {None: euclidean, "inner_product": dot, "cosine": cosine}


def same_bits(a, b):
    return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))


def one_distance(metric, a, b):
    index = PyFlat(len(b), metric=metric)
    index.insert(b)
    return index.search(a)[0][1]


@pytest.mark.parametrize(
    "metric, a, b, expected",
    [
        (None, [0, 0], [3, 4], 5.0),
        ("inner_product", [1, 2, 3], [4, 5, 6], 32.0),
        ("cosine", [1, 0], [0, 1], 0.0),
        ("cosine", [3, 4], [3, 4], 1.0),
        (None, [1e308, -1e308], [-1e308, 1e308], math.inf),
        (None, [math.inf], [math.inf], math.nan),
        ("cosine", [0, 0], [1, 2], math.nan),
        ("inner_product", [math.nan, 1], [1, 1], math.nan),
    ],
)
def test_metric_values(metric, a, b, expected):
    assert same_bits(one_distance(metric, a, b), expected)


@pytest.mark.parametrize("metric", list(METRICS))
def test_metrics_are_bit_exact_against_sequential_loops(metric):
    rng = random.Random(11)
    specials = [0.0, -0.0, math.inf, -math.inf, math.nan, 1e-310, 1e300]
    for dim in list(range(0, 20)) + [63, 64, 65, 128, 257]:
        if dim == 0:
            continue
        vectors = []
        for _ in range(9):
            v = [rng.uniform(-10, 10) * 10 ** rng.randint(-5, 5) for _ in range(dim)]
            if rng.random() < 0.2:
                v[rng.randrange(dim)] = rng.choice(specials)
            vectors.append(v)
        query = [rng.gauss(0, 1) for _ in range(dim)]
        index = PyFlat(dim, metric=metric)
        index.create(vectors)
        got = dict(index.search(query, k=len(vectors)))
        for i, v in enumerate(vectors):
            assert same_bits(got[i], METRICS[metric](query, v)), (dim, i)


@pytest.mark.parametrize(
    "name, metric", [("euclidean", euclidean), ("angular", euclidean), ("COSINE", euclidean), ("", euclidean),
                     ("cosine", cosine), ("inner_product", dot), (None, euclidean)]
)
def test_metric_names(name, metric):
    a, b = [1.0, 2.0], [3.0, -1.0]
    assert one_distance(name, a, b) == metric(a, b)


def test_ids_run_across_insert_and_create():
    index = PyFlat(1)
    index.insert([0.0])
    index.create([[1.0], [2.0]])
    index.insert([3.0])
    index.create([[4.0]])
    assert index.search([0.0], k=10) == [(i, float(i)) for i in range(5)]


def test_k_semantics():
    index = PyFlat(1)
    index.create([[3.0], [1.0], [2.0]])
    assert index.search([0.0]) == [(1, 1.0)]
    assert index.search([0.0], k=None) == [(1, 1.0)]
    assert index.search([0.0], k=0) == []
    assert index.search([0.0], k=2**64 - 1) == [(1, 1.0), (2, 2.0), (0, 3.0)]


def test_ties_nan_and_similarity_order():
    index = PyFlat(2, metric="cosine")
    index.create([[1.0, 0.0], [0.0, 0.0], [2.0, 0.0], [-1.0, 0.0], [0.0, 0.0], [0.0, 3.0]])
    hits = index.search([1.0, 0.0], k=6)
    assert [i for i, _ in hits] == [3, 5, 0, 2, 1, 4]  # least similar first, NaN last by id
    assert math.isnan(hits[-1][1]) and math.isnan(hits[-2][1])
    assert hits[2][1] == hits[3][1] == 1.0

    zeros = PyFlat(2, metric="cosine")
    zeros.create([[0.0, 0.0]] * 4)
    assert [i for i, _ in zeros.search([1.0, 1.0], k=4)] == [0, 1, 2, 3]

    product = PyFlat(1, metric="inner_product")
    product.create([[1.0], [-5.0], [3.0]])
    assert product.search([1.0], k=3) == [(1, -5.0), (0, 1.0), (2, 3.0)]


def test_negative_zero_equals_zero_in_ranking():
    index = PyFlat(1, metric="inner_product")
    index.create([[0.0], [-0.0], [0.0]])
    assert [i for i, _ in index.search([1.0], k=3)] == [0, 1, 2]


def test_index_errors():
    index = PyFlat(2)
    with pytest.raises(ValueError, match=r"^Expected query of length 2, got 3$"):
        index.search([1.0, 2.0, 3.0])
    with pytest.raises(ValueError, match=r"^Search error: EmptyIndex$"):
        index.search([1.0, 2.0])
    with pytest.raises(ValueError, match=r"^Expected vector of length 2, got 1$"):
        index.insert([1.0])
    with pytest.raises(ValueError, match=r"^Create error: EmptyVectors$"):
        index.create([])
    index.insert([5.0, 5.0])
    assert index.search([5.0, 5.0], k=5) == [(0, 0.0)]  # the failed insert consumed no id


def test_create_stops_at_a_wrong_length_with_a_panic():
    index = PyFlat(2)
    with pytest.raises(BaseException) as info:
        index.create([[1, 2], [1, 2, 3], [4, 5]])
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "Vector length 3 does not match index dimension 2"
    assert index.search([4.0, 5.0], k=5) == [(0, math.sqrt(18.0))]
    index.insert([4.0, 5.0])
    assert index.search([4.0, 5.0], k=5)[0] == (1, 0.0)


def test_panic_diagnostic_names_the_source_file_within_the_tree(capfd):
    with pytest.raises(BaseException):
        PyFlat(2).create([[1, 2], [1, 2, 3]])
    diagnostic = capfd.readouterr().err
    where = re.search(r"(\S+\.[ch]pp):(\d+): Vector length 3 does not match index dimension 2$",
                      diagnostic, re.MULTILINE)
    assert where, diagnostic
    path, line = where.group(1), int(where.group(2))
    assert path.startswith("src/"), diagnostic  # not the build machine's absolute path
    assert 0 < line <= len((SOURCE_TREE / path).read_text().splitlines())


def test_dimension_zero():
    index = PyFlat(0)
    index.insert([])
    index.create([[], []])
    with pytest.raises(ValueError, match="Search error: EmptyIndex"):
        index.search([])


def test_random_searches_match_the_oracle():
    rng = random.Random(5)
    for metric in METRICS:
        vectors = [[float(rng.randint(-3, 3)) for _ in range(4)] for _ in range(300)]
        index = PyFlat(4, metric=metric)
        index.create(vectors[:100])
        for v in vectors[100:]:
            index.insert(v)
        for _ in range(20):
            query = [float(rng.randint(-3, 3)) for _ in range(4)]
            k = rng.randint(0, 320)
            got = index.search(query, k=k)
            want = flat_search(vectors, query, k, METRICS[metric])
            assert [i for i, _ in got] == [i for i, _ in want]
            assert all(same_bits(g, w) for (_, g), (_, w) in zip(got, want))
