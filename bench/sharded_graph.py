"""Section sharded_graph: ShardedGraph on a Dask LocalCluster of two worker processes
(one thread each) against one halqen_ext.GraphIndex on one thread in this
process, side by side, on clustered synthetic data (bench/clustered.py):

- build: N x 128 in 2 shards against one GraphIndex of the same N (add with
  threads=1), and the heap bytes and worker resident memory per vector;
- search: a batch of 1,000 held-out queries, k = 10, timed in alternating
  rounds (three times the other figures' rounds; medians), at the same ef
  and at the same recall@10 (exact neighbours from
  bench/ground_truth.py): queries/s of each, by wall and by CPU time;
- per shard at dim 768: one GraphIndex built and searched on one thread, the
  figures docs/sizing.md scales to 100 million and 1 billion vectors;
- fan-out: one search round over S tiny shards, for growing S, and the
  client's merge of S shards' answers per query.
The load average at the start and end says how many of the 2 cores the run
had; on a busy machine the parallel ratios fall.
"""
import os
import time

import numpy as np

import halqen_ext
from clustered import gaussian_mixture
from common import interleaved_medians, resident_bytes
from ground_truth import kth_distances, recall
from sharded import cluster, worker_resident_bytes

DIM, WIDE_DIM = 128, 768
K = 10
QUERIES = 1_000
SEARCH_EFS = (64, 128)
SHARDED_EFS = (32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 256)
VECTORS_PER_CLUSTER = 1_000
SEED = 24
SEARCH_ROUNDS_PER_REPEAT = 3
FAN_OUT_SHARDS = (2, 8, 32)
FAN_OUT_SHARD_ROWS = 64
MERGE_SHARDS = (2, 32, 512)


def worker_cpu_seconds(client):
    """Each worker process's CPU time so far, in address order."""
    return [seconds for _, seconds in sorted(client.run(time.process_time).items())]


class CpuClock:
    """Wall time, this process's CPU time and each worker's CPU time over a
    call. On a shared machine the wall time holds whatever share of the cores
    the processes got; the busiest process's CPU time (the workers run side
    by side, the client merges after them) is the wall time free cores would
    give."""

    def __init__(self, client):
        self.client = client

    def measure(self, function):
        workers, own, started = worker_cpu_seconds(self.client), time.process_time(), time.perf_counter()
        function()
        wall, own = time.perf_counter() - started, time.process_time() - own
        workers = [after - before for after, before in zip(worker_cpu_seconds(self.client), workers)]
        return {"wall": wall, "own_cpu": own, "busiest_worker_cpu": max(workers)}


def build_side_by_side(client, vectors):
    from halqen_dask import ShardedGraph
    clock = CpuClock(client)
    single = halqen_ext.GraphIndex(DIM, "euclidean")
    single_times = clock.measure(lambda: single.add(vectors, threads=1))
    before = worker_resident_bytes(client)
    sharded = ShardedGraph(DIM, "euclidean", client=client, shard_size=len(vectors) // 2)
    sharded_times = clock.measure(lambda: sharded.add(vectors))
    resident = worker_resident_bytes(client) - before
    heap = sharded.heap_bytes()
    return single, sharded, {
        "count": len(vectors), "dim": DIM, "shards": sharded.shard_count,
        "single_seconds": single_times["wall"], "sharded_seconds": sharded_times["wall"],
        "build_speedup": single_times["wall"] / sharded_times["wall"],
        "single_cpu_seconds": single_times["own_cpu"],
        "sharded_busiest_worker_cpu_seconds": sharded_times["busiest_worker_cpu"],
        "build_speedup_by_cpu": single_times["own_cpu"] / sharded_times["busiest_worker_cpu"],
        "heap_bytes_per_vector": heap / len(vectors),
        "worker_resident_bytes_per_vector": resident / len(vectors)}


def search_cpu_ratio(client, single, sharded, queries, single_ef, sharded_ef, repeats):
    """One GraphIndex's queries per CPU second, and the queries/s ratio free
    cores would give: its CPU time against the busiest worker's plus the
    client's, medians of rounds."""
    clock = CpuClock(client)
    singles, shardeds = [], []
    for _ in range(repeats):
        singles.append(clock.measure(lambda: single.search(queries, K, ef=single_ef, threads=1))["own_cpu"])
        times = clock.measure(lambda: sharded.search(queries, K, ef=sharded_ef))
        shardeds.append(times["busiest_worker_cpu"] + times["own_cpu"])
    return {"single_qps_by_cpu": len(queries) / float(np.median(singles)),
            "qps_ratio_by_cpu": float(np.median(singles) / np.median(shardeds))}


def search_pair(client, single, sharded, queries, single_ef, sharded_ef, repeats):
    """Queries/s of one GraphIndex at single_ef and of ShardedGraph at
    sharded_ef, timed in alternating rounds."""
    seconds = interleaved_medians({
        "single": lambda: single.search(queries, K, ef=single_ef, threads=1),
        "sharded": lambda: sharded.search(queries, K, ef=sharded_ef),
    }, repeats)
    return {"single_ef": single_ef, "sharded_ef": sharded_ef, "queries": len(queries),
            "single_qps": len(queries) / seconds["single"], "sharded_qps": len(queries) / seconds["sharded"],
            "qps_ratio": seconds["single"] / seconds["sharded"],
            **search_cpu_ratio(client, single, sharded, queries, single_ef, sharded_ef, repeats)}


def search_side_by_side(client, single, sharded, vectors, queries, repeats):
    """At each ef of one GraphIndex: ShardedGraph at the same ef (its shards
    share it), and at the smallest ef of SHARDED_EFS whose recall reaches
    one GraphIndex's."""
    kth = kth_distances(vectors, queries, K)
    sharded_recall = {ef: recall(vectors, queries, sharded.search(queries, K, ef=ef)[0], kth) for ef in SHARDED_EFS}
    rows = []
    for ef in SEARCH_EFS:
        single_recall = recall(vectors, queries, single.search(queries, K, ef=ef, threads=1)[0], kth)
        matched = min((width for width in SHARDED_EFS if sharded_recall[width] >= single_recall), default=ef)
        for sharded_ef in dict.fromkeys((ef, matched)):
            rows.append({**search_pair(client, single, sharded, queries, ef, sharded_ef, repeats),
                         "single_recall": single_recall, "sharded_recall": sharded_recall[sharded_ef]})
    return rows


def wide_shard(count, repeats):
    """One GraphIndex of count x 768 on one thread: build rate, queries/s at
    ef 64, heap and resident bytes per vector."""
    vectors, queries = gaussian_mixture(count, QUERIES, WIDE_DIM, max(1, count // VECTORS_PER_CLUSTER), SEED)
    before = resident_bytes()
    index = halqen_ext.GraphIndex(WIDE_DIM, "euclidean")
    started, cpu = time.perf_counter(), time.process_time()
    index.add(vectors, threads=1)
    build_seconds, build_cpu = time.perf_counter() - started, time.process_time() - cpu
    resident = resident_bytes() - before
    del vectors
    seconds = interleaved_medians({"search": lambda: index.search(queries, K, threads=1)}, repeats)
    cpu_seconds = interleaved_medians({"search": lambda: index.search(queries, K, threads=1)}, repeats,
                                      clock=time.process_time)
    return {"count": count, "dim": WIDE_DIM, "build_seconds": build_seconds, "build_cpu_seconds": build_cpu,
            "vectors_per_build_second": count / build_seconds, "vectors_per_build_cpu_second": count / build_cpu,
            "qps_ef64": QUERIES / seconds["search"], "qps_ef64_by_cpu": QUERIES / cpu_seconds["search"],
            "heap_bytes_per_vector": getattr(halqen_ext, "__heap_bytes")(index) / count,
            "resident_bytes_per_vector": resident / count}


def fan_out(client, rng, repeats):
    from halqen_dask import ShardedGraph
    rows = []
    for shards in FAN_OUT_SHARDS:
        index = ShardedGraph(DIM, "euclidean", client=client, shards=shards)
        index.add(rng.normal(size=(shards * FAN_OUT_SHARD_ROWS, DIM)))
        query = rng.normal(size=DIM)
        seconds = interleaved_medians({"round": lambda: index.search(query, K)}, repeats)
        rows.append({"shards": shards, "round_seconds": seconds["round"]})
        index.close()
    return rows


def merge(rng, repeats):
    """The client's merge alone, on made-up sorted answers of S shards."""
    from halqen_dask._merge import merge_graph
    rows = []
    for shards in MERGE_SHARDS:
        per_shard = [(rng.integers(0, 2**40, size=(QUERIES, K)), np.sort(rng.random((QUERIES, K)), axis=1))
                     for _ in range(shards)]
        seconds = interleaved_medians({"merge": lambda: merge_graph(per_shard, K, False)}, repeats)
        rows.append({"shards": shards, "k": K, "seconds_per_query": seconds["merge"] / QUERIES})
    return rows


def run_all(quick, rng):
    count = 100_000 if quick else 1_000_000
    repeats = 3 if quick else 5
    results = {"load_average_at_start": os.getloadavg()[0], "merge": merge(rng, repeats)}
    vectors, queries = gaussian_mixture(count, QUERIES, DIM, count // VECTORS_PER_CLUSTER, SEED)
    local, client = cluster()
    try:
        single, sharded, results["build"] = build_side_by_side(client, vectors)
        # A batch takes about 0.1 s and the machine's noise is large: more rounds.
        results["search"] = search_side_by_side(client, single, sharded, vectors, queries,
                                                SEARCH_ROUNDS_PER_REPEAT * repeats)
        del single
        sharded.close()
        results["fan_out"] = fan_out(client, rng, repeats)
    finally:
        client.close()
        local.close()
    del vectors
    results["wide_shard"] = wide_shard(10_000 if quick else 50_000, repeats)
    results["load_average_at_end"] = os.getloadavg()[0]
    return results


def print_table(results):
    b = results["build"]
    print(f"\nsharded_graph: ShardedGraph, LocalCluster of 2 worker processes x 1 thread, clustered data "
          f"(load average {results['load_average_at_start']:.1f} at the start, "
          f"{results['load_average_at_end']:.1f} at the end)")
    print(f"   build {b['count']:,} x {b['dim']}: one GraphIndex (1 thread) {b['single_seconds']:.1f} s, "
          f"ShardedGraph ({b['shards']} shards) {b['sharded_seconds']:.1f} s: {b['build_speedup']:.2f}x faster "
          f"(by CPU time: one GraphIndex {b['single_cpu_seconds']:.1f} s, busiest worker "
          f"{b['sharded_busiest_worker_cpu_seconds']:.1f} s: {b['build_speedup_by_cpu']:.2f}x); "
          f"{b['heap_bytes_per_vector']:.0f} heap bytes and {b['worker_resident_bytes_per_vector']:.0f} "
          f"worker resident bytes per vector")
    for row in results["search"]:
        print(f"   {row['queries']} queries, k={K}: one GraphIndex at ef {row['single_ef']} "
              f"{row['single_qps']:.0f} q/s "
              f"(recall {row['single_recall']:.3f}), ShardedGraph at ef {row['sharded_ef']} "
              f"{row['sharded_qps']:.0f} q/s "
              f"(recall {row['sharded_recall']:.3f}): {row['qps_ratio']:.2f}x "
              f"({row['qps_ratio_by_cpu']:.2f}x by CPU time)")
    w = results["wide_shard"]
    print(f"   one shard of {w['count']:,} x {w['dim']} on one thread: build {w['build_seconds']:.1f} s "
          f"({w['vectors_per_build_second']:.0f} vectors/s; {w['vectors_per_build_cpu_second']:.0f} per CPU "
          f"second), {w['qps_ef64']:.0f} q/s at ef 64 ({w['qps_ef64_by_cpu']:.0f} per CPU second), "
          f"{w['heap_bytes_per_vector']:.0f} heap / {w['resident_bytes_per_vector']:.0f} resident bytes per vector")
    print("   one search round (tiny shards): " + ", ".join(
        f"{row['shards']} shards {row['round_seconds'] * 1e3:.1f} ms" for row in results["fan_out"]))
    print(f"   client merge, k={K}, per query: " + ", ".join(
        f"{row['shards']} shards {row['seconds_per_query'] * 1e6:.1f} us" for row in results["merge"]))
