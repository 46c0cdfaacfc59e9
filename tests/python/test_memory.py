"""Memory that matches the data: `create` leaves no copy of its input behind.

Each case runs in a fresh process, which measures its resident memory
(/proc/self/status) around one `create` from a 2-D numpy array or a list of
lists: what stays afterwards and the peak on the way, against the bytes of
the vectors stored (PyFlat) or the index's own size measured by inserting the
same vectors one at a time (PyHNSW, whose nodes cost memory beyond their
vectors; layers=0 links nothing, so it is quick).
"""
import json
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc"),
    # The sanitizer's allocator keeps freed memory in quarantine.
    pytest.mark.skipif(os.environ.get("HALQEN_SANITIZED") == "1",
                       reason="byte counts are meaningless under AddressSanitizer"),
]

COUNT = 100_000
DIM = 128
STORED_BYTES = COUNT * DIM * 8
# Allowed beyond the reference: the targets' 10%.
RATIO = 1.1

CHILD = textwrap.dedent("""
    import json, sys
    import numpy as np
    from halqen import PyFlat, PyHNSW

    def kib(field):
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024

    kind, source, count, dim = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    data = np.random.default_rng(0).standard_normal((count, dim))
    vectors = data.tolist() if source == "lists" else data
    index = PyFlat(dim) if kind == "PyFlat" else PyHNSW(dim, layers=0, metric="euclidean")
    before = kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")  # the peak restarts from here
    if source == "insert_each":
        for row in data:
            index.insert(row)
    else:
        index.create(vectors)
    print(json.dumps({"growth": kib("VmRSS") - before, "peak": kib("VmHWM") - before}))
""")


def measure(kind, source):
    completed = subprocess.run([sys.executable, "-c", CHILD, kind, source, str(COUNT), str(DIM)],
                               capture_output=True, text=True, check=True)
    return json.loads(completed.stdout)


@pytest.fixture(scope="module")
def hnsw_own_size():
    return measure("PyHNSW", "insert_each")["growth"]


@pytest.mark.parametrize("source", ["numpy", "lists"])
def test_flat_create_keeps_only_the_vectors(source):
    measured = measure("PyFlat", source)
    assert measured["growth"] <= RATIO * STORED_BYTES
    assert measured["peak"] <= RATIO * STORED_BYTES
    # ... and does keep them.
    assert measured["growth"] >= STORED_BYTES / RATIO


@pytest.mark.parametrize("source", ["numpy", "lists"])
def test_hnsw_create_keeps_only_the_index(source, hnsw_own_size):
    assert hnsw_own_size >= STORED_BYTES
    measured = measure("PyHNSW", source)
    assert measured["growth"] <= RATIO * hnsw_own_size
    assert measured["peak"] <= RATIO * hnsw_own_size
