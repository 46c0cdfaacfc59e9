"""Ctrl-C and other signals during long calls.

A signal handler that raises stops `create` at a safe point, with the
handler's exception: while converting, nothing is stored; while inserting,
the vectors inserted before stay, each complete, and the index works on.
"""
import json
import queue
import signal
import sys
import textwrap
import threading
import time
from decimal import Decimal

import pytest

from child_process import start_python
from halqen import PyFlat, PyHNSW

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="POSIX signals")

# How long after SIGINT the call must have raised.
PROMPTNESS_SECONDS = 0.5

# A child that builds a graph far too large to finish in a second, reports
# when the build starts and, after the interrupt, what the index holds.
HNSW_CHILD = textwrap.dedent("""
    import json, sys
    import numpy as np
    from halqen import PyHNSW

    count, dim = 100_000, 128
    data = np.random.default_rng(0).standard_normal((count, dim))
    index = PyHNSW(dim, metric="euclidean", ef_search=count)
    # Memory the process has touched before is mapped in far faster than
    # fresh memory, so the conversion then ends well before the signal.
    np.ones((count, dim)).sum()
    print("started", flush=True)
    try:
        index.create(data)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    else:
        print("finished", flush=True)
        sys.exit(1)
    found = index.search(data[0], k=count)
    stored = {tuple(vector) for _, vector in found}
    inserted = len(found)
    prefix = {tuple(row) for row in data[:inserted].tolist()}
    probe = data[inserted // 2]
    nearest_of_probe = index.search(probe, k=1)
    index.insert(data[inserted])
    nearest_of_next = index.search(data[inserted], k=1)
    print(json.dumps({
        "inserted": inserted,
        "stored_is_the_prefix": stored == prefix,
        "probe_found": nearest_of_probe == [(0.0, probe.tolist())],
        "next_found": nearest_of_next == [(0.0, data[inserted].tolist())],
    }), flush=True)
""")


def lines_of(stream):
    """The stream's lines, read on a thread, so that waiting for one can time out."""
    lines = queue.Queue()

    def read():
        for line in stream:
            lines.put(line.strip())
        lines.put(None)

    threading.Thread(target=read, daemon=True).start()
    return lines


def test_ctrl_c_stops_hnsw_create_between_insertions():
    child = start_python(HNSW_CHILD)
    try:
        lines = lines_of(child.stdout)
        assert lines.get(timeout=60) == "started"
        time.sleep(2.0)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        assert lines.get(timeout=30) == "interrupted"
        latency = time.monotonic() - sent
        report = json.loads(lines.get(timeout=60))
        assert child.wait(timeout=60) == 0, child.stderr.read()
    finally:
        child.kill()
        child.wait()
    assert latency < PROMPTNESS_SECONDS
    assert 0 < report["inserted"] < 100_000
    assert report["stored_is_the_prefix"]
    assert report["probe_found"]
    assert report["next_found"]


class Alarm(Exception):
    pass


def raise_alarm(signum, frame):
    raise Alarm


# Decimal's float() runs in C: only the conversion's own checks can notice
# the signal while it reads these numbers (several seconds' worth).
DECIMAL_ROW = [Decimal("0.5")] * 128
DECIMAL_ROWS = [DECIMAL_ROW] * 20_000


@pytest.mark.parametrize("make", [lambda: PyFlat(128), lambda: PyHNSW(128, metric="euclidean")],
                         ids=["PyFlat", "PyHNSW"])
def test_a_signal_during_conversion_stores_nothing(make):
    index = make()
    previous = signal.signal(signal.SIGALRM, raise_alarm)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        started = time.monotonic()
        with pytest.raises(Alarm):
            index.create(DECIMAL_ROWS)
        elapsed = time.monotonic() - started
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert elapsed < 0.1 + PROMPTNESS_SECONDS
    if isinstance(index, PyFlat):
        with pytest.raises(ValueError, match="Search error: EmptyIndex"):
            index.search([0.0] * 128)
    else:
        assert index.search([0.0] * 128) == []
    index.create([[1.0] * 128])
    assert len(index.search([1.0] * 128, k=5)) == 1


def test_a_handler_that_returns_lets_the_call_finish():
    calls = []
    previous = signal.signal(signal.SIGALRM, lambda signum, frame: calls.append(signum))
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        index = PyFlat(128)
        index.create(DECIMAL_ROWS[:4_000])
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert calls == [signal.SIGALRM]
    assert len(index.search([0.5] * 128, k=10**9)) == 4_000
