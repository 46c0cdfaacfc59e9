"""Filtered GraphIndex search beside hnswlib's filter callback, one search
thread each, on a Gaussian mixture whose attributes hold at selectivities
0.1%, 1%, 10% and 50%, assigned at random or following the clusters.

For each filter (and unfiltered) the widths ef are tried in rising order;
the figure kept is the queries/s at the first width whose recall@10 reaches
the target. Both libraries run in the same rounds, warmed up first.

    python bench/filtered.py [--count N] [--dim D] [--queries Q] [--plot FILE]
                             [--selectivities 0.1,0.5] [--without-hnswlib]
"""
import argparse
import time

import common  # noqa: F401  (one BLAS thread, before numpy)
import numpy as np

from halqen_ext import GraphIndex

SELECTIVITIES = (0.001, 0.01, 0.1, 0.5)
KINDS = ("random", "clustered")
WIDTHS = (10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024)
TARGET = 0.95
# Timed calls per figure; the median is kept (the machine is shared).
ROUNDS = 3
# Seconds of one call past which wider searches are not tried.
PATIENCE = 20.0
K = 10
CLUSTERS = 100
# The share of matches that the clustered kind puts in its hot clusters.
HOT_SHARE = 0.9


def mixture(count, dim, rng, centres):
    labels = rng.integers(0, len(centres), count)
    return centres[labels] + rng.normal(0.0, 1.0, (count, dim)), labels


def clustered_mask(labels, selectivity, rng):
    """Most matches in a few clusters: HOT_SHARE of them in the hot clusters
    (a tenth of the clusters, or the selectivity's share if larger)."""
    hot_count = max(1, int(round(max(0.1, selectivity) * CLUSTERS)))
    hot = np.zeros(CLUSTERS, bool)
    hot[rng.choice(CLUSTERS, hot_count, replace=False)] = True
    in_hot = hot[labels]
    hot_rate = min(1.0, HOT_SHARE * selectivity * len(labels) / max(1, in_hot.sum()))
    cold_rate = (selectivity * len(labels) - hot_rate * in_hot.sum()) / max(1, (~in_hot).sum())
    draws = rng.random(len(labels))
    return np.where(in_hot, draws < hot_rate, draws < max(0.0, cold_rate))


def exact_truth(data, queries, mask):
    """Ids of the K nearest matching vectors per query (float64 matmul)."""
    ids = np.flatnonzero(mask)
    rows = data[ids]
    norms = (rows * rows).sum(1)
    truth = []
    for start in range(0, len(queries), 64):
        block = queries[start:start + 64]
        scores = norms[None, :] - 2.0 * block @ rows.T
        take = min(K, len(ids))
        best = np.argpartition(scores, take - 1, axis=1)[:, :take]
        truth.extend(ids[row] for row in best)
    return truth


def recall(found, truth):
    hits = sum(len(set(f.tolist()) & set(t.tolist())) for f, t in zip(found, truth))
    return hits / sum(len(t) for t in truth)


def timed(function):
    started = time.perf_counter()
    result = function()
    return result, time.perf_counter() - started


def sweep(search, queries, truth):
    """(ef, recall, queries/s) at the first width reaching TARGET, else the last."""
    search(queries[:20], WIDTHS[0])  # warm-up
    for ef in WIDTHS:
        found, seconds = timed(lambda: search(queries, ef))
        reached = recall(found, truth)
        if reached >= TARGET or ef == WIDTHS[-1] or seconds > PATIENCE:
            break
    seconds = sorted(timed(lambda: search(queries, ef))[1] for _ in range(ROUNDS))
    return ef, reached, len(queries) / seconds[ROUNDS // 2]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--plot")
    parser.add_argument("--selectivities", default=",".join(map(str, SELECTIVITIES)))
    parser.add_argument("--without-hnswlib", action="store_true")
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    centres = rng.normal(0.0, 3.0, (CLUSTERS, args.dim))
    data, labels = mixture(args.count, args.dim, rng, centres)
    queries, _ = mixture(args.queries, args.dim, rng, centres)
    masks = {}
    for selectivity in map(float, args.selectivities.split(",")):
        masks[("random", selectivity)] = rng.random(args.count) < selectivity
        masks[("clustered", selectivity)] = clustered_mask(labels, selectivity, rng)
    names = {key: f"{key[0]}_{key[1]}" for key in masks}

    schema = list(names.values())
    graph = GraphIndex(args.dim, "euclidean", m=16, ef_construction=200, schema=schema)
    metadata = [[(names[key], int(masks[key][i])) for key in masks] for i in range(args.count)]
    _, graph_build = timed(lambda: graph.add(data, metadata=metadata))
    peer, peer_build = None, 0.0
    if not args.without_hnswlib:
        import hnswlib
        peer = hnswlib.Index(space="l2", dim=args.dim)
        peer.init_index(max_elements=args.count, M=16, ef_construction=200, random_seed=0)
        peer.set_num_threads(2)
        data32 = data.astype(np.float32)
        _, peer_build = timed(lambda: peer.add_items(data32, np.arange(args.count)))
        peer.set_num_threads(1)
    print(f"{args.count:,} x {args.dim}, {CLUSTERS} clusters, {args.queries} queries, k={K}, "
          f"one search thread; build (2 threads) GraphIndex {graph_build:.1f} s, "
          f"hnswlib {peer_build:.1f} s")

    def graph_search(flt):
        return lambda qs, ef: graph.search(qs, k=K, ef=ef, filter=flt, threads=1)[0]

    def peer_search(mask):
        if peer is None:
            return lambda qs, ef: [np.array([-1])] * len(qs)

        def run(qs, ef):
            peer.set_ef(max(ef, K))
            allowed = None if mask is None else (lambda label: bool(mask[label]))
            ids, _ = peer.knn_query(qs.astype(np.float32), k=K, num_threads=1, filter=allowed)
            return ids
        return run

    all_mask = np.ones(args.count, bool)
    base_truth = exact_truth(data, queries, all_mask)
    base_graph = sweep(graph_search(None), queries, base_truth)
    base_peer = sweep(peer_search(None), queries, base_truth)
    base_peer = base_peer[:2] + (max(base_peer[2], 1e-9),)
    print(f"{'filter':16s} {'matches':>8s} | {'GraphIndex ef  recall     q/s  ratio':>38s} | "
          f"{'hnswlib ef  recall     q/s  ratio':>36s}")
    line = "{:16s} {:8d} | {:13d} {:7.3f} {:8.0f} {:6.2f} | {:10d} {:7.3f} {:8.0f} {:6.2f}"
    print(line.format("unfiltered", args.count, base_graph[0], base_graph[1], base_graph[2], 1.0,
                      base_peer[0], base_peer[1], base_peer[2], 1.0))
    rows = []
    for key, mask in masks.items():
        truth = exact_truth(data, queries, mask)
        ours = sweep(graph_search((names[key], 1)), queries, truth)
        theirs = sweep(peer_search(mask), queries, truth)
        rows.append((key, ours, theirs))
        print(line.format(names[key], int(mask.sum()), ours[0], ours[1], ours[2],
                          ours[2] / base_graph[2], theirs[0], theirs[1], theirs[2],
                          theirs[2] / base_peer[2]))
    if args.plot:
        plot(rows, base_graph, base_peer, args)


def plot(rows, base_graph, base_peer, args):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    figure, axes = plt.subplots(1, 2, figsize=(10, 4), sharey=True)
    for axis, kind in zip(axes, KINDS):
        chosen = [row for row in rows if row[0][0] == kind]
        xs = [row[0][1] * 100 for row in chosen]
        axis.plot(xs, [row[1][2] for row in chosen], "o-", label="GraphIndex")
        axis.plot(xs, [row[2][2] for row in chosen], "s-", label="hnswlib filter callback")
        axis.axhline(base_graph[2], ls=":", color="C0", label="GraphIndex unfiltered")
        axis.axhline(base_peer[2], ls=":", color="C1", label="hnswlib unfiltered")
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_xlabel("selectivity (%)")
        axis.set_title(f"{kind} attribute")
    axes[0].set_ylabel(f"queries/s at recall@10 >= {TARGET}")
    axes[0].legend(fontsize=8)
    figure.suptitle(f"filtered search, {args.count:,} x {args.dim}, one thread")
    figure.tight_layout()
    figure.savefig(args.plot)


if __name__ == "__main__":
    main()
