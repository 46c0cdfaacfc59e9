"""The call boundary: argument parsing, conversions, borrows and failures."""
import array
import gc
import sys

import pytest

from halqen import PyFlat, PyHNSW


def raises(exc_type, message, call, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        call(*args, **kwargs)
    assert str(info.value) == message
    return info.value


# --- parsing -----------------------------------------------------------------


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: PyFlat(), "PyFlat.__new__() missing 1 required positional argument: 'dim'"),
        (
            lambda: PyFlat(3).insert([1, 2, 3], [4]),
            "PyFlat.insert() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: PyHNSW(3, 1, 2, 3, 4, None, None, 5),
            "PyHNSW.__new__() takes from 1 to 7 positional arguments but 8 were given",
        ),
        (
            lambda: PyFlat(3).search([1, 2, 3], K=3),
            "PyFlat.search() got an unexpected keyword argument 'K'",
        ),
        (
            lambda: PyFlat(3).search([1, 2, 3], query=[1, 2, 3]),
            "PyFlat.search() got multiple values for argument 'query'",
        ),
        (lambda: PyFlat(3).search(), "PyFlat.search() missing 1 required positional argument: 'query'"),
        (
            lambda: PyFlat(3).search(k=1),
            "PyFlat.search() missing 1 required positional argument: 'query'",
        ),
        (
            lambda: PyFlat(3).search([1, 2, 3], 1, 2),
            "PyFlat.search() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (
            lambda: PyFlat(1, None, dim=1),
            "PyFlat.__new__() got multiple values for argument 'dim'",
        ),
        (lambda: PyFlat(**{"dim": 1, "x": 2}), "PyFlat.__new__() got an unexpected keyword argument 'x'"),
        (
            lambda: PyHNSW(metric="euclidean"),
            "PyHNSW.__new__() missing 1 required positional argument: 'dim'",
        ),
    ],
)
def test_parser_messages(call, message):
    raises(TypeError, message, call)


def test_every_parameter_may_be_passed_by_keyword():
    index = PyFlat(dim=2, metric="cosine")
    index.insert(vector=[1.0, 0.0])
    index.create(vectors=[[0.0, 1.0]])
    assert index.search(query=[1.0, 0.0], k=2) == [(1, 0.0), (0, 1.0)]
    hnsw = PyHNSW(dim=2, layers=1, m=4, ef_construction=8, ef_search=8, metric="euclidean", schema=["a"])
    hnsw.insert(vector=[1.0, 0.0], metadata=[("a", 1)])
    hnsw.create(vectors=[[0.0, 1.0]], metadata=[[("a", 2)]])
    assert hnsw.search(query=[0.0, 1.0], k=1, filter=("a", 2)) == [(0.0, [0.0, 1.0])]


# --- conversions ---------------------------------------------------------------


def test_integer_conversion():
    raises(OverflowError, "can't convert negative int to unsigned", PyFlat, -1)
    with pytest.raises(OverflowError) as info:
        PyFlat(2**64)
    assert not str(info.value).startswith("argument")
    error = raises(TypeError, "argument 'dim': 'float' object cannot be interpreted as an integer", PyFlat, 3.0)
    assert error.__cause__ is None
    raises(TypeError, "argument 'dim': 'NoneType' object cannot be interpreted as an integer", PyFlat, None)

    class Index:
        def __index__(self):
            return 2

    index = PyFlat(Index())
    index.insert([1.0, 2.0])
    index = PyFlat(True)
    index.insert([5.0])
    assert index.search([5.0], k=Index()) == [(0, 0.0)]
    raises(TypeError, "argument 'k': 'str' object cannot be interpreted as an integer", index.search, [5.0], "1")


def test_string_conversion():
    raises(TypeError, "argument 'metric': 'int' object cannot be converted to 'PyString'", PyFlat, 3, metric=5)
    with pytest.raises(UnicodeEncodeError):
        PyFlat(3, metric="\udcff")
    with pytest.raises(UnicodeEncodeError):
        PyHNSW(3, metric="euclidean", schema=["ok", "\ud800"])


@pytest.mark.parametrize(
    "value, message",
    [
        ("abc", "argument 'vector': Can't extract `str` to `Vec`"),
        ({1.0, 2.0, 3.0}, "argument 'vector': 'set' object cannot be converted to 'Sequence'"),
        ((x for x in [1.0, 2.0, 3.0]), "argument 'vector': 'generator' object cannot be converted to 'Sequence'"),
        (None, "argument 'vector': 'NoneType' object cannot be converted to 'Sequence'"),
        ([1.0, "2", 3.0], "argument 'vector': must be real number, not str"),
    ],
)
def test_vector_conversion_failures(value, message):
    raises(TypeError, message, PyFlat(3).insert, value)


def test_nested_sequences_are_checked_at_every_level():
    index = PyFlat(3)
    raises(TypeError, "argument 'vectors': Can't extract `str` to `Vec`", index.create, ["abc"])
    raises(TypeError, "argument 'vectors': 'int' object cannot be converted to 'Sequence'", index.create, [1])
    raises(TypeError, "argument 'vectors': Can't extract `str` to `Vec`", index.create, "abc")
    index.create([[1, 2, 3]])
    with pytest.raises(TypeError):
        index.create([[1, 2, 3], [4, 5, "6"]])
    assert len(index.search([0, 0, 0], k=10)) == 1  # nothing stored by the failed call


def test_accepted_sequence_kinds_give_floats():
    index = PyFlat(3)
    for vector in ([1, 2, 3], (1, 2, 3), range(1, 4), b"\x01\x02\x03", array.array("d", [1, 2, 3]),
                   array.array("i", [1, 2, 3]), [True, 2, 3.0]):
        index.insert(vector)
    hits = index.search([1.0, 2.0, 3.0], k=10)
    assert [distance for _, distance in hits] == [0.0] * 7


def test_numpy_arrays_give_the_values_of_elementwise_conversion():
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(7)
    data = rng.standard_normal((6, 4))
    fast, slow = PyFlat(4), PyFlat(4)
    fast.create(data)
    fast.insert(data[0, ::-1])  # strided view
    fast.insert(data[1].astype(np.float32))
    slow.create(data.tolist())
    slow.insert([float(x) for x in data[0, ::-1]])
    slow.insert([float(x) for x in data[1].astype(np.float32)])
    query = rng.standard_normal(4)
    assert fast.search(query, k=8) == slow.search(query.tolist(), k=8)


def test_pair_conversion():
    index = PyHNSW(2, metric="euclidean", schema=["a"])
    raises(TypeError, "argument 'metadata': 'list' object cannot be converted to 'PyTuple'",
           index.insert, [1.0, 2.0], [["a", 1]])
    raises(ValueError, "expected tuple of length 2, but got tuple of length 3",
           index.insert, [1.0, 2.0], [("a", 1, 2)])
    raises(TypeError, "argument 'metadata': 'int' object cannot be converted to 'PyString'",
           index.insert, [1.0, 2.0], [(1, 1)])
    raises(TypeError, "argument 'filter': 'list' object cannot be converted to 'PyTuple'",
           index.search, [1.0, 2.0], 1, ["a", 1])
    raises(TypeError, "argument 'metadata': Can't extract `str` to `Vec`", index.insert, [1.0, 2.0], "ab")
    assert index.search([1.0, 2.0]) == []


# --- the caller's exceptions -----------------------------------------------------


class Boom(Exception):
    pass


class RaisingFloat:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


def test_exceptions_from_caller_code_pass_through_except_type_error():
    index = PyFlat(2)
    with pytest.raises(Boom):
        index.insert([1.0, RaisingFloat(Boom("x"))])
    with pytest.raises(KeyError):
        index.insert([1.0, RaisingFloat(KeyError("k"))])

    class SubTypeError(TypeError):
        pass

    with pytest.raises(SubTypeError) as info:
        index.insert([1.0, RaisingFloat(SubTypeError("sub"))])
    assert str(info.value) == "sub"


def test_exact_type_error_is_wrapped_keeping_its_cause():
    inner = TypeError("bad value")
    cause = ValueError("root")
    inner.__cause__ = cause
    error = raises(TypeError, "argument 'vector': bad value", PyFlat(2).insert, [1.0, RaisingFloat(inner)])
    assert error.__cause__ is cause
    assert error is not inner


def test_unprintable_type_error():
    class Unprintable:
        def __str__(self):
            raise RuntimeError("no")

    seen = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        raises(TypeError, "argument 'vector': <unprintable TypeError object>",
               PyFlat(2).insert, [RaisingFloat(TypeError(Unprintable()))])
    finally:
        sys.unraisablehook = old_hook
    assert len(seen) == 1 and isinstance(seen[0].exc_value, RuntimeError)


def test_type_name_fallback():
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise RuntimeError("no name")
            return super().__getattribute__(name)

    class Odd(metaclass=Meta):
        pass

    class Surrogate:
        pass

    Surrogate.__qualname__ = "\udcff"
    message = "argument 'vector': '<failed to extract type name>' object cannot be converted to 'Sequence'"
    raises(TypeError, message, PyFlat(1).insert, Odd())
    raises(TypeError, message, PyFlat(1).insert, Surrogate())


class LyingSequence:
    """A sequence whose length hint is wrong or fails."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


@pytest.mark.parametrize("length", [0, 1, 10**6, 2**62, Boom("len")])
def test_length_is_only_a_hint(length):
    index = PyFlat(3)
    index.insert(LyingSequence([1.0, 2.0, 3.0], length))
    assert index.search([1.0, 2.0, 3.0]) == [(0, 0.0)]


def test_iteration_failure_is_reported():
    class Failing(LyingSequence):
        def __iter__(self):
            yield 1.0
            raise Boom("next")

    with pytest.raises(Boom):
        PyFlat(2).insert(Failing([], 2))


def test_list_changed_during_conversion_behaves_like_iteration():
    class Shrinker:
        def __init__(self, target):
            self.target = target

        def __float__(self):
            del self.target[2:]
            return 2.0

    vector = [1.0, None, 3.0, 4.0]
    vector[1] = Shrinker(vector)
    reference = [1.0, None, 3.0, 4.0]
    reference[1] = Shrinker(reference)
    expected = [float(x) for x in iter(reference)]
    index = PyFlat(len(expected))
    index.insert(vector)
    assert index.search(expected) == [(0, 0.0)]


# --- borrows ----------------------------------------------------------------


class ReEnter:
    def __init__(self, action):
        self.action, self.error = action, None

    def __float__(self):
        try:
            self.action()
        except RuntimeError as exc:
            self.error = str(exc)
            raise
        return 0.0


@pytest.mark.parametrize(
    "outer, inner, message",
    [
        ("insert", "insert", "Already borrowed"),
        ("insert", "search", "Already mutably borrowed"),
        ("create", "create", "Already borrowed"),
        ("search", "insert", "Already borrowed"),
    ],
)
def test_reentrant_calls_obey_the_borrow_rules(outer, inner, message):
    index = PyFlat(1)
    index.insert([0.0])
    inner_call = {
        "insert": lambda: index.insert([1.0]),
        "search": lambda: index.search([1.0]),
        "create": lambda: index.create([[1.0]]),
    }[inner]
    probe = ReEnter(inner_call)
    outer_call = {
        "insert": lambda: index.insert([probe]),
        "search": lambda: index.search([probe]),
        "create": lambda: index.create([[probe]]),
    }[outer]
    raises(RuntimeError, message, outer_call)
    assert probe.error == message
    index.insert([2.0])  # the flag was given back on every path
    assert len(index.search([0.0], k=10)) == 2


def test_nested_search_inside_search_succeeds():
    index = PyFlat(1)
    index.insert([0.0])
    results = []

    class Nested:
        def __float__(self):
            results.append(index.search([0.0]))
            return 0.0

    assert index.search([Nested()]) == [(0, 0.0)]
    assert results == [[(0, 0.0)]]


# --- panics from caller code ---------------------------------------------------------


def panic_class():
    try:
        PyFlat(1).create([[]])
    except BaseException as exc:  # noqa: B036
        return type(exc)


def test_panic_from_caller_code_is_resumed(capfd):
    panic = panic_class()

    class Panicky:
        def __float__(self):
            raise panic("from user code")

    index = PyFlat(1)
    with pytest.raises(panic) as info:
        index.insert([Panicky()])
    assert info.value.args == ("from user code",)
    assert "PanicException" in capfd.readouterr().err
    index.insert([1.0])  # still usable, borrow released

    class Unprintable(panic):
        def __str__(self):
            raise ValueError

    class WorsePanicky:
        def __float__(self):
            raise Unprintable()

    with pytest.raises(panic) as info:
        index.search([WorsePanicky()])
    assert info.value.args == ("Unwrapped panic from Python code",)


def test_panic_from_a_metadata_or_filter_value_is_resumed(capfd):
    panic = panic_class()

    class Panicky:
        def __index__(self):
            raise panic("from a value")

        def __float__(self):
            raise panic("from a value")

    index = PyHNSW(1, metric="euclidean", schema=["a"])
    with pytest.raises(panic) as info:
        index.insert([0.0], [("a", Panicky())])
    assert info.value.args == ("from a value",)
    index.insert([0.0], [("a", 1)])
    with pytest.raises(panic) as info:
        index.search([0.0], filter=("a", Panicky()))
    assert info.value.args == ("from a value",)
    assert "PanicException" in capfd.readouterr().err
    assert index.search([0.0], filter=("a", 1)) == [(0.0, [0.0])]


# --- reference counts ---------------------------------------------------------------


def test_failing_and_succeeding_calls_keep_reference_counts():
    index = PyHNSW(2, metric="euclidean", schema=["a"])
    flat = PyFlat(2)
    vector = [1.0, 2.0]
    value = object()
    pairs = [("a", value)]
    good = [("a", 1)]
    calls = [
        lambda: index.insert(vector, pairs),
        lambda: index.insert(vector, good),
        lambda: index.search(vector, 3, ("a", value)),
        lambda: index.search(vector, 3, ("a", 1)),
        lambda: flat.insert([1.0, RaisingFloat(Boom())]),
        lambda: flat.insert(vector),
        lambda: flat.search(vector, "x"),
        lambda: flat.create([vector, "x"]),
    ]
    watched = [vector, value, pairs, good]
    for call in calls:
        for _ in range(3):
            try:
                call()
            except (ValueError, TypeError, Boom):
                pass
        gc.collect()
        before = [sys.getrefcount(obj) for obj in watched]
        for _ in range(200):
            try:
                call()
            except (ValueError, TypeError, Boom):
                pass
        gc.collect()
        assert [sys.getrefcount(obj) for obj in watched] == before


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_many_calls_do_not_grow_memory():
    index = PyHNSW(4, metric="euclidean", schema=["a"])
    index.insert([0.0] * 4, [("a", 1)])
    flat = PyFlat(4)
    flat.insert([0.0] * 4)
    calls = [
        lambda: flat.search([0.0] * 4, k=1),
        lambda: flat.search([0.0] * 3),
        lambda: flat.insert("abcd"),
        lambda: flat.create([[0.0] * 4, [RaisingFloat(Boom())] * 4]),
        lambda: index.search([0.0] * 4, k=1, filter=("a", 1)),
        lambda: index.search([0.0] * 4, filter=("b", 1)),
        lambda: index.insert([0.0] * 4, [("a", None)]),
        lambda: PyHNSW(4, metric="cosine"),
        lambda: PyFlat(4, metric=7),
    ]

    def run(times):
        for _ in range(times):
            for call in calls:
                try:
                    call()
                except (ValueError, TypeError, Boom):
                    pass

    run(2000)
    before = resident_bytes()
    run(20000)
    assert resident_bytes() - before < 2 * 1024 * 1024


def test_sub_interpreters_are_refused():
    subinterpreters = pytest.importorskip("_xxsubinterpreters")
    try:  # newer interpreters create isolated ones that refuse the module before it runs
        interpreter = subinterpreters.create(isolated=False)
    except TypeError:
        interpreter = subinterpreters.create()
    try:
        with pytest.raises(Exception, match="sub-interpreters"):
            subinterpreters.run_string(interpreter, "import halqen")
    finally:
        subinterpreters.destroy(interpreter)
