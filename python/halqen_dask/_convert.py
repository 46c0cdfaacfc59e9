"""Client-side checks of the caller's values, with the messages a single
index gives, so a bad argument fails before any task is sent."""
from __future__ import annotations

import operator
from typing import Any, List, Optional, Sequence, Tuple

import numpy as np

# A converted metadata value: its kind ("str", "int" or "float") and value.
# Values of different kinds are never equal, as in the index itself.
MetadataValue = Tuple[str, Any]
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


def type_name(value: object) -> str:
    return type(value).__qualname__


def as_count(name: str, value: object) -> int:
    """A non-negative integer, converted as the indexes convert dim and k."""
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError as error:
        raise TypeError(f"argument '{name}': {error}") from None
    if number < 0:
        raise OverflowError("can't convert negative int to unsigned")
    return number


def as_k(k: object) -> int:
    return 1 if k is None else as_count("k", k)


def as_batch_k(k: object) -> int:
    """k of a batch, with halqen_ext.search_batch's message for a value out of range."""
    if k is None:
        return 1
    try:
        number = operator.index(k)  # type: ignore[arg-type]
    except TypeError as error:
        raise TypeError(f"argument 'k': {error}") from None
    if not 0 <= number < 2**64:
        raise OverflowError(f"argument 'k': expected an integer from 0 to 2^64 - 1, got {number}")
    return number


def as_queries(queries: object, dim: int) -> np.ndarray:
    """A batch of queries, as halqen_ext.search_batch takes them: a 1-D array
    or a sequence of numbers (one query, most likely) is refused saying so."""
    given = _wrong_query_form(queries)
    if given is not None:
        raise TypeError(f"argument 'queries': expected a 2-D array or a sequence of vectors, got {given}")
    return as_matrix("queries", queries, dim, "query")


def _wrong_query_form(queries: object) -> Optional[str]:
    name = f"'{type_name(queries)}'"
    if isinstance(queries, np.ndarray):
        return None if queries.ndim == 2 else f"a {queries.ndim}-D {name}"
    if isinstance(queries, str):
        return None  # refused below with the message of a vector
    if not isinstance(queries, Sequence):
        return name
    if len(queries) and all(isinstance(item, (int, float, np.number)) for item in queries):
        return f"a {name} of '{type_name(queries[0])}'"  # one vector, not a list of them
    return None


def as_metric_name(metric: object) -> Optional[str]:
    if metric is None or isinstance(metric, str):
        return metric
    raise TypeError(f"argument 'metric': '{type_name(metric)}' object cannot be converted to 'PyString'")


def _as_row(name: str, value: object) -> np.ndarray:
    if isinstance(value, str):
        raise TypeError(f"argument '{name}': Can't extract `str` to `Vec`")
    if not isinstance(value, (Sequence, np.ndarray)) and not hasattr(value, "__array__"):
        raise TypeError(f"argument '{name}': '{type_name(value)}' object cannot be converted to 'Sequence'")
    try:
        row = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError(f"argument '{name}': {error}") from None
    if row.ndim != 1:
        raise TypeError(f"argument '{name}': expected one vector, got an array of shape {row.shape}")
    return row


def as_vector(value: object, dim: int, what: str = "vector") -> np.ndarray:
    """One vector of `dim` float64 components ("Expected vector of length ...")."""
    row = _as_row(what, value)
    if row.shape[0] != dim:
        raise ValueError(f"Expected {what} of length {dim}, got {row.shape[0]}")
    return row


def as_matrix(name: str, values: object, dim: int, what: str) -> np.ndarray:
    """A (n, dim) float64 array from a 2-D array or a sequence of vectors.

    A row of the wrong length raises `length_message(len, dim)` before
    anything is sent, so a failed call changes nothing."""
    if isinstance(values, str):
        raise TypeError(f"argument '{name}': Can't extract `str` to `Vec`")
    if isinstance(values, np.ndarray) and values.ndim == 2:
        matrix = np.ascontiguousarray(values, dtype=np.float64)
        if matrix.shape[1] != dim:
            raise ValueError(_length_message(what, matrix.shape[1], dim))
        return matrix
    if not isinstance(values, (Sequence, np.ndarray)):
        raise TypeError(f"argument '{name}': '{type_name(values)}' object cannot be converted to 'Sequence'")
    rows = [_as_row(name, value) for value in values]
    for row in rows:
        if row.shape[0] != dim:
            raise ValueError(_length_message(what, row.shape[0], dim))
    if not rows:
        return np.empty((0, dim), dtype=np.float64)
    return np.stack(rows)


def _length_message(what: str, length: int, dim: int) -> str:
    if what == "query":
        return f"Expected query of length {dim}, got {length}"
    return f"Vector length {length} does not match index dimension {dim}"


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


def as_pairs(name: str, pairs: object) -> List[Tuple[str, Any]]:
    """A list of (name, value) tuples, checked as the index checks it."""
    if isinstance(pairs, str):
        raise TypeError(f"argument '{name}': Can't extract `str` to `Vec`")
    if not isinstance(pairs, Sequence):
        raise TypeError(f"argument '{name}': '{type_name(pairs)}' object cannot be converted to 'Sequence'")
    return [as_pair(name, pair) for pair in pairs]


def as_pair(name: str, pair: object) -> Tuple[str, Any]:
    if not isinstance(pair, tuple):
        raise TypeError(f"argument '{name}': '{type_name(pair)}' object cannot be converted to 'PyTuple'")
    if len(pair) != 2:
        raise ValueError(f"expected tuple of length 2, but got tuple of length {len(pair)}")
    if not isinstance(pair[0], str):
        raise TypeError(
            f"argument '{name}': '{type_name(pair[0])}' object cannot be converted to 'PyString'")
    return (pair[0], pair[1])


def build_record(schema: Sequence[str], pairs: Sequence[Tuple[str, Any]]) -> List[MetadataValue]:
    """The record of one vector in schema order; the last pair for a name
    wins, names outside the schema are ignored."""
    values = dict(pairs)
    record = []
    for attribute in schema:
        if attribute not in values:
            raise ValueError(f"Missing metadata for attribute '{attribute}'")
        converted = as_metadata_value(values[attribute])
        if converted is None:
            raise ValueError(f"Unsupported metadata type for attribute '{attribute}'")
        record.append(converted)
    return record
