"""Type information for the halqen_ext extension module."""

import os

from typing_extensions import Buffer, TypeAlias

from halqen import PyFlat, PyHNSW

__all__ = ["write_index", "read_index", "serialize_index", "deserialize_index"]

# Exactly these two classes; anything else is refused with TypeError.
_Index: TypeAlias = PyFlat | PyHNSW
# A str or an os.PathLike giving a str (a bytes path is refused).
_Path: TypeAlias = str | os.PathLike[str]

def write_index(index: _Index, path: _Path) -> None:
    """Write a PyFlat or PyHNSW to the file at path (replaced whole, never half-written)."""

def read_index(path: _Path) -> PyFlat | PyHNSW:
    """Read the PyFlat or PyHNSW that write_index wrote to path."""

def serialize_index(index: _Index) -> bytes:
    """The bytes write_index would write for a PyFlat or PyHNSW."""

def deserialize_index(data: Buffer) -> PyFlat | PyHNSW:
    """The PyFlat or PyHNSW that serialize_index gave as data (any bytes-like object)."""
