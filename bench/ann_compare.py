"""One side-by-side comparison of the graph indexes on one data set: each
library built in fresh processes (once per thread count, the libraries
taking turns), then all searched in one process over the same held-out
queries (bench/ann_build_worker.py, bench/ann_search_worker.py)."""
import json
import subprocess
import sys
import tempfile
from pathlib import Path

import ann_data
import peers
from common import BENCH_DIR

BUILD_THREADS = (1, 2)
EFS = (10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512)
SEARCH_REPEATS = 3
RECALL_TARGETS = (0.95, 0.99)


def run_worker(script, words):
    command = [sys.executable, str(BENCH_DIR / script), *words]
    finished = subprocess.run(command, capture_output=True, text=True)
    if finished.returncode != 0:
        raise RuntimeError(f"{script} {' '.join(words)} failed:\n{finished.stderr}")
    return json.loads(finished.stdout.splitlines()[-1])


def available_libraries(names):
    """(names that can run, {name: why not} for the others)."""
    reasons = {name: peers.unavailable_reason(name) for name in names}
    return ([name for name in names if reasons[name] is None],
            {name: reason for name, reason in reasons.items() if reason})


def build_all(spec, names, build_threads, directory):
    """Every build, and the file each library's last build was saved to."""
    builds, saved = [], {}
    for threads in build_threads:
        for name in names:
            path = Path(directory) / f"{name}.index"
            words = [name, str(threads), *spec.arguments()]
            if threads == build_threads[-1]:
                words += ["--save", str(path)]
            row = run_worker("ann_build_worker.py", words)
            builds.append(row)
            if row["saved"]:
                saved[name] = path
    return builds, saved


def search_all(spec, names, saved, efs, repeats):
    words = [*spec.arguments(), "--ef", *map(str, efs), "--repeats", str(repeats)]
    for name in names:
        words += ["--library", f"{name}={saved[name]}" if name in saved else name]
    return run_worker("ann_search_worker.py", words)


def best_rate(points, target):
    rates = [point["queries_per_second"] for point in points if point["recall"] >= target]
    return max(rates) if rates else None


def summarize(name, builds, points):
    mine = [point for point in points if point["library"] == name]
    built = {row["threads"]: row for row in builds if row["library"] == name}
    first = built[min(built)]
    return {
        "library": name,
        "build_seconds": {str(threads): row["build_seconds"] for threads, row in built.items()},
        "build_cpu_seconds": {str(threads): row["build_cpu_seconds"]
                              for threads, row in built.items()},
        "bytes_per_vector": first["bytes_per_vector"],
        "vector_bytes": first["vector_bytes"],
        "queries_per_second_at": {str(target): best_rate(mine, target)
                                  for target in RECALL_TARGETS},
        "highest_recall": max(point["recall"] for point in mine),
    }


def compare(spec, libraries, build_threads=BUILD_THREADS, efs=EFS, repeats=SEARCH_REPEATS):
    names, skipped = available_libraries(libraries)
    reason = ann_data.unavailable_reason(spec)
    result = {"data": spec.label(), "spec": spec.arguments(), "skipped": skipped}
    if reason or not names:
        result["skipped_data"] = reason or "no library available"
        return result
    ann_data.prepare(spec)
    with tempfile.TemporaryDirectory(prefix="halqen-ann-") as directory:
        builds, saved = build_all(spec, names, tuple(build_threads), directory)
        search = search_all(spec, names, saved, efs, repeats)
    first = builds[0]
    result.update({
        "count": first["count"], "dim": first["dim"], "k": search["k"],
        "queries": search["queries"], "builds": builds, "points": search["points"],
        "summary": [summarize(name, builds, search["points"]) for name in names],
    })
    return result
