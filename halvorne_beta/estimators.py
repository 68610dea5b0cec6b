"""Estimators in the scikit-learn style over the native modules.

Each estimator follows the conventions of scikit-learn's semi-supervised
classifiers (``sklearn.semi_supervised.LabelSpreading``): ``fit(X, y)`` with
-1 marking an unlabelled point, ``labels_`` / ``transduction_`` with one
class per training point, sorted ``classes_``, ``predict`` and
``predict_proba`` for new points and ``score`` (accuracy).

Rules common to the three estimators:

- Given labels are kept: ``labels_[y != -1] == y[y != -1]``, also for
  duplicate points that carry different labels.
- Row order does not matter: the native core always sees the rows sorted by
  coordinates (first column first), then by label, and the results are put
  back into the caller's order. Permuting the rows of ``X`` and ``y``
  permutes ``labels_`` and changes nothing else; identical rows with the
  same label get the same class.
- A point equal to a training point gets that point's class, so
  ``predict`` on the training points returns ``labels_``. (Where the
  training data holds the same coordinates with different given classes,
  ``predict_proba`` splits between them by count and ``predict`` takes the
  most frequent, the first in ``classes_`` on a tie.)
"""
import sys
import time
import warnings
from contextlib import contextmanager
from itertools import chain
from numbers import Integral, Real

import numpy as np
from scipy import sparse
from scipy.sparse.csgraph import dijkstra
from scipy.spatial import KDTree
from sklearn.base import BaseEstimator, ClassifierMixin, _fit_context
from sklearn.metrics import DistanceMetric
from sklearn.neighbors import BallTree
from sklearn.utils._param_validation import Interval, StrOptions
from sklearn.utils.validation import check_is_fitted, validate_data

from halvorne_beta import _eps_auto
from halvorne_beta._new_points import ExactRows, inverse_distance_proba, nearest_per_class_all, nearest_per_class_among
from halvorne_beta._validation import (canonical_order, check_integral_power, check_metric_defined,
                                       encode_labels, same_as_previous_row)

__all__ = ["MSTLabelClustering", "MutualKNNClustering", "SemiSupervisedDBSCAN", "DensityWarning"]

# scipy.spatial.distance names that need no parameter fitted to the data
# (seuclidean and mahalanobis would take variances from the data, which
# differ between fit and predict) and give real distances on real data.
MST_METRICS = frozenset({"euclidean", "sqeuclidean", "cityblock", "chebyshev", "minkowski", "canberra",
                         "braycurtis", "cosine", "correlation", "jensenshannon", "hamming"})
# sklearn.neighbors.BallTree names that need no extra parameter.
DBSCAN_METRICS = frozenset({"minkowski", "euclidean", "l2", "manhattan", "cityblock", "l1", "chebyshev",
                            "infinity", "canberra"})


class DensityWarning(UserWarning):
    """The density step of SemiSupervisedDBSCAN looks badly tuned for the data."""


class _Stages:
    """Prints each stage of a fit and its wall time when verbose is on."""

    def __init__(self, owner, verbose):
        self.owner = type(owner).__name__
        self.verbose = bool(verbose)

    @contextmanager
    def __call__(self, stage):
        start = time.perf_counter()
        yield
        if self.verbose:
            print(f"[{self.owner}] {stage}: {time.perf_counter() - start:.3f} s", file=sys.stdout, flush=True)


class _SemiSupervisedBase(ClassifierMixin, BaseEstimator):
    """Shared fit, predict and bookkeeping; subclasses supply ``_fit_core``."""

    _parameter_constraints = {"verbose": ["verbose"]}

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y):
        """Label every point of X from the labelled ones.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training points: finite real numbers. Read-only and memory-mapped
            arrays are accepted; the points are copied once, in canonical
            order, for the native core.
        y : array-like of shape (n_samples,)
            Class of each point, -1 for an unlabelled point. Classes may be
            integers >= 0 or strings. At least one point must be labelled.

        Returns
        -------
        self : object
            The fitted estimator.
        """
        stages = _Stages(self, self.verbose)
        with stages("validation"):
            X, y = validate_data(self, X, y, dtype=np.float64, ensure_min_samples=1, y_numeric=False)
            classes, codes = encode_labels(y)
            self._check_data(X)
        with stages("canonical order"):
            order = canonical_order(X, codes)
            X_sorted = X[order]
            X_sorted += 0.0  # -0.0 becomes 0.0: equal rows are equal bit for bit
            codes_sorted = codes[order]
        self.classes_ = classes
        with stages("core"):
            result = np.asarray(self._fit_core(X_sorted, codes_sorted, stages), dtype=np.int64)
        with stages("labels"):
            given = codes_sorted >= 0
            result[given] = codes_sorted[given]
            # Identical (row, label) pairs are indistinguishable: one class for all.
            duplicate = same_as_previous_row(X_sorted, codes_sorted)
            if duplicate.any():
                first = np.maximum.accumulate(np.where(duplicate, 0, np.arange(len(result))))
                result = result[first]
            self._cache = {}  # search structures for predict, built on first use
            self._X_fit = X_sorted
            self._codes_fit = result
            self._order = order
            self.labels_ = classes[self._to_caller_order(result)]
            self.transduction_ = self.labels_
            self._after_fit(codes_sorted)
        return self

    def fit_predict(self, X, y):
        """Fit, then return ``labels_``.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training points.
        y : array-like of shape (n_samples,)
            Class of each point, -1 for an unlabelled point.

        Returns
        -------
        labels : ndarray of shape (n_samples,)
            The class of every training point.
        """
        return self.fit(X, y).labels_

    def predict_proba(self, X):
        """Class probabilities of each point of X.

        A point equal to a training point gets that point's class in
        ``labels_`` with probability 1 (split by count between coinciding
        training points of different classes). Other points follow the estimator's rule for new points (see the
        class description): one distance per class, turned into
        probabilities in inverse proportion to the distance.

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features)
            Points with as many features as the training data.

        Returns
        -------
        proba : ndarray of shape (n_queries, n_classes)
            Probabilities in the order of ``classes_``; each row sums to 1.
        """
        check_is_fitted(self)
        X = validate_data(self, X, dtype=np.float64, reset=False) + 0.0
        proba = np.zeros((X.shape[0], len(self.classes_)))
        known = self._exact_rows().match(X, proba)
        if not known.all():
            proba[~known] = inverse_distance_proba(self._class_distances(X[~known]))
        return proba

    def predict(self, X):
        """Class of each point of X: the most probable class of ``predict_proba``.

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features)
            Points with as many features as the training data.

        Returns
        -------
        labels : ndarray of shape (n_queries,)
            One value of ``classes_`` per point; ``labels_`` for the training
            points.
        """
        proba = self.predict_proba(X)
        return self.classes_[np.argmax(proba, axis=1)]

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.target_tags.required = True
        tags.input_tags.allow_nan = False
        tags.input_tags.sparse = False
        return tags

    # Hooks for the subclasses.

    def _check_data(self, X):
        """Parameter checks that depend on the data (for example k < n)."""

    def _after_fit(self, codes_sorted):
        """Work after labels_ is known (attributes, warnings)."""

    def _to_caller_order(self, values):
        restored = np.empty_like(values)
        restored[self._order] = values
        return restored

    def _exact_rows(self):
        # Built on first use: fitting alone never pays for it.
        if "exact" not in self._cache:
            self._cache["exact"] = ExactRows(self._X_fit, self._codes_fit, len(self.classes_))
        return self._cache["exact"]


class MSTLabelClustering(_SemiSupervisedBase):
    """Cuts the minimum spanning tree of the points until no path joins two
    classes, then spreads each class over what stays connected to it.

    Time and memory grow with the square of the number of points (about
    20 000 points is the practical limit).

    Rule for new points: a new point joins the tree as a leaf of its nearest
    training point, so it takes that point's class. ``predict_proba`` weighs
    each class by the inverse of the distance to its nearest training point
    (a class at distance 0 takes probability 1).

    Parameters
    ----------
    metric : str, default="euclidean"
        A distance of ``scipy.spatial.distance.pdist`` that needs no fitted
        parameter: "euclidean", "sqeuclidean", "cityblock", "chebyshev",
        "minkowski", "canberra", "braycurtis", "cosine", "correlation",
        "jensenshannon" or "hamming". Data on which the metric is undefined
        (an all-zero row under "cosine", a constant row under "correlation")
        is refused.
    verbose : bool or int, default=False
        Print each stage of ``fit`` and its time.

    Attributes
    ----------
    labels_ : ndarray of shape (n_samples,)
        Class of every training point, with the dtype of y.
    transduction_ : ndarray of shape (n_samples,)
        Same as ``labels_`` (the name used by ``sklearn.semi_supervised``).
    classes_ : ndarray of shape (n_classes,)
        The sorted classes given in y.
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Names of the features, when X has string column names.

    Examples
    --------
    >>> import numpy as np
    >>> from halvorne_beta import MSTLabelClustering
    >>> X = np.array([[0.0], [0.1], [0.2], [5.0], [5.1], [5.2]])
    >>> y = np.array([0, -1, -1, -1, -1, 1])
    >>> model = MSTLabelClustering().fit(X, y)
    >>> model.labels_
    array([0, 0, 0, 1, 1, 1])
    >>> model.predict([[0.3], [4.0]])
    array([0, 1])
    """

    _parameter_constraints = {**_SemiSupervisedBase._parameter_constraints,
                              "metric": [StrOptions(MST_METRICS)]}

    def __init__(self, metric="euclidean", verbose=False):
        self.metric = metric
        self.verbose = verbose

    def _check_data(self, X):
        check_metric_defined(X, self.metric)

    def _fit_core(self, X, codes, stages):
        from halvorne_beta.algorithms.src.algorithm1.binaries import ombrel

        if codes.max() > 127:
            raise ValueError(f"MSTLabelClustering supports at most 128 classes, got {codes.max() + 1}")
        with stages("minimum spanning tree"):
            connections, weights = ombrel.prim_mst(X, str(self.metric))
        with stages("cut and spread"):
            _, _, labels = ombrel.clusterize(connections, weights, codes.astype(np.int8))
        labels = labels.astype(np.int64)
        missing = labels < 0
        if missing.any():
            # Points the tree pass left without a class take their nearest labelled point's.
            labelled = np.flatnonzero(codes >= 0)
            nearest = nearest_per_class_all(X[missing], X[labelled], codes[labelled], len(self.classes_),
                                            str(self.metric))
            labels[missing] = np.argmin(nearest, axis=1)
        return labels

    def _class_distances(self, X):
        return nearest_per_class_all(X, self._X_fit, self._codes_fit, len(self.classes_), str(self.metric))


class MutualKNNClustering(_SemiSupervisedBase):
    """Labels the connected components of the mutual k-nearest-neighbour
    graph, pruned to the edges that lead most directly towards labelled
    points (Euclidean distance).

    Within a component, each point takes the class of the labelled point
    nearest to it along the kept edges (shortest path). A component without
    a labelled point takes, point by point, the class of the nearest
    labelled point.

    Rule for new points: the k nearest training points vote, each class
    weighted by the inverse distance of its nearest member among them, so
    ``predict`` gives the class of the nearest training point.

    Parameters
    ----------
    k : int, default=10
        Number of neighbours per point; 1 <= k < n_samples.
    verbose : bool or int, default=False
        Print each stage of ``fit`` and its time.

    Attributes
    ----------
    labels_ : ndarray of shape (n_samples,)
        Class of every training point, with the dtype of y.
    transduction_ : ndarray of shape (n_samples,)
        Same as ``labels_``.
    classes_ : ndarray of shape (n_classes,)
        The sorted classes given in y.
    n_components_ : int
        Number of connected components of the pruned graph.
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Names of the features, when X has string column names.

    Examples
    --------
    >>> import numpy as np
    >>> from halvorne_beta import MutualKNNClustering
    >>> X = np.array([[0.0], [0.1], [0.2], [5.0], [5.1], [5.2]])
    >>> y = np.array([0, -1, -1, -1, -1, 1])
    >>> MutualKNNClustering(k=2).fit(X, y).labels_
    array([0, 0, 0, 1, 1, 1])
    """

    _parameter_constraints = {**_SemiSupervisedBase._parameter_constraints,
                              "k": [Interval(Integral, 1, None, closed="left")]}

    def __init__(self, k=10, verbose=False):
        self.k = k
        self.verbose = verbose

    def _check_data(self, X):
        n = X.shape[0]
        if self.k >= n:
            raise ValueError(f"The 'k' parameter must be at least 1 and less than n_samples = {n}; "
                             f"got k={self.k}.")

    def _fit_core(self, X, codes, stages):
        from halvorne_beta.algorithms.input import _AlgorithmInput
        from halvorne_beta.algorithms.src.algorithm2.binaries import kestrin, kestrin_bfs

        k = int(self.k)
        with stages("mutual k-nearest-neighbour graph"):
            connections, weights, *table = kestrin.mutual_knn(X, k)
            # A compact copy of the mutual edges for the labelling step; the
            # neighbour table is handed over, so that it goes while the copy is made.
            mutual = _mutual_graph(table)
        with stages("informative edges"):
            data = _AlgorithmInput(X, codes)
            state = np.random.get_state()  # the core shuffles with the global generator
            try:
                kept, _ = kestrin.informative_edges(data, k, connections, weights)
            finally:
                np.random.set_state(state)
            del connections, weights
        with stages("connected components"):
            components, _ = kestrin_bfs.find_connected_components(data, kept)
            del kept, data
            component = _component_ids(components, X.shape[0])
            self.n_components_ = len(components)
            del components
        with stages("labels along the graph"):
            return _label_along_graph(X, codes, component, mutual)

    def _class_distances(self, X):
        k = min(int(self.k), self._X_fit.shape[0])
        distances, indices = self._tree().query(X, k=k)
        distances = distances.reshape(len(X), k)
        indices = indices.reshape(len(X), k)
        return nearest_per_class_among(distances, indices, self._codes_fit, len(self.classes_))

    def _tree(self):
        if "tree" not in self._cache:
            self._cache["tree"] = KDTree(self._X_fit)
        return self._cache["tree"]


class SemiSupervisedDBSCAN(_SemiSupervisedBase):
    """Density clusters grown from the labelled points without crossing into
    another class; clusters without a labelled point and noise points then go
    to the class with the nearest centroid.

    A point is a core point when at least ``min_samples`` points (itself
    included) lie within ``eps`` of it. The density step is deterministic:
    it sees the points in canonical order, so a border point between two
    classes goes to the same class whatever the order of the rows.

    Rule for new points: a point within ``eps`` of core training points
    takes the class of the nearest of them; any other point takes the class
    with the nearest centroid (the mean of the training points of the
    class). ``predict_proba`` weighs the classes by the inverse of those
    distances.

    Parameters
    ----------
    eps : float or "auto", default="auto"
        Neighbourhood radius, > 0 and finite. "auto" tries quantiles of the
        distance from each point to its ``min_samples``-th neighbour, hides
        half of the labelled points of each class in turn, and keeps the
        radius that gets most hidden labels right (the median on a tie).
        It costs about ten fits; above 20 000 points the quantile is chosen
        on a fixed sample of 20 000 points.
    min_samples : int, default=5
        Neighbourhood size (the point itself counted) that makes a core
        point; >= 1.
    metric : str, default="minkowski"
        A distance of ``sklearn.neighbors.BallTree`` that needs no extra
        parameter: "minkowski", "euclidean", "l2", "manhattan", "cityblock",
        "l1", "chebyshev", "infinity" or "canberra".
    p : int or inf, default=2
        Power of the Minkowski distance (used when metric="minkowski"): an
        integer >= 1 or ``numpy.inf`` (the Chebyshev distance). Fractional
        powers are refused.
    verbose : bool or int, default=False
        Print each stage of ``fit`` and its time.

    Attributes
    ----------
    labels_ : ndarray of shape (n_samples,)
        Class of every training point, with the dtype of y.
    transduction_ : ndarray of shape (n_samples,)
        Same as ``labels_``.
    classes_ : ndarray of shape (n_classes,)
        The sorted classes given in y.
    eps_ : float
        The radius used (the chosen one when eps="auto").
    eps_scores_ : dict
        For eps="auto": each quantile of the neighbour distance tried and
        the share of hidden labels it got right. Empty for a fixed eps.
    cluster_ids_ : ndarray of shape (n_samples,), dtype int32
        The density step's result before post-processing: >= 0 the position
        in ``classes_`` of the class whose cluster took the point, -1 noise,
        -2, -3, ... clusters without a labelled point.
    core_sample_indices_ : ndarray of shape (n_core_samples,)
        Indices of the core points, ascending; computed on first access
        (one k-nearest-neighbour query).
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Names of the features, when X has string column names.

    Warns
    -----
    DensityWarning
        When the density step reaches less than 5% of the unlabelled points
        (eps too small: the nearest-centroid fallback did the work), or
        when one class takes more than 95% of the unlabelled points although
        it holds less than 80% of the given labels (eps too large).

    Examples
    --------
    >>> import numpy as np
    >>> from halvorne_beta import SemiSupervisedDBSCAN
    >>> X = np.array([[0.0], [0.1], [0.2], [5.0], [5.1], [5.2]])
    >>> y = np.array([0, -1, -1, -1, -1, 1])
    >>> model = SemiSupervisedDBSCAN(eps=0.15, min_samples=2).fit(X, y)
    >>> model.labels_
    array([0, 0, 0, 1, 1, 1])
    >>> model.cluster_ids_
    array([0, 0, 0, 1, 1, 1], dtype=int32)
    """

    _parameter_constraints = {**_SemiSupervisedBase._parameter_constraints,
                              "eps": [Interval(Real, 0, None, closed="neither"), StrOptions({"auto"})],
                              "min_samples": [Interval(Integral, 1, None, closed="left")],
                              "metric": [StrOptions(DBSCAN_METRICS)],
                              "p": [Interval(Real, 1, None, closed="both")]}

    def __init__(self, eps="auto", min_samples=5, metric="minkowski", p=2, verbose=False):
        self.eps = eps
        self.min_samples = min_samples
        self.metric = metric
        self.p = p
        self.verbose = verbose

    def _check_data(self, X):
        check_integral_power(self.p)

    def _core_metric(self):
        """(metric, p) for the native core: exact str, integer p; p=inf is Chebyshev."""
        metric = str(self.metric)
        p = check_integral_power(self.p)
        if metric == "minkowski" and np.isinf(p):
            return "chebyshev", 2
        return metric, int(p) if metric == "minkowski" else 2

    def _fit_core(self, X, codes, stages):
        metric, p = self._core_metric()
        self.eps_scores_ = {}
        eps = self.eps
        if isinstance(eps, str):
            with stages("eps='auto'"):
                eps, self.eps_scores_ = _eps_auto.choose_eps(
                    X, codes, self.min_samples, self._knn_distances,
                    lambda data, e, partial: self._density_and_merge(data, float(e), partial, metric, p)[1])
        self.eps_ = float(eps)
        with stages("density step and merge"):
            clusters, labels = self._density_and_merge(X, self.eps_, codes, metric, p)
        self.cluster_ids_ = clusters
        return labels

    def _core_mask(self):
        """Which training points (canonical order) are core points; built on first use.

        A core point has at least min_samples points (itself included) within
        eps: its min_samples-th nearest point lies within eps. One k-nearest
        query, not worth paying in every fit at millions of points.
        """
        if "core" not in self._cache:
            X = self._X_fit
            if self.min_samples > X.shape[0]:
                self._cache["core"] = np.zeros(X.shape[0], dtype=bool)
            else:
                kth = self._knn_distances(X, X, int(self.min_samples))[:, -1]
                self._cache["core"] = kth <= self.eps_
        return self._cache["core"]

    @property
    def core_sample_indices_(self):
        """Indices of the core training points, ascending (computed on first access)."""
        if "_X_fit" not in self.__dict__:
            raise AttributeError("'SemiSupervisedDBSCAN' object has no attribute 'core_sample_indices_'")
        return np.sort(self._order[self._core_mask()])

    def _density_and_merge(self, X, eps, codes, metric, p):
        from halvorne_beta.algorithms.src.algorithm3.binaries import postprocess, tavrisk

        clusters = tavrisk.semi_supervised_dbscan(X, eps, int(self.min_samples), codes.astype(np.int32),
                                                  metric, p)
        labels = postprocess.tavrisk_postprocess(X, clusters.copy(), metric, p).astype(np.int64)
        missing = labels < 0
        if missing.any():
            labelled = np.flatnonzero(codes >= 0)
            labels[missing] = codes[labelled[KDTree(X[labelled]).query(X[missing], k=1)[1]]]
        return clusters, labels

    def _search_tree(self, X):
        metric, p = self._core_metric()
        if metric == "minkowski" and p == 2:
            return KDTree(X)
        return BallTree(X, metric=metric, p=p) if metric == "minkowski" else BallTree(X, metric=metric)

    def _knn_distances(self, X, rows, k):
        tree = self._search_tree(X)
        if isinstance(tree, KDTree):
            distances = tree.query(rows, k=k, workers=-1)[0]
        else:
            distances = tree.query(rows, k=k)[0]
        return np.asarray(distances).reshape(len(rows), k)

    def _after_fit(self, codes_sorted):
        self.cluster_ids_ = self._to_caller_order(self.cluster_ids_)
        unlabelled = codes_sorted < 0
        if unlabelled.any():
            reached = np.count_nonzero(self.cluster_ids_[self._to_caller_order(unlabelled)] >= 0)
            share = reached / np.count_nonzero(unlabelled)
            if share < 0.05:
                warnings.warn(f"The density step reached only {share:.1%} of the unlabelled points with "
                              f"eps={self.eps_:.4g}: the nearest-centroid fallback labelled the rest. "
                              "eps is probably too small for this data; try eps='auto'.", DensityWarning,
                              stacklevel=4)
        if len(self.classes_) > 1 and unlabelled.any():
            taken = np.bincount(self._codes_fit[unlabelled], minlength=len(self.classes_))
            given = np.bincount(codes_sorted[~unlabelled], minlength=len(self.classes_))
            top = int(np.argmax(taken))
            if taken[top] > 0.95 * taken.sum() and given[top] < 0.8 * given.sum():
                name = self.classes_.tolist()[top]
                warnings.warn(f"Class {name!r} took {taken[top]} of the {taken.sum()} unlabelled "
                              f"points although it holds only {given[top]} of the {given.sum()} given labels: "
                              f"eps={self.eps_:.4g} is probably too large for this data; try eps='auto'.",
                              DensityWarning, stacklevel=4)

    def _class_distances(self, X):
        metric, p = self._core_metric()
        n_classes = len(self.classes_)
        result = np.full((X.shape[0], n_classes), np.inf)
        for code in range(n_classes):
            members = self._X_fit[self._core_mask() & (self._codes_fit == code)]
            if members.shape[0] == 0:
                continue
            distances = np.asarray(self._search_tree(members).query(X, k=1)[0]).reshape(-1)
            result[:, code] = np.where(distances <= self.eps_, distances, np.inf)
        far = ~np.isfinite(result).any(axis=1)
        if far.any():
            centroids = np.vstack([self._X_fit[self._codes_fit == c].mean(axis=0) for c in range(n_classes)])
            distance = (DistanceMetric.get_metric(metric, p=p) if metric == "minkowski"
                        else DistanceMetric.get_metric(metric))
            result[far] = distance.pairwise(X[far], centroids)
        return result


def _component_ids(components, n):
    """Component number of every point, from the core's (nodes, flag) list."""
    sizes = np.fromiter((len(nodes) for nodes, _ in components), dtype=np.int64, count=len(components))
    nodes = np.fromiter(chain.from_iterable(nodes for nodes, _ in components), dtype=np.int64, count=n)
    component = np.empty(n, dtype=np.int64)
    component[nodes] = np.repeat(np.arange(len(components)), sizes)
    return component


def _mutual_graph(table):
    """The mutual k-nearest-neighbour edges as a symmetric sparse matrix.

    `table` is the list [neighbours, distances] of mutual_knn's neighbour
    table; it is emptied, so that each array is freed once converted. Row i
    of the table becomes row i of the matrix, so no index array is built;
    the element types are the smallest that hold the data.
    """
    neighbours = table.pop(0)
    n, k = neighbours.shape
    index_type = np.int32 if n < 2**31 - 1 else np.int64
    cols = np.asarray(neighbours).astype(index_type).reshape(-1)
    del neighbours
    # Sparse graphs drop explicit zeros: coincident points get the smallest positive length.
    weights = np.asarray(table.pop(0), dtype=np.float32).reshape(-1)
    if not weights.flags.writeable:
        weights = weights.copy()
    np.maximum(weights, np.finfo(np.float32).smallest_subnormal, out=weights)
    weights[cols == np.repeat(np.arange(n, dtype=index_type), k)] = 0  # no self-loops
    indptr = np.arange(0, n * k + 1, k, dtype=np.int64 if n * k >= 2**31 - 1 else index_type)
    graph = sparse.csr_matrix((weights, cols, indptr), shape=(n, n))
    del cols, weights
    graph.eliminate_zeros()
    return graph.minimum(graph.T).tocsr()  # an edge only where both directions exist


def _label_along_graph(X, codes, component, mutual):
    """Class of the labelled point nearest along the mutual edges of each component.

    The mutual k-nearest-neighbour edges inside each component of the pruned
    graph are walked by a multi-source shortest-path search from all
    labelled points at once. Points that no labelled point reaches (their
    component has none) take the class of the nearest labelled point.
    """
    n = X.shape[0]
    component = component.astype(np.int32 if n < 2**31 - 1 else np.int64)
    rows = np.repeat(np.arange(n, dtype=mutual.indices.dtype), np.diff(mutual.indptr))
    mutual.data[component[rows] != component[mutual.indices]] = 0
    del rows
    mutual.eliminate_zeros()
    labelled = np.flatnonzero(codes >= 0)
    _, _, sources = dijkstra(mutual, directed=False, indices=labelled, min_only=True,
                             return_predecessors=True)
    del mutual
    result = np.full(n, -1, dtype=np.int64)
    reached = sources >= 0
    result[reached] = codes[sources[reached]]
    if not reached.all():
        missing = ~reached
        result[missing] = codes[labelled[KDTree(X[labelled]).query(X[missing], k=1)[1]]]
    return result
