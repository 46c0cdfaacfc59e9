"""Section: the memory and speed of `create`, each case in a fresh process.

For PyFlat and PyHNSW, from a 2-D float64 numpy array and from a list of
lists: resident memory added by `create` and its peak, both against the bytes
of vectors stored, and the rate in GB/s of stored float64 data, timed after a
warm-up beside a plain numpy copy of the same array.

The PyHNSW case links nothing (layers=0), so that the figures are its
vector store and the ingestion path; its nodes still cost memory of their
own, so its index size is also measured apart (inserting the same vectors
one at a time, in another fresh process), and its create figures are stated
against both.
"""
import gc
import json
import subprocess
import sys
import time
from pathlib import Path

import common  # noqa: F401  (single-threaded set-up before numpy)

import numpy as np  # noqa: E402

from common import interleaved_medians  # noqa: E402

DIM = 128
SEED = 0
CASES = (("PyFlat", "numpy"), ("PyFlat", "lists"), ("PyHNSW", "numpy"), ("PyHNSW", "lists"))


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def resident():
    """Resident bytes as the system sees them (no heap trimming first)."""
    return status_kib("VmRSS") * 1024


def reset_peak():
    """Makes VmHWM restart from the current resident size."""
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")


def peak():
    return status_kib("VmHWM") * 1024


def make_index(kind):
    from halqen import PyFlat, PyHNSW

    if kind == "PyFlat":
        return PyFlat(DIM)
    return PyHNSW(DIM, layers=0, metric="euclidean")


def measured_create(kind, source):
    """The first create of the process: resident growth, peak growth, seconds."""
    index = make_index(kind)
    before = resident()
    reset_peak()
    started = time.perf_counter()
    index.create(source)
    seconds = time.perf_counter() - started
    return index, resident() - before, peak() - before, seconds


def insert_each_worker(kind, count):
    """Resident growth of inserting the vectors one at a time: the index's own size."""
    data = np.random.default_rng(SEED).standard_normal((count, DIM))
    index = make_index(kind)
    before = resident()
    for row in data:
        index.insert(row)
    print(json.dumps({"index_growth_insert_each": resident() - before}))


def create_worker(kind, source_kind, count):
    data = np.random.default_rng(SEED).standard_normal((count, DIM))
    stored = data.nbytes
    before_input = resident()
    if source_kind == "lists":
        source = data.tolist()
        input_bytes = resident() - before_input
    else:
        source = data
        input_bytes = stored
    gc.collect()
    index, growth, peak_growth, first_seconds = measured_create(kind, source)
    result = {
        "kind": kind, "source": source_kind, "count": count, "dim": DIM,
        "stored_bytes": stored, "input_bytes": input_bytes,
        "resident_growth": growth, "peak_growth": peak_growth, "first_seconds": first_seconds,
    }
    del index

    def create():
        make_index(kind).create(source)

    cases = {"create": create}
    if source_kind == "numpy":
        cases["numpy copy"] = lambda: np.array(data, copy=True)
    result["seconds"] = interleaved_medians(cases, 3)
    print(json.dumps(result))


def in_fresh_process(*arguments):
    completed = subprocess.run([sys.executable, str(Path(__file__).resolve()), *arguments],
                               check=True, capture_output=True, text=True)
    return json.loads(completed.stdout.splitlines()[-1])


def run_case(kind, source_kind, count):
    result = in_fresh_process("create", kind, source_kind, str(count))
    if kind == "PyHNSW":
        result.update(in_fresh_process("insert_each", kind, str(count)))
    return result


def run_all(quick):
    count = 100_000 if quick else 1_000_000
    return {"count": count, "dim": DIM,
            "cases": [run_case(kind, source, count) for kind, source in CASES]}


def print_table(result):
    print(f"\n5. create: memory and speed, N={result['count']:,}, dim {result['dim']} "
          "(each case a fresh process; ratios to the stored float64 bytes)")
    print(f"   {'case':28s} {'after':>7s} {'peak':>7s} {'GB/s':>6s} {'numpy copy GB/s':>16s} "
          f"{'time / copy':>12s}")
    for case in result["cases"]:
        stored = case["stored_bytes"]
        name = f"{case['kind']}.create({case['source']})"
        seconds = case["seconds"]["create"]
        copy = case["seconds"].get("numpy copy")
        copy_text = f"{stored / copy / 1e9:16.2f} {seconds / copy:12.2f}" if copy else ""
        print(f"   {name:28s} {case['resident_growth'] / stored:7.3f} "
              f"{case['peak_growth'] / stored:7.3f} {stored / seconds / 1e9:6.2f} {copy_text}")
        if "index_growth_insert_each" in case:
            own = case["index_growth_insert_each"]
            print(f"   {'':28s} {case['resident_growth'] / own:7.3f} "
                  f"{case['peak_growth'] / own:7.3f}  against the index's own size "
                  f"({own / stored:.3f} x stored, from inserting one at a time)")


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "create":
        create_worker(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    elif len(sys.argv) == 4 and sys.argv[1] == "insert_each":
        insert_each_worker(sys.argv[2], int(sys.argv[3]))
    else:
        quick = "--quick" in sys.argv
        print_table(run_all(quick))
