"""One measurement of GraphIndex under removals and additions, in a fresh
process so that its resident growth is its own. Prints one JSON object.

  half    build on two thirds of the set, remove half of them at random, add
          the last third: recall@10 per ef on held-out queries, and the
          resident growth from before the build to the end
  fresh   a build over the same final set as `half`: the same figures
  rounds  build on half of the set, then per round remove 10% at random and
          add as many vectors not in the index (some removed earlier):
          recall@10 per ef after each round, beside a fresh build over the
          same set

Usage: churn_worker.py MODE [--rounds R] DATA-ARGUMENTS
"""
import common  # noqa: F401  (single-threaded set-up before numpy)

import argparse  # noqa: E402
import gc  # noqa: E402
import json  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import ann_data  # noqa: E402
import ground_truth  # noqa: E402
import peers  # noqa: E402
from common import resident_bytes  # noqa: E402

K = 10
EFS = (16, 32, 64, 128)
SEED = 20261210
BUILD_THREADS = 2
REMOVED_SHARE = 0.5
ROUND_SHARE = 0.1
# The warm-up build touches the allocator and starts the threads first.
WARMUP_VECTORS = 1_000


def new_index(dim):
    import halqen_ext

    return halqen_ext.GraphIndex(dim, "euclidean", m=peers.M,
                                 ef_construction=peers.EF_CONSTRUCTION)


def recalls(index, data, queries, live):
    """recall@10 per ef against the exact neighbours among the live rows."""
    kth = ground_truth.kth_distances(data[live], queries, K)
    return {ef: float(ground_truth.recall(data, queries, index.search(queries, K, ef=ef,
                                                                      threads=1)[0], kth))
            for ef in EFS}


def fresh_build(data, live):
    index = new_index(data.shape[1])
    index.add(data[live], ids=live, threads=BUILD_THREADS)
    return index


def half_final_set(count, rng):
    """(initial rows, removed rows, added rows, final rows) of `half`."""
    initial = np.arange(count * 2 // 3)
    removed = np.sort(rng.choice(initial, int(len(initial) * REMOVED_SHARE), replace=False))
    added = np.arange(len(initial), len(initial) + len(removed))
    final = np.sort(np.concatenate([np.setdiff1d(initial, removed), added]))
    return initial, removed, added, final


def measure_half(mode, data, queries):
    initial, removed, added, final = half_final_set(len(data), np.random.default_rng(SEED))
    gc.collect()
    before = resident_bytes()
    started = time.perf_counter()
    if mode == "fresh":
        index = fresh_build(data, final)
    else:
        index = new_index(data.shape[1])
        index.add(data[initial], ids=initial, threads=BUILD_THREADS)
        removing = time.perf_counter()
        index.remove(removed, threads=BUILD_THREADS)
        remove_seconds = time.perf_counter() - removing
        index.add(data[added], ids=added, threads=BUILD_THREADS)
    seconds = time.perf_counter() - started
    gc.collect()
    grown = resident_bytes() - before
    result = {"mode": mode, "count": len(final), "seconds": seconds, "resident_bytes": grown,
              "recall": recalls(index, data, queries, final)}
    if mode == "half":
        result["remove_seconds"] = remove_seconds
        result["removed"] = len(removed)
    return result


def measure_rounds(data, queries, rounds):
    rng = np.random.default_rng(SEED)
    live = np.arange(len(data) // 2)
    index = new_index(data.shape[1])
    index.add(data[live], ids=live, threads=BUILD_THREADS)
    per_round = []
    for _ in range(rounds):
        share = int(len(live) * ROUND_SHARE)
        removed = rng.choice(live, share, replace=False)
        outside = np.setdiff1d(np.arange(len(data)), live)
        added = np.sort(rng.choice(outside, share, replace=False))
        index.remove(removed, threads=BUILD_THREADS)
        index.add(data[added], ids=added, threads=BUILD_THREADS)
        live = np.sort(np.concatenate([np.setdiff1d(live, removed), added]))
        per_round.append({"churned": recalls(index, data, queries, live),
                          "fresh": recalls(fresh_build(data, live), data, queries, live)})
    return {"mode": "rounds", "count": len(live), "rounds": per_round}


def main():
    spec, rest = ann_data.parse_spec(None)
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=("half", "fresh", "rounds"))
    parser.add_argument("--rounds", type=int, default=10)
    options = parser.parse_args(rest)
    data, queries = ann_data.load(spec)
    new_index(data.shape[1]).add(data[:WARMUP_VECTORS], threads=BUILD_THREADS)
    if options.mode == "rounds":
        result = measure_rounds(data, queries, options.rounds)
    else:
        result = measure_half(options.mode, data, queries)
    result["data"] = spec.label()
    print(json.dumps(result))


if __name__ == "__main__":
    main()
