"""Choosing the density radius from the data and the labelled points.

Candidates are quantiles of the distance from each point to its
``min_samples``-th neighbour (the radius at which that point becomes a core
point). Each candidate is scored by hiding half of the labelled points of
every class, fitting on the rest and counting how many hidden labels come
back, then the other half; the candidate with the most correct answers
wins, ties going to the earlier candidate in ``QUANTILES`` (the median
first).

Every random choice here uses a fixed seed on rows in canonical order, so
the chosen radius depends only on the data, never on the row order.
"""
import numpy as np

__all__ = ["QUANTILES", "candidate_radii", "holdout_folds", "choose_eps"]

# Tried in this order; on a tie the earlier one is kept.
QUANTILES = (0.5, 0.25, 0.75, 0.9, 0.1)
# The quantiles are estimated on at most this many points.
_SAMPLE = 20000


def candidate_radii(X, min_samples, neighbours):
    """The radius at each of QUANTILES of the min_samples-th neighbour distance.

    neighbours(data, rows, k) returns the distances from rows to their k
    nearest points of data (a point itself included) as an (n, k) array.
    Returns a dict from quantile to radius, keeping only the first quantile
    of equal radii and positive, finite radii.
    """
    n = X.shape[0]
    k = int(min(max(min_samples, 2), n))
    rows = X
    if n > _SAMPLE:
        # A fixed, order-independent choice: X arrives in canonical order.
        rows = X[np.sort(np.random.RandomState(0).choice(n, _SAMPLE, replace=False))]
    kth = neighbours(X, rows, k)[:, -1]
    radii = {}
    for q in QUANTILES:
        r = float(np.quantile(kth, q))
        if np.isfinite(r) and r > 0 and r not in radii.values():
            radii[q] = r
    if not radii:
        positive = kth[kth > 0]
        radii[QUANTILES[0]] = float(positive.min()) if positive.size else 1.0
    return radii


def holdout_folds(codes):
    """Two disjoint sets of labelled points to hide in turn.

    Each class with at least two labelled points gives half of them to each
    fold (alternating in a fixed shuffled order); a class with a single
    labelled point is never hidden, so no class disappears from a fit.
    """
    rng = np.random.RandomState(0)
    folds = ([], [])
    for code in np.unique(codes[codes >= 0]):
        members = np.flatnonzero(codes == code)
        if members.size < 2:
            continue
        members = members[rng.permutation(members.size)]
        folds[0].append(members[0::2])
        folds[1].append(members[1::2])
    return [np.concatenate(f) for f in folds if f]


def _best_quantile(X, codes, min_samples, neighbours, fit_codes):
    radii = candidate_radii(X, min_samples, neighbours)
    folds = holdout_folds(codes)
    if len(radii) == 1 or not folds:
        return next(iter(radii)), {}, radii
    scores = {}
    for q, eps in radii.items():
        correct = 0
        total = 0
        for hidden in folds:
            partial = codes.copy()
            partial[hidden] = -1
            predicted = fit_codes(X, eps, partial)
            correct += int(np.count_nonzero(predicted[hidden] == codes[hidden]))
            total += hidden.size
        scores[q] = correct / total
    return max(radii, key=lambda q: scores[q]), scores, radii  # max keeps the first of equals


def choose_eps(X, codes, min_samples, neighbours, fit_codes):
    """The radius that predicts hidden labels best, and the score of each quantile tried.

    fit_codes(X, eps, codes) runs the whole estimator (density step and
    post-processing) and returns one class position per point. Above
    ``_SAMPLE`` points the quantile is chosen on a fixed random sample of
    that size (about ten fits of the sample instead of the whole data), and
    the radius is that quantile's on the whole data.
    """
    n = X.shape[0]
    if n <= _SAMPLE:
        q, scores, radii = _best_quantile(X, codes, min_samples, neighbours, fit_codes)
        return radii[q], scores
    sample = np.sort(np.random.RandomState(1).choice(n, _SAMPLE, replace=False))
    q, scores = QUANTILES[0], {}
    if (codes[sample] >= 0).any():
        q, scores, _ = _best_quantile(np.ascontiguousarray(X[sample]), codes[sample], min_samples, neighbours,
                                      fit_codes)
    radii = candidate_radii(X, min_samples, neighbours)
    return radii.get(q, next(iter(radii.values()))), scores
