"""Client-side checks of the caller's values, so a bad argument fails before
any task is sent. The checks and their messages are the index's own: every
one runs in C++ through halqen_ext's private `__check_arguments`, given the
index class's name and the sharded index's settings (no index is built for
it); this module only converts what passed them."""
from __future__ import annotations

import operator
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

import halqen_ext
import numpy as np

# A converted metadata value: its kind ("str", "int" or "float") and value.
# Values of different kinds are never equal, as in the index itself.
MetadataValue = Tuple[str, Any]
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


class IndexSettings(NamedTuple):
    """An index class by name ("PyFlat", "PyHNSW", "GraphIndex") and the
    keyword arguments of its constructor: all that the class's checks of a
    call read."""
    kind: str
    settings: Dict[str, Any]


def check_settings(index: IndexSettings) -> None:
    """Raises what the class's constructor raises for the settings."""
    getattr(halqen_ext, "__check_arguments")(index.kind, index.settings)


def check(index: IndexSettings, method: str, *arguments: Any) -> None:
    """Raises what `<method>(*arguments)` raises for its arguments on an
    index of these settings (not for what the index holds); builds, stores
    and searches nothing."""
    getattr(halqen_ext, "__check_arguments")(index.kind, index.settings, method, arguments)


def as_count(name: str, value: object) -> int:
    """A non-negative integer, converted as the indexes convert counts (for a
    setting of the sharded index itself, which no index method takes)."""
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError as error:
        raise TypeError(f"argument '{name}': {error}") from None
    if number < 0:
        raise OverflowError("can't convert negative int to unsigned")
    return number


def as_k(k: object) -> int:
    """k after the index's checks passed."""
    return 1 if k is None else operator.index(k)  # type: ignore[arg-type]


def as_row(value: Any) -> np.ndarray:
    """A vector that passed the index's checks, as float64; elements numpy
    cannot take whole (a bytes vector, say) are converted one by one with
    float(), as the index converts them."""
    try:
        return np.asarray(value, dtype=np.float64).reshape(-1)
    except (TypeError, ValueError):
        return np.array([float(x) for x in value], dtype=np.float64)


def is_numeric_matrix(values: object, dim: int) -> bool:
    """A 2-D numeric numpy array of `dim` columns and at least one row: its
    rows are all alike to the index's checks."""
    return (isinstance(values, np.ndarray) and values.ndim == 2 and values.shape[0] > 0
            and values.shape[1] == dim and values.dtype.kind in "biuf")


def checked_matrix(index: IndexSettings, method: str, values: Any, dim: int, *arguments: Any) -> np.ndarray:
    """An (n, dim) float64 array of `values` after the index's checks of
    `method(values, *arguments)`, every row of it; a numeric matrix of the
    right width is converted first, so that the checks read the array the
    shards will get rather than convert it again."""
    if is_numeric_matrix(values, dim):
        rows = np.ascontiguousarray(values, dtype=np.float64)
        check(index, method, rows, *arguments)
        return rows
    check(index, method, values, *arguments)
    try:
        rows = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError):
        rows = np.array([as_row(row) for row in values], dtype=np.float64)
    if rows.ndim == 1 and rows.size > 0:
        return rows.reshape(1, dim)  # one vector, where the method takes one alone
    return rows.reshape(len(values), dim)


def as_metadata_value(value: object) -> Optional[MetadataValue]:
    """The metadata ladder of the index: text, then a 64-bit integer, then a
    float; None when the value converts to none of them."""
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return None
        return ("str", str(value))
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except Exception:  # noqa: BLE001 - a failed step is discarded, as in the index
        number = None
    if number is not None and INT64_MIN <= number <= INT64_MAX:
        return ("int", int(number))
    try:
        return ("float", float(value))  # type: ignore[arg-type]
    except Exception:  # noqa: BLE001 - likewise
        return None


def metadata_equal(left: MetadataValue, right: MetadataValue) -> bool:
    """Metadata equality: same kind and equal value (NaN equals nothing,
    -0.0 equals 0.0, text compares exactly)."""
    return left[0] == right[0] and left[1] == right[1]


def as_pairs(pairs: Sequence[Any]) -> List[Tuple[str, Any]]:
    """(name, value) pairs that passed the index's checks, as a list."""
    return [(name, value) for name, value in pairs]


def record_of(schema: Sequence[str], pairs: Sequence[Tuple[str, Any]]) -> List[MetadataValue]:
    """The record of one vector in schema order, from pairs that passed the
    index's checks; the last pair for a name wins."""
    values = dict(pairs)
    return [as_metadata_value(values[attribute]) for attribute in schema]  # type: ignore[misc]
