"""Section 6: sharded indexes on a Dask LocalCluster of two worker processes
(one thread each) against one index in this process, side by side.

- build: ShardedHNSW of N x 128 in 2 shards against one PyHNSW of the same N,
  with recall@10 of the sharded index against exact search;
- batch: ShardedFlat.search_batch of 256 queries over N x 128 in 2 shards
  against one PyFlat searched with halqen_ext.search_batch(threads=1);
- fan-out: the time of one round of tasks (a search of tiny shards) for a
  growing shard count, the cost the client pays per shard;
- merge: the client's merge of S shards' answers, per query, for growing S;
- per-shard figures for the sizing plan (docs/sizing.md): build seconds per
  shard, worker memory per shard, one query's latency.
"""
import os
import time

import numpy as np

import halqen_ext
from common import median_seconds, resident_bytes
from halqen import PyFlat, PyHNSW

DIM = 128
K = 10
QUERIES = 256
RECALL_QUERIES = 100
FAN_OUT_SHARDS = (2, 8, 32, 128)
FAN_OUT_SHARD_ROWS = 64
MERGE_SHARDS = (2, 32, 512)


def cluster():
    from distributed import Client, LocalCluster
    local = LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None)
    return local, Client(local)


def worker_resident_bytes(client):
    return sum(client.run(resident_bytes).values())


def recall_at_k(answers, vectors, queries, k):
    truth = np.argsort(((queries[:, None, :] - vectors[None, :, :]) ** 2).sum(-1), axis=1)[:, :k]
    found = 0
    for answer, row in zip(answers, truth):
        found += len({np.asarray(v).tobytes() for _, v in answer} & {vectors[i].tobytes() for i in row})
    return found / truth.size


def single_build(count, rng):
    """One PyHNSW of the data, built before the cluster starts: halqen holds
    the interpreter lock for a whole build, which would starve the scheduler
    of a LocalCluster living in this process."""
    vectors = rng.normal(size=(count, DIM))
    started = time.perf_counter()
    PyHNSW(DIM, metric="euclidean").create(vectors)
    return vectors, time.perf_counter() - started


def build(client, vectors, single, rng):
    from halqen_dask import ShardedHNSW
    count = len(vectors)
    queries = rng.normal(size=(RECALL_QUERIES, DIM))
    before = worker_resident_bytes(client)
    started = time.perf_counter()
    sharded = ShardedHNSW(DIM, metric="euclidean", client=client, shard_size=count // 2)
    sharded.create(vectors)
    sharded_seconds = time.perf_counter() - started
    memory = worker_resident_bytes(client) - before
    one_query = median_seconds(lambda: sharded.search(queries[0], K), 9)
    recall = recall_at_k(sharded.search_batch(queries, K), vectors, queries, K)
    sharded.close()
    return {"count": count, "dim": DIM, "shards": 2, "single_seconds": single,
            "sharded_seconds": sharded_seconds, "speedup": single / sharded_seconds,
            "recall_at_10": recall, "worker_bytes_per_shard_incl_copy": memory / 2,
            "sharded_query_seconds": one_query}


def single_batch(count, rng, repeats):
    """One PyFlat searched with halqen_ext.search_batch on one thread."""
    vectors = rng.normal(size=(count, DIM))
    queries = rng.normal(size=(QUERIES, DIM))
    single = PyFlat(DIM)
    single.create(vectors)
    seconds = median_seconds(lambda: halqen_ext.search_batch(single, queries, K, threads=1), repeats)
    return vectors, queries, halqen_ext.search_batch(single, queries, K, threads=1), seconds


def batch(client, vectors, queries, expected, single_seconds, repeats):
    from halqen_dask import ShardedFlat
    count = len(vectors)
    sharded = ShardedFlat(DIM, client=client, shard_size=count // 2)
    sharded.create(vectors)
    assert sharded.search_batch(queries, K) == expected  # the same answers, exactly
    sharded_seconds = median_seconds(lambda: sharded.search_batch(queries, K), repeats)
    one_query = median_seconds(lambda: sharded.search(queries[0], K), repeats)
    sharded.close()
    return {"count": count, "dim": DIM, "queries": QUERIES, "k": K, "shards": 2,
            "single_seconds": single_seconds, "sharded_seconds": sharded_seconds,
            "throughput_ratio": single_seconds / sharded_seconds, "sharded_query_seconds": one_query}


def fan_out(client, rng, repeats):
    from halqen_dask import ShardedFlat
    rows = []
    for shards in FAN_OUT_SHARDS:
        index = ShardedFlat(DIM, client=client, shard_size=FAN_OUT_SHARD_ROWS)
        index.create(rng.normal(size=(shards * FAN_OUT_SHARD_ROWS, DIM)))
        query = rng.normal(size=DIM)
        rows.append({"shards": shards, "round_seconds": median_seconds(lambda: index.search(query, K), repeats)})
    return rows


def merge(rng):
    """The client-side merge alone, on made-up sorted answers."""
    from halqen_dask._merge import merge_flat
    rows = []
    for shards in MERGE_SHARDS:
        per_shard = []
        for shard in range(shards):
            distances = np.sort(rng.random((QUERIES, K)), axis=1)
            per_shard.append([[(shard * K + i, float(d)) for i, d in enumerate(row)] for row in distances])
        seconds = median_seconds(lambda: merge_flat(per_shard, K), 3)
        rows.append({"shards": shards, "k": K, "seconds_per_query": seconds / QUERIES})
    return rows


def run_all(quick, rng):
    repeats = 3
    # Parallel speed-ups need free cores: the load says how many there were.
    results = {"load_average_at_start": os.getloadavg()[0], "merge": merge(rng)}
    vectors, queries, expected, single_seconds = single_batch(200_000 if quick else 2_000_000, rng, repeats)
    local, client = cluster()
    try:
        results["fan_out"] = fan_out(client, rng, 5 if quick else 15)
        results["batch"] = batch(client, vectors, queries, expected, single_seconds, repeats)
    finally:
        client.close()
        local.close()
    del vectors
    vectors, single = single_build(8_000 if quick else 40_000, rng)
    local, client = cluster()
    try:
        results["build"] = build(client, vectors, single, rng)
    finally:
        client.close()
        local.close()
    return results


def print_table(results):
    b = results["build"]
    print(f"\n6. sharded indexes, LocalCluster of 2 worker processes x 1 thread "
          f"(load average {results['load_average_at_start']:.1f} at the start)")
    print(f"   build {b['count']:,} x {b['dim']}: one PyHNSW {b['single_seconds']:.1f} s, "
          f"ShardedHNSW (2 shards) {b['sharded_seconds']:.1f} s: {b['speedup']:.2f}x faster, "
          f"recall@10 {b['recall_at_10']:.3f}, one query {b['sharded_query_seconds'] * 1e3:.2f} ms, "
          f"{b['worker_bytes_per_shard_incl_copy'] / 1e6:.0f} MB per shard with its copy")
    f = results["batch"]
    print(f"   batch of {f['queries']} over {f['count']:,} x {f['dim']}, k={f['k']}: one PyFlat "
          f"(search_batch, 1 thread) {f['single_seconds']:.2f} s, ShardedFlat (2 shards) "
          f"{f['sharded_seconds']:.2f} s: {f['throughput_ratio']:.2f}x the throughput; "
          f"one query {f['sharded_query_seconds'] * 1e3:.1f} ms")
    print("   one round of tasks (tiny shards): " + ", ".join(
        f"{row['shards']} shards {row['round_seconds'] * 1e3:.1f} ms" for row in results["fan_out"]))
    print(f"   client merge, k={K}, per query: " + ", ".join(
        f"{row['shards']} shards {row['seconds_per_query'] * 1e6:.0f} us" for row in results["merge"]))
