"""The partition indexes compared, and the graph index beside them, behind
one interface: build on unit-length float32 rows with a given number of
threads, then answer one query per call on one thread under each of a list
of settings. Every index returns row numbers as ids, most similar first.

  PartitionIndex  halqen_ext.PartitionIndex, "angular", its defaults
  ScaNN           a k-means tree with 4-bit anisotropic codes of 2 dims and
                  an exact reorder (ann-benchmarks' setting for angular data)
  faiss           IndexIVFPQFastScan (4-bit codes of 2 dims, inner product)
                  under IndexRefineFlat for the exact reorder
  GraphIndex      halqen_ext.GraphIndex, "angular", M 16, ef_construction 200
"""
import importlib.util
import math

import numpy as np

K = 10
# The peers' partitions, and the fallback for PartitionIndex's own count
# (about 2 * sqrt(n), its default too).
PARTITIONS_PER_ROOT = 2
# ScaNN trains its tree on at most this many rows, as its own example for
# angular data does; more only slows its build.
SCANN_TRAINING_ROWS = 250_000
SCANN_ANISOTROPIC_THRESHOLD = 0.2
DIMS_PER_CODE = 2
CODE_BITS = 4
GRAPH_M = 16
GRAPH_EF_CONSTRUCTION = 200

EFS = (8, 16, 32, 64, 128, 256, 512)
QUICK_EFS = (8, 16, 32, 64, 128, 256)
# One grid for every partition index, so that none is judged on a coarser
# sweep than another: partitions scanned (those up to this share of them,
# where each here has long reached its best recall)...
PROBES = (1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64, 96, 128)
WIDEST_PROBE_SHARE = 1 / 32
# ...times candidates scored exactly (faiss: k_factor * k of them; its
# codes need the most to pass recall 0.99).
CANDIDATES = (20, 30, 50, 100, 200, 500)
# ann-benchmarks' (leaves, pre-reorder) sweep of ScaNN on glove-100-angular,
# whose tree has 2,000 leaves like the 1,000,000-row sets here, run beside
# the grid; a setting past WIDEST_SCANN_SHARE of the leaves is left out
# (recall has long stopped rising there, and each costs seconds).
SCANN_SWEEP = ((1, 30), (2, 30), (4, 30), (8, 30), (30, 120), (35, 100), (40, 80), (45, 80),
               (50, 80), (55, 95), (60, 110), (65, 110), (75, 110), (90, 110), (110, 120),
               (130, 150), (150, 200), (170, 200), (200, 300), (220, 500), (250, 500),
               (310, 300), (400, 300), (500, 500), (800, 1000))
WIDEST_SCANN_SHARE = 1 / 8


def partitions_for(count):
    return max(1, round(PARTITIONS_PER_ROOT * math.sqrt(count)))


def grid(partitions):
    """(probes, candidates) pairs of the shared grid."""
    widest = max(1, WIDEST_PROBE_SHARE * partitions)
    return [(probes, candidates) for probes in PROBES if probes <= widest
            for candidates in CANDIDATES]


class PartitionIndex:
    name = "PartitionIndex"
    module = "halqen_ext"

    def build(self, vectors, threads):
        import halqen_ext

        index = halqen_ext.PartitionIndex(vectors.shape[1], "angular")
        index.add(vectors, threads=threads)
        return index

    def settings(self, index, count, quick):
        partitions = getattr(index, "partitions", None) or partitions_for(count)
        return ([{"series": "ef", "ef": ef} for ef in (QUICK_EFS if quick else EFS)]
                + [{"series": "probes, reorder", "probes": probes, "reorder": reorder}
                   for probes, reorder in grid(partitions)])

    def searcher(self, index, setting):
        if "ef" in setting:
            ef = setting["ef"]
            return lambda query: index.search(query, K, ef=ef, threads=1)[0]
        probes, reorder = setting["probes"], setting["reorder"]
        return lambda query: index.search(query, K, probes=probes, reorder=reorder,
                                          threads=1)[0]

    def queries(self, queries):
        return list(queries)

    def describe(self, index, count):
        return {"partitions": getattr(index, "partitions", None)}


class Scann:
    name = "ScaNN"
    module = "scann"

    def build(self, vectors, threads):
        from scann import scann_ops_pybind

        count = len(vectors)
        # Its leaves and reorder given here are only defaults: every search
        # below names its own.
        builder = scann_ops_pybind.builder(vectors, K, "dot_product")
        builder = builder.tree(num_leaves=partitions_for(count),
                               num_leaves_to_search=max(1, partitions_for(count) // 20),
                               training_sample_size=min(count, SCANN_TRAINING_ROWS),
                               spherical=True, quantize_centroids=True)
        builder = builder.score_ah(DIMS_PER_CODE,
                                   anisotropic_quantization_threshold=SCANN_ANISOTROPIC_THRESHOLD)
        searcher = builder.reorder(100).set_n_training_threads(threads).build()
        # Only its batched parallel search uses the pool; one query per call
        # runs on the calling thread.
        searcher.set_num_threads(1)
        return searcher

    def settings(self, index, count, quick):
        leaves = partitions_for(count)
        return ([{"series": "leaves, reorder", "leaves": probes, "reorder": reorder}
                 for probes, reorder in grid(leaves)]
                + [{"series": "ann-benchmarks' sweep", "leaves": probes, "reorder": reorder}
                   for probes, reorder in SCANN_SWEEP if probes <= WIDEST_SCANN_SHARE * leaves])

    def searcher(self, index, setting):
        leaves, reorder = setting["leaves"], setting["reorder"]
        return lambda query: index.search(query, final_num_neighbors=K,
                                          pre_reorder_num_neighbors=reorder,
                                          leaves_to_search=leaves)[0]

    def queries(self, queries):
        return list(queries)

    def describe(self, index, count):
        return {"leaves": partitions_for(count),
                "training_rows": min(count, SCANN_TRAINING_ROWS)}


class Faiss:
    name = "faiss"
    module = "faiss"

    def build(self, vectors, threads):
        import faiss

        faiss.omp_set_num_threads(threads)
        dim = vectors.shape[1]
        quantizer = faiss.IndexFlatIP(dim)
        coded = faiss.IndexIVFPQFastScan(quantizer, dim, partitions_for(len(vectors)),
                                         dim // DIMS_PER_CODE, CODE_BITS,
                                         faiss.METRIC_INNER_PRODUCT)
        index = faiss.IndexRefineFlat(coded)
        index.train(vectors)
        index.add(vectors)
        faiss.omp_set_num_threads(1)
        # The Python wrappers do not own what they wrap: keep them alive.
        return index, coded, quantizer

    def settings(self, index, count, quick):
        return [{"series": "nprobe, k_factor", "nprobe": nprobe, "k_factor": candidates // K}
                for nprobe, candidates in grid(partitions_for(count))]

    def searcher(self, index, setting):
        refine, coded, _ = index
        coded.nprobe = setting["nprobe"]
        refine.k_factor = setting["k_factor"]
        return lambda query: refine.search(query, K)[1][0]

    def queries(self, queries):
        # faiss takes a batch: one row each, made before the clock starts.
        return [queries[i:i + 1] for i in range(len(queries))]

    def describe(self, index, count):
        return {"nlist": partitions_for(count)}


class GraphIndex:
    name = "GraphIndex"
    module = "halqen_ext"

    def build(self, vectors, threads):
        import halqen_ext

        index = halqen_ext.GraphIndex(vectors.shape[1], "angular", m=GRAPH_M,
                                      ef_construction=GRAPH_EF_CONSTRUCTION)
        index.add(vectors, threads=threads)
        return index

    def settings(self, index, count, quick):
        return [{"series": "ef", "ef": ef} for ef in (QUICK_EFS if quick else EFS)]

    def searcher(self, index, setting):
        ef = setting["ef"]
        return lambda query: index.search(query, K, ef=ef, threads=1)[0]

    def queries(self, queries):
        return list(queries)

    def describe(self, index, count):
        return {}


LIBRARIES = {library.name: library for library in (PartitionIndex, Scann, Faiss, GraphIndex)}


def unavailable_reason(name):
    """Why `name` cannot run here, or None."""
    library = LIBRARIES[name]
    if importlib.util.find_spec(library.module) is None:
        return f"{library.module} is not installed"
    if library.module == "halqen_ext":
        import halqen_ext

        if not hasattr(halqen_ext, name):
            return f"this halqen_ext has no {name} yet"
    return None


def make(name):
    return LIBRARIES[name]()


def unit_rows(vectors):
    """The rows scaled to length 1, in float64."""
    vectors = np.asarray(vectors, dtype=np.float64)
    return vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
