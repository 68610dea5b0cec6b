"""Estimators in the scikit-learn style over the native modules.

Each estimator takes points ``X`` and labels ``y`` where -1 marks an
unlabelled point (the convention of ``sklearn.semi_supervised``), and after
``fit`` holds ``labels_``: one class label per point, taken from the classes
present in ``y``.
"""
import numpy as np
from scipy.spatial import KDTree
from sklearn.base import BaseEstimator, ClusterMixin
from sklearn.utils.validation import check_array, check_consistent_length

__all__ = ["MSTLabelClustering", "MutualKNNClustering", "SemiSupervisedDBSCAN"]


def _validate(X, y, dtype=np.float64):
    """Points as a C-contiguous 2-D array, labels as int64 with -1 unlabelled."""
    X = check_array(X, dtype=dtype, order="C", ensure_min_samples=1)
    y = np.asarray(y)
    if y.ndim != 1:
        raise ValueError(f"y must be one-dimensional, got shape {y.shape}")
    check_consistent_length(X, y)
    if y.size and not np.issubdtype(y.dtype, np.integer):
        if not np.issubdtype(y.dtype, np.floating) or not np.all(np.isfinite(y)) or np.any(y != np.round(y)):
            raise ValueError("y must hold integer class labels, with -1 for unlabelled points")
    y = y.astype(np.int64)
    if np.any(y < -1):
        raise ValueError("class labels must be >= 0, with -1 for unlabelled points")
    if not np.any(y >= 0):
        raise ValueError("y holds no labelled point: at least one label >= 0 is needed")
    # Native code works on class positions 0 .. K-1; labels_ maps them back.
    classes, codes = np.unique(y[y >= 0], return_inverse=True)
    encoded = np.full(y.shape, -1, dtype=np.int64)
    encoded[y >= 0] = codes
    return X, encoded, classes


class _SemiSupervisedClustering(ClusterMixin, BaseEstimator):
    def fit(self, X, y):
        X, encoded, classes = _validate(X, y, self._dtype)
        self.classes_ = classes
        codes = np.asarray(self._fit_codes(X, encoded), dtype=np.int64)
        self.labels_ = classes[codes]
        return self

    def fit_predict(self, X, y):
        return self.fit(X, y).labels_

    _dtype = np.float64


class MSTLabelClustering(_SemiSupervisedClustering):
    """Cuts the minimum spanning tree of the points until no path joins two
    classes, then spreads each class over what stays connected to it.

    metric: any distance name that ``scipy.spatial.distance.pdist`` accepts.
    Memory and time grow with the square of the number of points.
    """

    def __init__(self, metric="euclidean"):
        self.metric = metric

    def _fit_codes(self, X, encoded):
        from halvorne_beta.algorithms.src.algorithm1.binaries import ombrel

        if encoded.max() > 127:
            raise ValueError("MSTLabelClustering supports at most 128 classes")
        connections, weights = ombrel.prim_mst(X, self.metric)
        _, _, new_labels = ombrel.clusterize(connections, weights, encoded.astype(np.int8))
        return _fill_unlabelled(X, new_labels.astype(np.int64), encoded)


class MutualKNNClustering(_SemiSupervisedClustering):
    """Labels the connected components of the mutual k-nearest-neighbour graph,
    pruned to the edges that lead most directly towards labelled points.

    Within a component, each point takes the class of its nearest labelled
    point of that component; a component without a labelled point takes the
    class of the labelled point nearest to each of its points.
    """

    def __init__(self, k=10):
        self.k = k

    def _fit_codes(self, X, encoded):
        from halvorne_beta.algorithms.input import _AlgorithmInput
        from halvorne_beta.algorithms.src.algorithm2.binaries import kestrin, kestrin_bfs

        k = int(self.k)
        if not 1 <= k < len(X):
            raise ValueError(f"k must lie between 1 and the number of points - 1 ({len(X) - 1}), got {self.k}")
        connections, weights, _, _ = kestrin.mutual_knn(X, k)
        data = _AlgorithmInput(X, encoded)
        connections, weights = kestrin.informative_edges(data, k, connections, weights)
        components, _ = kestrin_bfs.find_connected_components(data, connections)
        return _label_components(X, encoded, components)


class SemiSupervisedDBSCAN(_SemiSupervisedClustering):
    """Density clusters grown from the labelled points without crossing into
    another class; clusters without a labelled point and noise points then go
    to the class with the nearest centroid.
    """

    def __init__(self, eps=0.5, min_samples=5, metric="minkowski", p=2):
        self.eps = eps
        self.min_samples = min_samples
        self.metric = metric
        self.p = p

    def _fit_codes(self, X, encoded):
        from halvorne_beta.algorithms.src.algorithm3.binaries import postprocess, tavrisk

        clusters = tavrisk.semi_supervised_dbscan(X, float(self.eps), int(self.min_samples),
                                                  encoded.astype(np.int32), self.metric, int(self.p))
        labels = postprocess.tavrisk_postprocess(X, clusters, self.metric, int(self.p))
        return _fill_unlabelled(X, labels.astype(np.int64), encoded)


def _nearest(points, candidates):
    """Index into candidates of the point nearest to each of points."""
    return KDTree(candidates).query(points, k=1)[1]


def _fill_unlabelled(X, codes, encoded):
    """Points the native pass left at -1 take the class of the nearest labelled point."""
    missing = codes < 0
    if missing.any():
        labelled = np.flatnonzero(encoded >= 0)
        codes[missing] = encoded[labelled[_nearest(X[missing], X[labelled])]]
    return codes


def _label_components(X, encoded, components):
    codes = np.full(len(X), -1, dtype=np.int64)
    orphans = []
    for nodes, is_labeled in components:
        nodes = np.asarray(nodes, dtype=np.int64)
        labelled = nodes[encoded[nodes] >= 0] if is_labeled else nodes[:0]
        if labelled.size == 0:
            orphans.append(nodes)
        elif labelled.size == nodes.size:
            codes[nodes] = encoded[nodes]
        else:
            codes[nodes] = encoded[labelled[_nearest(X[nodes], X[labelled])]]
    if orphans:
        nodes = np.concatenate(orphans)
        all_labelled = np.flatnonzero(encoded >= 0)
        codes[nodes] = encoded[all_labelled[_nearest(X[nodes], X[all_labelled])]]
    return codes
