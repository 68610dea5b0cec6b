"""The mutual kNN pipeline against n, beside scikit-learn's kNN label spreading.

3-D points drawn uniformly, 1% of them labelled with one of 3 classes; both
series get the same data and labels (-1 unlabelled).
"""
import numpy as np
from sklearn.semi_supervised import LabelSpreading

from halvorne_beta.estimators import MutualKNNClustering

SIZES = [10_000, 30_000, 100_000, 300_000, 1_000_000]


def make(n):
    rng = np.random.default_rng(0)
    X = rng.random((n, 3))
    y = np.full(n, -1)
    labelled = rng.choice(n, max(1, n // 100), replace=False)
    y[labelled] = rng.integers(0, 3, labelled.size)
    return X, y


def pipeline(X, y):
    MutualKNNClustering(k=10).fit(X, y)


def label_spreading(X, y):
    LabelSpreading(kernel="knn", n_neighbors=10).fit(X, y)


CASES = [
    {"series": "MutualKNNClustering(k=10)", "sizes": SIZES, "make": make, "run": pipeline},
    {"series": "LabelSpreading(kernel='knn', n_neighbors=10)", "sizes": SIZES, "make": make, "run": label_spreading},
]
