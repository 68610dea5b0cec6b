"""SemiSupervisedDBSCAN beside scikit-learn's DBSCAN at growing n, with the
same eps and min_samples.

Data: the blobs of bench_tavrisk.py (8 Gaussian blobs over a uniform
background, 2 dimensions), eps for about 15 neighbours per point,
min_samples 10, 1% of the blob points labelled (DBSCAN ignores the labels).
"""
import ctypes
import gc

from sklearn.cluster import DBSCAN

from bench_tavrisk import eps_for, make_data
from halvorne_beta.estimators import SemiSupervisedDBSCAN

SIZES = [10_000, 30_000, 100_000, 300_000, 1_000_000]
MIN_SAMPLES = 10


def make(n):
    points, labels = make_data(n)
    eps = eps_for(points, 15)
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)  # what setting up freed is not counted as the run's
    return points, labels, eps


def run_ours(points, labels, eps):
    SemiSupervisedDBSCAN(eps=eps, min_samples=MIN_SAMPLES).fit(points, labels)


def run_dbscan(points, labels, eps):
    DBSCAN(eps=eps, min_samples=MIN_SAMPLES).fit(points)


CASES = [
    dict(series="SemiSupervisedDBSCAN", sizes=SIZES, make=make, run=run_ours),
    dict(series="DBSCAN (sklearn)", sizes=SIZES, make=make, run=run_dbscan),
]
