"""Filtered GraphIndex search beside hnswlib's filter callback, one search
thread each, on a Gaussian mixture whose attributes hold at selectivities
0.1%, 1%, 10% and 50%, assigned at random or following the clusters.

For each filter (and unfiltered) the widths ef are tried in rising order;
the figure kept is the queries/s at the first width whose recall@10 reaches
the target. Both libraries run in the same rounds, warmed up first. Beside
it, GraphIndex's recall at its own ef (64), what a user gets untuned,
marked LOW where it falls more than 0.02 below the unfiltered recall there.

A section of the suite (bench/run.py --only filtered), or stand-alone:

    python bench/filtered.py [--count N] [--dim D] [--queries Q] [--plot FILE]
                             [--selectivities 0.1,0.5] [--without-hnswlib]
"""
import argparse
import time
from pathlib import Path

import common  # noqa: F401  (one BLAS thread, before numpy)
import numpy as np

from halqen_ext import GraphIndex

SELECTIVITIES = (0.001, 0.01, 0.05, 0.1, 0.5)
# GraphIndex's own ef: what a user gets untuned.
DEFAULT_EF = 64
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


# The suite's sizes: the full run at the size where clustered attributes
# strain a graph, the quick one small.
FULL = {"count": 100_000, "dim": 128, "queries_count": 200}
QUICK = {"count": 10_000, "dim": 128, "queries_count": 50}
PLOT_NAME = "filtered.png"


def build_indexes(data, masks, names, with_peer):
    """GraphIndex with one 0/1 attribute per mask, and hnswlib (or None)."""
    count, dim = data.shape
    schema = list(names.values())
    graph = GraphIndex(dim, "euclidean", m=16, ef_construction=200, schema=schema)
    metadata = [[(names[key], int(masks[key][i])) for key in masks] for i in range(count)]
    _, graph_build = timed(lambda: graph.add(data, metadata=metadata))
    peer, peer_build = None, 0.0
    if with_peer:
        import hnswlib
        peer = hnswlib.Index(space="l2", dim=dim)
        peer.init_index(max_elements=count, M=16, ef_construction=200, random_seed=0)
        peer.set_num_threads(2)
        data32 = data.astype(np.float32)
        _, peer_build = timed(lambda: peer.add_items(data32, np.arange(count)))
        peer.set_num_threads(1)
    return graph, graph_build, peer, peer_build


def graph_search(graph, flt):
    return lambda qs, ef: graph.search(qs, k=K, ef=ef, filter=flt, threads=1)[0]


def peer_search(peer, mask):
    if peer is None:
        return lambda qs, ef: [np.array([-1])] * len(qs)

    def one_by_one(qs, allowed):
        rows = []
        for query in qs:
            try:
                ids, _ = peer.knn_query(query[None, :], k=K, num_threads=1, filter=allowed)
                rows.append(ids[0])
            except RuntimeError:
                rows.append(np.array([], np.int64))
        return rows

    def run(qs, ef):
        peer.set_ef(max(ef, K))
        allowed = None if mask is None else (lambda label: bool(mask[label]))
        qs = qs.astype(np.float32)
        try:
            ids, _ = peer.knn_query(qs, k=K, num_threads=1, filter=allowed)
        except RuntimeError:
            # Some query found fewer than k matches, which hnswlib refuses
            # to return as one array: those queries count as found nothing.
            return one_by_one(qs, allowed)
        return ids
    return run


def figure(ef_recall_qps, base_qps):
    ef, reached, qps = ef_recall_qps
    return {"ef": ef, "recall": reached, "qps": qps, "ratio": qps / max(base_qps, 1e-9)}


def measure(count, dim, queries_count, selectivities=SELECTIVITIES, with_peer=True):
    """Every filter's figures beside the unfiltered ones, for both libraries."""
    rng = np.random.default_rng(0)
    centres = rng.normal(0.0, 3.0, (CLUSTERS, dim))
    data, labels = mixture(count, dim, rng, centres)
    queries, _ = mixture(queries_count, dim, rng, centres)
    masks = {}
    for selectivity in selectivities:
        masks[("random", selectivity)] = rng.random(count) < selectivity
        masks[("clustered", selectivity)] = clustered_mask(labels, selectivity, rng)
    names = {key: f"{key[0]}_{key[1]}" for key in masks}
    graph, graph_build, peer, peer_build = build_indexes(data, masks, names, with_peer)
    base_truth = exact_truth(data, queries, np.ones(count, bool))
    base_graph = sweep(graph_search(graph, None), queries, base_truth)
    base_default = recall(graph_search(graph, None)(queries, DEFAULT_EF), base_truth)
    base_peer = sweep(peer_search(peer, None), queries, base_truth)
    rows = []
    for key, mask in masks.items():
        truth = exact_truth(data, queries, mask)
        ours = sweep(graph_search(graph, (names[key], 1)), queries, truth)
        theirs = sweep(peer_search(peer, mask), queries, truth)
        default = recall(graph_search(graph, (names[key], 1))(queries, DEFAULT_EF), truth)
        rows.append({"kind": key[0], "selectivity": key[1], "matches": int(mask.sum()),
                     "graph": figure(ours, base_graph[2]), "graph_recall_at_default_ef": default,
                     "hnswlib": figure(theirs, base_peer[2]) if peer else None})
    return {"count": count, "dim": dim, "queries": queries_count, "clusters": CLUSTERS,
            "build_seconds": {"graph": graph_build, "hnswlib": peer_build},
            "unfiltered": {"graph": figure(base_graph, base_graph[2]),
                           "graph_recall_at_default_ef": base_default,
                           "hnswlib": figure(base_peer, base_peer[2]) if peer else None},
            "filters": rows}


def peer_installed():
    try:
        import hnswlib  # noqa: F401
    except ImportError:
        return False
    return True


def run_all(quick):
    return measure(**(QUICK if quick else FULL), with_peer=peer_installed())


def cells(figures):
    if figures is None:
        return f"{'-':>10s} {'-':>7s} {'-':>8s} {'-':>6s}"
    return (f"{figures['ef']:10d} {figures['recall']:7.3f} {figures['qps']:8.0f} "
            f"{figures['ratio']:6.2f}")


def print_table(result):
    build = result["build_seconds"]
    print(f"\n== filtered search: {result['count']:,} x {result['dim']}, {result['clusters']} "
          f"clusters, {result['queries']} queries, k={K}, one search thread, queries/s at the "
          f"first ef reaching recall {TARGET}, ratio to the same library unfiltered; build (2 "
          f"threads) GraphIndex {build['graph']:.1f} s, hnswlib {build['hnswlib']:.1f} s")
    print(f"{'filter':16s} {'matches':>8s} | {'GraphIndex ef  recall     q/s  ratio':>33s} "
          f"{'@ef' + str(DEFAULT_EF):>6s} | {'hnswlib ef  recall     q/s  ratio':>33s}")
    base = result["unfiltered"]
    print(f"{'unfiltered':16s} {result['count']:8d} | {cells(base['graph'])} "
          f"{base['graph_recall_at_default_ef']:6.3f} | {cells(base['hnswlib'])}")
    for row in result["filters"]:
        name = f"{row['kind']} {row['selectivity']:.1%}"
        low = " LOW" if row["graph_recall_at_default_ef"] < base["graph_recall_at_default_ef"] - 0.02 else ""
        print(f"{name:16s} {row['matches']:8d} | {cells(row['graph'])} "
              f"{row['graph_recall_at_default_ef']:6.3f} | {cells(row['hnswlib'])}{low}")


def write_plot(directory, result):
    """Queries/s per selectivity, one panel per kind of attribute."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    panels, axes = plt.subplots(1, 2, figsize=(10, 4), sharey=True)
    base = result["unfiltered"]
    for axis, kind in zip(axes, KINDS):
        chosen = [row for row in result["filters"] if row["kind"] == kind]
        xs = [row["selectivity"] * 100 for row in chosen]
        axis.plot(xs, [row["graph"]["qps"] for row in chosen], "o-", label="GraphIndex")
        axis.axhline(base["graph"]["qps"], ls=":", color="C0", label="GraphIndex unfiltered")
        if base["hnswlib"] is not None:
            axis.plot(xs, [row["hnswlib"]["qps"] for row in chosen], "s-",
                      label="hnswlib filter callback")
            axis.axhline(base["hnswlib"]["qps"], ls=":", color="C1", label="hnswlib unfiltered")
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_xlabel("selectivity (%)")
        axis.set_title(f"{kind} attribute")
    axes[0].set_ylabel(f"queries/s at recall@10 >= {TARGET}")
    axes[0].legend(fontsize=8)
    panels.suptitle(f"filtered search, {result['count']:,} x {result['dim']}, one thread")
    panels.tight_layout()
    path = Path(directory) / PLOT_NAME
    panels.savefig(path)
    plt.close(panels)
    return path


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=FULL["count"])
    parser.add_argument("--dim", type=int, default=FULL["dim"])
    parser.add_argument("--queries", type=int, default=FULL["queries_count"])
    parser.add_argument("--plot", help="a directory to write the plot into")
    parser.add_argument("--selectivities", default=",".join(map(str, SELECTIVITIES)))
    parser.add_argument("--without-hnswlib", action="store_true")
    args = parser.parse_args()
    result = measure(args.count, args.dim, args.queries,
                     tuple(map(float, args.selectivities.split(","))),
                     with_peer=not args.without_hnswlib)
    print_table(result)
    if args.plot:
        print(f"written {write_plot(args.plot, result)}")


if __name__ == "__main__":
    main()
