"""Section mapped: a GraphIndex file opened with read_index(path, mmap=True)
beside the same file read into memory, the page cache warm.

Memory is what the open and the queries add to a process that already has
the interpreter, numpy and the queries. Clustered float32 data (bench/clustered.py), N x DIM, default settings,
written once. Each open is timed in a fresh process (median of several,
alternating the two ways): the open alone, and the open plus a first query.
Then, in fresh processes: the private (anonymous) memory of a mapped index
after 1,000 queries, as a share of the file; the proportional set size of 4
processes serving the same file after identical queries, summed, against
one process serving alone. Then queries/s of the mapped index against the one in
memory, in one process, in interleaved rounds after a warm-up. Last, where
this runs as root on a machine with cgroup v1's memory controller, a
process limited to half the file's size (memory.limit_in_bytes) maps the
file and answers 200 of the queries: whether its answers are the in-memory
index's, and its queries/s. Beside it, on the same data: hnswlib's
load_index and faiss's read_index with and without IO_FLAG_MMAP (an
IndexHNSWFlat), each opened and asked one query in a fresh process (M 16,
ef_construction 200, as GraphIndex's defaults).

`python bench/mapped.py --large` measures the same at 1,000,000 x 768 (a
3.9 GB file, built once and kept in the user's cache directory), without
the peers.
"""
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile

import numpy as np

from clustered import gaussian_mixture
from common import interleaved_medians

CLUSTERS = 64
# The size the large run measures (python bench/mapped.py --large).
LARGE = (1_000_000, 768)
QUERIES = 1000
SEED = 11
SERVERS = 4
# Queries of the process limited to half the file: each may wait on the disk.
LIMITED_QUERIES = 200

OPEN = """
import sys, time
import numpy as np
import halqen_ext
path, mapped, dim = sys.argv[1], sys.argv[2] == "1", int(sys.argv[3])
started = time.perf_counter()
index = halqen_ext.read_index(path, mmap=mapped)
opened = time.perf_counter()
index.search(np.full(dim, 0.1), k=10)
answered = time.perf_counter()
print(opened - started, answered - started)
"""

SERVE = """
import sys
import numpy as np
import halqen_ext
path, dim, queries = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])

def rollup():
    fields = {}
    with open("/proc/self/smaps_rollup") as stream:
        for line in stream:
            parts = line.split()
            if len(parts) >= 2 and parts[0].endswith(":") and parts[1].isdigit():
                fields[parts[0][:-1]] = int(parts[1]) * 1024
    return fields

batch = np.random.default_rng(1).normal(0.0, 1.0, (queries, dim))
before = rollup()
index = halqen_ext.read_index(path, mmap=True)
index.search(batch, k=10, threads=1)
after = rollup()
sys.stdout.write(f"{after['Pss'] - before['Pss']} {after['Anonymous'] - before['Anonymous']}\\n")
sys.stdout.flush()
sys.stdin.read()  # holds the mapping until told to go
"""


CGROUP_ROOT = "/sys/fs/cgroup/memory"

LIMITED = """
import json, sys, time
import numpy as np
import os
with open(sys.argv[1] + "/cgroup.procs", "w") as procs:
    procs.write(str(os.getpid()))  # this process, from here on limited
import halqen_ext
path, queries = sys.argv[2], np.load(sys.argv[3])
index = halqen_ext.read_index(path, mmap=True)
index.search(queries[:10], k=10, threads=1)
started = time.perf_counter()
ids, _ = index.search(queries, k=10, threads=1)
seconds = time.perf_counter() - started
np.save(sys.argv[4], ids)
print(len(queries) / seconds)
"""


def larger_than_memory(path, queries, expected, directory):
    """(queries/s, same answers) of a process allowed half the file's size
    in memory; None where no memory cgroup can be made here."""
    group = os.path.join(CGROUP_ROOT, f"halqen-bench-{os.getpid()}")
    try:
        os.mkdir(group)
    except OSError:
        return None
    try:
        with open(os.path.join(group, "memory.limit_in_bytes"), "w") as limit:
            limit.write(str(os.path.getsize(path) // 2))
        query_path = os.path.join(directory, "queries.npy")
        ids_path = os.path.join(directory, "ids.npy")
        np.save(query_path, queries)
        # The file's pages out of the cache, so that the limited process
        # faults them in itself, charged to its limit.
        descriptor = os.open(path, os.O_RDONLY)
        try:
            os.posix_fadvise(descriptor, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(descriptor)
        completed = subprocess.run([sys.executable, "-c", LIMITED, group, path, query_path, ids_path],
                                   capture_output=True, text=True, check=True)
        return float(completed.stdout), bool((np.load(ids_path) == expected).all())
    finally:
        os.rmdir(group)


PEER_OPEN = """
import sys, time
import numpy as np
library, path, dim = sys.argv[1], sys.argv[2], int(sys.argv[3])
query = np.full((1, dim), 0.1, dtype=np.float32)
if library == "hnswlib":
    import hnswlib
    started = time.perf_counter()
    index = hnswlib.Index(space="l2", dim=dim)
    index.load_index(path)
    opened = time.perf_counter()
    index.knn_query(query, k=10)
else:
    import faiss
    flags = faiss.IO_FLAG_MMAP if library == "faiss mmap" else 0
    started = time.perf_counter()
    index = faiss.read_index(path, flags)
    opened = time.perf_counter()
    index.search(query, 10)
answered = time.perf_counter()
print(opened - started, answered - started)
"""
PEER_M = 16
PEER_EF_CONSTRUCTION = 200


def peer_files(data, directory):
    """{library: file} for the peers that are installed."""
    files = {}
    rows = np.ascontiguousarray(data, dtype=np.float32)
    try:
        import hnswlib
    except ImportError:
        hnswlib = None
    if hnswlib is not None:
        index = hnswlib.Index(space="l2", dim=rows.shape[1])
        index.init_index(max_elements=len(rows), M=PEER_M, ef_construction=PEER_EF_CONSTRUCTION)
        index.add_items(rows)
        files["hnswlib"] = os.path.join(directory, "hnswlib.bin")
        index.save_index(files["hnswlib"])
    try:
        import faiss
    except ImportError:
        faiss = None
    if faiss is not None:
        index = faiss.IndexHNSWFlat(rows.shape[1], PEER_M)
        index.hnsw.efConstruction = PEER_EF_CONSTRUCTION
        index.add(rows)
        files["faiss"] = files["faiss mmap"] = os.path.join(directory, "faiss.index")
        faiss.write_index(index, files["faiss"])
    return files


def peer_opens(files, dim, repeats):
    """{library: (seconds to open, seconds to the first answer)}, medians."""
    result = {}
    for library, path in files.items():
        runs = [tuple(float(word) for word in subprocess.run(
            [sys.executable, "-c", PEER_OPEN, library, path, str(dim)], capture_output=True, text=True,
            check=True).stdout.split()) for _ in range(repeats)]
        result[library] = (statistics.median(run[0] for run in runs),
                           statistics.median(run[1] for run in runs), os.path.getsize(path))
    return result


def timed_opens(path, dim, repeats):
    seconds = {True: [], False: []}
    for _ in range(repeats):
        for mapped in (True, False):
            completed = subprocess.run([sys.executable, "-c", OPEN, path, "1" if mapped else "0", str(dim)],
                                       capture_output=True, text=True, check=True)
            seconds[mapped].append(tuple(float(word) for word in completed.stdout.split()))
    return {mapped: (statistics.median(run[0] for run in runs), statistics.median(run[1] for run in runs))
            for mapped, runs in seconds.items()}


def serving(path, dim, count):
    """(Pss, anonymous bytes) of each of `count` processes serving the file at once."""
    servers = [subprocess.Popen([sys.executable, "-c", SERVE, path, str(dim), str(QUERIES)],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
               for _ in range(count)]
    try:
        return [tuple(int(word) for word in server.stdout.readline().split()) for server in servers]
    finally:
        for server in servers:
            server.communicate("")


def large_file_path():
    """Where the large run keeps its index between runs: its build takes the
    better part of an hour on two cores."""
    root = pathlib.Path(os.environ.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache")
    return root / "halqen-bench" / f"mapped-{LARGE[0]}x{LARGE[1]}.halqen"


def written_index(data, path):
    import halqen_ext

    index = halqen_ext.GraphIndex(data.shape[1], "euclidean")
    index.add(data.astype(np.float32))
    halqen_ext.write_index(index, path)


def run_all(quick, large=False):
    """The section at its size; `large`: at LARGE, the index built once and
    kept (large_file_path()), without the peers (their builds at that size
    take hours)."""
    import halqen_ext

    count, dim = (20_000, 128) if quick else LARGE if large else (200_000, 256)
    data, queries = gaussian_mixture(count, QUERIES, dim, CLUSTERS, SEED)
    directory = tempfile.mkdtemp(prefix="halqen-bench-")
    try:
        path = str(large_file_path()) if large else os.path.join(directory, "index.halqen")
        if not large or not os.path.exists(path):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            written_index(data, path)
        if large:
            del data
        with open(path, "rb") as stream:
            while stream.read(1 << 26):  # the page cache warm
                pass
        opens = timed_opens(path, dim, 3 if quick else 7)
        alone = serving(path, dim, 1)[0]
        together = serving(path, dim, SERVERS)
        mapped = halqen_ext.read_index(path, mmap=True)
        loaded = halqen_ext.read_index(path)
        seconds = interleaved_medians({
            "mapped": lambda: mapped.search(queries, k=10, threads=1),
            "in memory": lambda: loaded.search(queries, k=10, threads=1),
        }, 3 if quick else 5)
        same = all((a == b).all() for a, b in zip(mapped.search(queries, k=10), loaded.search(queries, k=10)))
        few = queries[:LIMITED_QUERIES]
        limited = None if quick else larger_than_memory(path, few, loaded.search(few, k=10)[0],
                                                        directory)
        peers = {} if quick or large else peer_opens(peer_files(data, directory), dim, 5)
        return {
            "peers": {library: {"open_seconds": opened, "first_answer_seconds": answered, "file_bytes": size}
                      for library, (opened, answered, size) in peers.items()},
            "count": count, "dim": dim, "file_bytes": os.path.getsize(path),
            "open_seconds": {"mapped": opens[True][0], "read": opens[False][0]},
            "first_answer_seconds": {"mapped": opens[True][1], "read": opens[False][1]},
            "private_bytes_after_queries": alone[1], "pss_alone": alone[0],
            "pss_together": sum(pss for pss, _ in together),
            "queries_per_second": {name: QUERIES / value for name, value in seconds.items()},
            "identical_answers": bool(same),
            "half_memory": None if limited is None else {"queries_per_second": limited[0],
                                                         "identical_answers": limited[1]},
        }
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def print_table(result):
    size = result["file_bytes"]
    opens, first = result["open_seconds"], result["first_answer_seconds"]
    rates = result["queries_per_second"]
    print(f"\nmapped: GraphIndex file of {result['count']:,} x {result['dim']} float32 ({size / 1e6:.0f} MB), "
          f"page cache warm")
    print(f"  open: mapped {opens['mapped'] * 1e3:.1f} ms, read {opens['read'] * 1e3:.1f} ms "
          f"(ratio {opens['mapped'] / opens['read']:.3f})")
    print(f"  first answer after the call to open: mapped {first['mapped'] * 1e3:.1f} ms, "
          f"read {first['read'] * 1e3:.1f} ms")
    print(f"  private memory added by the open and {QUERIES} queries: "
          f"{result['private_bytes_after_queries'] / 1e6:.1f} MB "
          f"({result['private_bytes_after_queries'] / size:.3f} of the file)")
    print(f"  {SERVERS} processes serving the file: PSS they added, summed {result['pss_together'] / 1e6:.0f} MB, "
          f"one alone {result['pss_alone'] / 1e6:.0f} MB (ratio {result['pss_together'] / result['pss_alone']:.2f})")
    print(f"  queries/s: mapped {rates['mapped']:.0f}, in memory {rates['in memory']:.0f} "
          f"(ratio {rates['mapped'] / rates['in memory']:.3f}); identical answers: {result['identical_answers']}")
    for library, peer in result["peers"].items():
        print(f"  {library:10}: open {peer['open_seconds'] * 1e3:.1f} ms, first answer "
              f"{peer['first_answer_seconds'] * 1e3:.1f} ms ({peer['file_bytes'] / 1e6:.0f} MB file)")
    limited = result["half_memory"]
    if limited is None:
        print("  in half the file's size of memory: not measured (needs root and cgroup v1 memory)")
    else:
        print(f"  in half the file's size of memory (a cgroup's limit): {limited['queries_per_second']:.0f} "
              f"queries/s, identical answers: {limited['identical_answers']}")


if __name__ == "__main__":
    print_table(run_all(quick="--quick" in sys.argv, large="--large" in sys.argv))
