"""Coverage-guided fuzzing of PyFlat and PyHNSW.

Each input is a sequence of calls on a few indexes, with random and hostile
arguments (see hostile.py). After every call the outcome is compared with the
pure-Python models in oracle.py: the exact exception class (and the index's
own messages), the stored vectors, and search results bit for bit. PyHNSW with
layers=1 is deterministic and is compared in full; other layer counts are
checked for consistency. Any mismatch raises AssertionError, which the fuzzer
reports as a crash with the input that caused it.

    python fuzz/fuzz_indexes.py [libFuzzer flags] [corpus dirs]
    python fuzz/fuzz_indexes.py --replay FILE...     (no atheris needed)
"""
import math
import os
import struct
import sys
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

if __name__ == "__main__" and sys.argv[1:2] != ["--replay"]:
    import atheris
    import numpy  # noqa: F401 - imported first, so that it is not instrumented

    # Coverage of the models and the generators guides the search.
    with atheris.instrument_imports():
        import hostile  # noqa: F401
        import oracle  # noqa: F401

import hostile  # noqa: E402
import oracle  # noqa: E402
from hostile import Ok, failed  # noqa: E402
from oracle import MAX_U64, FlatModel, HNSWModel, Panic, Raises  # noqa: E402

MAX_CALLS = 24
OMIT = object()  # an optional argument left out of the call
MAX_INDEXES = 4
NAMES = ["color", "size", "tag"]
FLAT_METRIC_NAMES = ["cosine", "inner_product", "euclidean", "angular", "Cosine", ""]
HNSW_METRIC_NAMES = ["euclidean", "angular", "inner_product", "euclidean", "cosine", ""]
DIMS = [0, 1, 2, 2, 3, 3, 4, 5]
LAYERS = [1, 1, 1, 1, 0, 2, 3, 5, 2**40, 2**62, MAX_U64]
EF_CONSTRUCTION = [1, 2, 3, 8, 200, 200, 0, MAX_U64]
EF_SEARCH = [1, 2, 4, 50, 50, 0, MAX_U64]
KS = [0, 1, 1, 2, 3, 10, 1000, MAX_U64]


def load_halqen():
    import halqen

    return halqen


halqen = None
PanicException = None


class Draw:
    """The fuzzer's choices, read from the input bytes (zeros once they run out)."""

    def __init__(self, data):
        self.data, self.position = data, 0

    def exhausted(self):
        return self.position >= len(self.data)

    def _take(self, count):
        chunk = self.data[self.position : self.position + count]
        self.position += count
        return int.from_bytes(chunk.ljust(count, b"\0"), "little")

    def below(self, n):
        return self._take(1 if n <= 256 else 4) % n

    def flag(self, probability=0.5):
        return self._take(1) < probability * 256

    def pick(self, items):
        return items[self.below(len(items))]

    def number(self):
        if self.flag(0.2):
            return struct.unpack("<d", self._take(8).to_bytes(8, "little"))[0]
        return (self._take(1) - 128) / 4.0


class Finding(AssertionError):
    pass


class Slot:
    """One live index with its model and the borrow the model says it holds."""

    def __init__(self, index, model):
        self.index, self.model, self.borrow = index, model, 0


def outcome_text(outcome):
    return repr(outcome)


class Session:
    def __init__(self, draw):
        self.draw = draw
        self.slots = []
        self.findings = []
        self.depth = 0
        self.panic_class = PanicException
        self.last_query, self.last_k, self.last_filter = [], 1, None
        self.last_kwargs = {}

    # --- callbacks into indexes from argument conversion -------------------------

    def callback(self, draw):
        """None, or a function that makes a plain nested call on some index."""
        if self.depth > 0 or not draw.flag(0.15):
            return None
        kind = draw.below(3)
        if kind == 0 or not self.slots:
            plain = [float(draw.below(4)) for _ in range(2)]
            return lambda: self.nested(lambda: self.construct_flat_plain(2, plain))
        slot = draw.pick(self.slots)
        method = draw.pick(["insert", "search", "create"])
        dim = slot.model.dim if slot.model.dim <= 8 else 1
        plain = [float(draw.below(4)) for _ in range(dim)]
        return lambda: self.nested(lambda: self.call_plain(slot, method, plain))

    def nested(self, action):
        self.depth += 1
        try:
            action()
        except Finding as finding:
            self.findings.append(str(finding))
        finally:
            self.depth -= 1

    def construct_flat_plain(self, dim, vector):
        index = halqen.PyFlat(dim)
        index.insert(vector)
        model = FlatModel(dim, None)
        model.insert(vector)
        if len(self.slots) < MAX_INDEXES:
            self.slots.append(Slot(index, model))

    def call_plain(self, slot, method, vector):
        if method == "search":
            args = (vector,)
        elif method == "insert":
            args = (vector,)
        else:
            args = ([vector],)
        predict = {
            "insert": lambda: self.predict_insert(slot, [Ok(vector)]),
            "search": lambda: self.predict_search(slot, [Ok(vector), Ok(None), Ok(None)]),
            "create": lambda: self.predict_create(slot, [Ok([vector]), Ok(None)]),
        }[method]
        self.run_method(slot, method, args, {}, predict, verify=False)

    # --- running one call -------------------------------------------------------------

    def run_method(self, slot, method, args, kwargs, predict, verify=True, parse_error=False):
        shared = method == "search"
        conflict = slot.borrow == -1 or (not shared and slot.borrow != 0)
        before = slot.borrow
        if not parse_error and not conflict:
            slot.borrow = before + 1 if shared else -1
        try:
            result, error = self.invoke(getattr(slot.index, method), args, kwargs)
        finally:
            slot.borrow = before
        if parse_error:
            expected = Raises(TypeError)
        elif conflict:
            message = "Already mutably borrowed" if shared else "Already borrowed"
            expected = Raises(RuntimeError, message)
        else:
            expected = predict()
        where = f"{type(slot.index).__name__}.{method}"
        self.compare(where, expected, result, error, slot, args)
        if verify:
            self.verify(slot)

    @staticmethod
    def invoke(function, args, kwargs):
        try:
            return function(*args, **kwargs), None
        except BaseException as exc:  # noqa: B036 - PanicException is a BaseException
            if isinstance(exc, (KeyboardInterrupt, SystemExit)):
                raise
            return None, exc

    def compare(self, where, expected, result, error, slot, args):
        if isinstance(expected, Raises):
            if error is None:
                raise Finding(f"{where}: expected {expected}, returned {result!r}; args {args!r} {self.last_kwargs!r}")
            self.check_exception(where, expected, error, args)
            return
        if error is not None:
            raise Finding(
                f"{where}: expected {outcome_text(expected)}, raised {type(error).__name__}: "
                f"{error}; args {args!r}"
            ) from error
        if where.endswith("search"):
            self.check_search(where, expected, result, slot, args)
        elif result is not None:
            raise Finding(f"{where}: returned {result!r}, expected None")

    def check_exception(self, where, expected, error, args):
        cls = type(error)
        matches = any(
            (c is Panic and cls is self.panic_class) or (c is not Panic and cls is c)
            for c in expected.classes
        )
        if not matches:
            raise Finding(
                f"{where}: expected {expected}, raised {cls.__name__}: {error}; args {args!r}"
            ) from error
        if expected.message is not None and str(error) != expected.message:
            raise Finding(f"{where}: message {str(error)!r}, expected {expected.message!r}")

    def check_search(self, where, expected, result, slot, args):
        if not isinstance(result, list):
            raise Finding(f"{where}: result {result!r} is not a list")
        if isinstance(slot.model, FlatModel):
            same = len(result) == len(expected) and all(
                type(r) is tuple and r[0] == e[0] and oracle.same_bits(r[1], e[1])
                for r, e in zip(result, expected)
            )
        elif expected is None:
            self.check_consistent(where, result, slot, args)
            return
        else:
            same = len(result) == len(expected) and all(
                type(r) is tuple and oracle.same_bits(r[0], e[0]) and oracle.same_vector(r[1], e[1])
                for r, e in zip(result, expected)
            )
        if not same:
            raise Finding(f"{where}: got {result!r}, oracle {expected!r}; args {args!r} {self.last_kwargs!r}")

    def check_consistent(self, where, result, slot, args):
        """An approximate search: stored vectors, true distances, distance order."""
        model = slot.model
        query = self.last_query
        limit = min(self.last_k, model.ef_search, len(model.vectors))
        if len(result) > limit or (limit > 0 and self.last_filter is None and not result):
            raise Finding(f"{where}: {len(result)} results, limit {limit}")
        for position, (distance, vector) in enumerate(result):
            if not any(oracle.same_vector(vector, v) for v in model.vectors):
                raise Finding(f"{where}: returned a vector never stored: {vector!r}")
            if not oracle.same_bits(distance, model.metric(query, vector)):
                raise Finding(f"{where}: distance {distance!r} is not the metric of {vector!r}")
            if position and oracle.before(distance, result[position - 1][0]):
                raise Finding(f"{where}: results out of distance order: {result!r}")

    def verify(self, slot):
        """The index still answers, and answers as its model does."""
        model = slot.model
        if slot.borrow != 0:
            return
        query = list(model.vectors[0]) if model.vectors else [0.5] * min(model.dim, 8)
        if isinstance(model, FlatModel):
            if model.dim > 8:
                return
            k = len(model.vectors) + 1
            self.last_query, self.last_k, self.last_filter = query, k, None
            self.run_method(
                slot, "search", (query, k), {}, lambda: model.search(query, k), verify=False
            )
            return
        k = len(model.vectors) + 1
        self.last_query, self.last_k, self.last_filter = query, k, None
        if model.dim > 8:
            return
        self.run_method(
            slot, "search", (query, k), {}, lambda: model.search(query, k, None), verify=False
        )
        if model.schema and model.records and model.records[-1] is not None:
            name, value = model.schema[-1], model.records[-1][-1]
            flt = (name, value)
            python_value = value[1].decode("utf-8") if value[0] == "s" else value[1]
            self.last_filter = flt
            self.run_method(
                slot,
                "search",
                (query, k, (name, python_value)),
                {},
                lambda: model.search(query, k, flt),
                verify=False,
            )

    # --- predictions ------------------------------------------------------------------

    @staticmethod
    def first_error(outcomes):
        for outcome in outcomes:
            if failed(outcome):
                return outcome
        return None

    def predict_insert(self, slot, outcomes):
        error = self.first_error(outcomes)
        if error:
            return error
        values = [o.value for o in outcomes]
        if isinstance(slot.model, FlatModel):
            return slot.model.insert(values[0])
        return slot.model.insert(values[0], values[1] if len(values) > 1 else None)

    def predict_create(self, slot, outcomes):
        error = self.first_error(outcomes)
        if error:
            return error
        values = [o.value for o in outcomes]
        if isinstance(slot.model, FlatModel):
            return slot.model.create(values[0])
        return slot.model.create(values[0], values[1] if len(values) > 1 else None)

    def predict_search(self, slot, outcomes):
        error = self.first_error(outcomes)
        if error:
            return error
        values = [o.value for o in outcomes]
        self.last_query, self.last_k = values[0], 1 if values[1] is None else values[1]
        if isinstance(slot.model, FlatModel):
            self.last_filter = None
            return slot.model.search(values[0], values[1])
        self.last_filter = values[2]
        return slot.model.search(values[0], values[1], values[2])

    # --- generating calls -------------------------------------------------------------

    def optional(self, generate, given=0.5):
        """An optional argument: omitted, None, or (with probability `given`) generated."""
        if not self.draw.flag(given):
            return (OMIT if self.draw.flag() else None), Ok(None)
        obj, outcome = generate()
        return obj, Ok(None) if obj is None else outcome

    @staticmethod
    def split(names, arguments):
        """Positional up to the first omitted argument, keywords after it."""
        args, kwargs, skipped = [], {}, False
        for name, (obj, _) in zip(names, arguments):
            if obj is OMIT:
                skipped = True
                continue
            if skipped:
                kwargs[name] = obj
            else:
                args.append(obj)
        return tuple(args), kwargs

    def arrange(self, names, arguments):
        """Mixes positional and keyword passing; returns args, kwargs, parse_error."""
        args, kwargs = self.split(names, arguments)
        if self.draw.flag(0.3) and args:
            cut = self.draw.below(len(args))
            for name, obj in zip(names[cut:], args[cut:]):
                kwargs[name] = obj
            args = args[:cut]
        parse_error = False
        roll = self.draw.below(40)
        if roll == 0:
            args = args + (1, 2, 3, 4, 5, 6, 7, 8)
            parse_error = True
        elif roll == 1:
            kwargs["bogus"] = 1
            parse_error = True
        elif roll == 2 and args:
            kwargs[names[0]] = args[0]
            parse_error = True
        elif roll == 3:
            args, kwargs = (), {k: v for k, v in kwargs.items() if k != names[0]}
            parse_error = True
        self.last_kwargs = kwargs
        return args, kwargs, parse_error

    def construct(self):
        draw = self.draw
        if draw.flag():
            names = ["dim", "metric"]
            arguments = [
                hostile.u64_argument(draw, self, DIMS),
                self.optional(lambda: hostile.text(draw, FLAT_METRIC_NAMES)),
            ]
            cls = halqen.PyFlat
        else:
            names = ["dim", "layers", "m", "ef_construction", "ef_search", "metric", "schema"]
            arguments = [
                hostile.u64_argument(draw, self, DIMS),
                self.optional(lambda: hostile.u64_argument(draw, self, LAYERS)),
                self.optional(lambda: hostile.u64_argument(draw, self, [0, 1, 16])),
                self.optional(lambda: hostile.u64_argument(draw, self, EF_CONSTRUCTION)),
                self.optional(lambda: hostile.u64_argument(draw, self, EF_SEARCH)),
                self.optional(lambda: hostile.text(draw, HNSW_METRIC_NAMES), given=0.9),
                self.optional(lambda: hostile.schema(draw, self, NAMES)),
            ]
            cls = halqen.PyHNSW
        args, kwargs, parse_error = self.arrange(names, arguments)
        result, error = self.invoke(cls, args, kwargs)
        where = f"{cls.__name__}()"
        if parse_error:
            self.compare(where, Raises(TypeError), result, error, None, args)
            return
        expected = self.first_error([outcome for _, outcome in arguments])
        values = [getattr(outcome, "value", None) for _, outcome in arguments]
        if expected is None and cls is halqen.PyHNSW and values[5] not in oracle.HNSW_METRICS:
            expected = Raises(ValueError, "Unsupported metric")
        if expected is not None:
            self.compare(where, expected, result, error, None, args)
            return
        if error is not None:
            raise Finding(f"{where}: raised {type(error).__name__}: {error}; args {args!r} {self.last_kwargs!r}")
        if cls is halqen.PyFlat:
            model = FlatModel(values[0], values[1])
        else:
            model = HNSWModel(values[0], values[1], values[3], values[4], values[5], values[6])
        if len(self.slots) < MAX_INDEXES:
            self.slots.append(Slot(result, model))
        elif self.slots:
            self.slots[draw.below(len(self.slots))] = Slot(result, model)

    def call(self):
        draw = self.draw
        slot = draw.pick(self.slots)
        model = slot.model
        hnsw = isinstance(model, HNSWModel)
        method = draw.pick(["insert", "insert", "search", "search", "create"])
        if method == "insert":
            names = ["vector", "metadata"] if hnsw else ["vector"]
            arguments = [hostile.vector(draw, self, model.dim)]
            if hnsw:
                arguments.append(self.optional(lambda: hostile.pairs(draw, self, NAMES)))
            predict = lambda: self.predict_insert(slot, [o for _, o in arguments])  # noqa: E731
        elif method == "create":
            names = ["vectors", "metadata"] if hnsw else ["vectors"]
            arguments = [hostile.vectors(draw, self, model.dim)]
            if hnsw:
                first = arguments[0][1]
                count = len(first.value) if isinstance(first, Ok) else 1
                arguments.append(
                    self.optional(lambda: hostile.metadata_lists(draw, self, NAMES, count))
                )
            predict = lambda: self.predict_create(slot, [o for _, o in arguments])  # noqa: E731
        else:
            names = ["query", "k", "filter"] if hnsw else ["query", "k"]
            arguments = [
                hostile.vector(draw, self, model.dim),
                self.optional(lambda: hostile.u64_argument(draw, self, KS)),
            ]
            if hnsw:
                arguments.append(self.optional(lambda: hostile.pair(draw, self, NAMES)))
            predict = lambda: self.predict_search(  # noqa: E731
                slot, [o for _, o in arguments] + ([Ok(None)] if not hnsw else [])
            )
        args, kwargs, parse_error = self.arrange(names, arguments)
        self.run_method(slot, method, args, kwargs, predict, parse_error=parse_error)

    def step(self):
        if not self.slots or self.draw.below(8) == 0:
            self.construct()
        else:
            self.call()
        if self.findings:
            raise Finding("in a nested call: " + "; ".join(self.findings))


def run_one(data):
    session = Session(Draw(data))
    for _ in range(MAX_CALLS):
        session.step()
        if session.draw.exhausted():
            break


def setup():
    global halqen, PanicException
    warnings.simplefilter("ignore")
    halqen = load_halqen()
    try:
        halqen.PyFlat(1).create([[]])
    except BaseException as exc:  # noqa: B036
        PanicException = type(exc)
    sys.setrecursionlimit(10_000)


def replay(paths):
    setup()
    count = 0
    for path in paths:
        files = [os.path.join(path, f) for f in sorted(os.listdir(path))] if os.path.isdir(path) else [path]
        for name in files:
            with open(name, "rb") as handle:
                run_one(handle.read())
            count += 1
    print(f"replayed {count} input(s) without findings")


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--replay":
        replay(sys.argv[2:])
        return
    setup()
    atheris.Setup(sys.argv, run_one)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
