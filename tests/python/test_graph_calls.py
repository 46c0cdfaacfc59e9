"""GraphIndex as a new user calls it: the rule for k, messages that name the
argument, one 1-D vector to add, repr and attributes, iteration, search by
stored id, get_vectors' dtype, trimmed answers and __version__."""
import json
import math
import pathlib
import re

import numpy as np
import pytest

import halqen
import halqen_ext
from halqen_ext import GraphIndex
from reference import euclidean

DIM = 3
PYPROJECT = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"


def filled(count, seed=0, **options):
    index = GraphIndex(DIM, "euclidean", schema=["lang", "year"], **options)
    rng = np.random.default_rng(seed)
    if count:
        index.add(rng.normal(size=(count, DIM)),
                  metadata=[[("lang", "en" if i % 2 else "de"), ("year", 2018 + i % 6)] for i in range(count)])
    return index


NEGATIVE = "expected an integer from 0 to 2^64 - 1, got -1"


@pytest.mark.parametrize("call, error, message", [
    (lambda g: g.search([0.0] * DIM, k=-1), OverflowError, f"argument 'k': {NEGATIVE}"),
    (lambda g: g.search([0.0] * DIM, ef=-1), OverflowError, f"argument 'ef': {NEGATIVE}"),
    (lambda g: g.add([[0.0] * DIM], ids=[-1]), OverflowError, f"argument 'ids': {NEGATIVE}"),
    (lambda g: g.add([[0.0] * DIM], ids=np.array([-1])), OverflowError, f"argument 'ids': {NEGATIVE}"),
    (lambda g: g.remove([3, -1]), OverflowError, f"argument 'ids': {NEGATIVE}"),
    (lambda g: g.get_vectors([-1]), OverflowError, f"argument 'ids': {NEGATIVE}"),
    (lambda g: g.search_by_id(-1), OverflowError, f"argument 'ids': {NEGATIVE}"),
    (lambda g: g.search_by_id([1.5]), TypeError, "argument 'ids': 'float' object cannot be interpreted"),
    (lambda g: g.search([0.0] * DIM, filter=[("lang", "en"), ("year", 2021)]), TypeError,
     "argument 'filter': a filter is one (name, value) pair, (name, [value, ...]) on one attribute, "
     "or a dict such as {\"year\": {\"$gte\": 2020}}, got a list of 2 items (a filter per query goes in "
     "filters=[...]; several tests in one filter go in a dict, joined by and)"),
    (lambda g: g.search([0.0] * DIM, filter=("lang", "en", "de")), TypeError,
     "argument 'filter': a filter is one (name, value) pair, (name, [value, ...]) on one attribute, "
     "or a dict such as {\"year\": {\"$gte\": 2020}}, got a tuple of length 3"),
    (lambda g: g.search([0.0] * DIM, filter=("year", {2020, 2021})), ValueError,
     "Unsupported type for metadata filter: the value of 'year' is a 'set'; a value is a str, an int or "
     "a float, and several values go in a list: ('year', [value, ...])"),
    (lambda g: g.search([0.0] * DIM, filter=("year", [2020, None])), ValueError,
     "the value of 'year' is a 'NoneType'"),
    (lambda g: g.get_vectors([0], dtype=np.int8), ValueError,
     "argument 'dtype': expected numpy.float64 or numpy.float32, got numpy.int8"),
    (lambda g: g.search([0.0] * DIM, k=2**31 + 1), ValueError,
     "k = 2147483649 for 1 query asks for 34359738384 bytes of ids and distances, past the 2^31 "
     "(queries times k) entries a search returns: ask for a smaller k or search fewer queries at once"),
    (lambda g: g.search(np.zeros((3, DIM)), k=2**30), ValueError, "k = 1073741824 for 3 queries asks for"),
    (lambda g: g.search_by_id([0, 1, 2], k=2**30), ValueError, "k = 1073741824 for 3 queries"),
    (lambda g: g.search([0.0] * DIM, k=2**64 - 1), ValueError, "more than 2^64 bytes"),
    (lambda g: halqen_ext.trimmed(np.zeros((2, 3)), np.zeros((3, 2))), ValueError,
     r"ids of shape (2, 3) and distances of shape (3, 2) are no answer of one search"),
])
def test_a_refused_call_names_its_argument_and_the_way_out(call, error, message):
    index = filled(10)
    with pytest.raises(error, match=re.escape(message)):
        call(index)
    assert len(index) == 10


@pytest.mark.parametrize("count", [0, 5])
def test_k_pads_past_the_count_and_zero_is_empty(count):
    index = filled(count)
    queries = np.random.default_rng(1).normal(size=(4, DIM))
    full_ids, full_values = index.search(queries, k=count, ef=100)
    for k in [0, count, count + 1, 3000]:
        ids, values = index.search(queries, k=k)
        one_ids, one_values = index.search(queries[0], k=k)
        assert ids.shape == values.shape == (4, k) and one_ids.shape == one_values.shape == (k,)
        shown = min(k, count)
        assert (ids[:, :shown] == full_ids[:, :shown]).all() and (values[:, :shown] == full_values[:, :shown]).all()
        assert (ids[:, shown:] == -1).all() and (values[:, shown:] == math.inf).all()
        assert (one_ids == ids[0]).all()
    assert index.search(np.zeros((0, DIM)), k=2**40)[0].shape == (0, 2**40)


def test_one_1d_vector_is_added_as_one_row_and_read_back_in_either_dtype():
    index = GraphIndex(DIM, "euclidean")
    index.add(np.array([1.0, 2.0, 3.25], dtype=np.float32), ids=np.array([7]))
    index.add([4.0, 5.0, 6.0])
    assert index.get_vectors(np.array([7, 8])).tolist() == [[1.0, 2.0, 3.25], [4.0, 5.0, 6.0]]
    narrow = index.get_vectors([8], dtype=np.float32)
    assert narrow.dtype == np.float32 and narrow.tolist() == [[4.0, 5.0, 6.0]]
    assert index.get_vectors([7], dtype="float64").dtype == np.float64


def test_a_filter_takes_any_sequence_of_values():
    index = filled(60)
    query = np.zeros(DIM)
    expected = index.search(query, k=60, filter=("year", [2020, 2021, 2022]))
    for values in [range(2020, 2023), (2020, 2021, 2022), np.array([2020, 2021, 2022])]:
        got = index.search(query, k=60, filter=("year", values))
        assert (got[0] == expected[0]).all() and (got[1] == expected[1]).all()


def test_repr_attributes_iteration_and_versions():
    index = filled(20, m=8, ef_construction=50, walk="float32")
    assert repr(index) == "GraphIndex(dim=3, metric='euclidean', count=20, walk='float32')"
    assert (index.dim, index.metric, index.m, index.ef_construction) == (3, "euclidean", 8, 50)
    assert GraphIndex(2, "angular").metric == "angular"
    for name in ["dim", "metric", "m", "ef_construction", "walk"]:
        with pytest.raises(AttributeError):
            setattr(index, name, 4)
    index.remove([3])
    assert list(index) == index.ids().tolist() and all(type(i) is int for i in index)
    assert sorted(index) == [i for i in range(20) if i != 3]
    version = re.search(r'^version = "([^"]+)"', PYPROJECT.read_text(), re.MULTILINE).group(1)
    assert halqen_ext.__version__ == version
    assert not hasattr(halqen, "__version__")  # halqen's namespace is fixed


@pytest.mark.parametrize("filter", [None, ("lang", "en")])
def test_search_by_id_is_the_nearest_stored_vectors_but_the_id_itself(filter):
    rng = np.random.default_rng(3)
    data = rng.normal(size=(300, DIM))
    data[299] = data[10]  # the same vector under another id stays in the answer of 10
    index = GraphIndex(DIM, "euclidean", schema=["lang"], walk="exact")
    langs = ["en" if i % 3 else "de" for i in range(300)]
    index.add(data, ids=np.arange(1000, 1300), metadata=[[("lang", lang)] for lang in langs])
    asked = [1000, 1010, 1299, 1042]
    ids, values = index.search_by_id(asked, k=5, ef=300, filter=filter)
    for row, own in enumerate(asked):
        candidates = [i for i in range(300) if i != own - 1000 and (filter is None or langs[i] == "en")]
        order = sorted(candidates, key=lambda i: (euclidean(data[own - 1000], data[i]), i))[:5]
        assert ids[row].tolist() == [1000 + i for i in order]
        assert values[row].tolist() == [euclidean(data[own - 1000], data[i]) for i in order]
    assert 1299 in ids[1].tolist() and 1010 in ids[2].tolist()
    one_ids, one_values = index.search_by_id(1010, k=5, ef=300, filter=filter)
    assert one_ids.tolist() == ids[1].tolist() and one_values.tolist() == values[1].tolist()
    with pytest.raises(KeyError, match="7"):
        index.search_by_id([1000, 7])


def test_search_by_id_pads_when_the_index_holds_too_few():
    index = filled(3)
    ids, values = index.search_by_id([0, 1, 2], k=4)
    assert [sorted(row[:2]) for row in ids.tolist()] == [[1, 2], [0, 2], [0, 1]]
    assert (ids[:, 2:] == -1).all() and (values[:, 2:] == math.inf).all()
    assert index.search_by_id(np.array([], dtype=np.int64))[0].shape == (0, 10)


def test_trimmed_drops_the_padding_for_strict_json():
    index = GraphIndex(2, "angular")
    index.add([[1.0, 0.0], [0.0, 1.0]], ids=[4, 9])
    ids, similarities = index.search([[1.0, 0.0], [1.0, 1.0]], k=3)
    rows = halqen_ext.trimmed(ids, similarities)
    assert rows == [[(4, 1.0), (9, 0.0)], [(4, similarities[1, 0]), (9, similarities[1, 1])]]
    assert all(type(i) is int and type(d) is float for row in rows for i, d in row)
    json.dumps(rows, allow_nan=False)
    assert halqen_ext.trimmed(*index.search([0.0, 1.0], k=3)) == [[(9, 1.0), (4, 0.0)]]
    assert halqen_ext.trimmed(*index.search(np.zeros((2, 2)) + 1, k=0)) == [[], []]
