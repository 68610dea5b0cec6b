import subprocess
import sys

import numpy as np
import pytest
from sklearn.datasets import make_blobs

from halvorne_beta import MSTLabelClustering, MutualKNNClustering, SemiSupervisedDBSCAN
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
