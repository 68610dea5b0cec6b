"""SemiSupervisedDBSCAN: eps="auto" against fixed rules for eps.

Standardised data sets, a share of the points labelled, several seeds; the
table shows the accuracy on the unlabelled points (mean over seeds) and the
mean fit time of each rule:
    0.5          : the former default
    median k-d   : median distance from a point to its min_samples-th neighbour
    2 x median   : twice that
    auto         : eps chosen by hiding labelled points (the estimator's eps="auto")
and, for reference, LabelSpreading(kernel="knn", n_neighbors=10).
"""
import time
import warnings

import numpy as np
from scipy.spatial import KDTree
from sklearn.datasets import load_breast_cancer, load_digits, load_iris, load_wine, make_blobs, make_moons
from sklearn.preprocessing import StandardScaler
from sklearn.semi_supervised import LabelSpreading

from halvorne_beta import SemiSupervisedDBSCAN
from halvorne_beta.demo import hide_labels

MIN_SAMPLES = 5


def datasets():
    for name, loader in [("iris", load_iris), ("wine", load_wine), ("cancer", load_breast_cancer),
                         ("digits", load_digits)]:
        yield name, loader(return_X_y=True)
    yield "moons", make_moons(1000, noise=0.1, random_state=0)
    yield "blobs", make_blobs(1000, centers=4, cluster_std=1.0, random_state=0)


def median_kth(X):
    return float(np.median(KDTree(X).query(X, k=MIN_SAMPLES)[0][:, -1]))


def rules(X):
    median = median_kth(X)
    return {"0.5": 0.5, "median k-d": median, "2 x median": 2 * median, "auto": "auto"}


def main():
    names = ["0.5", "median k-d", "2 x median", "auto", "LabelSpreading"]
    print(f"{'data set':<8} {'share':>5} " + " ".join(f"{n:>14}" for n in names))
    totals = {n: [] for n in names}
    times = {n: [] for n in names}
    for name, (X, y) in datasets():
        X = np.ascontiguousarray(StandardScaler().fit_transform(X))
        for share in (0.05, 0.1):
            scores = {n: [] for n in names}
            for seed in range(3):
                partial = hide_labels(y, share, seed)
                unlabelled = partial < 0
                for rule, eps in rules(X).items():
                    start = time.perf_counter()
                    with warnings.catch_warnings():
                        warnings.simplefilter("ignore")
                        labels = SemiSupervisedDBSCAN(eps=eps, min_samples=MIN_SAMPLES).fit(X, partial).labels_
                    times[rule].append(time.perf_counter() - start)
                    scores[rule].append(np.mean(labels[unlabelled] == y[unlabelled]))
                start = time.perf_counter()
                labels = LabelSpreading(kernel="knn", n_neighbors=10).fit(X, partial).transduction_
                times["LabelSpreading"].append(time.perf_counter() - start)
                scores["LabelSpreading"].append(np.mean(labels[unlabelled] == y[unlabelled]))
            for n in names:
                totals[n] += scores[n]
            print(f"{name:<8} {share:5.2f} " + " ".join(f"{np.mean(scores[n]):14.3f}" for n in names), flush=True)
    print(f"{'mean':<14} " + " ".join(f"{np.mean(totals[n]):14.3f}" for n in names))
    print(f"{'time (ms)':<14} " + " ".join(f"{1000 * np.mean(times[n]):14.1f}" for n in names))


if __name__ == "__main__":
    main()
