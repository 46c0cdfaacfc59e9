"""Section serving: a GraphIndex that answers searches while it grows and
shrinks. Four threads each offer 250 searches/s (k=10, one query a call)
while a fifth adds batches of 10,000 vectors, then removes 1% of the index
at a time. Counted: failed searches (the target is none), and answers that
hold an id not yet added or removed before the search began (none).
Measured: each search call's time, and the time it waited inside the call
for the index (the index's own tally), at the median, 99th percentile and
maximum, beside the change and beside nothing; and the changing thread's
rate beside the same search load aimed at a copy of the index, so that the
ratio shows what the index's own waits cost apart from the CPU the
searchers take (on two cores they take the changer's core whatever the
lock does). Clustered 128-dimensional data as in section small_changes:
1,000,000 vectors in the full run (--index PATH reads a saved one of that
data instead of building it), 50,000 with --quick. Run alone:
python bench/serving.py [--quick] [--index PATH]."""
import common  # noqa: F401  (single-threaded set-up before numpy)

import argparse  # noqa: E402
import bisect  # noqa: E402
import copy  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import halqen_ext  # noqa: E402
from halqen_ext import GraphIndex  # noqa: E402
from small_changes import CLUSTERS, DIM, SEED, clustered  # noqa: E402  (the same data)

FULL_COUNT = 1_000_000
QUICK_COUNT = 50_000
SEARCHERS = 4
SEARCHES_PER_SECOND = 250
FULL_BATCH, QUICK_BATCH = 10_000, 2_000
ADD_BATCHES = 5
REMOVED_SHARE = 0.01
REMOVE_CALLS = 3
BUILD_THREADS = 2


class Searchers:
    """SEARCHERS threads, each offering a search every 1/SEARCHES_PER_SECOND
    s to `index` until stopped; what each call took, and what went wrong."""

    def __init__(self, index, queries, removed_before):
        self.index, self.queries, self.removed_before = index, queries, removed_before
        self.stopping = threading.Event()
        self.seconds, self.failures, self.stale = [], [], 0
        self.threads = [threading.Thread(target=self.run, args=(t,)) for t in range(SEARCHERS)]

    def run(self, thread):
        period = 1.0 / SEARCHES_PER_SECOND
        due = time.perf_counter()
        n = thread
        while not self.stopping.is_set():
            due += period
            began = time.perf_counter()
            try:
                ids, _ = self.index.search(self.queries[n % len(self.queries)], k=10)
            except Exception as error:  # noqa: BLE001 - every failure is counted
                self.failures.append(repr(error))
            else:
                self.seconds.append(time.perf_counter() - began)
                gone = self.removed_before(began)
                self.stale += sum(1 for i in ids.tolist() if i in gone)
            n += SEARCHERS
            time.sleep(max(0.0, due - time.perf_counter()))

    def __enter__(self):
        self.waits_before = dict(self.index._search_waits)
        for thread in self.threads:
            thread.start()
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        for thread in self.threads:
            thread.join()
        self.waits = {bound: count - self.waits_before.get(bound, 0)
                      for bound, count in self.index._search_waits}

    def summary(self):
        ms = np.array(self.seconds) * 1e3
        return {"searches": len(ms), "failed": len(self.failures), "stale_ids": self.stale,
                "median_ms": float(np.median(ms)), "p99_ms": float(np.percentile(ms, 99)),
                "max_ms": float(ms.max()), "wait_ms": wait_percentiles(self.waits)}


def wait_percentiles(waits):
    """The median, 99th percentile and longest of the waits for the index
    inside the search calls, each as the upper bound of the index's bucket
    that holds it (buckets 19% apart)."""
    bounds = sorted(bound for bound, count in waits.items() if count > 0)
    counts = np.array([waits[bound] for bound in bounds])
    below = np.cumsum(counts)

    def at(share):
        return bounds[int(np.searchsorted(below, share * below[-1]))] * 1e3

    return at(0.5), at(0.99), bounds[-1] * 1e3


class Removals:
    """The ids removed so far, by the moment each removal ended. Each
    search asks, so the answer is a set made once per removal: building it
    per search would take a core from the index it measures."""

    def __init__(self):
        self.ends, self.gone = [], [frozenset()]

    def note(self, ids):
        self.gone.append(self.gone[-1] | frozenset(ids))
        self.ends.append(time.perf_counter())

    def removed_before(self, moment):
        return self.gone[bisect.bisect_left(self.ends, moment)]


def adds(index, fresh, batch, first_id, removals):
    """The vectors per second of ADD_BATCHES adds."""
    started = time.perf_counter()
    for b in range(ADD_BATCHES):
        rows = fresh[b * batch:(b + 1) * batch]
        index.add(rows, ids=range(first_id + b * batch, first_id + (b + 1) * batch))
    return ADD_BATCHES * batch / (time.perf_counter() - started)


def removes(index, fresh, batch, first_id, removals):
    """The ids per second of REMOVE_CALLS removals of REMOVED_SHARE each."""
    rng = np.random.default_rng(SEED + 1)
    held = np.arange(first_id + ADD_BATCHES * batch)
    per_call = int(len(held) * REMOVED_SHARE)
    chosen = rng.choice(held, per_call * REMOVE_CALLS, replace=False)
    started = time.perf_counter()
    for c in range(REMOVE_CALLS):
        ids = chosen[c * per_call:(c + 1) * per_call].tolist()
        index.remove(ids)
        removals.note(ids)
    return REMOVE_CALLS * per_call / (time.perf_counter() - started)


def built(count, path):
    if path:
        return halqen_ext.read_index(path)
    rng = np.random.default_rng(SEED)
    centres = rng.normal(0.0, 4.0, (CLUSTERS, DIM))
    index = GraphIndex(DIM, "euclidean")
    index.add(clustered(rng, centres, count), threads=BUILD_THREADS)
    return index


def measure(quick, path):
    count = QUICK_COUNT if quick else FULL_COUNT
    batch = QUICK_BATCH if quick else FULL_BATCH
    original = built(count, path)
    rng = np.random.default_rng(SEED + 2)
    centres = rng.normal(0.0, 4.0, (CLUSTERS, DIM))
    fresh = clustered(rng, centres, ADD_BATCHES * batch)
    queries = clustered(rng, centres, 1000)
    result = {"count": count, "batch": batch}
    # Searches beside nothing; then the changes beside searches of a copy,
    # then beside searches of the index being changed.
    with Searchers(original, queries, lambda moment: set()) as alone:
        time.sleep(2.0)
    result["alone"] = alone.summary()
    for name in ("copy", "same"):
        changed = copy.copy(original)
        searched = changed if name == "same" else copy.copy(original)
        changed.search(queries[:100], k=10)  # its pages in
        removals = Removals()
        # Removals from a copy leave the searched index whole.
        removed_before = removals.removed_before if name == "same" else lambda moment: set()
        for kind, change in (("add", adds), ("remove", removes)):
            with Searchers(searched, queries, removed_before) as load:
                rate = change(changed, fresh, batch, count, removals)
            result[f"{kind} beside {name}"] = {"per_s": rate, **load.summary()}
        del changed, searched
    return result


def run_all(quick):
    return measure(quick, None)


def print_table(section):
    r = section
    print(f"\nserving: {SEARCHERS} threads x {SEARCHES_PER_SECOND} searches/s beside adds of "
          f"{r['batch']:,} and removals of {REMOVED_SHARE:.0%}, {r['count']:,} x {DIM}")
    print(f"   {'while':<30} {'searches':>8} {'failed':>6} {'stale':>5} "
          f"{'call ms p50/p99/max':>22} {'wait ms p50/p99/max':>22} {'changed/s':>9}")
    rows = [("nothing changes", r["alone"])]
    for kind in ("add", "remove"):
        rows.append((f"{kind}s run on a copy", r[f"{kind} beside copy"]))
        rows.append((f"{kind}s run on the same index", r[f"{kind} beside same"]))
    for label, s in rows:
        rate = f"{s['per_s']:>9,.0f}" if "per_s" in s else ""
        wait = "{:>7.3f}/{:>6.3f}/{:>7.1f}".format(*s["wait_ms"])
        print(f"   {label:<30} {s['searches']:>8} {s['failed']:>6} {s['stale_ids']:>5} "
              f"{s['median_ms']:>7.2f}/{s['p99_ms']:>6.2f}/{s['max_ms']:>7.1f} {wait} {rate}")
    for kind in ("add", "remove"):
        ratio = r[f"{kind} beside same"]["per_s"] / r[f"{kind} beside copy"]["per_s"]
        print(f"   {kind}s beside searches of the same index, against of a copy: {ratio:.2f}x "
              "(target 0.8x)")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--index", help="a saved index of the full run's data")
    options = parser.parse_args()
    print_table(measure(options.quick, options.index))


if __name__ == "__main__":
    main()
