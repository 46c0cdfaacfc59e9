"""Hostile Python arguments, each paired with the outcome its conversion must have.

Every generator takes a `Draw` (the fuzzer's choices) and a `Context` (which
runs a nested call when an object calls back into an index) and returns
`(object, outcome)`: outcome is `Ok(value)` for the plain value the library
must see, or a `Raises` for the exception its conversion must raise.
"""
import array
import ctypes
import math

import numpy as np

from oracle import MAX_I64, MIN_I64, MAX_U64, Panic, Raises


# Vectors for an index of a larger dimension are drawn short (and so refused).
MAX_DRAWN_LENGTH = 64


class Ok:
    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"Ok({self.value!r})"


class UserError(Exception):
    """An exception of the caller's own."""


class UserTypeError(TypeError):
    """A TypeError subclass of the caller's own: passes through unwrapped."""


def failed(outcome):
    return isinstance(outcome, Raises)


# --- exceptions that caller code raises ------------------------------------------


def user_exception(draw, panic_class):
    """An exception instance and the class the call must raise for it."""
    kind = draw.pick(["user", "type", "subtype", "value", "overflow", "panic"])
    if kind == "user":
        return UserError("mine"), UserError
    if kind == "type":
        return TypeError("exact"), TypeError
    if kind == "subtype":
        return UserTypeError("sub"), UserTypeError
    if kind == "value":
        return ValueError("caller"), ValueError
    if kind == "overflow":
        return OverflowError("caller"), OverflowError
    return panic_class("raised by caller"), Panic


# --- numbers -----------------------------------------------------------------------

SPECIAL_FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, -2.25, 3.0, 1e308, -1e308, 5e-324, 1e-300,
                  math.inf, -math.inf, math.nan, 7.0, 2.0, -3.5, 123456.789]


class FloatSub(float):
    def __float__(self):  # never consulted: the float's own value is read
        return 99.0


class IntSub(int):
    pass


class StrSub(str):
    pass


class TupleSub(tuple):
    pass


class ListSub(list):
    pass


class Floaty:
    """__float__ returns a value, or raises, optionally after calling back."""

    def __init__(self, result, callback=None):
        self.result, self.callback = result, callback

    def __float__(self):
        if self.callback:
            self.callback()
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class Indexy:
    """__index__ only."""

    def __init__(self, result, callback=None):
        self.result, self.callback = result, callback

    def __index__(self):
        if self.callback:
            self.callback()
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


def plain_float(draw):
    if draw.flag(0.3):
        return draw.pick(SPECIAL_FLOATS)
    return draw.number()


def int_to_float(value):
    try:
        return Ok(float(value))
    except OverflowError:
        return Raises(OverflowError)


def float_element(draw, ctx):
    kind = draw.below(16)
    if kind <= 5:
        value = plain_float(draw)
        return value, Ok(value)
    if kind == 6:
        value = draw.pick([0, 1, -7, 2**53 + 1, 2**70, -(2**70), 2**1024, -(2**1100)])
        return value, int_to_float(value)
    if kind == 7:
        value = draw.flag()
        return value, Ok(float(value))
    if kind == 8:
        value = plain_float(draw)
        return FloatSub(value), Ok(value)
    if kind == 9:
        value = plain_float(draw)
        return Floaty(value, ctx.callback(draw)), Ok(value)
    if kind == 10:
        exc, cls = user_exception(draw, ctx.panic_class)
        return Floaty(exc, ctx.callback(draw)), Raises(cls)
    if kind == 11:
        return Floaty(draw.pick(["1.0", 1, None])), Raises(TypeError)
    if kind == 12:
        value = draw.pick([0, 3, -2, 2**80, 2**2000])
        return Indexy(value, ctx.callback(draw)), int_to_float(value)
    if kind == 13:
        return Indexy(draw.pick([1.5, "x"])), Raises(TypeError)
    if kind == 14:
        return draw.pick(["1.0", None, [1.0], (), b"x"]), Raises(TypeError)
    value = float(np.float32(plain_float(draw)))
    return np.float32(value), Ok(value)


# --- unsigned integers (dim, k, layers, ef ...) ----------------------------------------


def u64_value(value):
    if isinstance(value, int) and 0 <= value <= MAX_U64:
        return Ok(value)
    return Raises(OverflowError)


def u64_argument(draw, ctx, small):
    """An argument for an unsigned parameter; `small` lists the typical values."""
    kind = draw.below(12)
    if kind <= 6:
        value = draw.pick(small)
        return value, Ok(value)
    if kind == 7:
        value = draw.pick([MAX_U64, MAX_U64 + 1, -1, -(2**70), 2**100])
        return value, u64_value(value)
    if kind == 8:
        value = draw.pick(small)
        return draw.pick([IntSub(value), bool(value) if value in (0, 1) else IntSub(value)]), Ok(
            value
        )
    if kind == 9:
        value = draw.pick(small + [MAX_U64, -1])
        return Indexy(value, ctx.callback(draw)), u64_value(value)
    if kind == 10:
        exc, cls = user_exception(draw, ctx.panic_class)
        return Indexy(exc, ctx.callback(draw)), Raises(cls)
    return draw.pick([1.0, "3", b"3", [3], Indexy(2.0)]), Raises(TypeError)


# --- strings ---------------------------------------------------------------------------

SURROGATES = ["\ud800", "ab\udcff", "\udfff\ud800"]


def text(draw, names):
    kind = draw.below(10)
    if kind <= 5:
        value = draw.pick(names)
        return value, Ok(value)
    if kind == 6:
        value = draw.pick(names)
        return StrSub(value), Ok(value)
    if kind == 7:
        return draw.pick(SURROGATES), Raises(UnicodeEncodeError)
    if kind == 8:
        value = draw.pick(["", "é", "名前", "a\x00b", "COLOR"])
        return value, Ok(value)
    return draw.pick([5, None, b"color", ["color"]]), Raises(TypeError)


# --- sequences ---------------------------------------------------------------------------


class LyingSequence:
    """A sequence whose __len__ lies or fails and whose iteration may fail."""

    def __init__(self, items, length, iter_error=None, fail_after=None, callback=None):
        self.items, self.length = items, length
        self.iter_error, self.fail_after, self.callback = iter_error, fail_after, callback

    def __len__(self):
        if self.callback:
            self.callback()
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        if self.iter_error is not None and self.fail_after is None:
            raise self.iter_error
        return self._walk()

    def _walk(self):
        for position, item in enumerate(self.items):
            if position == self.fail_after:
                raise self.iter_error
            yield item
        if self.fail_after is not None and self.fail_after >= len(self.items):
            raise self.iter_error


class IndexedOnly:
    """A sequence iterated through __getitem__ until IndexError."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


class NonIteratorIter(IndexedOnly):
    def __iter__(self):
        return 5


class IterOnly:
    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)


class NamelessMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise UserError("no name")
        return super().__getattribute__(name)


class Nameless(metaclass=NamelessMeta):
    pass


def first_failure(outcomes):
    for outcome in outcomes:
        if failed(outcome):
            return outcome
    return None


def sequence_of(draw, ctx, elements):
    """Wraps already generated elements [(object, outcome)] in some sequence."""
    objects = [obj for obj, _ in elements]
    outcomes = [outcome for _, outcome in elements]
    values_or_error = first_failure(outcomes) or Ok([o.value for o in outcomes])
    kind = draw.below(14)
    if kind <= 5:
        return objects, values_or_error
    if kind == 6:
        return tuple(objects), values_or_error
    if kind == 7:
        return ListSub(objects), values_or_error
    if kind == 8:
        length = draw.pick([0, 1, 10**6, 2**62, -1, UserError("len"), "x", 2**70])
        return LyingSequence(objects, length, callback=ctx.callback(draw)), values_or_error
    if kind == 9:
        exc, cls = user_exception(draw, ctx.panic_class)
        fail_after = draw.pick([None, 0, 1, len(objects)])
        seq = LyingSequence(objects, len(objects), exc, fail_after)
        if fail_after is None:
            return seq, Raises(cls)
        return seq, first_failure(outcomes[:fail_after]) or Raises(cls)
    if kind == 10:
        return IndexedOnly(objects), values_or_error
    if kind == 11:
        return NonIteratorIter(objects), Raises(TypeError)
    if kind == 12:
        return draw.pick(["1234", "", StrSub("ab")]), Raises(TypeError)
    return draw.pick([IterOnly(objects), set(), {1: 2}, (x for x in objects), Nameless(), None, 3]), Raises(
        TypeError
    )


def numeric_vector(draw, length):
    """A whole vector of another kind: range, bytes, array, ndarray."""
    kind = draw.below(9)
    if kind == 0:
        start = draw.below(5)
        return range(start, start + length), Ok([float(x) for x in range(start, start + length)])
    if kind == 1:
        data = bytes(draw.below(256) for _ in range(length))
        return draw.pick([data, bytearray(data), memoryview(data)]), Ok([float(b) for b in data])
    values = [plain_float(draw) for _ in range(length)]
    if kind == 2:
        return array.array("d", values), Ok(values)
    if kind == 3:
        ints = [draw.below(1000) - 500 for _ in range(length)]
        return array.array("i", ints), Ok([float(x) for x in ints])
    if kind == 4:
        return np.array(values, dtype=np.float64), Ok(values)
    if kind == 5:
        interleaved = [v for value in values for v in (value, -1.0)]
        wide = np.array(interleaved, dtype=np.float64)[::2]  # a strided view
        return wide, Ok(values)
    if kind == 6:
        swapped = np.array(values, dtype=">f8")
        return swapped, Ok(values)
    if kind == 7:
        ints = [draw.below(2**40) - 2**39 for _ in range(length)]
        return np.array(ints, dtype=np.int64), Ok([float(x) for x in ints])
    return np.array(1.5), Raises(TypeError)  # 0-d: not iterable


def vector(draw, ctx, dim, hostile=True):
    """A vector argument, usually of length `dim`."""
    length = dim if dim <= MAX_DRAWN_LENGTH else draw.pick([0, 1, 3])
    roll = draw.below(20)
    if roll == 0:
        length = draw.pick([0, length + 1, max(length - 1, 0), 3])
    elif roll == 1 and draw.flag(0.2):
        length = 100_000
        return range(length), Ok([float(x) for x in range(length)])
    if roll == 2:
        return numeric_vector(draw, length)
    if not hostile or draw.flag(0.5):
        values = [plain_float(draw) for _ in range(length)]
        return values, Ok(values)
    return sequence_of(draw, ctx, [float_element(draw, ctx) for _ in range(length)])


def vectors(draw, ctx, dim):
    count = draw.pick([0, 1, 1, 2, 2, 3, 4, 6])
    if draw.flag(0.1) and dim <= MAX_DRAWN_LENGTH:
        rows = [[plain_float(draw) for _ in range(dim)] for _ in range(count)]
        matrix = np.array(rows, dtype=np.float64).reshape(count, dim)
        return matrix, Ok(rows)
    return sequence_of(draw, ctx, [vector(draw, ctx, dim) for _ in range(count)])


# --- metadata ------------------------------------------------------------------------------


def metadata_value(draw, ctx):
    """A metadata value and its conversion: ("s"|"i"|"f", value), None, or a Raises."""
    kind = draw.below(14)
    if kind <= 2:
        value = draw.pick(["blue", "red", "", "7", "é"])
        return value, ("s", value.encode())
    if kind == 3:
        value = draw.pick(["blue", "x"])
        return StrSub(value), ("s", value.encode())
    if kind == 4:
        return draw.pick(SURROGATES), None
    if kind <= 6:
        value = draw.pick([0, 1, -1, 42, MAX_I64, MIN_I64])
        return value, ("i", value)
    if kind == 7:
        value = draw.flag()
        return value, ("i", int(value))
    if kind == 8:
        value = draw.pick([MAX_I64 + 1, 2**70, -(2**70), 2**1100])
        converted = int_to_float(value)
        return value, ("f", converted.value) if not failed(converted) else None
    if kind == 9:
        value = draw.pick([0.0, -0.0, 1.0, 42.0, math.nan, math.inf, 0.5])
        return value, ("f", value)
    if kind == 10:
        value = draw.pick([1, 2**70, -5])
        callback = ctx.callback(draw)
        if MIN_I64 <= value <= MAX_I64:
            return Indexy(value, callback), ("i", value)
        return Indexy(value, callback), ("f", float(value))
    if kind == 11:
        value = draw.pick([1.0, math.nan, -0.0])
        return Floaty(value, ctx.callback(draw)), ("f", value)
    if kind == 12:
        exc, cls = user_exception(draw, ctx.panic_class)
        obj = draw.pick([Floaty, Indexy])(exc, ctx.callback(draw))
        return obj, Raises(Panic) if cls is Panic else None
    return draw.pick([None, [1], (1,), {}, b"b", Floaty("x")]), None


def pair(draw, ctx, names):
    """A (name, value) tuple; the outcome holds the converted name and value."""
    name, name_outcome = text(draw, names)
    value, meta = metadata_value(draw, ctx)
    kind = draw.below(12)
    if kind == 0:
        return [name, value], Raises(TypeError)
    if kind == 1:
        return (name, value, value), Raises(ValueError)
    if kind == 2:
        return (name,), Raises(ValueError)
    if failed(name_outcome):
        return (name, value), name_outcome
    if kind == 3:
        return TupleSub((name, value)), Ok((name_outcome.value, meta))
    return (name, value), Ok((name_outcome.value, meta))


def pairs(draw, ctx, names):
    count = draw.pick([0, 1, 1, 2, 3])
    return sequence_of(draw, ctx, [pair(draw, ctx, names) for _ in range(count)])


def metadata_lists(draw, ctx, names, count):
    if draw.flag(0.1):
        count = draw.pick([0, 1, count + 1])
    return sequence_of(draw, ctx, [pairs(draw, ctx, names) for _ in range(count)])


def schema(draw, ctx, names):
    count = draw.pick([0, 1, 1, 2, 3])
    elements = [text(draw, names) for _ in range(count)]
    if draw.flag(0.05):
        return "color", Raises(TypeError)
    return sequence_of(draw, ctx, elements)


# --- GraphIndex's arguments ----------------------------------------------------------
#
# GraphIndex reads its vectors through the same per-vector conversion as the
# other classes, but first decides whether it was given one vector or many:
# a 1-D buffer is one vector, and so is a sequence whose first item is no
# sequence; anything else is a list of vectors. The generators below keep to
# objects whose reading follows from that rule without running their code.

_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.argtypes = [ctypes.py_object]
_sequence_check.restype = ctypes.c_int


def is_sequence(obj):
    """PySequence_Check, which runs no code of the object."""
    return bool(_sequence_check(obj))


def plain_row(draw, dim):
    return [plain_float(draw) for _ in range(dim)]


def _single_vector(obj, outcome):
    """The outcome of a drawn vector given alone, or None where it is not known
    without running the object's code."""
    if isinstance(obj, (list, tuple)) and not isinstance(obj, LyingSequence):
        if not obj:
            return Ok(([], False))  # no vector at all: an empty list of them
        if is_sequence(obj[0]):
            return None  # read as a list of vectors
    elif isinstance(obj, range):
        if len(obj) == 0:
            return Ok(([], False))
    elif isinstance(obj, (bytes, bytearray, memoryview, array.array)):
        pass  # a 1-D buffer, even an empty one
    elif isinstance(obj, np.ndarray):
        if obj.ndim != 1:
            return None
    elif isinstance(obj, str):
        return Raises(TypeError)
    else:
        return None  # the sequences that run code on the way
    if failed(outcome):
        return outcome
    return Ok(([outcome.value], True))


def graph_rows(draw, ctx, dim):
    """Vectors for GraphIndex.add or queries for search: (object, outcome),
    the outcome Ok((rows, one_vector_given)) or a Raises."""
    kind = draw.below(10)
    if kind <= 2:
        obj, outcome = vector(draw, ctx, dim)
        single = _single_vector(obj, outcome)
        if single is not None:
            return obj, single
        row = plain_row(draw, min(dim, MAX_DRAWN_LENGTH))
        return row, Ok(([row], True)) if row else Ok(([], False))
    if kind == 3 and dim <= MAX_DRAWN_LENGTH:
        count = draw.pick([0, 1, 2, 3, 5, 8])
        rows = [plain_row(draw, dim) for _ in range(count)]
        form = draw.below(6)
        if form == 0:
            matrix = np.array(rows, dtype=np.float32).reshape(count, dim)
            return matrix, Ok(([[float(x) for x in r] for r in matrix], False))
        if form == 1:
            ints = np.array([[draw.below(200) - 100 for _ in range(dim)] for _ in range(count)],
                            dtype=np.int64).reshape(count, dim)
            return ints, Ok(([[float(x) for x in r] for r in ints], False))
        matrix = np.array(rows, dtype=np.float64).reshape(count, dim)
        if form == 2:
            matrix = np.asfortranarray(matrix)
        elif form == 3:
            matrix = matrix.astype(">f8")
        elif form == 4:
            wide = np.zeros((count, 2 * dim))
            wide[:, ::2] = matrix
            matrix = wide[:, ::2]  # a strided view
        return matrix, Ok((rows, False))
    count = draw.pick([1, 1, 2, 3, 4, 6])
    # Mostly plain rows: one hostile row in a call fails all of it.
    rows = [vector(draw, ctx, dim, hostile=draw.flag(0.3)) for _ in range(count)]
    first = rows[0][0]
    if not is_sequence(first):
        row = plain_row(draw, min(dim, MAX_DRAWN_LENGTH))
        rows[0] = (row, Ok(row))
    objects = [obj for obj, _ in rows]
    outcome = first_failure([o for _, o in rows]) or Ok(([o.value for _, o in rows], False))
    container = draw.pick([list, list, tuple, ListSub])
    return container(objects), outcome


def graph_ids(draw, ctx, pool, count):
    """Ids for GraphIndex: (object, Ok([int, ...]) or a Raises)."""
    if draw.flag(0.1):
        count = draw.pick([0, count + 1, max(count - 1, 0)])
    kind = draw.below(12)
    values = [draw.pick(pool) for _ in range(count)]
    if kind <= 4:
        return values, Ok(values)
    if kind == 5:
        return np.array(values, dtype=np.int64), Ok(values)
    if kind == 6:
        return np.array(values, dtype=np.uint64), Ok(values)
    if kind == 7:
        return tuple(values), Ok(values)
    if kind == 8:
        return draw.pick([5, "12", np.array(values[:1] or [1.0], dtype=np.float64)]), Raises(
            TypeError
        )
    if kind == 9 and all(v < 256 for v in values):
        return bytes(values), Ok(values)
    small = list(pool) + [MAX_U64, MAX_I64, MAX_I64 + 1]
    return sequence_of(draw, ctx, [u64_argument(draw, ctx, small) for _ in range(count)])


def graph_filter(draw, ctx, names):
    """A filter for GraphIndex.search: (object, Ok((name, [value, ...])) or a
    Raises); each value as metadata_value converts it (None: unsupported)."""
    name, name_outcome = text(draw, names)
    kind = draw.below(14)
    if kind == 0:
        value, _ = metadata_value(draw, ctx)
        return draw.pick([[name, value], (name,), (name, value, value)]), Raises(TypeError)
    if kind <= 3:
        items = [metadata_value(draw, ctx) for _ in range(draw.pick([0, 1, 2, 3]))]
        value = draw.pick([list, tuple])(obj for obj, _ in items)
        values = [meta for _, meta in items]
    else:
        value, meta = metadata_value(draw, ctx)
        if isinstance(value, (list, tuple)):  # a sequence is several values
            values = [("i", value[0])] if value else []
        else:
            values = [meta]
    pair = (name, value) if kind != 4 else TupleSub((name, value))
    if failed(name_outcome):
        return pair, name_outcome
    return pair, Ok((name_outcome.value, values))


def threads_argument(draw):
    return draw.pick([(1, Ok(1)), (2, Ok(2)), (IntSub(2), Ok(2)), (0, Raises(ValueError)),
                      (-1, Raises(ValueError)), (2**63, Raises(OverflowError)),
                      ("2", Raises(TypeError))])
