"""The companion module halqen_ext: importable beside halqen, publishing its
functions and GraphIndex."""

import re

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
    "PartitionIndex",
]


def test_ext_publishes_exactly_its_functions():
    assert halqen_ext.__all__ == PUBLISHED
    assert halqen_ext.__doc__
    public = {name for name in vars(halqen_ext) if not name.startswith("__")}
    assert public == set(PUBLISHED)


def test_importing_ext_leaves_halqen_unchanged():
    assert {name for name in vars(halqen) if not name.startswith("__")} == {"PyFlat", "PyHNSW"}
    assert halqen.__all__ == ["PyFlat", "PyHNSW"]


CLASSES = {
    "PyFlat": halqen.PyFlat,
    "PyHNSW": halqen.PyHNSW,
    "GraphIndex": halqen_ext.GraphIndex,
    "PartitionIndex": halqen_ext.PartitionIndex,
}


def raised(call):
    with pytest.raises(Exception) as error:
        call()
    return error.value


def assert_raises_alike(expected, call):
    """`call` raises what an index raised: the same class and message."""
    got = raised(call)
    assert (type(got), str(got)) == (type(expected), str(expected))


def test_private_argument_checks_raise_what_the_methods_raise():
    """halqen_ext's private entry for halqen_dask runs a method's own checks
    on the settings of an index, given by its class's name and constructor
    keywords: for each bad call, the same exception and message as the method
    of an index of those settings, and no index built."""
    check = getattr(halqen_ext, "__check_arguments")
    flat = {"dim": 3}
    graph = {"dim": 3, "metric": "euclidean", "schema": ["tag"]}
    bare = {"dim": 3, "metric": "euclidean"}
    nan_row = [1.0, float("nan"), 3.0]
    bad_calls = [
        ("PyFlat", flat, "insert", ([1.0, 2.0],)),
        ("PyFlat", flat, "insert", ("abc",)),
        ("PyFlat", flat, "create", ([],)),
        ("PyFlat", flat, "search", ([1.0, 2.0], 1)),
        ("PyFlat", flat, "search", ([1.0, 2.0, 3.0], -1)),
        ("PyHNSW", graph, "insert", ([1.0, 2.0], [("tag", 1)])),
        ("PyHNSW", graph, "insert", ([1.0, 2.0, 3.0], [("colour", 1)])),
        ("PyHNSW", bare, "insert", ([1.0, 2.0, 3.0], [("tag", 1)])),
        ("PyHNSW", graph, "create", ([[1.0, 2.0, 3.0]], [[("tag", 1)], [("tag", 2)]])),
        ("PyHNSW", graph, "create", ([[1.0, 2.0, 3.0], [1.0]],)),
        ("PyHNSW", graph, "create", ([],)),
        ("PyHNSW", graph, "search", ([1.0, 2.0, 3.0], 1, ("tag", None))),
        ("PyHNSW", bare, "search", ([1.0, 2.0, 3.0], 1, ("tag", 1))),
        ("GraphIndex", graph, "add", ([[1.0, 2.0]],)),
        ("GraphIndex", graph, "add", ([[1.0, 2.0, 3.0], nan_row],)),
        ("GraphIndex", graph, "add", ([[1.0, 2.0, 3.0]] * 2, [4, 4])),
        ("GraphIndex", graph, "add", ([[1.0, 2.0, 3.0]] * 2, [4, 5, 6])),
        ("GraphIndex", graph, "add", ([[1.0, 2.0, 3.0]], [2**63])),
        ("GraphIndex", graph, "add", ([[1.0, 2.0, 3.0]], None, [[("colour", 1)]])),
        ("GraphIndex", bare, "add", ([[1.0, 2.0, 3.0]], None, [[("tag", 1)]])),
        ("GraphIndex", {"dim": 2, "metric": "angular"}, "add", ([[1.0, 1.0], [0.0, 0.0]],)),
        ("GraphIndex", graph, "search", ([[1.0, 2.0]],)),
        ("GraphIndex", graph, "search", ([[1.0, 2.0, 3.0], nan_row],)),
        ("GraphIndex", graph, "search", ([[1.0, 2.0, 3.0]] * 3, 2**30)),
        ("GraphIndex", graph, "search", ([1.0, 2.0, 3.0], 1, 0)),
        ("GraphIndex", graph, "search", ([1.0, 2.0, 3.0], 1, None, ("colour", 1))),
        ("GraphIndex", bare, "search", ([1.0, 2.0, 3.0], 1, None, ("tag", 1))),
    ]
    for kind, settings, method, arguments in bad_calls:
        index = CLASSES[kind](**settings)
        expected = raised(lambda: getattr(index, method)(*arguments))
        assert_raises_alike(expected, lambda: check(kind, settings, method, arguments))
    index = halqen_ext.GraphIndex(**graph)
    expected = raised(lambda: setattr(index, "ef_search", 0))
    assert_raises_alike(expected, lambda: check("GraphIndex", graph, "ef_search", (0,)))
    expected = raised(lambda: setattr(index, "ef_search", -1))
    assert_raises_alike(expected, lambda: check("GraphIndex", graph, "ef_search", (-1,)))
    check("PyHNSW", graph, "search", ([1.0, 2.0, 3.0], 2, ("tag", 1)))
    check("GraphIndex", graph, "add", ([[1.0, 2.0, 3.0]] * 2, [4, 5], [[("tag", 1)]] * 2))
    check("GraphIndex", graph, "ef_search", (5,))
    with pytest.raises(ValueError, match="PyFlat has no argument checks for 'delete'"):
        check("PyFlat", flat, "delete", ())


def test_private_argument_checks_raise_what_the_constructors_raise():
    check = getattr(halqen_ext, "__check_arguments")
    bad_settings = [
        ("PyFlat", {"dim": -1}),
        ("PyFlat", {"dim": "3"}),
        ("PyFlat", {"dim": 3, "colour": 1}),
        ("PyFlat", {}),
        ("PyHNSW", {"dim": 3, "metric": "cosine"}),
        ("PyHNSW", {"dim": 3, "metric": "euclidean", "schema": [1]}),
        ("GraphIndex", {"dim": 0, "metric": "euclidean"}),
        ("GraphIndex", {"dim": 2**61, "metric": "euclidean"}),
        ("GraphIndex", {"dim": 3, "metric": "cosine"}),
        ("GraphIndex", {"dim": 3, "metric": "euclidean", "walk": "none"}),
        ("GraphIndex", {"dim": 3, "metric": "euclidean", "m": 1}),
        ("GraphIndex", {"dim": 1, "metric": "euclidean", "m": 100}),
        ("GraphIndex", {"dim": 3, "metric": "euclidean", "ef_search": 0}),
        ("PartitionIndex", {"dim": 0, "metric": "angular"}),
        ("PartitionIndex", {"dim": 3, "metric": "euclidean", "partitions": 0}),
        ("PartitionIndex", {"dim": 3, "metric": "euclidean", "schema": ["tag"]}),
    ]
    for kind, settings in bad_settings:
        expected = raised(lambda: CLASSES[kind](**settings))
        assert_raises_alike(expected, lambda: check(kind, settings))
        assert_raises_alike(expected, lambda: check(kind, settings, "search", ([1.0, 2.0, 3.0],)))
    check("GraphIndex", {"dim": 3, "metric": "angular", "m": 4, "seed": 1, "schema": ["tag"], "walk": "exact"})
    unknown = re.escape("no index class is named 'PyFlats': PyFlat | PyHNSW | GraphIndex | PartitionIndex")
    with pytest.raises(ValueError, match=f"^{unknown}$"):
        check("PyFlats", {"dim": 3})
    with pytest.raises(TypeError, match="argument 'settings'"):
        check("PyFlat", [3])


def test_private_checks_of_what_a_sharded_index_checks_apart():
    """The checks halqen_dask makes of a call whose parts it holds apart (the
    rows of a dask.array, its ids) say what the methods say of those parts."""
    check = getattr(halqen_ext, "__check_arguments")
    flat = halqen.PyFlat(3)
    hnsw = halqen.PyHNSW(3, metric="euclidean", schema=["tag"])
    graph = halqen_ext.GraphIndex(3, "euclidean", schema=["tag"])
    graph_settings = {"dim": 3, "metric": "euclidean", "schema": ["tag"]}
    # Rows known by their width alone.
    assert_raises_alike(raised(lambda: check("PyFlat", {"dim": 3}, "create", ([[1.0, 2.0]],))),
                        lambda: check("PyFlat", {"dim": 3}, "create_width", (2,)))
    assert_raises_alike(raised(lambda: hnsw.create([[1.0, 2.0]])),
                        lambda: check("PyHNSW", {"dim": 3, "metric": "euclidean"}, "create_width", (2,)))
    assert_raises_alike(raised(lambda: graph.add([[1.0, 2.0]] * 4)),
                        lambda: check("GraphIndex", graph_settings, "add_width", (2,)))
    for kind, settings, method in (("PyFlat", {"dim": 3}, "create_width"),
                                   ("PyHNSW", {"dim": 3, "metric": "euclidean"}, "create_width"),
                                   ("GraphIndex", graph_settings, "add_width")):
        check(kind, settings, method, (3,))
    # The ids and metadata of rows checked apart.
    for ids, metadata in (([4, 4], None), ([4, 5, 6], None), ([2**63, 1], None), (None, [[("colour", 1)]] * 2),
                          ([1, 2], [[("tag", 1)]])):
        expected = raised(lambda: graph.add([[1.0, 2.0, 3.0]] * 2, ids, metadata))
        assert_raises_alike(expected, lambda: check("GraphIndex", graph_settings, "labels", (2, ids, metadata)))
    check("GraphIndex", graph_settings, "labels", (2, [4, 5], [[("tag", 1)]] * 2))
    # What an index holding nothing answers a search.
    assert_raises_alike(raised(lambda: flat.search([1.0, 2.0, 3.0])),
                        lambda: check("PyFlat", {"dim": 3}, "search_empty"))
    # The length a sharded PyHNSW needs of every query.
    with pytest.raises(ValueError, match="^Expected query of length 3, got 2$"):
        check("PyHNSW", {"dim": 3, "metric": "euclidean"}, "query_lengths", ([[1.0, 2.0, 3.0], [1.0, 2.0]],))
    check("PyHNSW", {"dim": 3, "metric": "euclidean"}, "query_lengths", ([[1.0, 2.0, 3.0]],))
    assert hnsw.search([1.0, 2.0, 3.0]) == [] and len(graph) == 0  # nothing stored by a check
