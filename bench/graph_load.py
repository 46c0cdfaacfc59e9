"""Section graph_load: reading a halqen_ext.GraphIndex back, for each walk and
metric, beside a plain read() of the same file.

Each index (N x 384, built once per walk and metric) is written to a file in
the page cache. Timed in interleaved rounds after a warm-up load, so that the
first touch of fresh memory and load from elsewhere on the machine fall on
every reader alike: read_index, deserialize_index of the file's bytes,
pickle.loads of a pickle, and open().read() of the file. Rates are GB/s of
the file. The peak memory of each way of loading is measured in a fresh
process, as a ratio to the memory the loaded index holds (for a pickle, to
the index plus the pickle itself).
"""
import os
import pickle
import shutil
import subprocess
import sys
import tempfile

import numpy as np

from common import interleaved_medians

DIM = 384
COUNT = 20_000
WALKS = ("sq8", "float32", "exact")
METRICS = ("euclidean", "angular", "inner_product")
# The build is not what is measured: a narrow one is quick.
EF_CONSTRUCTION = 40

# Run in a fresh process: the resident memory the index holds once loaded,
# and the peak above the resident memory before the load, in bytes.
PEAK_OF_LOAD = """
import pickle, sys, halqen_ext
def field(name):
    with open("/proc/self/status") as stream:
        return next(int(line.split()[1]) * 1024 for line in stream if line.startswith(name))
how, path = sys.argv[1], sys.argv[2]
with open(path, "rb") as stream:
    data = stream.read()
payload = pickle.dumps(halqen_ext.deserialize_index(data)) if how == "pickle" else None
if how != "bytes":
    del data
with open("/proc/self/clear_refs", "w") as stream:
    stream.write("5")  # the peak so far is forgotten
before = field("VmRSS")
if how == "file":
    index = halqen_ext.read_index(path)
elif how == "bytes":
    index = halqen_ext.deserialize_index(data)
else:
    index = pickle.loads(payload)
print(field("VmHWM") - before, field("VmRSS") - before, len(payload or b""))
"""


def peak_ratio(how, path):
    completed = subprocess.run([sys.executable, "-c", PEAK_OF_LOAD, how, path],
                               capture_output=True, text=True, check=True)
    peak, held, payload = (int(word) for word in completed.stdout.split())
    return peak / (held + payload)


def plain_read(path):
    with open(path, "rb") as stream:
        return stream.read()


def one_file(path, repeats):
    import halqen_ext

    data = plain_read(path)
    pickled = pickle.dumps(halqen_ext.read_index(path))
    seconds = interleaved_medians({
        "read_index": lambda: halqen_ext.read_index(path),
        "deserialize_index": lambda: halqen_ext.deserialize_index(data),
        "pickle.loads": lambda: pickle.loads(pickled),
        "read()": lambda: plain_read(path),
    }, repeats)
    peaks = {how: peak_ratio(how, path) for how in ("file", "bytes", "pickle")}
    return {"bytes": len(data), "seconds": seconds, "peaks": peaks}


def run_all(quick, rng):
    import halqen_ext

    count = COUNT // 10 if quick else COUNT
    data = rng.standard_normal((count, DIM))
    directory = tempfile.mkdtemp(prefix="halqen-bench-")
    rows = []
    try:
        for metric in METRICS:
            for walk in WALKS:
                index = halqen_ext.GraphIndex(DIM, metric, ef_construction=EF_CONSTRUCTION,
                                              walk=walk)
                index.add(data)
                path = os.path.join(directory, f"{metric}-{walk}.halqen")
                halqen_ext.write_index(index, path)
                del index
                rows.append({"metric": metric, "walk": walk,
                             **one_file(path, 3 if quick else 7)})
                os.remove(path)
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    return {"count": count, "dim": DIM, "rows": rows}


def print_table(result):
    print(f"\ngraph_load: GraphIndex read back, N={result['count']:,}, dim {result['dim']} "
          f"(GB/s of the file; peak memory / memory held)")
    ways = ("read_index", "deserialize_index", "pickle.loads", "read()")
    print(f"   {'metric':14s} {'walk':8s} {'MB':>5s} "
          + " ".join(f"{way:>17s}" for way in ways)
          + f" {'peak file':>9s} {'bytes':>6s} {'pickle':>6s}")
    for row in result["rows"]:
        rates = " ".join(f"{row['bytes'] / row['seconds'][way] / 1e9:17.2f}" for way in ways)
        peaks = row["peaks"]
        print(f"   {row['metric']:14s} {row['walk']:8s} {row['bytes'] / 1e6:5.0f} {rates} "
              f"{peaks['file']:9.2f} {peaks['bytes']:6.2f} {peaks['pickle']:6.2f}")


if __name__ == "__main__":
    outcome = run_all(False, np.random.default_rng(0))
    print_table(outcome)
