"""Coverage-guided fuzzing of PyFlat, PyHNSW and halqen_ext.GraphIndex.

Each input is a sequence of calls on a few indexes, with random and hostile
arguments (see hostile.py). After every call the outcome is compared with the
pure-Python models in oracle.py: the exact exception class (and the index's
own messages), the stored vectors, and search results bit for bit. PyHNSW with
layers=1 is deterministic and is compared in full; other layer counts are
checked for consistency. GraphIndex is approximate: its model (oracle.GraphModel)
knows the ids, vectors and metadata held, every result is checked for what
must hold of it, and a walk as wide as the index must give the exact answer.
Any mismatch raises AssertionError, which the fuzzer
reports as a crash with the input that caused it.

    python fuzz/fuzz_indexes.py [libFuzzer flags] [corpus dirs]
    python fuzz/fuzz_indexes.py --replay FILE...     (no atheris needed)
"""
import copy
import math
import os
import pickle
import struct
import sys
import threading
import warnings
from concurrent.futures import CancelledError

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

if __name__ == "__main__" and sys.argv[1:2] != ["--replay"]:
    import atheris
    import numpy  # noqa: F401 - imported first, so that it is not instrumented

    # Coverage of the models and the generators guides the search.
    with atheris.instrument_imports():
        import hostile  # noqa: F401
        import oracle  # noqa: F401

import numpy  # noqa: E402
import hostile  # noqa: E402
import oracle  # noqa: E402
from hostile import Ok, failed  # noqa: E402
from oracle import MAX_U64, FlatModel, GraphModel, HNSWModel, Panic, Raises  # noqa: E402

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
GRAPH_METRIC_NAMES = ["euclidean", "angular", "inner_product", "euclidean", "cosine", ""]
GRAPH_WALK_NAMES = ["sq8", "float32", "exact", "sq8", "SQ8"]
GRAPH_DIMS = [1, 1, 2, 2, 3, 3, 4, 0]
GRAPH_MS = [2, 2, 4, 16, 1, 0, 65, 2000]
GRAPH_EFS = [1, 2, 3, 8, 64, 0, MAX_U64]
GRAPH_SEEDS = [0, 1, 7, MAX_U64]
# 2**31 entries would be answered (32 GB of arrays): only the refused 2**31 + 1.
GRAPH_KS = [0, 1, 1, 2, 3, 10, 2**31 + 1, MAX_U64]
# Fresh ids, beside the ids an index holds and has held.
GRAPH_FRESH_IDS = [0, 1, 2, 3, 5, 8, 100, 2**40, 2**63 - 1]


def load_halqen():
    import halqen

    return halqen


halqen = None
halqen_ext = None
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


class Check:
    """A predicted success whose result `check(where, result)` judges."""

    def __init__(self, check):
        self.check = check

    def __repr__(self):
        return "success"


SHARED_METHODS = {"search", "get_vectors", "ids"}


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
        if isinstance(slot.model, GraphModel):
            if method == "search":
                args = (vector,)
                predict = lambda: self.predict_graph_search(  # noqa: E731
                    slot, [Ok(([vector], True)), Ok(None), Ok(None), Ok(None)]
                )
            else:
                method, args = "add", ([vector],)
                predict = lambda: self.predict_graph_add(  # noqa: E731
                    slot, [Ok(([vector], False)), Ok(None), Ok(None)]
                )
            self.run_method(slot, method, args, {}, predict, verify=False)
            return
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
        shared = method in SHARED_METHODS
        # A GraphIndex call converts its arguments before it takes its turn:
        # a call nested in that conversion runs whole first, and is never
        # refused.
        waits = isinstance(slot.model, GraphModel)
        conflict = not waits and (slot.borrow == -1 or (not shared and slot.borrow != 0))
        before = slot.borrow
        if not parse_error and not conflict and not waits:
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
        if isinstance(expected, Check) and error is None:
            expected.check(where, result)
            return
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
        if isinstance(model, GraphModel):
            self.verify_graph(slot)
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
        roll = draw.below(256)  # below 128: the PyFlat of the inputs made before GraphIndex
        if roll >= 208:
            self.construct_graph()
            return
        if roll < 128:
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
        if isinstance(model, GraphModel):
            self.call_graph(slot)
            return
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

    # --- GraphIndex ---------------------------------------------------------------

    def construct_graph(self):
        draw = self.draw
        names = ["dim", "metric", "m", "ef_construction", "ef_search", "seed", "schema", "walk"]
        arguments = [
            hostile.u64_argument(draw, self, GRAPH_DIMS),
            hostile.text(draw, GRAPH_METRIC_NAMES),
            self.optional(lambda: hostile.u64_argument(draw, self, GRAPH_MS)),
            self.optional(lambda: hostile.u64_argument(draw, self, GRAPH_EFS)),
            self.optional(lambda: hostile.u64_argument(draw, self, GRAPH_EFS)),
            self.optional(lambda: hostile.u64_argument(draw, self, GRAPH_SEEDS)),
            self.optional(lambda: hostile.schema(draw, self, NAMES)),
            self.optional(lambda: hostile.text(draw, GRAPH_WALK_NAMES)),
        ]
        args, kwargs, parse_error = self.arrange(names, arguments)
        cls = halqen_ext.GraphIndex
        result, error = self.invoke(cls, args, kwargs)
        where = "GraphIndex()"
        if parse_error:
            self.compare(where, Raises(TypeError), result, error, None, args)
            return
        expected = self.first_error([outcome for _, outcome in arguments])
        values = [getattr(outcome, "value", None) for _, outcome in arguments]
        if expected is None:
            expected = oracle.graph_construct(values[0], values[1], values[2], values[3],
                                              values[4], values[7])
        if expected is not None:
            self.compare(where, expected, result, error, None, args)
            return
        if error is not None:
            raise Finding(f"{where}: raised {type(error).__name__}: {error}; args {args!r} "
                          f"{self.last_kwargs!r}")
        model = GraphModel(values[0], values[1], values[6], values[4])
        if len(self.slots) < MAX_INDEXES:
            self.slots.append(Slot(result, model))
        else:
            self.slots[draw.below(len(self.slots))] = Slot(result, model)

    def id_pool(self, model):
        held = sorted(model.vectors)
        return held + held + sorted(model.removed)[:4] + GRAPH_FRESH_IDS

    def call_graph(self, slot):
        draw = self.draw
        model = slot.model
        method = draw.pick(["add", "add", "add", "search", "search", "remove", "get_vectors",
                            "copy"])
        if method == "copy":
            self.graph_copy(slot)
            return
        if method == "add":
            names = ["vectors", "ids", "metadata", "threads"]
            rows = hostile.graph_rows(draw, self, model.dim)
            count = len(rows[1].value[0]) if isinstance(rows[1], Ok) else 1
            arguments = [
                rows,
                self.optional(lambda: hostile.graph_ids(draw, self, self.id_pool(model), count),
                              given=0.6),
                self.optional(lambda: hostile.metadata_lists(draw, self, NAMES, count)),
                self.optional(lambda: hostile.threads_argument(draw), given=0.2),
            ]
            predict = lambda: self.predict_graph_add(slot, [o for _, o in arguments])  # noqa
        elif method == "search":
            names = ["queries", "k", "ef", "filter", "threads", "cancel"]
            arguments = [
                hostile.graph_rows(draw, self, model.dim),
                self.optional(lambda: hostile.u64_argument(draw, self, GRAPH_KS)),
                self.optional(lambda: hostile.u64_argument(draw, self, GRAPH_EFS)),
                self.optional(lambda: hostile.graph_filter(draw, self, NAMES)),
                self.optional(lambda: hostile.threads_argument(draw), given=0.2),
                self.optional(lambda: self.cancel_argument(), given=0.1),
            ]
            predict = lambda: self.predict_graph_search(slot, [o for _, o in arguments])  # noqa
        elif method == "remove":
            names = ["ids", "threads"]
            count = draw.pick([0, 1, 1, 2, 3])
            arguments = [
                hostile.graph_ids(draw, self, self.id_pool(model), count),
                self.optional(lambda: hostile.threads_argument(draw), given=0.2),
            ]
            predict = lambda: self.predict_graph_remove(slot, [o for _, o in arguments])  # noqa
        else:
            names = ["ids", "dtype"]
            count = draw.pick([0, 1, 1, 2, 3])
            arguments = [
                hostile.graph_ids(draw, self, self.id_pool(model), count),
                self.optional(lambda: self.dtype_argument(), given=0.3),
            ]
            predict = lambda: self.predict_graph_vectors(slot, [o for _, o in arguments])  # noqa
        args, kwargs, parse_error = self.arrange(names, arguments)
        self.run_method(slot, method, args, kwargs, predict, parse_error=parse_error)

    def cancel_argument(self):
        kind = self.draw.below(3)
        if kind == 0:
            return threading.Event(), Ok("unset")
        if kind == 1:
            event = threading.Event()
            event.set()
            return event, Ok("set")
        return 5, Raises(TypeError)

    def dtype_argument(self):
        return self.draw.pick([
            (numpy.float32, Ok(True)), ("float32", Ok(True)), (numpy.float64, Ok(False)),
            ("float64", Ok(False)), ("int64", Raises(ValueError)), ("nonsense", Raises(TypeError)),
        ])

    def predict_graph_add(self, slot, outcomes):
        error = self.first_error(outcomes)
        if error:
            return error
        rows = outcomes[0].value[0]
        ids = outcomes[1].value
        metadata = outcomes[2].value
        expected = slot.model.add(rows, ids, metadata)
        return expected if expected is not None else Check(self.returns_none)

    def predict_graph_remove(self, slot, outcomes):
        error = self.first_error(outcomes)
        if error:
            return error
        expected = slot.model.remove(outcomes[0].value)
        return expected if expected is not None else Check(self.returns_none)

    @staticmethod
    def returns_none(where, result):
        if result is not None:
            raise Finding(f"{where}: returned {result!r}, expected None")

    def predict_graph_vectors(self, slot, outcomes):
        error = self.first_error(outcomes)
        if error:
            return error
        ids = outcomes[0].value
        single = outcomes[1].value is True
        expected = slot.model.get_vectors(ids)
        if isinstance(expected, Raises):
            return expected
        dim = slot.model.dim

        def check(where, result):
            dtype = numpy.float32 if single else numpy.float64
            if not isinstance(result, numpy.ndarray) or result.dtype != dtype:
                raise Finding(f"{where}: {result!r} is no {dtype.__name__} array")
            if result.shape != (len(ids), dim):
                raise Finding(f"{where}: shape {result.shape}, expected {(len(ids), dim)}")
            for got, row in zip(result.tolist(), expected):
                want = [float(numpy.float32(x)) for x in row] if single else row
                if not oracle.same_vector(got, want):
                    raise Finding(f"{where}: {got!r}, stored {want!r}")

        return Check(check)

    def predict_graph_search(self, slot, outcomes):
        error = self.first_error(outcomes)
        if error:
            return error
        rows, single = outcomes[0].value
        k, ef, flt = outcomes[1].value, outcomes[2].value, outcomes[3].value
        cancel = outcomes[5].value if len(outcomes) > 5 else None
        expected = slot.model.check_search(rows, k, ef, flt)
        if expected is not None:
            return expected
        if cancel == "set":
            return Raises(CancelledError)
        k = 10 if k is None else k
        return Check(lambda where, result: self.check_graph_search(
            where, slot.model, rows, single, k, ef, flt, result))

    def check_graph_search(self, where, model, rows, single, k, ef, flt, result):
        """What must hold of an approximate search; the exact answer where the
        walk is as wide as the index."""
        if not (isinstance(result, tuple) and len(result) == 2):
            raise Finding(f"{where}: {result!r} is no (ids, distances) pair")
        ids, values = result
        shape = (k,) if single else (len(rows), k)
        for array, dtype in ((ids, numpy.int64), (values, numpy.float64)):
            if not isinstance(array, numpy.ndarray) or array.dtype != dtype or array.shape != shape:
                raise Finding(f"{where}: {array!r} is no {dtype.__name__} array of shape {shape}")
        if single:
            ids, values = ids.reshape(1, k), values.reshape(1, k)
        padding = math.inf if model.metric_name == "euclidean" else -math.inf
        held = len(model.vectors)
        # A walk never widens past the index, and one at least as wide as the
        # index meets every live node: its answer is the exact one.
        width = max(model.ef_search if ef is None else ef, k)
        for query, id_row, value_row in zip(rows, ids.tolist(), values.tolist()):
            found = [(i, d) for i, d in zip(id_row, value_row) if i != -1]
            if id_row[len(found):] != [-1] * (k - len(found)) or any(
                d != padding for d in value_row[len(found):]
            ):
                raise Finding(f"{where}: padding out of place: {id_row!r} {value_row!r}")
            if len({i for i, _ in found}) != len(found):
                raise Finding(f"{where}: an id twice in one row: {id_row!r}")
            for position, (ident, value) in enumerate(found):
                if ident not in model.vectors:
                    raise Finding(f"{where}: returned id {ident}, which is not held "
                                  f"(removed: {ident in model.removed})")
                if not oracle.same_bits(value, model.metric(query, model.vectors[ident])):
                    raise Finding(f"{where}: value {value!r} of id {ident} is not the metric "
                                  f"of {query!r} and {model.vectors[ident]!r}")
                if not model.admits(ident, flt):
                    raise Finding(f"{where}: id {ident} does not pass the filter {flt!r}")
                if position and oracle.graph_rank_key(model.metric_name, value, ident) < \
                        oracle.graph_rank_key(model.metric_name, *found[position - 1][::-1]):
                    raise Finding(f"{where}: results out of order: {found!r}")
            exact = model.exact(query, k, flt)
            if width >= held:
                same = len(found) == len(exact) and all(
                    i == j and oracle.same_bits(d, e) for (i, d), (j, e) in zip(found, exact)
                )
                if not same:
                    raise Finding(f"{where}: walk of width {width} over {held} vectors gave "
                                  f"{found!r}, exact {exact!r}; query {query!r} filter {flt!r}")
            elif flt is not None and len(found) != min(k, model.matches(flt)):
                raise Finding(f"{where}: {len(found)} filtered results of {k}, "
                              f"{model.matches(flt)} match")
            elif flt is None and k and held and not found:
                raise Finding(f"{where}: no result from {held} vectors")

    def verify_graph(self, slot):
        """len, ids(), iteration, `in` and the stored vectors match the model,
        and the exact answer comes back for a walk as wide as the index."""
        index, model = slot.index, slot.model
        where = "GraphIndex verify"
        held = sorted(model.vectors)
        if len(index) != len(held):
            raise Finding(f"{where}: len {len(index)}, model {len(held)}")
        stored = index.ids()
        if stored.dtype != numpy.int64 or sorted(stored.tolist()) != held:
            raise Finding(f"{where}: ids() {stored!r}, model {held!r}")
        if sorted(index) != held:
            raise Finding(f"{where}: iteration gives {list(index)!r}, model {held!r}")
        for ident in held[:8] + sorted(model.removed)[:4] + [-1, 2**64, "x"]:
            if (ident in index) != (ident in model.vectors):
                raise Finding(f"{where}: `{ident!r} in index` is {ident in index}")
        if model.dim > 8:
            return
        self.run_method(slot, "get_vectors", (held,), {},
                        lambda: self.predict_graph_vectors(slot, [Ok(held), Ok(None)]),
                        verify=False)
        query = model.vectors[held[0]] if held else [0.5] * model.dim
        k = len(held) + 1
        queries = Ok(([query], True))
        self.run_method(
            slot, "search", (query, k), {"ef": max(k, 1)},
            lambda: self.predict_graph_search(slot, [queries, Ok(k), Ok(max(k, 1)), Ok(None)]),
            verify=False,
        )
        if model.schema and held and model.records[held[-1]] is not None:
            name, value = model.schema[-1], model.records[held[-1]][-1]
            python_value = value[1].decode("utf-8") if value[0] == "s" else value[1]
            flt = (name, [value])
            self.run_method(
                slot, "search", (query, k), {"ef": max(k, 1), "filter": (name, python_value)},
                lambda: self.predict_graph_search(slot, [queries, Ok(k), Ok(max(k, 1)), Ok(flt)]),
                verify=False,
            )

    def graph_copy(self, slot):
        """A copy (saved and read back, pickled or copied) holds and answers the same."""
        if slot.borrow != 0:
            return
        index, model = slot.index, slot.model
        how = self.draw.below(3)
        if how == 0:
            twin = halqen_ext.deserialize_index(halqen_ext.serialize_index(index))
        elif how == 1:
            twin = pickle.loads(pickle.dumps(index))
        else:
            twin = copy.deepcopy(index)
        where = "GraphIndex copy"
        if halqen_ext.serialize_index(twin) != halqen_ext.serialize_index(index):
            raise Finding(f"{where}: the copy saves other bytes")
        held = sorted(model.vectors)
        if sorted(twin.ids().tolist()) != held:
            raise Finding(f"{where}: ids {twin.ids()!r}, model {held!r}")
        if held and model.dim <= 8:
            if twin.get_vectors(held).tobytes() != index.get_vectors(held).tobytes():
                raise Finding(f"{where}: the stored vectors differ")
            query = model.vectors[held[-1]]
            for k, ef in ((1, None), (len(held), len(held))):
                a, b = twin.search(query, k, ef=ef), index.search(query, k, ef=ef)
                if a[0].tolist() != b[0].tolist() or a[1].tobytes() != b[1].tobytes():
                    raise Finding(f"{where}: searches differ: {a!r} {b!r}")
        if self.draw.flag():
            slot.index = twin  # go on with the copy

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
    global halqen, halqen_ext, PanicException
    warnings.simplefilter("ignore")
    halqen = load_halqen()
    import halqen_ext as ext

    halqen_ext = ext
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
