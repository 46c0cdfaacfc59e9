"""Pure-Python models of both index classes, used as oracles by the fuzzer.

Each model holds what its index should hold after the calls that succeeded and
predicts the outcome of the next call from already-converted argument values:
either a value, or the exception class (and, for the index's own errors, the
message) that the call must raise.
"""
import heapq
import math
import os
import struct
import sys

# The metrics and the order of results are the tests' own plain definitions.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests",
                                "python"))
from reference import cosine, dot, euclidean, rank_key  # noqa: E402

MAX_I64 = 2**63 - 1
MIN_I64 = -(2**63)
MAX_U64 = 2**64 - 1
# Linking layers beyond this could never be stored: the second insertion
# into such an index fails with MemoryError before storing anything.
HUGE_LAYERS = (2**63 - 1) // 8


class Panic:
    """Stands for the module's PanicException in predictions."""


class Raises:
    """A predicted failure: one of `classes`, with `message` when known."""

    def __init__(self, classes, message=None):
        self.classes = classes if isinstance(classes, tuple) else (classes,)
        self.message = message

    def __repr__(self):
        return f"Raises({[c.__name__ for c in self.classes]}, {self.message!r})"


# --- metrics: sequential loops, one rounding per operation ----------------------


FLAT_METRICS = {"inner_product": dot, "cosine": cosine}
HNSW_METRICS = {"euclidean": euclidean, "angular": cosine, "inner_product": dot}


def same_bits(a, b):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return struct.pack("<d", a) == struct.pack("<d", b)


def same_vector(a, b):
    return len(a) == len(b) and all(same_bits(x, y) for x, y in zip(a, b))


def before(a, b):
    """Distance order: a comes strictly before b (NaN after every number)."""
    if math.isnan(a):
        return False
    return math.isnan(b) or a < b


def equal_distance(a, b):
    return (math.isnan(a) and math.isnan(b)) or a == b


# --- metadata ------------------------------------------------------------------


def metadata_equal(a, b):
    """Equality of two converted metadata values ("s", bytes) / ("i", int) / ("f", float)."""
    return a[0] == b[0] and a[1] == b[1]


def build_record(schema, pairs):
    """The record for converted pairs [(name, metadata-or-None)], or a Raises."""
    by_name = {}
    for name, value in pairs:
        by_name[name] = value
    record = []
    for attribute in schema:
        if attribute not in by_name:
            return Raises(ValueError, f"Missing metadata for attribute '{attribute}'")
        value = by_name[attribute]
        if isinstance(value, Raises):
            return value
        if value is None:
            return Raises(ValueError, f"Unsupported metadata type for attribute '{attribute}'")
        record.append(value)
    return record


def build_records(schema, metadata):
    """The records of a call's pair lists, or the first record's Raises."""
    records = []
    for pairs in metadata:
        record = build_record(schema, pairs)
        if isinstance(record, Raises):
            return record
        records.append(record)
    return records


# --- the exact index -------------------------------------------------------------


class FlatModel:
    def __init__(self, dim, metric):
        self.dim = dim
        self.metric = FLAT_METRICS.get(metric, euclidean)
        self.vectors = []

    def insert(self, vector):
        if len(vector) != self.dim:
            return Raises(ValueError, f"Expected vector of length {self.dim}, got {len(vector)}")
        self.vectors.append(list(vector))
        return None

    def create(self, vectors):
        if not vectors:
            return Raises(ValueError, "Create error: EmptyVectors")
        for vector in vectors:
            if len(vector) != self.dim:
                return Raises(
                    Panic, f"Vector length {len(vector)} does not match index dimension {self.dim}"
                )
            self.vectors.append(list(vector))
        return None

    def search(self, query, k):
        if len(query) != self.dim:
            return Raises(ValueError, f"Expected query of length {self.dim}, got {len(query)}")
        if not self.vectors or self.dim == 0:
            return Raises(ValueError, "Search error: EmptyIndex")
        k = 1 if k is None else k
        scored = sorted(
            ((self.metric(query, v), i) for i, v in enumerate(self.vectors)),
            key=lambda pair: rank_key(*pair),
        )
        return [(i, d) for d, i in scored[:k]]


# --- the graph index -------------------------------------------------------------


class HNSWModel:
    """Exact for layers == 1 (every level is 0); otherwise only the stored
    vectors are known and searches are checked for consistency."""

    def __init__(self, dim, layers, ef_construction, ef_search, metric, schema):
        self.dim = dim
        self.layers = 5 if layers is None else layers
        self.ef_construction = 200 if ef_construction is None else ef_construction
        self.ef_search = 50 if ef_search is None else ef_search
        self.metric = HNSW_METRICS[metric]
        self.schema = schema
        self.vectors = []
        self.records = []
        self.neighbors = []
        self.exact = self.layers == 1

    # insertion ----------------------------------------------------------------

    def _record(self, pairs):
        if pairs is None:
            return None
        if self.schema is None:
            return Raises(ValueError, "No schema provided in HNSW instance; cannot use metadata")
        return build_record(self.schema, pairs)

    def _length_error(self, vector):
        if len(vector) != self.dim:
            return Raises(ValueError, f"Expected vector of length {self.dim}, got {len(vector)}")
        return None

    def _core_insert(self, vector, record, operation):
        """Stores and links one vector; returns None or the Raises of a core error."""
        if self.vectors and 1 <= self.layers and self.layers >= HUGE_LAYERS:
            return Raises(MemoryError)
        first = not self.vectors
        node = len(self.vectors)
        self.vectors.append(list(vector))
        self.records.append(record)
        self.neighbors.append([])
        if first or self.layers == 0:
            return None
        if self.ef_construction == 0:
            return Raises(ValueError, f"{operation} error: InvalidEF")
        if self.exact:
            results = self.knn(0, vector, self.ef_construction, None)
            for _, other in results:
                self.neighbors[other].append(node)
            self.neighbors[node].extend(other for _, other in results)
        return None

    def insert(self, vector, pairs):
        record = self._record(pairs)
        if isinstance(record, Raises):
            return record
        error = self._length_error(vector)
        if error:
            return error
        return self._core_insert(vector, record, "Insert")

    def create(self, vectors, metadata):
        if metadata is None:
            if not vectors:
                return Raises(ValueError, "Create error: EmptyVectors")
            records = [None] * len(vectors)
        else:
            if len(metadata) != len(vectors):
                return Raises(ValueError, "Length of metadata list must match number of vectors")
            if self.schema is None:
                return Raises(
                    ValueError, "No schema provided in HNSW instance; cannot use metadata"
                )
            records = build_records(self.schema, metadata)
            if isinstance(records, Raises):
                return records
        for vector in vectors:
            error = self._length_error(vector)
            if error:
                return error
        if not vectors:
            return Raises(ValueError, "Create error: EmptyVectors")
        for vector, record in zip(vectors, records):
            error = self._core_insert(vector, record, "Create")
            if error:
                return error
        return None

    # search -----------------------------------------------------------------

    def _attribute(self, name):
        if self.schema is None:
            return Raises(ValueError, "Search error: NoSchema")
        if not self.schema:
            return Raises(ValueError, "Search error: EmptySchema")
        if name not in self.schema:
            return Raises(ValueError, "Search error: AttributeNotFound")
        return self.schema.index(name)

    def _admits(self, node, flt, attribute):
        if flt is None:
            return True
        record = self.records[node]
        # A vector stored without a record never matches a filter.
        return record is not None and metadata_equal(record[attribute], flt[1])

    def knn(self, seed, query, ef, flt, attribute=None):
        d = self.metric(query, self.vectors[seed])
        results = [(d, seed)]
        candidates = [(rank_key(d, seed), d, seed)]
        visited = {seed}
        while candidates:
            _, distance, node = heapq.heappop(candidates)
            if before(results[-1][0], distance):
                break
            for x in self.neighbors[node]:
                if not self._admits(x, flt, attribute) or x in visited:
                    continue
                visited.add(x)
                d = self.metric(query, self.vectors[x])
                if len(results) < ef or d < results[-1][0]:
                    heapq.heappush(candidates, (rank_key(d, x), d, x))
                    results.insert(self._position(results, d), (d, x))
                    if len(results) > ef:
                        results.pop()
        return results

    @staticmethod
    def _position(results, d):
        for j in range(len(results) - 1, -1, -1):
            if equal_distance(results[j][0], d):
                return j
        return sum(1 for r, _ in results if before(r, d))

    def search(self, query, k, flt):
        """flt: None or (name, converted value or None)."""
        if flt is not None:
            if self.schema is None:
                return Raises(
                    ValueError, "No schema provided in HNSW instance; cannot use metadata filtering"
                )
            if isinstance(flt[1], Raises):
                return flt[1]
            if flt[1] is None:
                return Raises(ValueError, "Unsupported type for metadata filter")
        if not self.vectors:
            return []
        k = 1 if k is None else k
        if self.layers == 0:
            return Raises(ValueError, "Search error: InvalidLayer")
        # The width-1 descent (layers above 0) meets a bad filter before the
        # final search meets ef_search = 0.
        if self.exact and self.ef_search == 0:
            return Raises(ValueError, "Search error: InvalidEF")
        attribute = None
        if flt is not None:
            attribute = self._attribute(flt[0])
            if isinstance(attribute, Raises):
                return attribute
        if self.ef_search == 0:
            return Raises(ValueError, "Search error: InvalidEF")
        if not self.exact:
            return None  # checked for consistency only
        results = self.knn(0, query, self.ef_search, flt, attribute)
        return [(d, list(self.vectors[node])) for d, node in results[:k]]


# --- GraphIndex (halqen_ext) ------------------------------------------------------

GRAPH_METRICS = {"euclidean": euclidean, "angular": cosine, "inner_product": dot}
GRAPH_WALKS = ("exact", "float32", "sq8")
GRAPH_MAX_DIM = 2**61 - 1
GRAPH_MAX_ID = MAX_I64
GRAPH_MOST_RESULT_ENTRIES = 2**31


def graph_rank_key(metric_name, value, ident):
    """Result order: nearest first (most similar first for the similarities),
    equal values by ascending id, NaN after every number."""
    if math.isnan(value):
        return (True, 0.0, ident)
    return (False, value if metric_name == "euclidean" else -value, ident)


def graph_construct(dim, metric, m, ef_construction, ef_search, walk):
    """None, or the Raises of GraphIndex(...) with already converted arguments."""
    m = 16 if m is None else m
    ef_construction = 200 if ef_construction is None else ef_construction
    ef_search = 64 if ef_search is None else ef_search
    if metric not in GRAPH_METRICS:
        return Raises(ValueError, f"Unsupported metric '{metric}': expected 'euclidean', "
                                  "'angular' or 'inner_product'")
    if walk is not None and walk not in GRAPH_WALKS:
        return Raises(ValueError, f"Unknown walk '{walk}': expected 'exact', 'float32' or 'sq8'")
    if dim == 0:
        return Raises(ValueError, "dim must be at least 1, got 0")
    if dim > GRAPH_MAX_DIM:
        return Raises(ValueError)
    if not 2 <= m <= 1024:
        return Raises(ValueError, f"m must be between 2 and 1024, got {m}")
    if m > 32 * dim + 32:
        return Raises(ValueError)
    if ef_construction == 0 or ef_search == 0:
        return Raises(ValueError, "ef_construction and ef_search must be at least 1")
    return None


class GraphModel:
    """What a GraphIndex holds: id -> vector and metadata record. The graph's
    walk is approximate, so searches are predicted as the exact answer, which
    the index must give when the walk is at least as wide as the index."""

    def __init__(self, dim, metric, schema, ef_search):
        self.dim = dim
        self.metric_name = metric
        self.metric = GRAPH_METRICS[metric]
        self.schema = schema
        self.ef_search = 64 if ef_search is None else ef_search
        self.vectors = {}
        self.records = {}
        self.removed = set()
        self.next_id = 0  # one past the largest id ever used

    # rows --------------------------------------------------------------------

    def _refused(self, row):
        """Whether a row (added or queried) breaks the rules: NaN or infinite
        components, or under "angular" a float64 squared norm of 0."""
        if any(math.isnan(x) or math.isinf(x) for x in row):
            return True
        return self.metric_name == "angular" and all(x * x == 0.0 for x in row)

    def _length_error(self, rows):
        for position, row in enumerate(rows):
            if len(row) != self.dim:
                return Raises(ValueError, f"Expected vector of length {self.dim}, "
                                          f"got {len(row)} (vector {position})")
        return None

    # changes -----------------------------------------------------------------

    def add(self, rows, ids, metadata):
        """rows: converted vectors; ids: None or ints; metadata: None or pair lists."""
        records = None
        if metadata is not None:
            if self.schema is None:
                return Raises(ValueError, "No schema provided in GraphIndex; cannot use metadata")
            records = build_records(self.schema, metadata)
            if isinstance(records, Raises):
                return records
        error = self._length_error(rows)
        if error:
            return error
        if not rows and ids is None and records is None:
            return None
        if ids is not None and len(ids) != len(rows):
            return Raises(ValueError)
        if records is not None and len(records) != len(rows):
            return Raises(ValueError)
        if ids is None:
            ids = list(range(self.next_id, self.next_id + len(rows)))
        if len(set(ids)) != len(ids) or any(i > GRAPH_MAX_ID for i in ids):
            return Raises(ValueError)
        if any(self._refused(row) for row in rows):
            return Raises(ValueError)
        for position, (ident, row) in enumerate(zip(ids, rows)):
            self.vectors[ident] = list(row)
            self.records[ident] = None if records is None else records[position]
            self.removed.discard(ident)
        if ids:
            self.next_id = max(self.next_id, max(ids) + 1)
        return None

    def remove(self, ids):
        for ident in ids:
            if ident not in self.vectors:
                return Raises(KeyError)
        for ident in ids:
            if ident in self.vectors:
                del self.vectors[ident]
                del self.records[ident]
                self.removed.add(ident)
        return None

    def get_vectors(self, ids):
        for ident in ids:
            if ident not in self.vectors:
                return Raises(KeyError)
        return [self.vectors[ident] for ident in ids]

    # search ------------------------------------------------------------------

    def check_search(self, rows, k, ef, flt):
        """None when the search must succeed, else its Raises. flt: None or
        (name, [converted value, None or Raises, ...])."""
        k = 10 if k is None else k
        if len(rows) * k > GRAPH_MOST_RESULT_ENTRIES:
            return Raises(ValueError)
        if k > MAX_I64:
            # No array has a dimension past 2^63 - 1, even one of no rows.
            return Raises(ValueError, f"k = {k} is past 2^63 - 1, the largest dimension an "
                                      "array can have: ask for a smaller k")
        if ef == 0:
            return Raises(ValueError, "ef must be at least 1, got 0")
        error = self._length_error(rows)
        if error:
            return error
        if any(self._refused(row) for row in rows):
            return Raises(ValueError)
        if flt is not None:
            if self.schema is None:
                return Raises(ValueError,
                              "No schema provided in GraphIndex; cannot use metadata filtering")
            for value in flt[1]:
                if isinstance(value, Raises):
                    return value
                if value is None:
                    return Raises(ValueError)
            if flt[0] not in self.schema:
                return Raises(ValueError, f"filter attribute '{flt[0]}' is not in the schema")
        return None

    def admits(self, ident, flt):
        if flt is None:
            return True
        record = self.records[ident]
        if record is None:
            return False
        value = record[self.schema.index(flt[0])]
        return any(metadata_equal(value, wanted) for wanted in flt[1])

    def exact(self, query, k, flt):
        """The exact top k [(id, value)] of the vectors the filter admits."""
        scored = [(self.metric(query, v), i) for i, v in self.vectors.items()
                  if self.admits(i, flt)]
        scored.sort(key=lambda pair: graph_rank_key(self.metric_name, *pair))
        return [(i, d) for d, i in scored[:k]]

    def matches(self, flt):
        return sum(1 for i in self.vectors if self.admits(i, flt))
