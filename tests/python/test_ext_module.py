"""The companion module halqen_ext: importable beside halqen, empty so far."""

import halqen
import halqen_ext


def test_ext_publishes_nothing_yet():
    assert halqen_ext.__all__ == []
    assert halqen_ext.__doc__
    public = {name for name in vars(halqen_ext) if not name.startswith("__")}
    assert public == set()


def test_importing_ext_leaves_halqen_unchanged():
    assert {name for name in vars(halqen) if not name.startswith("__")} == {"PyFlat", "PyHNSW"}
    assert halqen.__all__ == ["PyFlat", "PyHNSW"]
