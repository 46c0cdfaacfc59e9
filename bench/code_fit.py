"""Section code_fit: the default walk's 8-bit codes on data that is not well
scaled, beside the float32 walk and the exact walk on the same additions.

Each case is a sequence of add and remove calls on a GraphIndex (M 16,
ef_construction 100), the same calls for every walk.
recall@10 against numpy's brute force in float64, in the same metric, on
held-out queries from the same distribution as the data, at ef 10 to 256.
The data is the clustered mixture of clustered.py, dim 32, scaled so that
its components lie around +-40, except where a case says otherwise:

  clean           the mixture as it is
  outlier added   one vector with a component at 1e6, in an add call of its own
  outlier removed that vector removed again
  outlier inside  the vector with the 1e6 component inside the first add
  1e3 inside      the same with the component at 1e3
  dim 0 x1000     dimension 0 on a scale 1,000 times the others'
  t(1), t(2)      Student-t components with 1 and 2 degrees of freedom
  widening        a first add of the mixture, then as many rows 10x and 1000x
                  wider in two more calls; queries at the widest scale, and
                  (a second row group) queries at all three scales like the
                  data, which no 8-bit step serves: the first third then
                  shares a range 1,000 times its own
  units           three dimensions x1e4, three x1e-4
  1e19, 1e-40     3,000 x 16 standard normal, scaled beyond float32's range;
                  beside an exact walk built by one add call per vector

A row is flagged where sq8 falls more than 0.01 below float32 (for 1e19 and
1e-40, where any walk falls that far below the one-vector-at-a-time build).
Then two copy checks: after the calls of each, every copy (pickle, deepcopy,
write_index/read_index, serialize_index/deserialize_index) must answer as
the original and serialize to the same bytes.

A section of the suite (bench/run.py --only code_fit), or stand-alone:
python bench/code_fit.py [--quick]
"""
import common  # noqa: F401  (single-threaded set-up before numpy)

import argparse  # noqa: E402
import copy  # noqa: E402
import os  # noqa: E402
import pickle  # noqa: E402
import shutil  # noqa: E402
import tempfile  # noqa: E402
from dataclasses import dataclass, field  # noqa: E402

import numpy as np  # noqa: E402

import clustered  # noqa: E402

WALKS = ("sq8", "float32", "exact")
METRICS = ("euclidean", "angular", "inner_product")
WIDTHS = (10, 32, 64, 128, 256)
K = 10
DIM, CLUSTERS = 32, 50
# clustered.py's components spread by about 1.5: this puts them around +-40.
SCALE = 25.0
SEED = 20260415
# Rows, held-out queries and Student-t rows, full and --quick.
FULL = {"count": 20_000, "queries": 2_000, "heavy": 10_000, "wide": 3_000}
QUICK = {"count": 4_000, "queries": 500, "heavy": 2_000, "wide": 1_000}
OUTLIER = 1e6
# Half the default: the builds are most of the section's time, and every
# walk of a row is built alike.
EF_CONSTRUCTION = 100
# How far below the float32 walk (or the one-at-a-time exact build) a
# walk's recall may fall before its row is flagged.
GAP = 0.01


@dataclass
class Case:
    name: str
    # ("add", vectors, ids) or ("remove", ids), in order; ids always given,
    # so the live set follows from the calls alone.
    calls: list
    # Row-group label -> held-out queries.
    queries: dict
    # Also build an exact walk one add call per vector, the reference here.
    per_row: bool = False
    live: tuple = field(init=False)

    def __post_init__(self):
        rows = {}
        for call in self.calls:
            if call[0] == "add":
                rows.update(zip(call[2].tolist(), call[1]))
            else:
                for ident in call[1]:
                    del rows[ident]
        ids = np.array(sorted(rows), dtype=np.int64)
        self.live = (ids, np.array([rows[i] for i in ids.tolist()]))


def apply(index, calls):
    for call in calls:
        if call[0] == "add":
            index.add(call[1], ids=call[2])
        else:
            index.remove(call[1])


def ids_from(start, vectors):
    return np.arange(start, start + len(vectors), dtype=np.int64)


def cases(sizes):
    count, queries = sizes["count"], sizes["queries"]
    mixture = clustered.Mixture(DIM, CLUSTERS, SEED)
    data = mixture.sample(count, clustered.DATA_STREAM) * SCALE
    asked = mixture.sample(queries, clustered.QUERY_STREAM) * SCALE
    whole = ids_from(0, data)
    outlier = mixture.sample(1, 3) * SCALE  # a stream of its own
    outlier[0, 7] = OUTLIER
    with_outlier = [("add", data, whole), ("add", outlier, ids_from(count, outlier))]
    yield Case("clean", [("add", data, whole)], {"": asked})
    yield Case("outlier added", with_outlier, {"": asked})
    yield Case("outlier removed", with_outlier + [("remove", [count])], {"": asked})
    for name, value in (("outlier inside", OUTLIER), ("1e3 inside", 1e3)):
        inside = data.copy()
        inside[count // 2, 7] = value
        yield Case(name, [("add", inside, whole)], {"": asked})
    stretch = np.ones(DIM)
    stretch[0] = 1000.0
    yield Case("dim 0 x1000", [("add", data * stretch, whole)], {"": asked * stretch})
    rng = np.random.default_rng(SEED)
    for freedom in (1, 2):
        heavy = rng.standard_t(freedom, (sizes["heavy"] + queries, DIM))
        yield Case(f"t({freedom})", [("add", heavy[queries:], ids_from(0, heavy[queries:]))],
                   {"": heavy[:queries]})
    thirds = np.array_split(np.arange(count), 3)
    scales = (1.0, 10.0, 1000.0)
    calls = [("add", data[third] * scale, whole[third]) for third, scale in zip(thirds, scales)]
    mixed = asked.copy()
    for third, scale in zip(np.array_split(np.arange(queries), 3), scales):
        mixed[third] *= scale
    yield Case("widening", calls, {"widest": asked * 1000.0, "like data": mixed})
    units = np.ones(DIM)
    units[:3], units[3:6] = 1e4, 1e-4
    yield Case("units", [("add", data * units, whole)], {"": asked * units})
    normal = rng.standard_normal((sizes["wide"] + queries, 16))
    for name, scale in (("1e19", 1e19), ("1e-40", 1e-40)):
        vectors = normal[queries:] * scale
        yield Case(f"normal x{name}", [("add", vectors, ids_from(0, vectors))],
                   {"": normal[:queries] * scale}, per_row=True)


def nearest(vectors, ids, queries, metric):
    """ids of the K nearest of each query by float64 brute force. Euclidean
    by expanded squares: in every case here the gaps between neighbours
    stay far above float64's rounding of the squared norms."""
    if metric == "angular":
        vectors = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
        queries = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    norms = (vectors * vectors).sum(1) if metric == "euclidean" else 0.0
    found = []
    for start in range(0, len(queries), 256):
        products = queries[start:start + 256] @ vectors.T
        keys = norms - 2.0 * products if metric == "euclidean" else -products
        found.append(np.argpartition(keys, K - 1, axis=1)[:, :K])
    return ids[np.concatenate(found)]


def recall(found, truth):
    hits = sum(len(set(f) & set(t)) for f, t in zip(found.tolist(), truth.tolist()))
    return hits / truth.size


def widths_recall(index, queries, truth):
    return {ef: recall(index.search(queries, k=K, ef=ef)[0], truth) for ef in WIDTHS}


def run_case(case):
    from halqen_ext import GraphIndex

    ids, vectors = case.live
    dim = vectors.shape[1]
    rows = []
    for metric in METRICS:
        truths = {label: nearest(vectors, ids, queries, metric)
                  for label, queries in case.queries.items()}
        found = {label: {} for label in case.queries}
        builds = [(walk, walk) for walk in WALKS]
        if case.per_row:
            builds.append(("per row", "exact"))
        for name, walk in builds:
            index = GraphIndex(dim, metric, ef_construction=EF_CONSTRUCTION, walk=walk)
            if name == "per row":
                for call in case.calls:
                    for vector, ident in zip(call[1], call[2].tolist()):
                        # One thread: a pool started for every vector costs
                        # more than the insertion.
                        index.add(vector, ids=[ident], threads=1)
            else:
                apply(index, case.calls)
            for label, queries in case.queries.items():
                found[label][name] = widths_recall(index, queries, truths[label])
            del index
        for label in case.queries:
            rows.append({"case": case.name + (f", queries {label}" if label else ""),
                         "metric": metric, "recall": found[label]})
    return rows


def copies(index, directory):
    import halqen_ext

    path = os.path.join(directory, "copy.halqen")
    halqen_ext.write_index(index, path)
    yield "pickle", lambda: pickle.loads(pickle.dumps(index, protocol=pickle.HIGHEST_PROTOCOL))
    yield "deepcopy", lambda: copy.deepcopy(index)
    yield "read_index", lambda: halqen_ext.read_index(path)
    yield "deserialize_index", lambda: halqen_ext.deserialize_index(
        halqen_ext.serialize_index(index))


def copy_check(dim, metric, walk, calls, queries, directory):
    """'same' if every copy answers as the original and serializes to the
    same bytes; else what went wrong first."""
    import halqen_ext

    index = halqen_ext.GraphIndex(dim, metric, ef_construction=EF_CONSTRUCTION, walk=walk)
    try:
        for call in calls:
            if call[0] == "add":
                index.add(call[1])
            else:
                index.remove(call[1])
        saved = halqen_ext.serialize_index(index)
        ids, values = index.search(queries, k=K)
        for how, make in copies(index, directory):
            loaded = make()
            again_ids, again_values = loaded.search(queries, k=K)
            if not np.array_equal(again_ids, ids) or again_values.tobytes() != values.tobytes():
                return f"{how}: other answers"
            if halqen_ext.serialize_index(loaded) != saved:
                return f"{how}: other bytes"
    except Exception as error:  # any failure is the outcome to report
        return f"{type(error).__name__}: {error}"
    return "same"


def run_copies():
    rng = np.random.default_rng(SEED)
    narrow = rng.uniform(1000.0, 1001.0, (5000, 16))
    narrow_queries = rng.uniform(1000.0, 1001.0, (200, 16))
    huge = [("add", [[0.0], [1.6e308]]), ("add", [[1.7e308]])]
    huge_queries = np.array([[0.0], [1.65e308], [1.7e308]])
    directory = tempfile.mkdtemp(prefix="halqen-bench-")
    rows = []
    try:
        for walk in WALKS:
            for metric in METRICS:
                rows.append({"case": "copy after a removal", "metric": metric, "walk": walk,
                             "outcome": copy_check(16, metric, walk,
                                                   [("add", narrow), ("remove", [0])],
                                                   narrow_queries, directory)})
            rows.append({"case": "1.6e308 then 1.7e308", "metric": "euclidean", "walk": walk,
                         "outcome": copy_check(1, "euclidean", walk, huge, huge_queries,
                                               directory)})
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    return rows


def run_all(quick):
    sizes = QUICK if quick else FULL
    rows = []
    for case in cases(sizes):
        rows.extend(run_case(case))
    return {"sizes": sizes, "dim": DIM, "clusters": CLUSTERS, "widths": list(WIDTHS),
            "rows": rows, "copies": run_copies()}


def flagged(recall_by_walk, ef):
    """Why this row is flagged, or ''."""
    if "per row" in recall_by_walk:
        reference = recall_by_walk["per row"][ef]
        low = [walk for walk in WALKS if recall_by_walk[walk][ef] < reference - GAP]
        return f"LOW: {', '.join(low)}" if low else ""
    return "LOW" if recall_by_walk["sq8"][ef] < recall_by_walk["float32"][ef] - GAP else ""


def print_table(section):
    sizes = section["sizes"]
    print(f"\ncode_fit: recall@10 of the sq8 walk beside the float32 walk (and the exact walk) "
          f"after the same calls\n   (M 16, ef_construction {EF_CONSTRUCTION}); "
          f"{sizes['count']:,} x {section['dim']} clustered rows ({section['clusters']} "
          f"clusters), {sizes['queries']:,} held-out queries;\n   LOW: sq8 more than {GAP} "
          f"below float32 (per row: an exact walk built one add call per vector, and\n"
          f"   LOW names every walk more than {GAP} below it)")
    print(f"   {'case':36s} {'metric':14s} {'ef':>4s} {'sq8':>6s} {'float32':>7s} {'diff':>7s} "
          f"{'exact':>6s} {'per row':>7s}")
    for row in section["rows"]:
        by_walk = row["recall"]
        for number, ef in enumerate(section["widths"]):
            label = (f"{row['case']:36s} {row['metric']:14s}" if number == 0 else " " * 51)
            sq8, f32, exact = (by_walk[walk][ef] for walk in WALKS)
            per_row = f"{by_walk['per row'][ef]:7.3f}" if "per row" in by_walk else " " * 7
            line = (f"   {label} {ef:4d} {sq8:6.3f} {f32:7.3f} {sq8 - f32:+7.3f} {exact:6.3f} "
                    f"{per_row}  {flagged(by_walk, ef)}")
            print(line.rstrip())
    print("\n   copies (pickle, deepcopy, write/read, serialize/deserialize): "
          "the same answers and bytes?")
    for row in section["copies"]:
        print(f"   {row['case']:22s} {row['metric']:14s} {row['walk']:8s} {row['outcome']}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller sets, fewer queries")
    print_table(run_all(parser.parse_args().quick))
