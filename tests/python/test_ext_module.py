"""The companion module halqen_ext: importable beside halqen, publishing its
functions and GraphIndex."""

import halqen
import halqen_ext
import pytest


PUBLISHED = [
    "write_index",
    "read_index",
    "serialize_index",
    "deserialize_index",
    "search_batch",
    "search_ids",
    "trimmed",
    "GraphIndex",
]


def test_ext_publishes_exactly_its_functions():
    assert halqen_ext.__all__ == PUBLISHED
    assert halqen_ext.__doc__
    public = {name for name in vars(halqen_ext) if not name.startswith("__")}
    assert public == set(PUBLISHED)


def test_importing_ext_leaves_halqen_unchanged():
    assert {name for name in vars(halqen) if not name.startswith("__")} == {"PyFlat", "PyHNSW"}
    assert halqen.__all__ == ["PyFlat", "PyHNSW"]


def test_private_argument_checks_raise_what_the_methods_raise():
    """halqen_ext's private entry for halqen_dask runs a method's own checks:
    for each bad call, the same exception and message as the method itself,
    and nothing stored."""
    check = getattr(halqen_ext, "__check_arguments")
    flat = halqen.PyFlat(3)
    graph = halqen.PyHNSW(3, metric="euclidean", schema=["tag"])
    bare = halqen.PyHNSW(3, metric="euclidean")
    bad_calls = [
        (flat, "insert", ([1.0, 2.0],)),
        (flat, "insert", ("abc",)),
        (flat, "create", ([],)),
        (flat, "search", ([1.0, 2.0], 1)),
        (flat, "search", ([1.0, 2.0, 3.0], -1)),
        (graph, "insert", ([1.0, 2.0], [("tag", 1)])),
        (graph, "insert", ([1.0, 2.0, 3.0], [("colour", 1)])),
        (bare, "insert", ([1.0, 2.0, 3.0], [("tag", 1)])),
        (graph, "create", ([[1.0, 2.0, 3.0]], [[("tag", 1)], [("tag", 2)]])),
        (graph, "create", ([[1.0, 2.0, 3.0], [1.0]],)),
        (graph, "create", ([],)),
        (graph, "search", ([1.0, 2.0, 3.0], 1, ("tag", None))),
        (bare, "search", ([1.0, 2.0, 3.0], 1, ("tag", 1))),
    ]
    for index, method, arguments in bad_calls:
        with pytest.raises(Exception) as expected:
            getattr(index, method)(*arguments)
        with pytest.raises(type(expected.value)) as got:
            check(index, method, arguments)
        assert str(got.value) == str(expected.value), (method, arguments)
    # create stops at a vector of the wrong length; its check says so alone.
    with pytest.raises(ValueError, match="^Vector length 2 does not match index dimension 3$"):
        check(flat, "create", ([[1.0, 2.0, 3.0], [1.0, 2.0]],))
    check(graph, "search", ([1.0, 2.0, 3.0], 2, ("tag", 1)))
    with pytest.raises(ValueError, match="Search error: EmptyIndex"):
        flat.search([1.0, 2.0, 3.0])
    assert graph.search([1.0, 2.0, 3.0]) == bare.search([1.0, 2.0, 3.0]) == []
    with pytest.raises(ValueError, match="PyFlat has no argument checks for 'delete'"):
        check(flat, "delete", ())
