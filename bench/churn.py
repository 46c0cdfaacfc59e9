"""Section 10: GraphIndex under removals and additions, beside a fresh build
over the same final set (bench/churn_worker.py, each figure in a fresh
process): (a) half of the vectors removed at random and as many new ones
added: recall@10 at the same ef and resident memory; (b) ten rounds of
removing 10% at random and adding as many: recall@10 after every round.
Held-out queries; clustered data and Fashion-MNIST where installed."""
import json
import subprocess
import sys

import ann_data
from ann_data import DataSpec
from common import BENCH_DIR

FULL_SETS = (DataSpec("clustered", count=60_000, queries=500),
             DataSpec("fashion", count=30_000, queries=500))
QUICK_SETS = (DataSpec("clustered", count=6_000, queries=200),)
FULL_ROUNDS = 10
QUICK_ROUNDS = 3
# The targets: recall within this of the fresh build's, memory at most this
# multiple of it.
RECALL_GAP = 0.02
MEMORY_RATIO = 1.1


def worker(spec, mode, rounds):
    command = [sys.executable, str(BENCH_DIR / "churn_worker.py"), mode, "--rounds",
               str(rounds)] + spec.arguments()
    finished = subprocess.run(command, check=True, capture_output=True, text=True)
    return json.loads(finished.stdout)


def run_set(spec, rounds):
    reason = ann_data.unavailable_reason(spec)
    if reason:
        return {"data": spec.label(), "skipped": reason}
    return {"data": spec.label(), "half": worker(spec, "half", rounds),
            "fresh": worker(spec, "fresh", rounds), "rounds": worker(spec, "rounds", rounds)}


def run_all(quick):
    sets, rounds = (QUICK_SETS, QUICK_ROUNDS) if quick else (FULL_SETS, FULL_ROUNDS)
    return {"results": [run_set(spec, rounds) for spec in sets]}


def recall_row(label, churned, fresh):
    cells = "  ".join(f"ef {ef:>3}: {churned[ef]:.3f} vs {fresh[ef]:.3f}" for ef in churned)
    worst = max(fresh[ef] - churned[ef] for ef in churned)
    verdict = "ok" if worst <= RECALL_GAP else "MISSED"
    return f"   {label:<10} {cells}  (largest gap {worst:+.3f}, {verdict})"


def print_table(section):
    print("\n10. GraphIndex after removals and additions beside a fresh build over the same set "
          "(M 16,\n   ef_construction 200, recall@10 churned vs fresh at the same ef; memory: "
          "resident growth)")
    for result in section["results"]:
        print(f"   {result['data']}")
        if "skipped" in result:
            print(f"      skipped: {result['skipped']}")
            continue
        half, fresh = result["half"], result["fresh"]
        ratio = half["resident_bytes"] / fresh["resident_bytes"]
        print(f"   (a) {half['removed']:,} of {half['count']:,}"
              f" removed (remove {half['remove_seconds']:.1f} s), as many added; memory "
              f"{ratio:.3f}x the fresh build's ({'ok' if ratio <= MEMORY_RATIO else 'MISSED'})")
        print(recall_row("(a)", half["recall"], fresh["recall"]))
        for number, row in enumerate(result["rounds"]["rounds"], start=1):
            print(recall_row(f"(b) {number:>2}", row["churned"], row["fresh"]))
