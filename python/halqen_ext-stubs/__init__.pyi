"""Type information for the halqen_ext extension module."""

import os
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, Literal, Protocol, SupportsFloat, SupportsIndex, final, overload

import numpy as np
from numpy.typing import NDArray
from typing_extensions import Buffer, TypeAlias

from halqen import PyFlat, PyHNSW

__all__ = [
    "write_index",
    "read_index",
    "serialize_index",
    "deserialize_index",
    "search_batch",
    "search_ids",
    "trimmed",
    "GraphIndex",
    "PartitionIndex",
]

# The package's version, as in pyproject.toml.
__version__: str

# Every index class, and nothing else (anything else is refused with TypeError).
_Index: TypeAlias = PyFlat | PyHNSW | GraphIndex | PartitionIndex
# A str or an os.PathLike giving a str (a bytes path is refused).
_Path: TypeAlias = str | os.PathLike[str]

def write_index(index: _Index, path: _Path) -> None:
    """Write a PyFlat, PyHNSW or GraphIndex to the file at path (replaced whole, never half-written)."""

def read_index(path: _Path, mmap: bool = False) -> _Index:
    """Read the PyFlat, PyHNSW or GraphIndex that write_index wrote to path;
    with mmap=True, map a GraphIndex's file instead (read-only)."""

def serialize_index(index: _Index) -> bytes:
    """The bytes write_index would write for a PyFlat, PyHNSW or GraphIndex."""

def deserialize_index(data: Buffer) -> _Index:
    """The index that serialize_index gave as data (any bytes-like object)."""

class _NumericArray(Protocol):
    """An array that iterates over its numbers, such as numpy.ndarray."""

    @property
    def shape(self) -> tuple[int, ...]: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Any]: ...

class _Event(Protocol):
    """What ends a search once set, such as threading.Event."""

    def is_set(self) -> bool: ...

_Number: TypeAlias = SupportsFloat | SupportsIndex
# Queries: a 2-D numpy array, or a sequence of vectors (each a sequence of
# numbers or a 1-D array), converted as search converts one query.
_Queries: TypeAlias = Sequence[Sequence[_Number] | _NumericArray] | _NumericArray
# A filter: one (name, value) attribute pair, as PyHNSW.search takes it.
_Filter: TypeAlias = tuple[str, str | SupportsFloat | SupportsIndex]
# A GraphIndex filter: one value, or a list (any sequence or 1-D array) of
# values of which any matches.
_Filters: TypeAlias = tuple[
    str,
    str
    | SupportsFloat
    | SupportsIndex
    | Sequence[str | SupportsFloat | SupportsIndex]
    | NDArray[Any],
]
# Or an expression: a dict such as {"year": {"$gte": 2020}, "lang": {"$in":
# ["en", "de"]}}, with $and, $or, $not and $id (JSON-like, so typed loosely).
_GraphFilter: TypeAlias = _Filters | Mapping[str, Any]
# Ids: a sequence of integers or a 1-D integer array.
_Ids: TypeAlias = Sequence[SupportsIndex] | NDArray[np.integer[Any]]

# [index.search(q, k) for q in queries] for a PyFlat (a filter raises
# TypeError), [index.search(q, k, filter) for q in queries] for a PyHNSW.
# A GraphIndex is refused with TypeError: GraphIndex.search takes many
# queries itself.
@overload
def search_batch(
    index: PyFlat,
    queries: _Queries,
    k: SupportsIndex | None = None,
    filter: None = None,
    threads: SupportsIndex | None = None,
    cancel: _Event | None = None,
) -> list[list[tuple[int, float]]]:
    """Search a PyFlat or PyHNSW for many queries at once, on worker threads."""

@overload
def search_batch(
    index: PyHNSW,
    queries: _Queries,
    k: SupportsIndex | None = None,
    filter: _Filter | None = None,
    threads: SupportsIndex | None = None,
    cancel: _Event | None = None,
) -> list[list[tuple[float, list[float]]]]:
    """Search a PyFlat or PyHNSW for many queries at once, on worker threads."""

# (id, distance) pairs, nearest first; ef (PyHNSW only) is the width of the
# final layer search.
@overload
def search_ids(
    index: PyFlat,
    queries: _Queries,
    k: SupportsIndex | None = None,
    filter: None = None,
    ef: None = None,
    threads: SupportsIndex | None = None,
    cancel: _Event | None = None,
) -> list[list[tuple[int, float]]]:
    """As search_batch, answering each query with (id, distance) pairs."""

@overload
def search_ids(
    index: PyHNSW,
    queries: _Queries,
    k: SupportsIndex | None = None,
    filter: _Filter | None = None,
    ef: SupportsIndex | None = None,
    threads: SupportsIndex | None = None,
    cancel: _Event | None = None,
) -> list[list[tuple[int, float]]]:
    """As search_batch, answering each query with (id, distance) pairs."""

# A metadata value: text, an integer or a float.
_Value: TypeAlias = str | SupportsFloat | SupportsIndex

# The (id, distance) pairs of a search's answer without its padding, one list
# per query (per row of 2-D arrays; one list for the 1-D arrays of one query).
def trimmed(
    ids: NDArray[np.int64] | Sequence[SupportsIndex] | Sequence[Sequence[SupportsIndex]],
    distances: NDArray[np.float64] | Sequence[SupportsFloat] | Sequence[Sequence[SupportsFloat]],
) -> list[list[tuple[int, float]]]:
    """The (id, distance) pairs of a search's answer, without the padding."""

@final
class GraphIndex:
    """An approximate nearest-neighbour index: a layered graph of bounded degree.

    Results come nearest first (most similar first for the similarities),
    with every value the metric's exact float64 value.
    """

    def __new__(
        cls,
        dim: SupportsIndex,
        metric: Literal["euclidean", "angular", "inner_product"],
        m: SupportsIndex | None = 16,
        ef_construction: SupportsIndex | None = 200,
        ef_search: SupportsIndex | None = 64,
        seed: SupportsIndex | None = 0,
        schema: Sequence[str] | None = None,
        walk: Literal["exact", "float32", "sq8"] | None = "sq8",
        storage: Literal["float32", "float64"] | None = None,
    ) -> GraphIndex: ...
    def add(
        self,
        vectors: _Queries | Sequence[_Number],
        ids: _Ids | None = None,
        metadata: Sequence[Sequence[tuple[str, _Value]]] | None = None,
        threads: SupportsIndex | None = None,
        progress: object = False,
    ) -> None:
        """Add vectors; ids default to one past the largest id used so far.

        An id already present is replaced (its old vector and metadata removed).
        Ctrl-C stops it between batches: the batches completed stay, and an id
        a row not added would have replaced keeps its old vector and metadata.
        """
    def update_metadata(
        self, ids: _Ids, metadata: Sequence[Sequence[tuple[str, _Value]]]
    ) -> None:
        """Give the vectors of ids new metadata, their vectors left as they are."""
    # (ids, distances): int64 and float64 numpy arrays of shape (n, k), or
    # (k,) for one 1-D query; rows padded with -1 and +inf or -inf.
    def search(
        self,
        queries: _Queries | Sequence[_Number],
        k: SupportsIndex | None = 10,
        ef: SupportsIndex | None = None,
        filter: _GraphFilter | None = None,
        threads: SupportsIndex | None = None,
        cancel: _Event | None = None,
        filters: Sequence[_GraphFilter] | None = None,
    ) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
        """The k nearest stored vectors of each query, as (ids, distances)."""
    # More like these: the stored vectors of ids as queries, each id left out
    # of its own answer; (k,) arrays for one id given as an integer.
    def search_by_id(
        self,
        ids: SupportsIndex | _Ids,
        k: SupportsIndex | None = 10,
        ef: SupportsIndex | None = None,
        filter: _GraphFilter | None = None,
        threads: SupportsIndex | None = None,
    ) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
        """The k nearest of each stored vector of ids, each id left out of its own answer."""
    # The two dtypes' classes are not final, hence the overlap mypy reports.
    @overload
    def get_vectors(  # type: ignore[overload-overlap]
        self, ids: _Ids, dtype: type[np.float32] | Literal["float32"]
    ) -> NDArray[np.float32]:
        """The stored vectors of ids, as an array of shape (len(ids), dim)."""
    @overload
    def get_vectors(
        self, ids: _Ids, dtype: type[np.float64] | Literal["float64"] | None = None
    ) -> NDArray[np.float64]:
        """The stored vectors of ids, as an array of shape (len(ids), dim)."""
    def ids(self) -> NDArray[np.int64]:
        """The ids of the stored vectors, in the order the index keeps them."""
    def remove(
        self,
        ids: _Ids,
        threads: SupportsIndex | None = None,
    ) -> None:
        """Remove the vectors of ids; an unknown id raises KeyError, removing none."""
    def __len__(self) -> int: ...
    def __contains__(self, id: object, /) -> bool: ...
    def __iter__(self) -> Iterator[int]:
        """The ids held when the iteration began, as ids() gives them."""
    @property
    def dim(self) -> int:
        """The length of every vector."""
    @property
    def metric(self) -> Literal["euclidean", "angular", "inner_product"]:
        """The metric: 'euclidean', 'angular' or 'inner_product'."""
    @property
    def m(self) -> int:
        """The most links a node keeps on the upper layers (2m on layer 0)."""
    @property
    def ef_construction(self) -> int:
        """The width of the walks that place added vectors."""
    @property
    def walk(self) -> Literal["exact", "float32", "sq8"]:
        """What a search's walk reads: 'exact', 'float32' or 'sq8'."""
    @property
    def storage(self) -> Literal["float32", "float64"]:
        """How the vectors are kept now: 'float32' or 'float64' (see the class's storage)."""
    @property
    def mapped(self) -> bool:
        """Whether the index uses its file where it lies (read_index(path, mmap=True))."""
    @property
    def ef_search(self) -> int:
        """Width of a search's walk unless the search names ef."""
    @ef_search.setter
    def ef_search(self, value: SupportsIndex) -> None: ...

@final
class PartitionIndex:
    """An approximate nearest-neighbour index of partitions of 4-bit codes.

    A search scans the codes of the partitions nearest the query and scores
    the best candidates exactly: every returned value is the metric's exact
    float64 value.
    """

    def __new__(
        cls,
        dim: SupportsIndex,
        metric: Literal["euclidean", "angular", "inner_product"],
        partitions: SupportsIndex | None = None,
        seed: SupportsIndex | None = 0,
        schema: None = None,
    ) -> PartitionIndex: ...
    def add(
        self,
        vectors: _Queries | Sequence[_Number],
        ids: _Ids | None = None,
        metadata: None = None,
        threads: SupportsIndex | None = None,
        progress: object = False,
    ) -> None:
        """Add vectors; ids default to one past the largest id used so far.

        An id already present is replaced. Ctrl-C while the vectors are stored
        keeps the batches stored before it; in a training or placing, every
        vector of the call, those not yet placed scored exactly by searches
        until the next add or train places them.
        """
    def train(
        self, sample: _Queries | Sequence[_Number], threads: SupportsIndex | None = None
    ) -> None:
        """Train the partitions and codes on sample, and place every vector held."""
    # (ids, distances): int64 and float64 numpy arrays of shape (n, k), or
    # (k,) for one 1-D query; rows padded with -1 and +inf or -inf.
    def search(
        self,
        queries: _Queries | Sequence[_Number],
        k: SupportsIndex | None = 10,
        ef: SupportsIndex | None = None,
        filter: None = None,
        threads: SupportsIndex | None = None,
        cancel: _Event | None = None,
        probes: SupportsIndex | None = None,
        reorder: SupportsIndex | None = None,
    ) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
        """The k nearest stored vectors of each query, as (ids, distances)."""
    @overload
    def get_vectors(  # type: ignore[overload-overlap]
        self, ids: _Ids, dtype: type[np.float32] | Literal["float32"]
    ) -> NDArray[np.float32]:
        """The stored vectors of ids, as an array of shape (len(ids), dim)."""
    @overload
    def get_vectors(
        self, ids: _Ids, dtype: type[np.float64] | Literal["float64"] | None = None
    ) -> NDArray[np.float64]:
        """The stored vectors of ids, as an array of shape (len(ids), dim)."""
    def ids(self) -> NDArray[np.int64]:
        """The ids of the stored vectors, in slot order."""
    def remove(self, ids: _Ids) -> None:
        """Remove the vectors of ids; an unknown id raises KeyError, removing none."""
    def __len__(self) -> int: ...
    def __contains__(self, id: object, /) -> bool: ...
    def __iter__(self) -> Iterator[int]:
        """The ids held when the iteration began, as ids() gives them."""
    @property
    def dim(self) -> int:
        """The length of every vector."""
    @property
    def metric(self) -> Literal["euclidean", "angular", "inner_product"]:
        """The metric: 'euclidean', 'angular' or 'inner_product'."""
    @property
    def partitions(self) -> int:
        """The partitions of the last training (0 before one)."""
