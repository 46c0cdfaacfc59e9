"""Filter expressions in GraphIndex.search (ranges, and, or, not) beside
hnswlib's filter callback and hnswlib with post-filtering (k·c nearest,
matches kept), one search thread each, on a Gaussian mixture whose vectors
hold an Int "year" of 30 values at random, an Int "era" and "zone" that
follow the clusters, a long-tailed Float "price", a String "lang" of 8
values and a String "tier" that is "common" for 90% of them.

Per case: the queries/s at the first width whose recall@10 reaches 0.95
(as bench/filtered.py), its ratio to the unfiltered rate, and the recall at
the index's own ef (64) beside the unfiltered recall there. Then a batch of
1,000 queries, each with its own range of about 10%, against the same batch
with one range shared.

A section of the suite (bench/run.py --only expressions), or stand-alone:

    python bench/expressions.py [--quick] [--without-hnswlib] [--count N] [--plot DIRECTORY]
"""
import argparse
import math
from pathlib import Path

import common  # noqa: F401  (one BLAS thread, before numpy)
import numpy as np

from common import interleaved_medians
from filtered import CLUSTERS, K, TARGET, exact_truth, mixture, peer_installed, peer_search, recall, sweep
from halqen_ext import GraphIndex

FULL = {"count": 100_000, "dim": 128, "queries_count": 200}
QUICK = {"count": 10_000, "dim": 128, "queries_count": 50}
LANGS = ["en", "de", "fr", "es", "it", "nl", "pt", "pl"]
DEFAULT_EF = 64
BATCH = 1000
BATCH_ROUNDS = 5
# Candidates post-filtering asks for per match it needs, beyond 1/selectivity.
POST_FILTER_SLACK = 2.0


def attributes(labels, rng):
    count = len(labels)
    noise = rng.random(count) < 0.1
    return {
        "year": rng.integers(2000, 2030, count),
        "era": np.where(noise, rng.integers(2000, 2030, count), 2000 + labels % 30),
        "zone": labels // 10,
        "price": np.round(rng.pareto(1.5, count), 2),
        "lang": rng.integers(0, len(LANGS), count),
        "tier": rng.random(count) < 0.9,
    }


def metadata_of(values, i):
    return [("year", int(values["year"][i])), ("era", int(values["era"][i])),
            ("zone", int(values["zone"][i])), ("price", float(values["price"][i])),
            ("lang", LANGS[values["lang"][i]]), ("tier", "common" if values["tier"][i] else "rare")]


def cases(values):
    """(name, expression, mask of the vectors it admits)."""
    price = values["price"]
    listed = []
    for share in (0.001, 0.01, 0.1, 0.5):
        bound = float(np.quantile(price, 1.0 - share))
        listed.append((f"range {share:.1%}", {"price": {"$gt": bound}}, price > bound))
    en_de = np.isin(values["lang"], [0, 1])
    listed += [
        ("and, independent", {"year": {"$gte": 2020}, "lang": {"$in": ["en", "de"]}},
         (values["year"] >= 2020) & en_de),
        ("and, correlated", {"era": {"$lt": 2010}, "zone": {"$in": [0, 1, 2, 3, 4]}},
         (values["era"] < 2010) & (values["zone"] < 5)),
        ("or of two attributes", {"$or": [{"lang": "nl"}, {"year": 2011}]},
         (values["lang"] == 5) | (values["year"] == 2011)),
        ("not of a 90% value", {"$not": {"tier": "common"}}, ~values["tier"]),
    ]
    return listed


def post_filter_search(peer, mask):
    """hnswlib asked for k·c neighbours, the matches kept."""
    share = max(mask.mean(), 1.0 / len(mask))
    wanted = min(len(mask), int(math.ceil(K * POST_FILTER_SLACK / share)))

    def run(qs, ef):
        peer.set_ef(max(ef, wanted))
        ids, _ = peer.knn_query(qs.astype(np.float32), k=wanted, num_threads=1)
        return [row[mask[row]][:K] for row in ids]
    return run


def at_default_ef(search, queries, truth):
    return recall(search(queries, DEFAULT_EF), truth)


def ten_percent_ranges(price, rng, count):
    """`count` ranges of price, each holding about 10% of the vectors."""
    ordered = np.sort(price)
    starts = rng.integers(0, int(len(price) * 0.9), count)
    return [{"price": {"$gte": float(ordered[s]), "$lt": float(ordered[s + len(price) // 10])}}
            for s in starts]


def measure(count, dim, queries_count, with_peer=True):
    rng = np.random.default_rng(0)
    centres = rng.normal(0.0, 3.0, (CLUSTERS, dim))
    data, labels = mixture(count, dim, rng, centres)
    queries, _ = mixture(queries_count, dim, rng, centres)
    values = attributes(labels, rng)
    graph = GraphIndex(dim, "euclidean", schema=["year", "era", "zone", "price", "lang", "tier"])
    graph.add(data, metadata=[metadata_of(values, i) for i in range(count)])
    peer = None
    if with_peer:
        import hnswlib
        peer = hnswlib.Index(space="l2", dim=dim)
        peer.init_index(max_elements=count, M=16, ef_construction=200, random_seed=0)
        peer.set_num_threads(2)
        peer.add_items(data.astype(np.float32), np.arange(count))
        peer.set_num_threads(1)

    def ours(flt):
        return lambda qs, ef: graph.search(qs, k=K, ef=ef, filter=flt, threads=1)[0]

    every = np.ones(count, bool)
    base_truth = exact_truth(data, queries, every)
    base = sweep(ours(None), queries, base_truth)
    base_peer = sweep(peer_search(peer, None), queries, base_truth) if peer else None
    base_default = at_default_ef(ours(None), queries, base_truth)
    rows = []
    for name, expression, mask in cases(values):
        truth = exact_truth(data, queries, mask)
        found = sweep(ours(expression), queries, truth)
        row = {"case": name, "matches": int(mask.sum()),
               "graph": {"ef": found[0], "recall": found[1], "qps": found[2], "ratio": found[2] / base[2],
                         "recall_at_default_ef": at_default_ef(ours(expression), queries, truth)}}
        if peer:
            for label, search in (("hnswlib", peer_search(peer, mask)),
                                  ("post-filter", post_filter_search(peer, mask))):
                theirs = sweep(search, queries, truth)
                row[label] = {"ef": theirs[0], "recall": theirs[1], "qps": theirs[2],
                              "ratio": theirs[2] / base_peer[2]}
        rows.append(row)
    batch, _ = mixture(BATCH, dim, rng, centres)
    own = ten_percent_ranges(values["price"], rng, BATCH)
    # In turns, so that load from elsewhere on the machine falls on both.
    seconds = interleaved_medians({
        "apart": lambda: graph.search(batch, k=K, filters=own, threads=1),
        "shared": lambda: graph.search(batch, k=K, filter=own[0], threads=1),
    }, BATCH_ROUNDS)
    apart, shared = seconds["apart"], seconds["shared"]
    return {"count": count, "dim": dim, "queries": queries_count,
            "unfiltered": {"graph": {"ef": base[0], "recall": base[1], "qps": base[2],
                                     "recall_at_default_ef": base_default},
                           "hnswlib": None if base_peer is None else {"ef": base_peer[0], "qps": base_peer[2]}},
            "cases": rows,
            "batch": {"queries": BATCH, "own_filters_qps": BATCH / apart, "shared_filter_qps": BATCH / shared}}


def run_all(quick):
    return measure(**(QUICK if quick else FULL), with_peer=peer_installed())


def peer_cells(figures, width):
    """A peer's queries/s and ratio, or why there are none."""
    if figures is None:
        return f"{'-':>{width}s} {'-':>5s}"
    if figures["recall"] < 0.95:
        return f"{'<0.95':>{width}s} {'-':>5s}"
    return f"{figures['qps']:{width}.0f} {figures['ratio']:5.2f}"


def print_table(result):
    base = result["unfiltered"]["graph"]
    print(f"\nexpressions: {result['count']:,} x {result['dim']}, {result['queries']} queries, k {K}, "
          f"one thread; unfiltered {base['qps']:.0f} q/s at ef {base['ef']} "
          f"(recall {base['recall']:.3f}), recall {base['recall_at_default_ef']:.3f} at ef {DEFAULT_EF}")
    print(f"  {'case':24s} {'matches':>8s} | {'GraphIndex ef':>13s} {'recall':>6s} {'q/s':>7s} {'ratio':>5s} "
          f"{'@ef64':>6s} | {'hnswlib q/s':>11s} {'ratio':>5s} | {'post-filter q/s':>15s} {'ratio':>5s}")
    for row in result["cases"]:
        ours = row["graph"]
        print(f"  {row['case']:24s} {row['matches']:8d} | {ours['ef']:13d} {ours['recall']:6.3f} "
              f"{ours['qps']:7.0f} {ours['ratio']:5.2f} {ours['recall_at_default_ef']:6.3f} | "
              f"{peer_cells(row.get('hnswlib'), 11)} | {peer_cells(row.get('post-filter'), 15)}")
    batch = result["batch"]
    print(f"  {batch['queries']:,} queries, a 10% range each: {batch['own_filters_qps']:.0f} q/s; "
          f"one range shared: {batch['shared_filter_qps']:.0f} q/s "
          f"(ratio {batch['own_filters_qps'] / batch['shared_filter_qps']:.2f})")


PLOT_NAME = "expressions.png"


def write_plot(directory, result):
    """Per case, each library's queries/s at recall 0.95 as a share of its
    own unfiltered rate (a missing bar: recall 0.95 not reached)."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    rows = result["cases"]
    labels = ("graph", "hnswlib", "post-filter")
    names = {"graph": "GraphIndex", "hnswlib": "hnswlib filter callback",
             "post-filter": "hnswlib, post-filtered"}
    figure, axis = plt.subplots(figsize=(10, 4.5))
    width = 0.8 / len(labels)
    for offset, label in enumerate(labels):
        ratios = [row[label]["ratio"] if row.get(label) and row[label]["recall"] >= TARGET else 0.0
                  for row in rows]
        axis.bar([i + offset * width for i in range(len(rows))], ratios, width, label=names[label])
    axis.axhline(1.0, ls=":", color="grey")
    axis.set_yscale("log")
    axis.set_xticks([i + width for i in range(len(rows))])
    axis.set_xticklabels([row["case"] for row in rows], rotation=30, ha="right", fontsize=8)
    axis.set_ylabel(f"queries/s at recall@10 >= {TARGET} / unfiltered")
    axis.legend(fontsize=8)
    axis.set_title(f"filter expressions, {result['count']:,} x {result['dim']}, one thread")
    figure.tight_layout()
    path = Path(directory) / PLOT_NAME
    figure.savefig(path)
    plt.close(figure)
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--without-hnswlib", action="store_true")
    parser.add_argument("--plot", help="a directory to write the plot into")
    parser.add_argument("--count", type=int, help="vectors in the index (default 100,000)")
    options = parser.parse_args()
    sizes = dict(QUICK if options.quick else FULL)
    if options.count:
        sizes["count"] = options.count
    result = measure(**sizes, with_peer=peer_installed() and not options.without_hnswlib)
    print_table(result)
    if options.plot:
        print(f"written {write_plot(options.plot, result)}")


if __name__ == "__main__":
    main()
