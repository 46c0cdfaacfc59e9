"""Sections 4 and 5: approximate search against the peers, and the index
size from which a graph query is cheaper than an exact one."""
import json
import subprocess
import sys

from common import BENCH_DIR

LIBRARIES = ("halqen", "hnswlib", "faiss")


def worker(library, count, build_repeats, query_repeats, digits=False):
    command = [sys.executable, str(BENCH_DIR / "approx_worker.py"), library, str(count),
               str(build_repeats), str(query_repeats)]
    if digits:
        command.append("--digits")
    finished = subprocess.run(command, check=True, capture_output=True, text=True)
    return json.loads(finished.stdout)


def have_scikit_learn():
    try:
        import sklearn  # noqa: F401
    except ImportError:
        return False
    return True


def run_all(quick):
    sizes = [2_000, 5_000] if quick else [2_000, 5_000, 20_000]
    build_repeats = 1 if quick else 3
    query_repeats = 3 if quick else 5
    rows = []
    for count in sizes:
        for library in LIBRARIES:
            rows.append(worker(library, count, build_repeats, query_repeats))
    digits = []
    if have_scikit_learn():
        digits = [worker(library, 0, build_repeats, query_repeats, digits=True)
                  for library in LIBRARIES]
    return {"random": rows, "digits": digits, "crossover": crossover(quick, rows)}


def crossover(quick, random_rows):
    """PyHNSW against PyFlat query time over a range of N; the rows of
    section 4 are reused and a few more sizes built once each."""
    extra = [500, 1_000] if quick else [500, 1_000, 10_000]
    points = {row["count"]: row for row in random_rows if row["library"] == "halqen"}
    for count in extra:
        points[count] = worker("halqen", count, 1, 3)
    series = [{"count": count, "hnsw_query_seconds": points[count]["query_seconds"],
               "flat_query_seconds": points[count]["flat_query_seconds"]}
              for count in sorted(points)]
    cheaper = [p["count"] for p in series if p["hnsw_query_seconds"] < p["flat_query_seconds"]]
    return {"series": series, "first_cheaper_count": cheaper[0] if cheaper else None}


def print_rows(title, rows):
    print(f"\n{title}")
    print(f"   {'library':8s} {'N':>7s} {'build s':>9s} {'query us':>9s} {'recall@10':>9s} "
          f"{'bytes/node':>10s}")
    for row in rows:
        print(f"   {row['library']:8s} {row['count']:7,d} {row['build_seconds']:9.3f} "
              f"{row['query_seconds'] * 1e6:9.1f} {row['recall_at_10']:9.3f} "
              f"{row['graph_bytes_per_node']:10.0f}")


def print_table(result):
    print_rows("4. approximate search, random dim 128, k=10 (PyHNSW defaults; peers M=16, "
               "ef_construction=200, ef=50)\n   bytes/node: resident growth of the build beyond "
               "the raw vector bytes", result["random"])
    if result["digits"]:
        print_rows("   scikit-learn digits (1,697 indexed x 64, 100 held-out queries)",
                   result["digits"])
    crossing = result["crossover"]
    print("\n5. crossover: one PyHNSW query against one PyFlat query")
    for point in crossing["series"]:
        ratio = point["hnsw_query_seconds"] / point["flat_query_seconds"]
        print(f"   N={point['count']:7,d}  PyHNSW {point['hnsw_query_seconds'] * 1e6:9.1f} us  "
              f"PyFlat {point['flat_query_seconds'] * 1e6:9.1f} us  ratio {ratio:5.2f}")
    first = crossing["first_cheaper_count"]
    print("   PyHNSW cheaper from N = " + (f"{first:,}" if first else "none of the sizes measured"))
