"""The module object and the two published classes."""
import importlib
import sys
import weakref

import pytest

import halqen
from halqen import PyFlat, PyHNSW


def test_namespace_and_all():
    assert halqen.__all__ == ["PyFlat", "PyHNSW"]
    assert halqen.__doc__ == ""
    public = {name for name in vars(halqen) if not name.startswith("__")}
    assert public == {"PyFlat", "PyHNSW"}
    assert not hasattr(halqen, "PanicException")


def test_second_import_returns_the_same_module_and_classes():
    first = sys.modules.pop("halqen")
    try:
        again = importlib.import_module("halqen")
        assert again is first
        assert again.PyFlat is PyFlat
        assert again.__all__ == ["PyFlat", "PyHNSW"]
    finally:
        sys.modules["halqen"] = first


@pytest.mark.parametrize(
    "cls, doc, signature",
    [
        (PyFlat, "Our Python-facing Flat index.", "(dim, metric=None)"),
        (
            PyHNSW,
            "",
            "(dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None)",
        ),
    ],
)
def test_class_properties(cls, doc, signature):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature
    assert cls.__bases__ == (object,)


METHOD_DOCS = {
    (PyFlat, "insert"): (
        "($self, vector)",
        "Insert a vector into the index.\n\n"
        "The vector is expected as a list of floats whose length equals the index dimension.",
    ),
    (PyFlat, "search"): (
        "($self, query, k=None)",
        "Search for the k nearest neighbors.\n\nReturns a list of tuples `(id, distance)`.",
    ),
    (PyFlat, "create"): ("($self, vectors)", "Create an index from a list of vectors."),
    (PyHNSW, "insert"): (
        "($self, vector, metadata=None)",
        "Insert a vector into the index.\n\nThe vector is expected as a list of floats.\n"
        "Optionally, metadata can be provided as a list of tuples, e.g.:\n"
        '`[("color", "blue"), ("size", 42)]`',
    ),
    (PyHNSW, "search"): (
        "($self, query, k=None, filter=None)",
        "Search for the k nearest neighbors.\n\nReturns a list of tuples `(distance, vector)`.",
    ),
    (PyHNSW, "create"): ("($self, vectors, metadata=None)", ""),
}


@pytest.mark.parametrize("cls, name", list(METHOD_DOCS))
def test_method_docs_and_signatures(cls, name):
    signature, doc = METHOD_DOCS[(cls, name)]
    method = getattr(cls, name)
    assert method.__text_signature__ == signature
    assert (method.__doc__ or "") == doc


@pytest.mark.parametrize("cls", [PyFlat, PyHNSW])
def test_instances_are_closed_objects(cls):
    index = PyFlat(2) if cls is PyFlat else PyHNSW(2, metric="euclidean")
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        index.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(index)
    assert not hasattr(index, "__dict__")
    assert repr(index).startswith(f"<builtins.{cls.__name__} object at ")
    assert index == index and index != (PyFlat(2))
    hash(index)


def test_classes_are_mutable_heap_types():
    PyFlat.extra_attribute = 5
    try:
        assert PyFlat(1).extra_attribute == 5
    finally:
        del PyFlat.extra_attribute


def panic_exception_from_create():
    index = PyFlat(2)
    try:
        index.create([[1.0, 2.0], [1.0]])
    except BaseException as exc:  # noqa: B036 - the point is what it derives from
        return exc
    raise AssertionError("create did not fail")


def test_panic_exception_class():
    exc = panic_exception_from_create()
    cls = type(exc)
    assert cls.__name__ == "PanicException"
    assert cls.__module__ == "tolvex_runtime"
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert cls.__doc__ and "BaseException" in cls.__doc__
    assert exc.args == ("Vector length 1 does not match index dimension 2",)
    assert type(panic_exception_from_create()) is cls  # created once


def test_panic_is_not_caught_by_except_exception():
    caught = None
    try:
        try:
            PyFlat(2).create([[1.0]])
        except Exception:  # must not catch it
            caught = "Exception"
    except BaseException as exc:  # noqa: B036
        caught = type(exc).__name__
    assert caught == "PanicException"
