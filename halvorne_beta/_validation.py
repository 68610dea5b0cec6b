"""Checks and orderings shared by the estimators.

The native cores work on class positions 0 .. K-1 (-1 unlabelled) and on a
float64 C-contiguous point array. Everything here is vectorised: the
estimators run on millions of points.
"""
import numbers

import numpy as np
from sklearn.utils.multiclass import check_classification_targets

__all__ = ["encode_labels", "canonical_order", "same_as_previous_row", "check_metric_defined",
           "check_integral_power"]


def _unlabelled_mask(y):
    """True where y holds the unlabelled marker -1."""
    if y.dtype.kind in "iuf":
        return y == -1
    if y.dtype.kind == "O":
        return np.fromiter((isinstance(v, numbers.Number) and not isinstance(v, bool) and v == -1 for v in y),
                           dtype=bool, count=y.shape[0])
    # Strings and booleans cannot carry the numeric marker: every point is labelled.
    return np.zeros(y.shape[0], dtype=bool)


def encode_labels(y):
    """Sorted classes of y and the class position of every point (-1 unlabelled).

    y may hold any sortable class values (integers, floats holding integers,
    strings); -1 marks an unlabelled point. Negative numbers other than -1
    are refused: they would read as neither a class nor the marker.
    """
    check_classification_targets(y)
    unlabelled = _unlabelled_mask(y)
    labelled = ~unlabelled
    if not labelled.any():
        raise ValueError("y holds no labelled point: at least one label >= 0 is needed "
                         "(-1 marks an unlabelled point)")
    given = y[labelled]
    if y.dtype.kind in "iuf" and given.min() < 0:
        raise ValueError("class labels must be >= 0, with -1 for unlabelled points; "
                         f"got {given.min()!r}")
    classes, positions = np.unique(given, return_inverse=True)
    codes = np.full(y.shape[0], -1, dtype=np.int64)
    codes[labelled] = positions
    return classes, codes


def canonical_order(X, codes):
    """Row order by coordinates (first column first), then by class position.

    The order depends only on the set of (row, label) pairs, not on the order
    in which the caller gave them, so a core fed in this order gives the same
    answer for any permutation of the input. lexsort is stable and O(n log n).
    """
    order = np.argsort(X[:, 0], kind="stable")
    first = X[order, 0]
    tied = np.zeros(first.shape[0], dtype=bool)
    tied[1:] = first[1:] == first[:-1]
    tied[:-1] |= tied[1:]
    if not tied.any():
        return order
    # Only rows sharing a first coordinate need the other keys. They form
    # contiguous runs, and a full-key sort of all of them keeps every run
    # in its own slots, so the result is that of one full lexsort.
    rows = order[tied]
    keys = [codes[rows]] + [X[rows, j] for j in range(X.shape[1] - 1, -1, -1)]
    order[tied] = rows[np.lexsort(keys)]
    return order


def same_as_previous_row(X_sorted, codes_sorted):
    """True at each row equal, coordinates and label, to the row before it."""
    same = np.zeros(X_sorted.shape[0], dtype=bool)
    if X_sorted.shape[0] > 1:
        same[1:] = codes_sorted[1:] == codes_sorted[:-1]
        for j in range(X_sorted.shape[1]):
            same[1:] &= X_sorted[1:, j] == X_sorted[:-1, j]
    return same


def check_metric_defined(X, metric):
    """Refuse data on which the metric gives undefined (NaN) distances."""
    name = str(metric)
    if name == "cosine":
        bad = ~np.any(X != 0, axis=1)
        what = "all-zero rows"
    elif name == "correlation":
        bad = np.all(X == X[:, :1], axis=1)
        what = "constant rows (all values equal)"
    elif name == "jensenshannon":
        bad = np.any(X < 0, axis=1) | ~np.any(X != 0, axis=1)
        what = "rows with a negative value or all zeros"
    elif name == "braycurtis":
        zero = ~np.any(X != 0, axis=1)
        if np.any(X < 0):
            raise ValueError("metric='braycurtis' needs non-negative data: it is undefined for "
                             "rows u, v with u + v = 0")
        bad = zero if np.count_nonzero(zero) > 1 else np.zeros_like(zero)
        what = "more than one all-zero row"
    else:
        return
    if bad.any():
        rows = np.flatnonzero(bad)
        shown = ", ".join(str(i) for i in rows[:5]) + (", ..." if rows.size > 5 else "")
        raise ValueError(f"metric={name!r} is undefined on {what}; found {rows.size} such row(s): {shown}")


def check_integral_power(p, name="p"):
    """p for the native Minkowski path: an integer >= 1, or infinity.

    A fractional p would be truncated by the native code, so it is refused.
    """
    if isinstance(p, numbers.Real) and np.isinf(p):
        return p
    if float(p) != int(p):
        raise ValueError(f"The '{name}' parameter must be an integer >= 1 or inf for the native "
                         f"Minkowski path; got {p!r}, which would be truncated.")
    return int(p)
