"""Exact nearest neighbours by numpy, and recall@k measured against them."""
import numpy as np

# Candidates kept per query from the fast matrix-product distances, as a
# multiple of k, before their exact distances decide.
CANDIDATE_FACTOR = 4
# Distances held at once (8 bytes each) while the candidates are chosen.
BLOCK_ENTRIES = 1 << 25
# Relative tolerance of "at most as far as the k-th nearest": last-bit
# differences between distance formulas must not count as misses.
TIE_TOLERANCE = 1e-9


def exact_distances(data, queries, ids):
    """Euclidean distances, in float64, of each query to its rows `ids`
    (shape (n, k)); +inf where an id is -1."""
    valid = ids >= 0
    rows = data[np.where(valid, ids, 0)]
    distances = np.sqrt(((rows - queries[:, None, :]) ** 2).sum(axis=2))
    return np.where(valid, distances, np.inf)


def kth_distances(data, queries, k):
    """The exact distance from each query to its k-th nearest vector."""
    squared_norms = np.einsum("ij,ij->i", data, data)
    keep = min(len(data), CANDIDATE_FACTOR * k)
    result = np.empty(len(queries))
    block_rows = max(1, BLOCK_ENTRIES // len(data))
    for start in range(0, len(queries), block_rows):
        block = queries[start:start + block_rows]
        approximate = squared_norms[None, :] - 2.0 * (block @ data.T)
        candidates = np.argpartition(approximate, keep - 1, axis=1)[:, :keep]
        exact = np.sort(exact_distances(data, block, candidates), axis=1)
        result[start:start + len(block)] = exact[:, k - 1]
    return result


def recall(data, queries, ids, kth):
    """Share of the returned ids at most as far as the true k-th nearest
    (which counts tied and duplicate vectors fairly); each id counts once."""
    k = ids.shape[1]
    distances = exact_distances(data, queries, ids)
    within = distances <= kth[:, None] * (1 + TIE_TOLERANCE)
    order = np.argsort(ids, axis=1)
    ordered = np.take_along_axis(ids, order, axis=1)
    first = np.ones_like(within)
    first[:, 1:] = ordered[:, 1:] != ordered[:, :-1]
    return (np.take_along_axis(within, order, axis=1) & first).sum() / (k * len(ids))
