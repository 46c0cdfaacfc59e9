"""How soon a GraphIndex search ends once its cancel event is set,
with every CPU also kept busy by a spinning process of its own.

Each trial starts a batch search far longer than the trial on every usable
CPU, sets the event after a random delay, and times the set until the search
thread has its CancelledError. Run alone: python bench/cancel.py [--quick]."""
import common  # noqa: F401  (single-threaded set-up before numpy)

import argparse  # noqa: E402
import concurrent.futures  # noqa: E402
import os  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

COUNT, DIM = 20_000, 64
EF = 400
QUERIES = 100_000  # many seconds of searching: every trial is cancelled
# The event is set this long after the search starts, drawn uniformly, so
# that it falls anywhere between two polls.
DELAY = (0.05, 0.15)
SPIN = "while True: pass"


def clustered(rng, count):
    centres = rng.normal(0.0, 10.0, (64, DIM))
    return centres[rng.integers(0, len(centres), count)] + rng.normal(0.0, 1.0, (count, DIM))


def one_trial(index, queries, delay):
    """Seconds from the event's set to the search's CancelledError."""
    event = threading.Event()
    ended = []

    def search():
        try:
            index.search(queries, k=10, ef=EF, cancel=event)
        except concurrent.futures.CancelledError:
            ended.append(time.perf_counter())

    searcher = threading.Thread(target=search)
    searcher.start()
    time.sleep(delay)
    set_at = time.perf_counter()
    event.set()
    searcher.join()
    if not ended:
        raise RuntimeError("the search ended before its event was set: give it more queries")
    return ended[0] - set_at


def run_all(quick):
    from halqen_ext import GraphIndex

    trials = 40 if quick else 300
    rng = np.random.default_rng(0)
    index = GraphIndex(DIM, "euclidean")
    index.add(clustered(rng, COUNT))
    queries = clustered(rng, QUERIES)
    cpus = len(os.sched_getaffinity(0))
    spinners = [subprocess.Popen([sys.executable, "-c", SPIN]) for _ in range(cpus)]
    try:
        latencies = [one_trial(index, queries, rng.uniform(*DELAY)) for _ in range(trials)]
    finally:
        for spinner in spinners:
            spinner.kill()
            spinner.wait()
    return {"trials": trials, "cpus": cpus, "spinners": len(spinners), "count": COUNT, "dim": DIM,
            "ef": EF, "median_seconds": float(np.median(latencies)),
            "p99_seconds": float(np.percentile(latencies, 99)), "max_seconds": float(max(latencies))}


def print_table(result):
    print(f"\ncancel latency: GraphIndex.search of {result['count']} x {result['dim']}, ef "
          f"{result['ef']}, on {result['cpus']} CPUs each also spun by a process; "
          f"{result['trials']} trials")
    for name in ("median", "p99", "max"):
        print(f"   {name:6s} {result[name + '_seconds'] * 1e3:7.1f} ms")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="fewer trials")
    print_table(run_all(parser.parse_args().quick))
