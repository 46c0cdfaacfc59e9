"""Section 8: the graph indexes side by side (halqen_ext.GraphIndex,
once per walk, hnswlib, faiss IndexHNSWFlat, usearch) on held-out real data and on
clustered synthetic data: recall@10 against queries per second on one
thread, build time on 1 and 2 threads, resident bytes per vector
(bench/ann_compare.py). Sets that cannot load here are skipped with the
reason."""
import ann_compare
import peers
from ann_data import DataSpec
from ann_report import print_comparison

FULL_SETS = (DataSpec("digits"), DataSpec("fashion"), DataSpec("wordnet"),
             DataSpec("clustered", count=100_000))
QUICK_SETS = (DataSpec("digits"), DataSpec("clustered", count=20_000, queries=200))
QUICK_EFS = (10, 32, 100, 300)
QUICK_REPEATS = 1


def run_sets(sets, quick):
    efs = QUICK_EFS if quick else ann_compare.EFS
    repeats = QUICK_REPEATS if quick else ann_compare.SEARCH_REPEATS
    return {"results": [ann_compare.compare(spec, list(peers.COMPARED), efs=efs,
                                            repeats=repeats) for spec in sets]}


def run_all(quick):
    return run_sets(QUICK_SETS if quick else FULL_SETS, quick)


def print_section(title, section):
    print(f"\n{title}")
    print("   M 16, ef_construction 200; peers in float32, GraphIndex in float64; one search "
          "thread;\n   build: wall seconds per thread count, and the CPU seconds of the first; "
          "bytes/vec: resident\n   growth of the build; qps@r: best queries/s (from CPU time) "
          "at recall >= r")
    for result in section["results"]:
        print_comparison(result)


def print_table(section):
    print_section("8. graph indexes side by side on held-out data", section)
