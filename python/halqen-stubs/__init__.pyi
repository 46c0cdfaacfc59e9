"""Type information for the halqen extension module."""

from collections.abc import Iterator, Sequence
from typing import (
    Any,
    Literal,
    Protocol,
    SupportsFloat,
    SupportsIndex,
    TypeVar,
    final,
    overload,
)

from typing_extensions import Never, TypeAlias

__all__ = ["PyFlat", "PyHNSW"]

# The package's version, as in pyproject.toml.

# A vector component: anything float() accepts (float, int, bool, numpy
# scalars, Fraction, Decimal, objects with __float__ or __index__).
_Number: TypeAlias = SupportsFloat | SupportsIndex

class _NumericArray(Protocol):
    """An array that iterates over its numbers, such as numpy.ndarray.

    A 2-D array is accepted where a list of vectors is expected.
    """

    @property
    def shape(self) -> tuple[int, ...]: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Any]: ...

# A vector: list, tuple, range, bytes, array.array, numpy array, or any other
# sequence of numbers. A str, set, dict or generator is refused at run time.
_Vector: TypeAlias = Sequence[_Number] | _NumericArray
_Vectors: TypeAlias = Sequence[_Vector] | _NumericArray

# A metadata value: str, an integer that fits in 64 signed bits (bool
# included), or anything float() accepts.
_MetadataValue: TypeAlias = str | SupportsFloat | SupportsIndex
# One (name, value) attribute pair; names outside the schema are ignored.
_MetadataPair: TypeAlias = tuple[str, _MetadataValue]
# The metadata of one vector: one pair per schema name (the last pair for a
# name wins).
_Metadata: TypeAlias = Sequence[_MetadataPair]

# The metric names PyHNSW accepts; anything else raises "Unsupported metric".
_HNSWMetric: TypeAlias = Literal["euclidean", "angular", "inner_product"]

_T_co = TypeVar("_T_co", covariant=True)

class _SequenceNotStr(Protocol[_T_co]):
    """A sequence that is not a str, which the module refuses where it wants
    a list of names although a str is a sequence of str. str fails this
    protocol by its __contains__, which takes only str."""

    def __getitem__(self, index: int, /) -> _T_co: ...
    def __contains__(self, value: object, /) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[_T_co]: ...

# Schema names: a list, tuple or other sequence of str, never a str itself.
_Names: TypeAlias = _SequenceNotStr[str]

@final
class PyFlat:
    """Our Python-facing Flat index."""

    def __new__(cls, dim: SupportsIndex, metric: str | None = None) -> "PyFlat": ...
    def insert(self, vector: _Vector) -> None:
        """Insert a vector into the index.

        The vector is expected as a list of floats whose length equals the index dimension.
        """

    def search(self, query: _Vector, k: SupportsIndex | None = None) -> list[tuple[int, float]]:
        """Search for the k nearest neighbors.

        Returns a list of tuples `(id, distance)`.
        """

    def create(self, vectors: _Vectors) -> None:
        """Create an index from a list of vectors."""

@final
class PyHNSW:
    # `metric` must be one of the three names: the module gives it the
    # default None, which like any other value raises "Unsupported metric".
    # So it is required here, by keyword (first form) or after every tuning
    # parameter by position (second form).
    @overload
    def __new__(
        cls,
        dim: SupportsIndex,
        layers: SupportsIndex | None = None,
        m: SupportsIndex | None = None,
        ef_construction: SupportsIndex | None = None,
        ef_search: SupportsIndex | None = None,
        *,
        metric: _HNSWMetric,
        schema: _Names | None = None,
    ) -> "PyHNSW": ...
    @overload
    def __new__(
        cls,
        dim: SupportsIndex,
        layers: SupportsIndex | None,
        m: SupportsIndex | None,
        ef_construction: SupportsIndex | None,
        ef_search: SupportsIndex | None,
        metric: _HNSWMetric,
        schema: _Names | None = None,
    ) -> "PyHNSW": ...
    # No call matches this form (nothing is a Never); it states the module's
    # real signature, metric=None included, for stubtest to compare.
    @overload
    def __new__(
        cls,
        dim: Never,
        layers: SupportsIndex | None = None,
        m: SupportsIndex | None = None,
        ef_construction: SupportsIndex | None = None,
        ef_search: SupportsIndex | None = None,
        metric: None = None,
        schema: _Names | None = None,
    ) -> "PyHNSW": ...
    def insert(self, vector: _Vector, metadata: _Metadata | None = None) -> None:
        """Insert a vector into the index.

        The vector is expected as a list of floats.
        Optionally, metadata can be provided as a list of tuples, e.g.:
        `[("color", "blue"), ("size", 42)]`
        """

    def search(
        self,
        query: _Vector,
        k: SupportsIndex | None = None,
        filter: _MetadataPair | None = None,
    ) -> list[tuple[float, list[float]]]:
        """Search for the k nearest neighbors.

        Returns a list of tuples `(distance, vector)`.
        """

    def create(self, vectors: _Vectors, metadata: Sequence[_Metadata] | None = None) -> None: ...
