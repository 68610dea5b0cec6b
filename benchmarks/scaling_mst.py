"""Scaling cases for the minimum spanning tree (see bench_scaling.py).

prim_mst and MSTLabelClustering beside scikit-learn's LabelSpreading with its
k-nearest-neighbour kernel, on the same 8-dimensional points: three blobs,
ten labelled points.
"""
import numpy as np
from sklearn.semi_supervised import LabelSpreading

from halvorne_beta.algorithms.src.algorithm1.binaries import ombrel
from halvorne_beta.estimators import MSTLabelClustering

SIZES = [1000, 3000, 10000, 30000, 100000]


def points(n):
    rng = np.random.default_rng(0)
    centres = rng.normal(scale=4.0, size=(3, 8))
    member = rng.integers(0, 3, size=n)
    X = centres[member] + rng.normal(size=(n, 8))
    y = np.full(n, -1, dtype=np.int64)
    labelled = rng.choice(n, size=10, replace=False)
    y[labelled] = member[labelled]
    return X, y


CASES = [
    {"series": "prim_mst", "sizes": SIZES, "make": lambda n: (points(n)[0],), "run": ombrel.prim_mst},
    {"series": "MSTLabelClustering", "sizes": SIZES, "make": points,
     "run": lambda X, y: MSTLabelClustering().fit(X, y)},
    {"series": "LabelSpreading(kernel='knn')", "sizes": SIZES, "make": points,
     "run": lambda X, y: LabelSpreading(kernel="knn").fit(X, y)},
]
