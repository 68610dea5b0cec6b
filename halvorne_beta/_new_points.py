"""Class probabilities for points that were not part of the fit.

Every estimator reduces a new point to one distance per class (the distance
to the nearest reference point of that class, infinity when the class has
none in reach) and turns the distances into probabilities by inverse
distance: a class twice as far gets half the weight, a class at distance 0
takes everything. The most probable class is therefore always the class of
the nearest reference point, which is what ``predict`` returns.
"""
import numpy as np
from scipy.spatial.distance import cdist

__all__ = ["inverse_distance_proba", "nearest_per_class_all", "nearest_per_class_among"]

# Rows of the query handled at once when a full distance block is needed:
# about 32 MB of float64 per block, whatever the size of the training set.
_BLOCK_ELEMENTS = 1 << 22


def inverse_distance_proba(distances):
    """Rows of probabilities from per-class distances (n_queries, n_classes)."""
    distances = np.asarray(distances, dtype=np.float64)
    proba = np.zeros_like(distances)
    at_zero = distances == 0
    exact = at_zero.any(axis=1)
    proba[exact] = at_zero[exact]
    rest = ~exact
    with np.errstate(divide="ignore"):
        proba[rest] = 1.0 / distances[rest]  # infinity gives 0
    totals = proba.sum(axis=1, keepdims=True)
    empty = totals[:, 0] == 0
    if empty.any():
        # No class in reach at all: nothing to prefer.
        proba[empty] = 1.0
        totals[empty] = distances.shape[1]
    proba /= totals
    return proba


def nearest_per_class_all(queries, points, codes, n_classes, metric):
    """Distance from every query to the nearest point of each class, any scipy metric.

    The points are grouped by class once, then the distances are taken block
    by block so that memory stays bounded.
    """
    by_class = np.argsort(codes, kind="stable")
    sorted_points = points[by_class]
    starts = np.searchsorted(codes[by_class], np.arange(n_classes))
    present = starts < len(codes)
    present[present] &= codes[by_class][starts[present]] == np.arange(n_classes)[present]
    result = np.full((len(queries), n_classes), np.inf)
    block = max(1, _BLOCK_ELEMENTS // max(1, len(points)))
    for start in range(0, len(queries), block):
        distances = cdist(queries[start:start + block], sorted_points, metric=metric)
        minima = np.minimum.reduceat(distances, starts[present], axis=1)
        result[start:start + block, present] = minima
    return result


def nearest_per_class_among(distances, indices, codes, n_classes):
    """Per-class minimum over each query's candidate neighbours.

    distances and indices: (n_queries, k) from a neighbour search; classes
    absent from a query's candidates stay at infinity.
    """
    n_queries = distances.shape[0]
    result = np.full(n_queries * n_classes, np.inf)
    slots = np.arange(n_queries)[:, None] * n_classes + codes[indices]
    np.minimum.at(result, slots.ravel(), distances.ravel())
    return result.reshape(n_queries, n_classes)


def _row_keys(X):
    """Each row as one opaque value, equal exactly when the rows are equal bit for bit."""
    X = np.ascontiguousarray(X, dtype=np.float64)
    return X.view(np.dtype((np.void, X.dtype.itemsize * X.shape[1]))).ravel()


class ExactRows:
    """Looks up points that coincide with training points.

    A query equal to a training point takes that point's class with
    probability 1; where the training data holds the same coordinates
    several times with different classes, the probability is split by
    their counts. Rows must be normalised so that -0.0 is stored as 0.0.
    """

    def __init__(self, X, codes, n_classes):
        keys = _row_keys(X)
        order = np.argsort(keys, kind="stable")
        keys = keys[order]
        codes = codes[order]
        first = np.ones(keys.shape[0], dtype=bool)
        first[1:] = keys[1:] != keys[:-1]
        group = np.cumsum(first) - 1
        self.keys = keys[first]
        pairs, counts = np.unique(group * n_classes + codes, return_counts=True)
        self.pair_group = pairs // n_classes
        self.pair_code = pairs % n_classes
        self.pair_weight = counts / np.bincount(group)[self.pair_group]
        self.pair_start = np.searchsorted(self.pair_group, np.arange(self.keys.shape[0] + 1))

    def match(self, X, proba):
        """Fill proba (n_queries, n_classes) for the rows of X found; return their mask."""
        queries = _row_keys(X)
        found = np.zeros(queries.shape[0], dtype=bool)
        if self.keys.shape[0] == 0 or queries.shape[0] == 0:
            return found
        position = np.minimum(np.searchsorted(self.keys, queries), self.keys.shape[0] - 1)
        found = self.keys[position] == queries
        rows = np.flatnonzero(found)
        groups = position[rows]
        lengths = self.pair_start[groups + 1] - self.pair_start[groups]
        offsets = np.arange(lengths.sum()) - np.repeat(np.cumsum(lengths) - lengths, lengths)
        pair = np.repeat(self.pair_start[groups], lengths) + offsets
        proba[np.repeat(rows, lengths), self.pair_code[pair]] = self.pair_weight[pair]
        return found
