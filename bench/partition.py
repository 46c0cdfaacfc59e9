"""Section partition: the partition index (halqen_ext.PartitionIndex)
beside ScaNN, faiss IndexIVFPQFastScan under an exact refine, and
halqen_ext.GraphIndex, on clustered data under the angular metric:
1,000,000 x 50 and x 100 (--quick: 100,000 x 50). Every library gets the
same unit-length float32 rows, is built with 2 threads (the machine's
cores) in a fresh process of its own (bench/partition_worker.py) and
searched there on one thread, one query per call from Python, as
ann-benchmarks does. Recall@10 is against the exact cosine neighbours of
the held-out queries."""
import json
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

import clustered
import ground_truth
import partition_libraries
from common import BENCH_DIR

FULL_SETS = ((1_000_000, 50), (1_000_000, 100))
QUICK_SETS = ((100_000, 50),)
QUERIES = 1_000
# About a thousand vectors per cluster, as in the graph comparisons.
VECTORS_PER_CLUSTER = 1_000
SEED = 20270301
BUILD_THREADS = 2
RECALL_TARGETS = (0.95, 0.99)
# The one the ratios are taken against.
REFERENCE = "ScaNN"
ORDER = ("PartitionIndex", "ScaNN", "faiss", "GraphIndex")
# Lines of a failed worker's error kept in the results.
ERROR_LINES = 12


def label(count, dim):
    return f"clustered angular, {count:,} x {dim}"


def make_set(count, dim, directory):
    """Writes the float32 unit rows and queries the libraries get; returns
    them again in float64, scaled to length 1 exactly, for the ground truth
    (the libraries' own input is its truth: a float32 rounding is no miss)."""
    clusters = max(1, count // VECTORS_PER_CLUSTER)
    data, queries = clustered.gaussian_mixture(count, QUERIES, dim, clusters, SEED)
    data = partition_libraries.unit_rows(data).astype(np.float32)
    queries = partition_libraries.unit_rows(queries).astype(np.float32)
    np.save(directory / "data.npy", data)
    np.save(directory / "queries.npy", queries)
    return partition_libraries.unit_rows(data), partition_libraries.unit_rows(queries), clusters


def run_worker(name, directory, quick):
    """The worker's JSON, or {"failed": its error} when it stopped."""
    command = [sys.executable, str(BENCH_DIR / "partition_worker.py"), name, str(directory),
               str(BUILD_THREADS)] + (["--quick"] if quick else [])
    finished = subprocess.run(command, capture_output=True, text=True)
    if finished.returncode != 0:
        tail = finished.stderr.strip().splitlines()[-ERROR_LINES:]
        if finished.returncode < 0:
            tail.append(f"killed by signal {-finished.returncode}")
        return {"failed": "\n".join(tail)}
    return json.loads(finished.stdout.splitlines()[-1])


def score(row, directory, data, queries, kth):
    """Each point's recall@10 from the ids the worker saved."""
    with np.load(directory / f"{row['library']}.npz") as answers:
        for number, point in enumerate(row["points"]):
            point["recall"] = float(ground_truth.recall(data, queries, answers[f"point{number}"],
                                                        kth))


def best_rate(points, target):
    rates = [point["queries_per_second"] for point in points if point["recall"] >= target]
    return max(rates) if rates else None


def summarize(row):
    """One line per (library, series): the figures the table shows. A
    library's first series is its own knob; any other is named beside it."""
    lines = []
    for number, series in enumerate(dict.fromkeys(point["series"] for point in row["points"])):
        mine = [point for point in row["points"] if point["series"] == series]
        lines.append({
            "library": row["library"],
            "series": series,
            "label": row["library"] if number == 0 else f"{row['library']} ({series})",
            "build_seconds": row["build_seconds"],
            "build_cpu_seconds": row["build_cpu_seconds"],
            "bytes_per_vector": row["bytes_per_vector"],
            "vector_bytes": row["vector_bytes"],
            "queries_per_second_at": {str(target): best_rate(mine, target)
                                      for target in RECALL_TARGETS},
            "highest_recall": max(point["recall"] for point in mine),
        })
    return lines


def ratios(summary):
    """halqen's rows against the reference library at its best over all its
    settings: queries/s at each recall target (above 1: halqen is faster)
    and build seconds (below 1: halqen builds faster)."""
    reference = [row for row in summary if row["library"] == REFERENCE]
    if not reference:
        return []
    best = {target: max((row["queries_per_second_at"][str(target)] or 0) for row in reference)
            for target in RECALL_TARGETS}
    found = []
    for row in summary:
        if row["library"] not in ("PartitionIndex", "GraphIndex"):
            continue
        entry = {"library": row["library"], "series": row["series"], "label": row["label"],
                 "against": REFERENCE,
                 "build_seconds": row["build_seconds"] / reference[0]["build_seconds"]}
        for target in RECALL_TARGETS:
            mine = row["queries_per_second_at"][str(target)]
            entry[f"queries_per_second_at_{target}"] = (mine / best[target]
                                                        if mine and best[target] else None)
        found.append(entry)
    return found


def compare(count, dim, quick):
    available = {name: partition_libraries.unavailable_reason(name) for name in ORDER}
    result = {"data": label(count, dim), "count": count, "dim": dim, "queries": QUERIES,
              "k": partition_libraries.K, "metric": "angular", "build_threads": BUILD_THREADS,
              "skipped": {name: reason for name, reason in available.items() if reason},
              "libraries": []}
    with tempfile.TemporaryDirectory(prefix="halqen-partition-") as name:
        directory = Path(name)
        data, queries, result["clusters"] = make_set(count, dim, directory)
        kth = ground_truth.kth_distances(data, queries, partition_libraries.K)
        for library in ORDER:
            if available[library]:
                continue
            row = run_worker(library, directory, quick)
            if "failed" in row:
                result["skipped"][library] = "failed: " + row["failed"]
                continue
            score(row, directory, data, queries, kth)
            result["libraries"].append(row)
    result["summary"] = [line for row in result["libraries"] for line in summarize(row)]
    result["ratios"] = ratios(result["summary"])
    return result


def run_all(quick):
    return {"results": [compare(count, dim, quick)
                        for count, dim in (QUICK_SETS if quick else FULL_SETS)]}


def rate_text(rate):
    return f"{rate:9,.0f}" if rate else f"{'-':>9s}"


def summary_line(row):
    rates = " ".join(rate_text(row["queries_per_second_at"][str(target)])
                     for target in RECALL_TARGETS)
    return (f"   {row['label']:34s} {row['build_seconds']:8.1f} {row['build_cpu_seconds']:7.1f}  "
            f"{row['bytes_per_vector']:8,.0f} ({row['vector_bytes']:4,d})  {rates}  "
            f"{row['highest_recall']:7.4f}")


def ratio_lines(result):
    lines = []
    for entry in result["ratios"]:
        rates = ", ".join(f"{entry[f'queries_per_second_at_{target}']:.2f} at {target}"
                          if entry[f"queries_per_second_at_{target}"] else f"- at {target}"
                          for target in RECALL_TARGETS)
        lines.append(f"   {entry['label']} / {entry['against']}: queries/s {rates}; "
                     f"build seconds {entry['build_seconds']:.2f}")
    return lines


def print_result(result):
    print(f"\n   {result['data']}, {result['clusters']:,} clusters: {result['queries']:,} "
          f"held-out queries, recall@{result['k']}")
    for name, reason in result["skipped"].items():
        print(f"   skipped {name}: {reason}")
    if not result["summary"]:
        return
    targets = " ".join(f"{'qps@' + str(target):>9s}" for target in RECALL_TARGETS)
    print(f"   {'library':34s} {'build s':>8s} {'cpu s':>7s}  bytes/vec (vector) {targets}  "
          "recall max")
    for row in result["summary"]:
        print(summary_line(row))
    for line in ratio_lines(result):
        print(line)


def print_table(section):
    print("\npartition: partition indexes side by side, angular metric")
    print(f"   built with {BUILD_THREADS} threads (this machine's cores), searched on one, one "
          "query per call;\n   build: wall and CPU seconds; bytes/vec: resident growth of the "
          "build; qps@r: best\n   queries/s (from CPU time) at recall >= r; ratios below 1 in "
          "build seconds are faster builds")
    for result in section["results"]:
        print_result(result)


def write_plot(directory, section):
    """Recall@10 against queries/s, one PNG per data set."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    for result in section["results"]:
        if not result["libraries"]:
            continue
        figure, axes = plt.subplots(figsize=(8, 5))
        for row in result["libraries"]:
            for series in dict.fromkeys(point["series"] for point in row["points"]):
                points = sorted((point for point in row["points"] if point["series"] == series),
                                key=lambda point: (point["recall"], point["queries_per_second"]))
                # The best rate reached at each recall or above: a grid's front.
                front, best = [], 0.0
                for point in reversed(points):
                    if point["queries_per_second"] > best:
                        best = point["queries_per_second"]
                        front.append(point)
                front.reverse()
                axes.plot([p["recall"] for p in front], [p["queries_per_second"] for p in front],
                          marker="o", markersize=3, label=f"{row['library']} ({series})")
        axes.set_yscale("log")
        axes.set_xlabel(f"recall@{result['k']}")
        axes.set_ylabel("queries per second, one thread")
        axes.set_title(f"{result['data']}, {result['queries']:,} held-out queries")
        axes.grid(True, which="both", alpha=0.3)
        axes.legend()
        figure.tight_layout()
        figure.savefig(directory / f"partition_{result['count']}_{result['dim']}.png", dpi=100)
        plt.close(figure)
