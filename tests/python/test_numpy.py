"""numpy arrays and array.array as vectors: read from their buffer where the
element type allows it, with exactly the values element-wise conversion gives.

Every case converts the same data three ways and compares the stored values
bit for bit: the array itself (buffer path where it applies), a pure Python
Sequence wrapper around it (element-wise: each element goes through float()),
and, where it exists, the array's .tolist().
"""
import array
import fractions
import decimal
import math
import struct
import warnings
from collections.abc import Sequence

import pytest

from halqen import PyFlat, PyHNSW

np = pytest.importorskip("numpy")


class ElementWise(Sequence):
    """A plain Sequence over an array: halqen must convert it element by element."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


def element_wise_rows(rows):
    return ElementWise([ElementWise(row) for row in rows])


def bits(values):
    return tuple(struct.pack("<d", value) for value in values)


def outcome(action):
    """The value an action returns, or its exception, plus the warnings it raised."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = ("value", action())
        except Exception as error:  # noqa: BLE001 - the exception is the outcome
            result = ("error", type(error), str(error))
    return result, [warning.category for warning in caught]


def stored_vector(vector, dim):
    """The vector as the index stored it, read back through a one-node PyHNSW."""
    index = PyHNSW(dim, metric="euclidean")
    index.insert(vector)
    return bits(index.search([0.0] * dim)[0][1])


def stored_rows(rows, dim, count):
    """Every stored row in rank order, and PyFlat's ids and distances for one probe."""
    graph = PyHNSW(dim, layers=1, ef_construction=count, ef_search=count, metric="euclidean")
    graph.create(rows)
    found = [(struct.pack("<d", d), bits(v)) for d, v in graph.search([0.0] * dim, k=count)]
    flat = PyFlat(dim)
    flat.create(rows)
    probe = [0.25 * (i + 1) for i in range(dim)]
    ranked = [(i, struct.pack("<d", d)) for i, d in flat.search(probe, k=count)]
    return found, ranked


def assert_same_vector(array_like, dim=None):
    dim = len(array_like) if dim is None else dim
    fast = outcome(lambda: stored_vector(array_like, dim))
    assert fast == outcome(lambda: stored_vector(ElementWise(array_like), dim))
    if hasattr(array_like, "tolist"):
        assert fast == outcome(lambda: stored_vector(array_like.tolist(), dim))
    return fast


def assert_same_rows(rows):
    count, dim = rows.shape
    fast = outcome(lambda: stored_rows(rows, dim, count))
    assert fast == outcome(lambda: stored_rows(element_wise_rows(rows), dim, count))
    assert fast == outcome(lambda: stored_rows(rows.tolist(), dim, count))
    return fast


SPECIAL_FLOATS = [0.0, -0.0, 1.0, -2.5, 1 / 3, 1e-310, -1e-320, 6.1e-5, 65504.0, 1e300, math.inf,
                  -math.inf, math.nan, -math.nan, 3.4e38, 1e-45, 2 ** -24]
REAL_DTYPES = ["float64", "float32", "float16", "longdouble", "int8", "int16", "int32", "int64",
               "uint8", "uint16", "uint32", "uint64", "bool", "intc", "uintc", "longlong",
               "ulonglong", "intp", "uintp"]


def sample(dtype, count=37, seed=5):
    rng = np.random.default_rng(seed)
    dtype = np.dtype(dtype)
    if dtype.kind == "f":
        with np.errstate(over="ignore"):
            values = np.array(SPECIAL_FLOATS, dtype=np.float64).astype(dtype)
            noise = (rng.standard_normal(count) * 10.0 ** rng.integers(-8, 8, count)).astype(dtype)
        return np.concatenate([values, noise])
    if dtype.kind == "b":
        return rng.integers(0, 2, count).astype(bool)
    info = np.iinfo(dtype)
    edges = np.array([info.min, info.max, 0, 1, info.max - 1, info.min + 1], dtype=dtype)
    return np.concatenate([edges, rng.integers(info.min, info.max, count, dtype=dtype,
                                               endpoint=True)])


@pytest.mark.parametrize("dtype", REAL_DTYPES)
def test_each_real_dtype_converts_like_float_of_each_element(dtype):
    assert assert_same_vector(sample(dtype))[0][0] == "value"


def test_uint64_and_int64_beyond_2_53_are_correctly_rounded():
    big = np.array([2 ** 64 - 1, 2 ** 63 + 1, 2 ** 53 + 1, 2 ** 63 + 2 ** 11, 2 ** 63 + 2 ** 10,
                    2 ** 63 + 3 * 2 ** 10], dtype=np.uint64)
    result, _ = assert_same_vector(big)
    assert result[1] == bits([float(int(x)) for x in big])
    signed = np.array([-(2 ** 63), 2 ** 63 - 1, 2 ** 53 + 1, -(2 ** 53) - 3], dtype=np.int64)
    result, _ = assert_same_vector(signed)
    assert result[1] == bits([float(int(x)) for x in signed])


def test_float16_and_float32_nan_payloads_and_subnormals_widen_exactly():
    halves = np.array([0x7E00, 0xFE00, 0x7C01, 0xFC01, 0x7D55, 0x0001, 0x8001, 0x03FF, 0x0400,
                       0x7BFF, 0x7C00, 0xFC00, 0x8000, 0x0000, 0x3555], dtype=np.uint16)
    assert_same_vector(halves.view(np.float16))
    singles = np.array([0x7F800001, 0xFFC00001, 0x00000001, 0x80800000, 0x7F7FFFFF],
                       dtype=np.uint32)
    assert_same_vector(singles.view(np.float32))


def test_bool_is_zero_or_one():
    result, _ = assert_same_vector(np.array([True, False, True]))
    assert result[1] == bits([1.0, 0.0, 1.0])
    # Any nonzero byte is True, as numpy reads it.
    odd_bytes = np.array([0, 1, 2, 255], dtype=np.uint8).view(np.bool_)
    result, _ = assert_same_vector(odd_bytes)
    assert result[1] == bits([0.0, 1.0, 1.0, 1.0])


@pytest.mark.parametrize("dtype", ["float64", "float32", "int64", "uint16", "bool", "float16"])
def test_strided_views(dtype):
    base = sample(dtype, count=60)
    for view in (base[::2], base[::-1], base[3:40:7], base[::-3]):
        assert_same_vector(view)
    grid = sample(dtype, count=60)[:60].reshape(6, 10)
    assert_same_vector(grid[:, 3])
    assert_same_vector(np.asfortranarray(grid)[2])


def test_unaligned_and_read_only_buffers():
    raw = b"\x00" + np.arange(9, dtype=np.float64).tobytes()
    unaligned = np.frombuffer(raw, dtype=np.float64, offset=1)
    assert not unaligned.flags.aligned and not unaligned.flags.writeable
    assert_same_vector(unaligned)


def test_zero_stride_broadcast_views():
    assert_same_vector(np.broadcast_to(np.float32(1.5), (9,)))
    rows = np.broadcast_to(np.arange(4.0), (5, 4))
    assert_same_rows(rows)


@pytest.mark.parametrize("dtype", [">f8", ">f4", ">i4", ">u8", ">f2", "<f8"])
def test_byte_swapped_and_explicit_order_dtypes(dtype):
    data = sample(np.dtype(dtype).newbyteorder("="), count=20).astype(dtype)
    assert_same_vector(data)


def test_object_arrays_go_through_each_element():
    class Half:
        def __float__(self):
            return 0.5

    values = np.array([1, 2.5, fractions.Fraction(1, 3), decimal.Decimal("0.1"), Half(), True,
                       2 ** 70], dtype=object)
    result, _ = assert_same_vector(values)
    assert result[1] == bits([1.0, 2.5, 1 / 3, 0.1, 0.5, 1.0, float(2 ** 70)])


def test_object_array_with_a_bad_element_fails_like_element_wise():
    values = np.array([1.0, "two", 3.0], dtype=object)
    (kind, error_type, message), _ = assert_same_vector(values)
    assert (kind, error_type) == ("error", TypeError)
    assert message.startswith("argument 'vector': ")


@pytest.mark.parametrize("dtype", ["complex128", "complex64", "datetime64[s]", "timedelta64[s]",
                                   "U3", "S3"])
def test_other_dtypes_behave_exactly_as_element_wise(dtype):
    data = np.zeros(3, dtype=dtype)
    fast = outcome(lambda: stored_vector(data, 3))
    assert fast == outcome(lambda: stored_vector(ElementWise(data), 3))


def test_structured_dtype_behaves_as_element_wise():
    data = np.zeros(2, dtype=[("a", "f8"), ("b", "i4")])
    assert outcome(lambda: stored_vector(data, 2)) == outcome(
        lambda: stored_vector(ElementWise(data), 2))


def test_zero_length_and_zero_dimensional_arrays():
    assert_same_vector(np.zeros(0))
    assert_same_vector(np.zeros(0, dtype=np.int8))
    scalar = np.array(3.0)
    with pytest.raises(TypeError) as iterating:
        iter(scalar)
    with pytest.raises(TypeError) as inserting:
        PyFlat(1).insert(scalar)
    assert str(inserting.value) == f"argument 'vector': {iterating.value}"


@pytest.mark.parametrize("shape", [(3, 4), (3, 1), (1, 5)])
def test_two_dimensional_array_given_to_insert_fails_or_passes_like_element_wise(shape):
    grid = np.arange(np.prod(shape), dtype=np.float64).reshape(shape)
    fast = outcome(lambda: PyFlat(shape[0]).insert(grid))
    assert fast == outcome(lambda: PyFlat(shape[0]).insert(ElementWise(grid)))


@pytest.mark.parametrize("dtype", ["float64", "float32", "float16", "int64", "uint64", "bool",
                                   "int8", ">f8", "object"])
def test_two_dimensional_array_to_create(dtype):
    rng = np.random.default_rng(7)
    grid = (rng.standard_normal((12, 5)) * 1000).astype(dtype)
    assert_same_rows(grid)
    assert_same_rows(np.asfortranarray(grid))
    assert_same_rows(grid[::-2, 1:])
    assert_same_rows(grid[:, ::2])


def test_two_dimensional_empty_arrays_to_create():
    for shape in ((0, 3), (4, 0)):
        grid = np.zeros(shape)
        fast = outcome(lambda: PyFlat(shape[1]).create(grid))
        assert fast == outcome(lambda: PyFlat(shape[1]).create(element_wise_rows(grid)))
        assert fast == outcome(lambda: PyFlat(shape[1]).create(grid.tolist()))


def test_two_dimensional_rows_of_the_wrong_length_stop_like_a_list():
    grid = np.ones((3, 4))
    for vectors in (grid, grid.tolist()):
        index = PyFlat(3)
        with pytest.raises(BaseException, match="Vector length 4 does not match index dimension 3"):
            index.create(vectors)


def test_one_and_three_dimensional_arrays_to_create_fail_like_element_wise():
    for data in (np.arange(4.0), np.zeros((2, 2, 2))):
        fast = outcome(lambda: PyFlat(2).create(data))
        assert fast == outcome(lambda: PyFlat(2).create(ElementWise(data)))
        assert fast[0][0] == "error"


def test_list_of_arrays_and_hnsw_metadata_path():
    rows = [np.arange(3, dtype=np.float32) + i for i in range(4)]
    index = PyHNSW(3, metric="euclidean", schema=["i"])
    index.create(rows, metadata=[[("i", i)] for i in range(4)])
    index.create(np.stack(rows)[::-1], metadata=[[("i", i)] for i in range(4)])
    assert index.search(np.zeros(3, dtype=np.int16), k=1)[0][1] == [0.0, 1.0, 2.0]


def test_search_query_from_arrays():
    index = PyFlat(4)
    index.create(np.arange(20.0).reshape(5, 4))
    query = np.array([7, 9, 2, 1], dtype=np.int32)
    assert index.search(query, k=5) == index.search(query.tolist(), k=5)
    assert index.search(query.astype(np.float32)[::-1], k=5) == index.search([1, 2, 9, 7], k=5)


@pytest.mark.parametrize("code", list(array.typecodes))
@pytest.mark.filterwarnings("ignore:The 'u' type code is deprecated:DeprecationWarning")
def test_array_array_of_every_type_code(code):
    values = [0, 1, 65, 100] if code not in "uw" else "ab"
    if code in "fd":
        values = [0.5, -0.0, math.inf, 1e-40]
    data = array.array(code, values)
    fast = outcome(lambda: stored_vector(data, len(data)))
    assert fast == outcome(lambda: stored_vector(ElementWise(data), len(data)))
    assert fast == outcome(lambda: stored_vector(data.tolist(), len(data)))


def test_subclasses_keep_their_own_iteration():
    class Doubled(np.ndarray):
        def __iter__(self):
            return (2 * float(x) for x in np.asarray(self))

    data = np.arange(3.0).view(Doubled)
    assert stored_vector(data, 3) == bits([0.0, 2.0, 4.0])

    class Reversed(array.array):
        def __iter__(self):
            return iter(list(array.array.__iter__(self))[::-1])

    assert stored_vector(Reversed("d", [1.0, 2.0]), 2) == bits([2.0, 1.0])
    matrix = np.arange(4.0).reshape(2, 2).view(Doubled)
    index = PyFlat(2)
    with pytest.raises(TypeError):
        index.create(matrix)  # iterates to floats, which are not vectors

