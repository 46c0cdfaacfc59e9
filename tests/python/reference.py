"""Plain sequential definitions of the metrics and the exact search, used as oracles."""
import math


def euclidean(a, b):
    s = 0.0
    for x, y in zip(a, b):
        d = x - y
        s = s + d * d
    return math.sqrt(s)


def dot(a, b):
    s = 0.0
    for x, y in zip(a, b):
        s = s + x * y
    return s


def cosine(a, b):
    na = 0.0
    for x in a:
        na = na + x * x
    nb = 0.0
    for y in b:
        nb = nb + y * y
    denominator = math.sqrt(na) * math.sqrt(nb)
    numerator = dot(a, b)
    if denominator == 0.0:
        if numerator == 0.0 or math.isnan(numerator):
            return math.nan
        return math.copysign(math.inf, numerator)
    return numerator / denominator


def rank_key(distance, ident):
    return (math.isnan(distance), 0.0 if math.isnan(distance) else distance, ident)


def flat_search(vectors, query, k, metric):
    scored = [(metric(query, v), i) for i, v in enumerate(vectors)]
    scored.sort(key=lambda pair: rank_key(*pair))
    return [(i, d) for d, i in scored[:k]]
