"""The companion module halqen_ext: importable beside halqen, publishing its
functions and GraphIndex."""

import halqen
import halqen_ext


PUBLISHED = [
    "write_index",
    "read_index",
    "serialize_index",
    "deserialize_index",
    "search_batch",
    "search_ids",
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
