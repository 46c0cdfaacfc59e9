"""PyHNSW: construction, metadata, filters, messages and search quality."""
import math
import random

import pytest

from halqen import PyFlat, PyHNSW

from reference import euclidean


def value_error(message, call, *args, **kwargs):
    with pytest.raises(ValueError) as info:
        call(*args, **kwargs)
    assert str(info.value) == message


# --- construction ----------------------------------------------------------------


@pytest.mark.parametrize("metric", [None, "cosine", "Euclidean", "", "dot"])
def test_unsupported_metrics(metric):
    value_error("Unsupported metric", PyHNSW, 4, metric=metric)


def test_metric_conversion_comes_before_the_name_check():
    with pytest.raises(TypeError, match="argument 'metric': 'int' object cannot be converted to 'PyString'"):
        PyHNSW(4, metric=3)
    with pytest.raises(TypeError, match="argument 'schema': Can't extract `str` to `Vec`"):
        PyHNSW(4, metric="euclidean", schema="color")
    with pytest.raises(OverflowError):
        PyHNSW(4, layers=-1)  # converted before the metric is looked at


@pytest.mark.parametrize(
    "metric, expected", [("euclidean", 5.0), ("angular", 0.0), ("inner_product", 0.0)]
)
def test_metric_names_select_functions(metric, expected):
    index = PyHNSW(2, metric=metric)
    index.insert([3.0, 0.0])
    assert index.search([0.0, 4.0]) == [(expected, [3.0, 0.0])]


def test_zero_parameters_are_accepted():
    PyHNSW(0, layers=0, m=0, ef_construction=0, ef_search=0, metric="euclidean")


# --- insert and create ---------------------------------------------------------------


def test_metadata_needs_a_schema():
    index = PyHNSW(2, metric="euclidean")
    value_error("No schema provided in HNSW instance; cannot use metadata",
                index.insert, [1.0, 2.0], metadata=[("color", "blue")])
    assert index.search([1.0, 2.0]) == []
    value_error("No schema provided in HNSW instance; cannot use metadata filtering",
                index.search, [1.0, 2.0], filter=("color", "blue"))


def test_record_building_messages():
    index = PyHNSW(2, metric="euclidean", schema=["color", "size"])
    value_error("Missing metadata for attribute 'color'", index.insert, [0.0, 0.0], [("size", 1)])
    value_error("Missing metadata for attribute 'color'", index.insert, [0.0, 0.0], [])
    value_error("Unsupported metadata type for attribute 'color'",
                index.insert, [0.0, 0.0], [("color", None), ("size", 1)])
    value_error("Unsupported metadata type for attribute 'size'",
                index.insert, [0.0, 0.0], [("color", "x"), ("size", [1])])
    assert index.search([0.0, 0.0]) == []


def filtered_ids(index, vectors, query, attribute, value, k=100):
    hits = index.search(query, k=k, filter=(attribute, value))
    return sorted(vectors.index(v) for _, v in hits)


def test_record_follows_the_schema_and_the_last_pair_wins():
    vectors = [[0.0, 0.0], [1.0, 0.0], [2.0, 0.0]]
    index = PyHNSW(2, layers=1, metric="euclidean", schema=["color", "size"])
    index.insert(vectors[0], [("size", 42), ("color", "blue"), ("weight", 3)])
    index.insert(vectors[1], [("color", "red"), ("color", "blue"), ("size", 1)])
    index.insert(vectors[2], [("color", "red"), ("size", 42)])
    assert filtered_ids(index, vectors, [0.0, 0.0], "color", "blue") == [0, 1]
    assert filtered_ids(index, vectors, [0.0, 0.0], "size", 42) == [0, 2]
    assert filtered_ids(index, vectors, [2.0, 0.0], "color", "red") == [0, 2]  # 0 is the seed


@pytest.mark.parametrize(
    "stored, query_value, matches",
    [
        (True, 1, True),
        (True, 1.0, False),
        (1, True, True),
        (0.0, -0.0, True),
        (math.nan, math.nan, False),
        ("1", 1, False),
        (2**70, 2**70, True),  # both become the same float
        (2.5, 2.5, True),
    ],
)
def test_filter_value_equality(stored, query_value, matches):
    index = PyHNSW(1, layers=1, metric="euclidean", schema=["a"])
    index.insert([100.0], [("a", "seed")])
    index.insert([0.0], [("a", stored)])
    hits = index.search([0.0], k=2, filter=("a", query_value))
    assert ([0.0] in [v for _, v in hits]) is matches


def test_filter_errors_and_order_of_checks():
    index = PyHNSW(1, metric="euclidean", schema=["color"])
    value_error("Unsupported type for metadata filter", index.search, [0.0], filter=("color", None))
    assert index.search([0.0], filter=("shape", "x")) == []  # empty index: no attribute check
    index.insert([0.0], [("color", "red")])
    value_error("Search error: AttributeNotFound", index.search, [0.0], filter=("Color", "red"))
    value_error("Unsupported type for metadata filter", index.search, [0.0], filter=("shape", object()))
    empty_schema = PyHNSW(1, metric="euclidean", schema=[])
    empty_schema.insert([0.0], [])
    value_error("Search error: EmptySchema", empty_schema.search, [0.0], filter=("a", 1))


class FailingNumber:
    """A value whose integer conversion raises `error`, and whose float
    conversion does too unless `as_float` is given."""

    def __init__(self, error, as_float=None):
        self.error, self.as_float = error, as_float

    def __index__(self):
        raise self.error

    def __float__(self):
        if self.as_float is None:
            raise self.error
        return self.as_float


@pytest.mark.parametrize("error", [KeyError("k"), KeyboardInterrupt(), SystemExit(3)],
                         ids=["KeyError", "KeyboardInterrupt", "SystemExit"])
def test_exceptions_from_metadata_and_filter_values_are_discarded(error):
    index = PyHNSW(1, layers=1, metric="euclidean", schema=["a"])
    value_error("Unsupported metadata type for attribute 'a'",
                index.insert, [0.0], [("a", FailingNumber(error))])
    value_error("Unsupported metadata type for attribute 'a'",
                index.create, [[0.0]], [[("a", FailingNumber(error))]])
    assert index.search([0.0]) == []  # nothing was stored
    index.insert([0.0], [("a", FailingNumber(error, as_float=1.5))])  # stored as the float 1.5
    index.insert([1.0], [("a", 1)])
    assert index.search([0.0], k=5, filter=("a", 1.5)) == [(0.0, [0.0])]
    value_error("Unsupported type for metadata filter",
                index.search, [0.0], filter=("a", FailingNumber(error)))


def test_duplicate_schema_names_use_the_first_position():
    index = PyHNSW(1, layers=1, metric="euclidean", schema=["tag", "tag"])
    index.insert([5.0], [("tag", "seed")])
    index.insert([0.0], [("tag", "a")])
    assert [v for _, v in index.search([0.0], k=5, filter=("tag", "a"))] == [[0.0], [5.0]]


def test_vectors_without_records_never_match_a_filter():
    index = PyHNSW(1, layers=1, metric="euclidean", schema=["a"])
    index.insert([10.0], [("a", 1)])
    index.insert([0.0])
    index.insert([1.0], [("a", 1)])
    index.insert([2.0])
    hits = index.search([0.0], k=10, filter=("a", 1))
    assert sorted(v[0] for _, v in hits) == [1.0, 10.0]


def test_create_rules():
    index = PyHNSW(1, metric="euclidean", schema=["a"])
    value_error("Create error: EmptyVectors", index.create, [])
    value_error("Create error: EmptyVectors", index.create, [], metadata=[])
    value_error("Length of metadata list must match number of vectors",
                index.create, [[1.0], [2.0]], metadata=[[("a", 1)]])
    value_error("Missing metadata for attribute 'a'",
                index.create, [[1.0], [2.0]], metadata=[[("a", 1)], [("b", 1)]])
    assert index.search([1.0]) == []
    index.create([[1.0], [2.0]])  # no metadata on an index with a schema
    assert len(index.search([1.0], k=5)) == 2

    plain = PyHNSW(1, metric="euclidean")
    value_error("No schema provided in HNSW instance; cannot use metadata", plain.create, [], metadata=[])
    value_error("Length of metadata list must match number of vectors",
                plain.create, [[1.0], [2.0]], metadata=[[]])


def test_wrong_length_vectors_never_reach_the_graph():
    index = PyHNSW(2, metric="euclidean")
    value_error("Expected vector of length 2, got 3", index.insert, [1.0, 2.0, 3.0])
    value_error("Expected vector of length 2, got 1", index.create, [[1.0, 2.0], [1.0]])
    assert index.search([1.0, 2.0], k=5) == []
    index.insert([1.0, 2.0])
    assert index.search([1.0, 2.0, 99.0], k=5) == [(0.0, [1.0, 2.0])]  # queries are not checked


def test_dimension_zero_index():
    index = PyHNSW(0, metric="euclidean")
    index.insert([])
    index.create([[], []])
    assert index.search([], k=5) == [(0.0, [])] * 3


def test_core_errors():
    no_ef = PyHNSW(1, ef_construction=0, metric="euclidean")
    no_ef.insert([0.0])
    value_error("Insert error: InvalidEF", no_ef.insert, [1.0])
    value_error("Create error: InvalidEF", no_ef.create, [[2.0], [3.0]])
    assert no_ef.search([5.0], k=10) == [(5.0, [0.0])]  # later nodes are stored but unlinked

    no_layers = PyHNSW(1, layers=0, metric="euclidean")
    no_layers.insert([0.0])
    no_layers.insert([1.0])
    value_error("Search error: InvalidLayer", no_layers.search, [0.0])

    no_ef_search = PyHNSW(1, ef_search=0, metric="euclidean")
    assert no_ef_search.search([0.0]) == []
    no_ef_search.insert([0.0])
    value_error("Search error: InvalidEF", no_ef_search.search, [0.0])


def test_search_results_are_copies_in_order():
    index = PyHNSW(2, layers=1, metric="euclidean")
    index.create([[0.0, 0.0], [3.0, 4.0], [1.0, 0.0]])
    assert index.search([0.0, 0.0]) == [(0.0, [0.0, 0.0])]
    assert index.search([0.0, 0.0], k=None) == [(0.0, [0.0, 0.0])]
    assert index.search([0.0, 0.0], k=0) == []
    hits = index.search([0.0, 0.0], k=10)
    assert hits == [(0.0, [0.0, 0.0]), (1.0, [1.0, 0.0]), (5.0, [3.0, 4.0])]
    hits[0][1][0] = 99.0
    assert index.search([0.0, 0.0]) == [(0.0, [0.0, 0.0])]


def test_similarity_metrics_rank_least_similar_first():
    index = PyHNSW(1, layers=1, metric="inner_product")
    index.create([[1.0], [-5.0], [3.0]])
    assert [d for d, _ in index.search([1.0], k=3)] == [-5.0, 1.0, 3.0]


def test_huge_sizes_do_not_allocate_up_front():
    index = PyHNSW(2, layers=1, ef_construction=2**64 - 1, ef_search=2**64 - 1, metric="euclidean")
    index.create([[float(i), 0.0] for i in range(20)])
    assert len(index.search([0.0, 0.0], k=2**64 - 1)) == 20
    deep = PyHNSW(2, layers=2**64 - 1, metric="euclidean")
    deep.insert([0.0, 0.0])
    assert deep.search([1.0, 0.0], k=3) == [(1.0, [0.0, 0.0])]
    with pytest.raises(MemoryError):
        deep.insert([1.0, 0.0])


# --- search quality ---------------------------------------------------------------


def recall_at_10(index_kwargs, count=2000, dim=32, queries=50, seed=3):
    rng = random.Random(seed)
    vectors = [[rng.gauss(0, 1) for _ in range(dim)] for _ in range(count)]
    hnsw = PyHNSW(dim, metric="euclidean", **index_kwargs)
    hnsw.create(vectors)
    flat = PyFlat(dim)
    flat.create(vectors)
    found = 0
    for _ in range(queries):
        query = [rng.gauss(0, 1) for _ in range(dim)]
        exact = {i for i, _ in flat.search(query, k=10)}
        approx = hnsw.search(query, k=10)
        found += sum(1 for _, v in approx if vectors.index(v) in exact)
    return found / (10 * queries)


@pytest.mark.parametrize("index_kwargs", [{"layers": 1}, {}])
def test_recall_at_10(index_kwargs):
    assert recall_at_10(index_kwargs) >= 0.95


def test_distances_are_the_metric_of_the_returned_vectors():
    rng = random.Random(9)
    vectors = [[rng.uniform(-1, 1) for _ in range(8)] for _ in range(300)]
    index = PyHNSW(8, metric="euclidean")
    index.create(vectors)
    query = [rng.uniform(-1, 1) for _ in range(8)]
    hits = index.search(query, k=20)
    assert [d for d, _ in hits] == sorted(d for d, _ in hits)
    for distance, vector in hits:
        assert distance == euclidean(query, vector)
