"""Section 7: one PyHNSW at the defaults (dim 128, random data): a search
against a PyFlat search over the same data, timed side by side in the same
rounds, the resident bytes per vector of the whole index, and its build
time. Each size runs in a fresh process (bench/graph_worker.py)."""
import json
import subprocess
import sys

from common import BENCH_DIR


def worker(count, repeats):
    command = [sys.executable, str(BENCH_DIR / "graph_worker.py"), str(count), str(repeats)]
    finished = subprocess.run(command, check=True, capture_output=True, text=True)
    return json.loads(finished.stdout)


def run_all(quick):
    counts = [5_000] if quick else [20_000]
    repeats = 5 if quick else 9
    return {"rows": [worker(count, repeats) for count in counts]}


def print_table(result):
    print("\n7. one graph at the defaults, dim 128, k=10: PyHNSW.search against PyFlat.search "
          "on the same data;\n   bytes/vector: resident growth of the build, the index's "
          "copy of the vectors included")
    for row in result["rows"]:
        ratio = row["hnsw_query_seconds"] / row["flat_query_seconds"]
        print(f"   N={row['count']:7,d}  PyHNSW {row['hnsw_query_seconds'] * 1e6:8.1f} us  "
              f"PyFlat {row['flat_query_seconds'] * 1e6:8.1f} us  ratio {ratio:5.2f}  "
              f"build {row['build_seconds']:6.1f} s  {row['bytes_per_vector']:7,.0f} bytes/vector")
