import subprocess
import sys
import warnings

import numpy as np
import pytest
from sklearn.datasets import make_blobs

from halvorne_beta import DensityWarning, MSTLabelClustering, MutualKNNClustering, SemiSupervisedDBSCAN, _eps_auto
from halvorne_beta.demo import hide_labels

ESTIMATORS = [
    pytest.param(lambda: MSTLabelClustering(), id="mst"),
    pytest.param(lambda: MutualKNNClustering(k=8), id="mutual-knn"),
    pytest.param(lambda: SemiSupervisedDBSCAN(eps=0.6, min_samples=4), id="dbscan"),
]


@pytest.fixture(scope="module")
def blobs():
    X, y = make_blobs(n_samples=300, centers=[(0, 0), (6, 0), (0, 6)], cluster_std=0.5, random_state=3)
    return X, y, hide_labels(y, 0.1, seed=1)


@pytest.mark.parametrize("make", ESTIMATORS)
def test_well_separated_blobs_are_labelled_correctly(make, blobs):
    X, y, partial = blobs
    labels = make().fit(X, partial).labels_
    assert labels.shape == y.shape
    assert np.mean(labels == y) > 0.97
    known = partial >= 0
    assert np.array_equal(labels[known], y[known])


@pytest.mark.parametrize("make", ESTIMATORS)
def test_class_values_and_array_likes_are_kept(make, blobs):
    X, y, partial = blobs
    # Arbitrary class values come back as they were given, from plain lists too.
    renamed = np.where(partial >= 0, partial * 100 + 7, -1)
    labels = make().fit_predict(X.tolist(), renamed.tolist())
    assert set(np.unique(labels)) <= {7, 107, 207}
    assert np.array_equal(labels, make().fit(X, renamed).labels_)


@pytest.mark.parametrize("make", ESTIMATORS)
def test_results_are_deterministic(make, blobs):
    X, _, partial = blobs
    assert np.array_equal(make().fit_predict(X, partial), make().fit_predict(X, partial))


@pytest.mark.parametrize("make", ESTIMATORS)
@pytest.mark.parametrize(
    "X, y, message",
    [
        (np.zeros((4, 2)), [-1, -1, -1, -1], "no labelled point"),
        (np.zeros((4, 2)), [0, 1, -1], "inconsistent numbers of samples"),
        (np.zeros((4, 2)), [[0, 1], [1, 0]], "1d array"),
        (np.zeros((4, 2)), [0, 1, -2, -1], ">= 0"),
        (np.zeros((4, 2)), [0.5, 1, -1, -1], "Unknown label type"),
        (np.zeros(4), [0, 1, -1, -1], "2D array"),
        (np.array([[0.0, np.nan], [1, 1]]), [0, 1], "NaN"),
    ],
)
def test_bad_input(make, X, y, message):
    with pytest.raises(ValueError, match=message):
        make().fit(X, y)


def test_mutual_knn_rejects_k_out_of_range(blobs):
    X, _, partial = blobs
    with pytest.raises(ValueError, match="'k' parameter"):
        MutualKNNClustering(k=0).fit(X, partial)


def test_estimators_follow_sklearn_conventions():
    estimator = SemiSupervisedDBSCAN(eps=0.3, min_samples=3)
    assert estimator.get_params() == {"eps": 0.3, "min_samples": 3, "metric": "minkowski", "p": 2,
                                      "verbose": False}
    assert MSTLabelClustering().set_params(metric="cityblock").metric == "cityblock"


def run_cli(*args, cwd):
    return subprocess.run([sys.executable, "-m", "halvorne_beta", *args], capture_output=True, text=True,
                          cwd=cwd, timeout=600)


def test_command_line_help(tmp_path):
    result = run_cli("--help", cwd=tmp_path)
    assert result.returncode == 0
    for option in ("--dataset", "--labelled", "--seed", "--output"):
        assert option in result.stdout


def test_command_line_runs_the_table(tmp_path):
    result = run_cli("--dataset", "moons", "--labelled", "0.1", "--no-figures", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    rows = [line.split() for line in result.stdout.splitlines()[1:]]
    assert [row[1] for row in rows] == ["MSTLabelClustering", "MutualKNNClustering", "SemiSupervisedDBSCAN",
                                        "LabelSpreading"]
    assert all(0.0 <= float(row[-2]) <= 1.0 for row in rows)
    assert "running" in result.stderr


def test_command_line_refuses_bad_share(tmp_path):
    result = run_cli("--labelled", "0", cwd=tmp_path)
    assert result.returncode == 2 and "--labelled" in result.stderr


def test_command_line_writes_figures(tmp_path):
    pytest.importorskip("matplotlib")
    result = run_cli("--dataset", "moons", "--output", str(tmp_path / "out"), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert len(list((tmp_path / "out").glob("moons_*.png"))) == 4


def awkward_data(seed, n=60):
    """Points built to break order-dependent code: an integer grid (ties
    everywhere), exact duplicates, duplicates with conflicting labels, and
    string-free integer classes with a non-default dtype."""
    rng = np.random.default_rng(seed)
    X = rng.integers(0, 6, size=(n, 2)).astype(np.float64)
    X[-6:] = X[:6]  # duplicated rows
    y = np.full(n, -1, dtype=np.int32)
    labelled = rng.choice(n, size=n // 6, replace=False)
    y[labelled] = rng.integers(0, 3, size=labelled.size)
    y[0], y[-6] = 0, 2  # the same point given two classes
    y[1] = y[-5] = 1
    return X, y


ALL = [
    pytest.param(lambda: MSTLabelClustering(), id="mst"),
    pytest.param(lambda: MSTLabelClustering(metric="cityblock"), id="mst-cityblock"),
    pytest.param(lambda: MutualKNNClustering(k=5), id="mutual-knn"),
    pytest.param(lambda: SemiSupervisedDBSCAN(eps=1.0, min_samples=3), id="dbscan"),
    pytest.param(lambda: SemiSupervisedDBSCAN(min_samples=3, metric="minkowski", p=1), id="dbscan-auto-p1"),
]


@pytest.mark.parametrize("make", ALL)
@pytest.mark.parametrize("seed", range(4))
def test_row_order_changes_nothing_and_given_labels_stay(make, seed):
    X, y = awkward_data(seed)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DensityWarning)
        model = make().fit(X, y)
        perm = np.random.default_rng(seed + 100).permutation(len(X))
        permuted = make().fit(X[perm], y[perm])
    given = y >= 0
    assert model.labels_.dtype == y.dtype
    assert np.array_equal(model.labels_[given], y[given])
    assert np.array_equal(permuted.labels_, model.labels_[perm])
    assert np.array_equal(model.classes_, np.unique(y[given]))
    queries = np.random.default_rng(seed).uniform(-1, 7, size=(25, 2))
    assert np.array_equal(permuted.predict_proba(queries), model.predict_proba(queries))
    if isinstance(model, SemiSupervisedDBSCAN):
        assert permuted.eps_ == model.eps_
        assert np.array_equal(permuted.cluster_ids_, model.cluster_ids_[perm])
        assert np.array_equal(np.sort(perm[permuted.core_sample_indices_]), model.core_sample_indices_)


def reference_class_distances(model, queries):
    """The documented rule for new points, by brute force."""
    from scipy.spatial.distance import cdist

    X = model._X_fit
    codes = np.searchsorted(model.classes_, model.labels_)[model._order]
    n_classes = len(model.classes_)
    if isinstance(model, SemiSupervisedDBSCAN):
        core = np.isin(model._order, model.core_sample_indices_)
        metric = {"metric": "minkowski", "p": model.p} if model.metric == "minkowski" else {"metric": model.metric}
        d = cdist(queries, X, **metric)
        result = np.full((len(queries), n_classes), np.inf)
        for c in range(n_classes):
            members = core & (codes == c)
            if members.any():
                nearest = d[:, members].min(axis=1)
                result[:, c] = np.where(nearest <= model.eps_, nearest, np.inf)
        far = ~np.isfinite(result).any(axis=1)
        centroids = np.array([X[codes == c].mean(axis=0) for c in range(n_classes)])
        result[far] = cdist(queries[far], centroids, **metric)
        return result
    d = cdist(queries, X, metric=getattr(model, "metric", "euclidean"))
    if isinstance(model, MutualKNNClustering):
        # Only the k nearest training points take part.
        order = np.argsort(d, axis=1, kind="stable")
        d = np.where(np.argsort(order, axis=1) < model.k, d, np.inf)
    return np.stack([d[:, codes == c].min(axis=1) for c in range(n_classes)], axis=1)


@pytest.mark.parametrize("make", ALL)
@pytest.mark.parametrize("seed", range(3))
def test_predict_follows_the_rule_for_new_points(make, seed):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(80, 2)) + np.repeat([[0, 0], [4, 0], [0, 4], [4, 4]], 20, axis=0)
    y = np.where(rng.random(80) < 0.2, np.repeat([0, 1, 2, 1], 20), -1)
    y[[0, 20, 40]] = [0, 1, 2]
    model = make().fit(X, y)
    assert np.array_equal(model.predict(X), model.labels_)
    queries = rng.uniform(-3, 7, size=(40, 2))
    proba = model.predict_proba(queries)
    assert proba.shape == (40, 3)
    np.testing.assert_allclose(proba.sum(axis=1), 1.0)
    expected = reference_class_distances(model, queries)
    np.testing.assert_array_equal(model.predict(queries), model.classes_[np.argmin(expected, axis=1)])
    with np.errstate(divide="ignore"):
        weights = 1 / expected
    np.testing.assert_allclose(proba, weights / weights.sum(axis=1, keepdims=True), rtol=1e-9)
    assert model.score(X, model.labels_) == 1.0


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda: MutualKNNClustering(k=5.7), ValueError, "'k' parameter"),
        (lambda: MutualKNNClustering(k="5"), TypeError, "'k' parameter"),
        (lambda: MutualKNNClustering(k=40), ValueError, "less than n_samples = 40"),
        (lambda: SemiSupervisedDBSCAN(p=1.5), ValueError, "would be truncated"),
        (lambda: SemiSupervisedDBSCAN(p=0), ValueError, "'p' parameter"),
        (lambda: SemiSupervisedDBSCAN(eps=0.0), ValueError, "'eps' parameter"),
        (lambda: SemiSupervisedDBSCAN(eps=-1.0), ValueError, "'eps' parameter"),
        (lambda: SemiSupervisedDBSCAN(eps=np.nan), ValueError, "'eps' parameter"),
        (lambda: SemiSupervisedDBSCAN(eps=np.inf), ValueError, "'eps' parameter"),
        (lambda: SemiSupervisedDBSCAN(eps="big"), ValueError, "'eps' parameter"),
        (lambda: SemiSupervisedDBSCAN(min_samples=0), ValueError, "'min_samples' parameter"),
        (lambda: SemiSupervisedDBSCAN(metric="cosine"), ValueError, "'metric' parameter"),
        (lambda: MSTLabelClustering(metric="seuclidean"), ValueError, "'metric' parameter"),
        (lambda: MSTLabelClustering(metric="cosine"), ValueError, "undefined on all-zero rows"),
        (lambda: MSTLabelClustering(metric="correlation"), ValueError, "undefined on constant rows"),
    ],
)
def test_parameters_are_checked_at_fit(make, error, message):
    X = np.random.default_rng(0).normal(size=(40, 3))
    X[7] = 0.0
    y = np.where(np.arange(40) % 10 == 0, np.arange(40) % 3, -1)
    model = make()
    with pytest.raises(error, match=message):
        model.fit(X, y)


def test_y_is_required():
    with pytest.raises(ValueError, match="requires y"):
        MSTLabelClustering().fit(np.zeros((4, 2)), None)


def test_metric_names_may_be_str_subclasses_and_p_inf_is_chebyshev(blobs):
    X, _, partial = blobs
    plain = SemiSupervisedDBSCAN(eps=0.6, min_samples=4, metric="chebyshev").fit(X, partial)
    numpy_name = SemiSupervisedDBSCAN(eps=0.6, min_samples=4, metric=np.str_("chebyshev")).fit(X, partial)
    p_inf = SemiSupervisedDBSCAN(eps=0.6, min_samples=4, p=np.inf).fit(X, partial)
    assert np.array_equal(numpy_name.labels_, plain.labels_)
    assert np.array_equal(p_inf.labels_, plain.labels_)
    assert np.array_equal(MSTLabelClustering(metric=np.str_("cityblock")).fit(X, partial).labels_,
                          MSTLabelClustering(metric="cityblock").fit(X, partial).labels_)


@pytest.mark.parametrize("make", ESTIMATORS)
def test_read_only_and_memory_mapped_input(make, blobs, tmp_path):
    X, _, partial = blobs
    np.save(tmp_path / "X.npy", X)
    mapped = np.load(tmp_path / "X.npy", mmap_mode="r")
    frozen = X.copy()
    frozen.flags.writeable = False
    expected = make().fit(X, partial).labels_
    assert np.array_equal(make().fit(mapped, partial).labels_, expected)
    assert np.array_equal(make().fit(frozen, partial).predict(frozen), expected)
    assert np.array_equal(mapped, X)


def test_string_classes_come_back_as_given(blobs):
    X, y, _ = blobs
    names = np.array(["north", "east", "west"])[y]
    model = MutualKNNClustering(k=8).fit(X, names)  # strings: every point labelled
    assert np.array_equal(model.labels_, names) and model.labels_.dtype == names.dtype


def test_density_warnings_and_raw_result(blobs):
    X, y, partial = blobs
    with pytest.warns(DensityWarning, match="reached only"):
        SemiSupervisedDBSCAN(eps=1e-3, min_samples=4).fit(X, partial)
    with pytest.warns(DensityWarning, match="took"):
        SemiSupervisedDBSCAN(eps=50.0, min_samples=4).fit(X, partial)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DensityWarning)
        model = SemiSupervisedDBSCAN(min_samples=4).fit(X, partial)
    assert np.mean(model.labels_ == y) > 0.97
    assert set(model.eps_scores_) <= set(_eps_auto.QUANTILES) and max(model.eps_scores_.values()) > 0.9
    sizes = np.array([np.count_nonzero(np.linalg.norm(X - x, axis=1) <= model.eps_) for x in X])
    assert np.array_equal(model.core_sample_indices_, np.flatnonzero(sizes >= 4))
    clustered = model.cluster_ids_ >= 0
    assert np.array_equal(model.classes_[model.cluster_ids_[clustered]], model.labels_[clustered])


def test_verbose_reports_each_stage(blobs, capsys):
    X, _, partial = blobs
    MutualKNNClustering(k=8, verbose=True).fit(X, partial)
    out = capsys.readouterr().out
    for stage in ("validation", "mutual k-nearest-neighbour graph", "connected components", "labels"):
        assert f"[MutualKNNClustering] {stage}:" in out


def test_docstring_examples_run():
    import doctest

    from halvorne_beta import estimators

    assert doctest.testmod(estimators).failed == 0


def test_canonical_order_is_a_full_lexicographic_sort():
    # The order sorts on the first column and only falls back to all keys
    # within ties: it must equal one lexsort on every key, on data full of ties.
    from halvorne_beta._validation import canonical_order

    rng = np.random.default_rng(0)
    for trial in range(200):
        n, d = rng.integers(1, 60), rng.integers(1, 4)
        X = rng.integers(-2, 3, size=(n, d)) * rng.choice([1.0, -0.0, 0.5])
        if trial % 3 == 0:
            X = rng.random((n, d))
        codes = rng.integers(-1, 3, size=n)
        expected = np.lexsort([codes] + [X[:, j] for j in range(d - 1, -1, -1)])
        assert np.array_equal(canonical_order(X, codes), expected)
