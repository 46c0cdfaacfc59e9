"""Resource limits: the largest sizes a caller can name give the right answer or
a clean MemoryError / OverflowError, never an abort.

(The widths at 2**64 - 1 on a small graph and a length hint of 2**62 on a
PyFlat vector are covered in test_hnsw.py and test_arguments.py.)
"""
import numpy as np
import pytest

from halqen import PyFlat, PyHNSW

MAX_U64 = 2**64 - 1
HUGE_HINT = 2**62
TEN_MILLION = 10**7


class Claiming:
    """A sequence whose __len__ claims far more elements than it yields."""

    def __init__(self, items, length=HUGE_HINT):
        self.items, self.length = items, length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


def panic_class():
    try:
        PyFlat(1).create([[]])
    except BaseException as exc:  # noqa: B036
        return type(exc)


# --- sizes given as integers ----------------------------------------------------------


@pytest.mark.parametrize("dim", [MAX_U64, 2**63, 2**40])
def test_huge_dimensions_construct_and_refuse_short_vectors(dim):
    flat = PyFlat(dim)
    with pytest.raises(ValueError, match=f"Expected vector of length {dim}, got 2"):
        flat.insert([1.0, 2.0])
    with pytest.raises(ValueError, match=f"Expected query of length {dim}, got 0"):
        flat.search([])
    with pytest.raises(panic_class(), match=f"Vector length 1 does not match index dimension {dim}"):
        flat.create([[1.0]])
    hnsw = PyHNSW(dim, metric="euclidean")
    with pytest.raises(ValueError, match=f"Expected vector of length {dim}, got 2"):
        hnsw.insert([1.0, 2.0])
    assert hnsw.search([1.0]) == []


@pytest.mark.parametrize("value", [2**64, 2**100, -1, -(2**64)])
def test_integers_beyond_64_bits_overflow(value):
    for call in (
        lambda: PyFlat(value),
        lambda: PyFlat(1).search([0.0], k=value),
        lambda: PyHNSW(1, layers=value, metric="euclidean"),
        lambda: PyHNSW(1, m=value, metric="euclidean"),
        lambda: PyHNSW(1, ef_construction=value, metric="euclidean"),
        lambda: PyHNSW(1, ef_search=value, metric="euclidean"),
        lambda: PyHNSW(1, metric="euclidean").search([0.0], k=value),
    ):
        with pytest.raises(OverflowError):
            call()


def test_flat_k_at_the_top_of_the_range():
    index = PyFlat(1)
    index.create([[3.0], [1.0], [2.0]])
    assert index.search([0.0], k=MAX_U64) == [(1, 1.0), (2, 2.0), (0, 3.0)]
    assert index.search([0.0], k=2**63) == [(1, 1.0), (2, 2.0), (0, 3.0)]


def test_m_at_the_top_of_the_range():
    index = PyHNSW(1, layers=1, m=MAX_U64, metric="euclidean")
    index.create([[2.0], [1.0]])
    assert index.search([0.0], k=5) == [(1.0, [1.0]), (2.0, [2.0])]


@pytest.mark.parametrize("layers", [2**20, 2**40, 2**59])
def test_many_layers_that_memory_could_hold(layers):
    index = PyHNSW(1, layers=layers, ef_construction=8, ef_search=8, metric="euclidean")
    index.create([[float(i)] for i in range(8)])
    hits = index.search([0.0], k=MAX_U64)
    assert hits[0] == (0.0, [0.0])
    assert sorted(v[0] for _, v in hits) == sorted({v[0] for _, v in hits})


@pytest.mark.parametrize("layers", [2**62, 2**63, MAX_U64])
def test_more_layers_than_memory_could_hold(layers):
    index = PyHNSW(1, layers=layers, metric="euclidean", schema=["a"])
    index.insert([0.0], [("a", 1)])  # the first node draws nothing and links nothing
    for call in (
        lambda: index.insert([1.0], [("a", 1)]),
        lambda: index.create([[1.0], [2.0]]),
        lambda: index.create([[1.0]], [[("a", 2)]]),
    ):
        # Nothing was allocated: the message says which number is too large.
        with pytest.raises(MemoryError, match=rf"^a vector of level \d+ in an index of {layers} layers is linked at "
                                              r"\d+ layers, each adding to its list: more than the "
                                              r"1152921504606846975 entries a list can hold$"):
            call()
    assert index.search([5.0], k=MAX_U64, filter=("a", 1)) == [(5.0, [0.0])]


def test_widths_at_the_top_of_the_range_with_a_filter():
    index = PyHNSW(1, layers=3, ef_construction=MAX_U64, ef_search=MAX_U64, metric="euclidean",
                   schema=["a"])
    index.create([[float(i)] for i in range(30)], [[("a", i % 2)] for i in range(30)])
    hits = index.search([0.0], k=MAX_U64, filter=("a", 1))
    assert [v[0] for _, v in hits] == [0.0] + [float(i) for i in range(1, 30, 2)]


# --- lengths that lie ---------------------------------------------------------------------


def test_huge_length_hints_at_every_level():
    flat = PyFlat(2)
    flat.create(Claiming([Claiming([1.0, 2.0]), [3.0, 4.0]]))
    assert flat.search(Claiming([3.0, 4.0]), k=2) == [(1, 0.0), (0, 8**0.5)]

    hnsw = PyHNSW(2, layers=1, metric="euclidean", schema=Claiming(["a", "b"]))
    hnsw.insert(Claiming([1.0, 2.0]), Claiming([("a", 1), ("b", 2)]))
    hnsw.create(Claiming([[3.0, 4.0]]), Claiming([Claiming([("a", 3), ("b", 4)])]))
    assert hnsw.search(Claiming([3.0, 4.0]), k=1, filter=("b", 4)) == [(0.0, [3.0, 4.0])]


@pytest.mark.parametrize("length", [2**63 - 1, HUGE_HINT, 10**12])
def test_empty_sequence_claiming_a_huge_length(length):
    with pytest.raises(ValueError, match="Create error: EmptyVectors"):
        PyFlat(1).create(Claiming([], length))
    with pytest.raises(ValueError, match="Expected vector of length 1, got 0"):
        PyFlat(1).insert(Claiming([], length))


# --- ten million components ------------------------------------------------------------------


def test_ten_million_component_vectors_in_the_exact_index():
    index = PyFlat(TEN_MILLION)
    index.insert([0.5] * TEN_MILLION)
    index.insert(np.ones(TEN_MILLION))
    hits = index.search(np.full(TEN_MILLION, 0.5), k=2)
    assert hits == [(0, 0.0), (1, (0.25 * TEN_MILLION) ** 0.5)]
    with pytest.raises(ValueError, match=f"Expected vector of length {TEN_MILLION}, got 3"):
        index.insert([1.0, 2.0, 3.0])
    with pytest.raises(ValueError, match=f"Expected vector of length 3, got {TEN_MILLION}"):
        PyFlat(3).insert(range(TEN_MILLION))


def test_ten_million_component_vectors_in_the_graph_index():
    index = PyHNSW(TEN_MILLION, layers=2, metric="inner_product")
    index.create([np.zeros(TEN_MILLION), np.ones(TEN_MILLION)])
    hits = index.search(np.ones(TEN_MILLION), k=2)
    assert [d for d, _ in hits] == [0.0, float(TEN_MILLION)]
    assert len(hits[0][1]) == TEN_MILLION and hits[0][1][:2] == [0.0, 0.0]
    with pytest.raises(ValueError, match=f"Expected vector of length {TEN_MILLION}, got 1"):
        index.insert([1.0])


# --- the buffer fast path trusts only the native types -------------------------------


def test_a_python_class_named_like_a_trusted_array_is_iterated():
    import array

    class Overriding(array.array):
        def __iter__(self):
            return iter([9.0, 9.0])

    for name in ("array.array", "numpy.ndarray"):
        impostor = type(name, (Overriding,), {})("d", [1.0, 2.0])
        index = PyFlat(2)
        index.insert(impostor)
        assert index.search([9.0, 9.0]) == [(0, 0.0)]


# --- text the messages carry whole ---------------------------------------------------------


def test_messages_keep_names_with_embedded_nul():
    index = PyHNSW(1, metric="euclidean", schema=["a\x00b"])
    with pytest.raises(ValueError) as info:
        index.insert([1.0], [])
    assert str(info.value) == "Missing metadata for attribute 'a\x00b'"
    with pytest.raises(ValueError) as info:
        index.insert([1.0], [("a\x00b", None)])
    assert str(info.value) == "Unsupported metadata type for attribute 'a\x00b'"
