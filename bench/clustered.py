"""A clustered synthetic data set: a Gaussian mixture whose clusters each
spread along a few directions of their own, as real embeddings do (on
uniform random vectors every graph index looks bad, which tells nothing).

The mixture depends only on (dim, clusters, seed); the indexed vectors and
the held-out queries come from separate streams, so the queries are the same
whatever the count and are never among the indexed vectors."""
import numpy as np

# Spread of the cluster centres, per coordinate.
CENTRE_SPREAD = 1.0
# Each cluster varies mostly along this many directions of its own...
LATENT_DIM = 16
LATENT_SCALE = 1.5
# ...plus a little isotropic noise.
NOISE_SCALE = 0.1
# Cluster weights vary by about this factor (log-normal sigma).
WEIGHT_SIGMA = 0.5
# Offsets of the random streams derived from the seed.
DATA_STREAM, QUERY_STREAM = 1, 2


class Mixture:
    def __init__(self, dim, clusters, seed):
        rng = np.random.default_rng(seed)
        self.centres = rng.standard_normal((clusters, dim)) * CENTRE_SPREAD
        # Rows of about unit length, so that each direction spreads by LATENT_SCALE.
        self.bases = (rng.standard_normal((clusters, LATENT_DIM, dim))
                      * (LATENT_SCALE / np.sqrt(dim)))
        weights = rng.lognormal(0.0, WEIGHT_SIGMA, clusters)
        self.weights = weights / weights.sum()
        self.seed = seed

    def sample(self, count, stream):
        rng = np.random.default_rng([self.seed, stream])
        clusters, dim = self.centres.shape
        labels = rng.choice(clusters, size=count, p=self.weights)
        vectors = rng.standard_normal((count, dim)) * NOISE_SCALE
        for cluster in range(clusters):
            rows = np.flatnonzero(labels == cluster)
            if rows.size:
                latent = rng.standard_normal((rows.size, LATENT_DIM))
                vectors[rows] += self.centres[cluster] + latent @ self.bases[cluster]
        return vectors


def gaussian_mixture(count, queries, dim, clusters, seed):
    """(indexed vectors, held-out queries), both float64."""
    mixture = Mixture(dim, clusters, seed)
    return mixture.sample(count, DATA_STREAM), mixture.sample(queries, QUERY_STREAM)
