import types

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from sklearn.metrics import DistanceMetric

from conftest import load


@pytest.fixture(scope="module")
def postprocess():
    return load("algorithm3", "postprocess")


def reference(points, labels, metric="minkowski", p=2):
    """The post-processing step by step: one pair at a time, centroids from masked copies."""
    labels = labels.copy()
    dist = DistanceMetric.get_metric(metric, p=p) if metric == "minkowski" else DistanceMetric.get_metric(metric)

    def table():
        return {int(L): np.mean(np.array(points)[labels == L], axis=0) for L in np.unique(labels) if L != -1}

    def closest(centroids, item):
        best, found = float("inf"), -1
        for K, centroid in centroids.items():
            if K < -1:
                continue
            d = float(dist.pairwise([centroid], [item])[0][0])
            if d < best:
                best, found = d, K
        return found

    centroids = table()
    for L in list(centroids):
        if L < -1:
            labels[labels == L] = closest(centroids, centroids[L])
    centroids = table()
    for i in range(len(points)):
        if labels[i] == -1:
            labels[i] = closest(centroids, points[i])
    return labels


METRICS = [("minkowski", 2), ("minkowski", 1), ("minkowski", 3), ("euclidean", 2), ("manhattan", 2),
           ("chebyshev", 2), ("canberra", 2)]


@st.composite
def problems(draw):
    n = draw(st.integers(1, 40))
    f = draw(st.integers(1, 3))
    values = st.one_of(st.integers(-4, 4).map(float), st.floats(-1e3, 1e3, allow_nan=False))
    points = np.array(draw(st.lists(st.lists(values, min_size=f, max_size=f), min_size=n, max_size=n)))
    labels = np.array(draw(st.lists(st.sampled_from([-1, -1, -2, -3, -7, 0, 1, 4]), min_size=n, max_size=n)),
                      dtype=np.int32)
    metric, p = draw(st.sampled_from(METRICS))
    return points, labels, metric, p


@settings(max_examples=150, deadline=None)
@given(problems())
def test_same_labels_as_the_step_by_step_rendering(postprocess, problem):
    points, labels, metric, p = problem
    expected = reference(points, labels, metric, p)
    result = postprocess.tavrisk_postprocess(points, labels, metric, p)
    assert result is labels
    assert result.tolist() == expected.tolist()


@pytest.mark.parametrize("rebind", ["np", "DistanceMetric"])
def test_rebound_names_are_called(postprocess, monkeypatch, rebind):
    rng = np.random.default_rng(1)
    points = rng.random((60, 2))
    labels = rng.choice([-1, -2, -3, 0, 1, 2], 60).astype(np.int32)
    expected = reference(points, labels)
    noise = int((labels == -1).sum())
    calls = []
    if rebind == "np":
        fake = types.SimpleNamespace(**{name: getattr(np, name) for name in ("array", "unique")})
        fake.mean = lambda *a, **k: calls.append("mean") or np.mean(*a, **k)
    else:
        class Recorder:
            def __init__(self, inner):
                self.inner = inner

            def pairwise(self, x, y):
                calls.append("pairwise")
                return self.inner.pairwise(x, y)

        fake = types.SimpleNamespace(get_metric=lambda *a, **k: Recorder(DistanceMetric.get_metric(*a, **k)))
    monkeypatch.setattr(postprocess, rebind, fake)
    assert postprocess.tavrisk_postprocess(points, labels).tolist() == expected.tolist()
    if rebind == "np":
        assert calls.count("mean") == 5 + 3  # every label before the merge, every class after it
    else:
        assert noise > 0 and calls.count("pairwise") == (2 + noise) * 3  # one pair at a time


def test_get_metric_arguments(postprocess, monkeypatch):
    seen = []

    def get_metric(*args, **kwargs):
        seen.append((args, kwargs))
        return DistanceMetric.get_metric(*args, **kwargs)

    monkeypatch.setattr(postprocess, "DistanceMetric", types.SimpleNamespace(get_metric=get_metric))
    labels = np.array([0, -1], np.int32)
    postprocess.tavrisk_postprocess(np.zeros((2, 1)), labels)
    postprocess.tavrisk_postprocess(np.zeros((2, 1)), labels, "euclidean", 7)
    postprocess.tavrisk_postprocess(np.zeros((2, 1)), labels, p=1)
    assert seen == [(("minkowski",), {"p": 2}), (("euclidean",), {}), (("minkowski",), {"p": 1})]


def column(*xs):
    return np.array([[float(x)] for x in xs])


@pytest.mark.parametrize(
    "points, labels, expected",
    [
        # nothing to change
        ((0, 1, 2), (0, 1, 0), [0, 1, 0]),
        # a cluster halfway between two classes goes to the smaller label
        ((0, 2, 1), (1, 0, -2), [1, 0, 0]),
        # no class label: clusters become noise and noise stays noise
        ((0, 1, 5), (-2, -3, -1), [-1, -1, -1]),
        # the noise point at 5.5 is nearer class 0 only once cluster -2 has joined it
        ((0, 10, 4, 4, 5.5), (0, 1, -2, -2, -1), [0, 1, 0, 0, 0]),
        # noise points at different places take different classes
        ((0, 10, 1, 9), (0, 1, -1, -1), [0, 1, 0, 1]),
        # an infinite distance never wins: without a finite one the point stays noise
        ((1e308, -1e308), (0, -1), [0, -1]),
    ],
)
def test_worked_examples(postprocess, points, labels, expected):
    labels = np.array(labels, np.int32)
    assert postprocess.tavrisk_postprocess(column(*points), labels).tolist() == expected


def test_labels_with_strides_are_changed_in_place(postprocess):
    backing = np.array([0, 99, -1, 99, 1, 99, -2, 99], np.int32)
    view = backing[::2]
    assert postprocess.tavrisk_postprocess(column(0, 1, 10, 9), view) is view
    assert backing.tolist() == [0, 99, 0, 99, 1, 99, 1, 99]


def test_subclass_of_ndarray_is_accepted(postprocess):
    class Labels(np.ndarray):
        pass

    labels = np.array([0, -1], np.int32).view(Labels)
    assert postprocess.tavrisk_postprocess(column(0, 1), labels) is labels and labels.tolist() == [0, 0]


@pytest.mark.parametrize(
    "points, labels, kwargs, error, message",
    [
        (column(0, 1), np.array([0, -1], np.int64), {}, ValueError, "expected 'int' but got 'long'"),
        (column(0, 1), [0, -1], {}, TypeError, r"Argument 'labels' has incorrect type \(expected numpy.ndarray"),
        (column(0, 1), None, {}, TypeError, "'labels'"),
        (None, np.array([0, -1], np.int32), {}, TypeError, "'points'"),
        (column(0, 1), np.array([[0, -1]], np.int32), {}, ValueError, "wrong number of dimensions"),
        (column(0, 1, 2), np.array([-1, -1], np.int32), {}, ValueError, "labels has 2 entries but points has 3 rows"),
        (column(0, 1), np.array([-2, -1, 0], np.int32), {}, ValueError, "labels has 3 entries but points has 2 rows"),
        (column(0, 1), np.array([-2, -1], np.int32), {"metric": "nonsense"}, ValueError, "nonsense"),
        (column(0, 1), np.array([-2, -1], np.int32), {"metric": None}, ValueError, "None"),
        (column(0, 1), np.array([-2, -1], np.int32), {"p": 0}, ValueError, "p"),
        (column(0, 1).astype(np.float32), np.array([0, -1], np.int32), {}, ValueError, "expected 'double'"),
    ],
)
def test_bad_input_changes_nothing(postprocess, points, labels, kwargs, error, message):
    before = None if not isinstance(labels, np.ndarray) else labels.copy()
    with pytest.raises(error, match=message):
        postprocess.tavrisk_postprocess(points, labels, **kwargs)
    if before is not None:
        assert labels.tolist() == before.tolist()


def test_read_only_labels_are_refused(postprocess):
    labels = np.array([0, -1], np.int32)
    labels.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        postprocess.tavrisk_postprocess(column(0, 1), labels)


def test_many_noise_points_and_classes(postprocess):
    rng = np.random.default_rng(5)
    points = rng.normal(size=(1500, 3))
    labels = rng.choice(np.arange(-30, 40), 1500).astype(np.int32)
    labels[rng.random(1500) < 0.3] = -1
    expected = reference(points, labels)
    assert postprocess.tavrisk_postprocess(points, labels).tolist() == expected.tolist()


def batched_reference(points, labels):
    """The same steps with whole distance matrices (pairwise gives each pair the value it gives alone)."""
    labels = labels.copy()
    dist = DistanceMetric.get_metric("minkowski", p=2)

    def table():
        keys = [int(L) for L in np.unique(labels) if L != -1]
        return keys, {L: np.mean(points[labels == L], axis=0) for L in keys}

    def closest(keys, centroids, items):
        classes = [K for K in keys if K >= 0]
        if not classes:
            return np.full(len(items), -1)
        d = dist.pairwise(np.array([centroids[K] for K in classes]), items)
        d = np.where(np.isnan(d), np.inf, d)
        best = d.argmin(axis=0)
        return np.where(np.isfinite(d.min(axis=0)), np.array(classes)[best], -1)

    keys, centroids = table()
    clusters = [L for L in keys if L < -1]
    if clusters:
        for L, K in zip(clusters, closest(keys, centroids, np.array([centroids[L] for L in clusters]))):
            labels[labels == L] = K
    keys, centroids = table()
    noise = labels == -1
    if noise.any():
        labels[noise] = closest(keys, centroids, points[noise])
    return labels


def test_more_items_than_one_distance_block(postprocess):
    # 1500 classes: distances go to pairwise in blocks of fewer than 700 items
    rng = np.random.default_rng(6)
    points = rng.normal(size=(6000, 2))
    labels = np.concatenate([np.arange(1500), -2 - np.arange(800), np.full(1200, -1),
                             rng.integers(-801, 1500, 2500)]).astype(np.int32)
    rng.shuffle(labels)
    expected = batched_reference(points, labels)
    assert (expected != labels).sum() > 1500
    assert postprocess.tavrisk_postprocess(points, labels).tolist() == expected.tolist()


def test_a_kept_row_outlives_the_callers_array(postprocess, monkeypatch):
    kept = []

    class Keeping:
        def pairwise(self, x, y):
            kept.append(y[0])
            return DistanceMetric.get_metric("euclidean").pairwise(np.asarray(x), np.asarray(y, dtype=np.float64))

    monkeypatch.setattr(postprocess, "DistanceMetric", types.SimpleNamespace(get_metric=lambda *a, **k: Keeping()))
    points = np.arange(12, dtype=np.float64).reshape(6, 2)
    postprocess.tavrisk_postprocess(points, np.array([0, -1, 1, -1, -1, 0], np.int32))
    rows = [np.asarray(k).tolist() for k in kept]
    del points
    reuse = [np.full((6, 2), -7.0) for _ in range(8)]  # likely to take the freed memory
    assert [np.asarray(k).tolist() for k in kept] == rows
    assert [2.0, 3.0] in rows and len(reuse) == 8
