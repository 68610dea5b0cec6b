"""The estimators against n, beside the bare native calls they wrap and their peers.

    SemiSupervisedDBSCAN            fit with a fixed eps (about 15 neighbours per point), 2-D
    tavrisk + postprocess (bare)    the same two native calls on the same arrays, nothing else
    DBSCAN (sklearn)                the peer, same eps and min_samples
    MutualKNNClustering             fit with k=10, 3-D
    kestrin + kestrin_bfs (bare)    mutual_knn, informative_edges and find_connected_components alone
    LabelSpreading knn (sklearn)    the peer, n_neighbors=10

The difference between an estimator and its bare calls is the Python
layer's overhead: validation, canonical order, labelling, core samples.
100 points are labelled (the native distance table grows with n times the
number of labelled points).
"""
import numpy as np

SIZES = [10_000, 100_000, 1_000_000]
MIN_SAMPLES = 5
LABELLED = 100


def points(n, d, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.random((n, d))
    y = np.full(n, -1, dtype=np.int64)
    chosen = rng.choice(n, LABELLED, replace=False)
    y[chosen] = (X[chosen, 0] * 4).astype(np.int64)  # four classes in bands along the first axis
    return X, y


def eps_for(n):
    return float(np.sqrt(15 / (np.pi * n)))  # about 15 points per neighbourhood in the unit square


def make_2d(n):
    return points(n, 2)


def make_3d(n):
    return points(n, 3)


def fit_dbscan(X, y):
    from halvorne_beta import SemiSupervisedDBSCAN

    SemiSupervisedDBSCAN(eps=eps_for(len(X)), min_samples=MIN_SAMPLES).fit(X, y)


def bare_dbscan(X, y):
    from halvorne_beta.algorithms.src.algorithm3.binaries import postprocess, tavrisk

    clusters = tavrisk.semi_supervised_dbscan(X, eps_for(len(X)), MIN_SAMPLES, y.astype(np.int32), "minkowski", 2)
    postprocess.tavrisk_postprocess(X, clusters, "minkowski", 2)


def sklearn_dbscan(X, y):
    from sklearn.cluster import DBSCAN

    DBSCAN(eps=eps_for(len(X)), min_samples=MIN_SAMPLES).fit(X)


def fit_knn(X, y):
    from halvorne_beta import MutualKNNClustering

    MutualKNNClustering(k=10).fit(X, y)


def bare_knn(X, y):
    from halvorne_beta.algorithms.input import _AlgorithmInput
    from halvorne_beta.algorithms.src.algorithm2.binaries import kestrin, kestrin_bfs

    connections, weights, _, _ = kestrin.mutual_knn(X, 10)
    data = _AlgorithmInput(X, y)
    kept, _ = kestrin.informative_edges(data, 10, connections, weights)
    kestrin_bfs.find_connected_components(data, kept)


def label_spreading(X, y):
    from sklearn.semi_supervised import LabelSpreading

    LabelSpreading(kernel="knn", n_neighbors=10).fit(X, y)


CASES = [
    {"series": "SemiSupervisedDBSCAN", "sizes": SIZES, "make": make_2d, "run": fit_dbscan},
    {"series": "tavrisk + postprocess (bare)", "sizes": SIZES, "make": make_2d, "run": bare_dbscan},
    {"series": "DBSCAN (sklearn)", "sizes": SIZES, "make": make_2d, "run": sklearn_dbscan},
    {"series": "MutualKNNClustering", "sizes": SIZES, "make": make_3d, "run": fit_knn},
    {"series": "kestrin + kestrin_bfs (bare)", "sizes": SIZES, "make": make_3d, "run": bare_knn},
    {"series": "LabelSpreading knn (sklearn)", "sizes": SIZES, "make": make_3d, "run": label_spreading},
]
