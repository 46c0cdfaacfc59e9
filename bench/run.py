"""The benchmark suite: halqen against numpy, faiss and hnswlib, every
library on one thread, every figure a median of several runs.

Writes bench/results/latest.json and PNG plots beside it, and prints a table.
Usage: python bench/run.py [--quick] [--only SECTION ...]
Sections: exact, ingestion, overhead, approximate (approximate includes the
crossover), persistence, batch (halqen_ext.search_batch), memory (create's resident
memory and speed, in fresh processes), sharded (Dask), sharded_graph
(ShardedGraph against one GraphIndex, and its per-shard figures), graph (one PyHNSW at the
defaults: its search beside PyFlat's, its memory per vector and build time),
graph_load (halqen_ext.GraphIndex read back for each walk and metric,
beside a plain read of its file, and the peak memory of a load),
ann (halqen_ext.GraphIndex beside hnswlib, faiss and usearch on held-out
data: recall against queries per second, build time, memory per vector),
ann_million (the same at 1,000,000 x 128, clustered; left out by --quick),
filtered (GraphIndex's filtered search beside hnswlib's filter callback at
selectivities 0.1% to 50%, attributes at random and following the clusters),
churn (GraphIndex after removals and additions beside a fresh build over the
same set: recall@10 at the same ef, resident memory), code_fit (GraphIndex's
default walk on 8-bit codes beside its float32 walk on data that is not well
scaled: outliers, heavy tails, mixed units, ranges that widen; recall@10 at
the same ef), cancel (how soon a GraphIndex search ends once its cancel event
is set, every CPU also busy), small_changes (the time of one add and one
removal in GraphIndex of 100,000 and 1,000,000 vectors), serving (searches in
four threads while a fifth adds to and removes from the same GraphIndex:
failures, call times, and the changing thread's rate against a copy),
storage (GraphIndex on float32 input with float32 rows beside float64 rows:
memory per vector, queries/s at recall 0.95, identical answers, what widening
costs), mapped (a GraphIndex file opened with mmap=True beside one read
into memory: open time, first answer, private memory, 4 processes' memory,
queries/s), expressions (filter expressions: ranges, and, or, not, beside
hnswlib's filter callback and post-filtering; a filter per query against one
shared), partition (halqen_ext.PartitionIndex beside ScaNN, faiss
IndexIVFPQFastScan with an exact refine and GraphIndex on clustered angular
data, 1,000,000 x 50 and x 100: recall@10 against queries per second on one
thread, build time on 2 threads, memory per vector).
"""
import common  # noqa: F401  (single-threaded set-up before numpy)

import argparse  # noqa: E402
import json  # noqa: E402
import platform  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import ann  # noqa: E402
import ann_million  # noqa: E402
import approx  # noqa: E402
import batch  # noqa: E402
import cancel  # noqa: E402
import churn  # noqa: E402
import code_fit  # noqa: E402
import exact  # noqa: E402
import expressions  # noqa: E402
import filtered  # noqa: E402
import graph  # noqa: E402
import graph_load  # noqa: E402
import ingest  # noqa: E402
import mapped  # noqa: E402
import memory  # noqa: E402
import overhead  # noqa: E402
import partition  # noqa: E402
import persist  # noqa: E402
import plots  # noqa: E402
import sharded  # noqa: E402
import sharded_graph  # noqa: E402
import serving  # noqa: E402
import small_changes  # noqa: E402
import storage  # noqa: E402
from common import RESULTS_DIR, machine_description  # noqa: E402

# Each section's module, in the order they run, and whether its run_all
# draws from the shared random generator.
SECTIONS = {
    "exact": (exact, True),
    "ingestion": (ingest, True),
    "overhead": (overhead, False),
    "approximate": (approx, False),
    "persistence": (persist, True),
    "batch": (batch, True),
    "memory": (memory, False),
    "sharded": (sharded, True),
    "sharded_graph": (sharded_graph, True),
    "graph": (graph, False),
    "graph_load": (graph_load, True),
    "ann": (ann, False),
    "ann_million": (ann_million, False),
    "filtered": (filtered, False),
    "expressions": (expressions, False),
    "churn": (churn, False),
    "code_fit": (code_fit, False),
    "cancel": (cancel, False),
    "small_changes": (small_changes, False),
    "serving": (serving, False),
    "storage": (storage, False),
    "mapped": (mapped, False),
    "partition": (partition, False),
}
SEED = 0


def blas_description():
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return []
    return [{key: pool.get(key) for key in ("internal_api", "num_threads", "architecture")}
            for pool in threadpool_info()]


def run(quick, sections):
    rng = np.random.default_rng(SEED)
    results = {}
    for name, (module, uses_rng) in SECTIONS.items():
        if name in sections:
            results[name] = module.run_all(quick, rng) if uses_rng else module.run_all(quick)
            module.print_table(results[name])
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes, few repeats (< 2 min)")
    parser.add_argument("--only", nargs="+", choices=SECTIONS, default=list(SECTIONS),
                        help="run only these sections")
    options = parser.parse_args()
    started = time.perf_counter()
    sections = run(options.quick, options.only)
    report = {
        "quick": options.quick,
        "machine": machine_description(),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "blas": blas_description(),
        "seconds_total": time.perf_counter() - started,
        "sections": sections,
    }
    RESULTS_DIR.mkdir(parents=True, exist_ok=True)
    (RESULTS_DIR / "latest.json").write_text(json.dumps(report, indent=2) + "\n")
    plots.write_all(RESULTS_DIR, report)
    print(f"\nwritten {RESULTS_DIR / 'latest.json'} and plots; "
          f"total {report['seconds_total']:.0f} s")


if __name__ == "__main__":
    main()
