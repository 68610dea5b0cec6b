"""The demo: the three estimators beside scikit-learn's LabelSpreading.

On the digits set and on two moons, a share of the points keeps its label
(the rest get -1); each method labels all points, and the table shows the
accuracy on the points that were unlabelled and the wall time.
"""
import argparse
import os
import sys
import time

import numpy as np
from sklearn.datasets import load_digits, make_moons
from sklearn.semi_supervised import LabelSpreading

from halvorne_beta import MSTLabelClustering, MutualKNNClustering, SemiSupervisedDBSCAN


def progress(message):
    print(message, file=sys.stderr, flush=True)


def load(name, seed):
    if name == "digits":
        X, y = load_digits(return_X_y=True)
        return X.astype(np.float64), y
    X, y = make_moons(n_samples=1000, noise=0.08, random_state=seed)
    return X, y


def hide_labels(y, share, seed):
    """y with all but `share` of the points (at least one per class) set to -1."""
    rng = np.random.default_rng(seed)
    keep = rng.random(len(y)) < share
    for label in np.unique(y):
        members = np.flatnonzero(y == label)
        if not keep[members].any():
            keep[rng.choice(members)] = True
    return np.where(keep, y, -1)


def methods(X):
    return {
        "MSTLabelClustering": MSTLabelClustering(),
        "MutualKNNClustering": MutualKNNClustering(k=10),
        "SemiSupervisedDBSCAN": SemiSupervisedDBSCAN(eps="auto", min_samples=5),
        "LabelSpreading (sklearn)": None,
    }


def run(name, estimator, X, partial):
    start = time.perf_counter()
    if estimator is None:
        labels = LabelSpreading(kernel="knn", n_neighbors=10).fit(X, partial).transduction_
    else:
        labels = estimator.fit_predict(X, partial)
    return labels, time.perf_counter() - start


def plot(results, X, y, partial, out_dir):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    os.makedirs(out_dir, exist_ok=True)
    paths = []
    for name, labels in results.items():
        figure, axes = plt.subplots(figsize=(5, 4))
        axes.scatter(X[:, 0], X[:, 1], c=labels, s=8, cmap="coolwarm")
        known = partial >= 0
        axes.scatter(X[known, 0], X[known, 1], c="black", s=30, marker="x", label="labelled")
        accuracy = np.mean(labels[~known] == y[~known])
        axes.set_title(f"{name}: accuracy {accuracy:.3f}")
        axes.legend(loc="lower left")
        path = os.path.join(out_dir, "moons_" + name.split()[0] + ".png")
        figure.savefig(path, dpi=100, bbox_inches="tight")
        plt.close(figure)
        paths.append(path)
    return paths


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m halvorne_beta", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dataset", choices=["digits", "moons", "all"], default="all")
    parser.add_argument("--labelled", type=float, default=0.05, help="share of points that keep their label")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--output", default="demo_output", help="folder for the two-moons figures")
    parser.add_argument("--no-figures", action="store_true", help="skip the figures (no matplotlib needed)")
    args = parser.parse_args(argv)
    if not 0 < args.labelled <= 1:
        parser.error("--labelled must lie in (0, 1]")

    datasets = ["digits", "moons"] if args.dataset == "all" else [args.dataset]
    print(f"{'data set':<8} {'method':<26} {'accuracy':>9} {'time (s)':>9}")
    for dataset in datasets:
        X, y = load(dataset, args.seed)
        partial = hide_labels(y, args.labelled, args.seed)
        unlabelled = partial < 0
        results = {}
        for name, estimator in methods(X).items():
            progress(f"{dataset}: running {name} on {len(X)} points ...")
            labels, elapsed = run(name, estimator, X, partial)
            results[name] = labels
            accuracy = np.mean(labels[unlabelled] == y[unlabelled])
            print(f"{dataset:<8} {name:<26} {accuracy:9.3f} {elapsed:9.3f}", flush=True)
        if dataset == "moons" and not args.no_figures:
            for path in plot(results, X, y, partial, args.output):
                progress(f"wrote {path}")
    return 0
