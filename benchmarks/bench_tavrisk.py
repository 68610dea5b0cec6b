"""semi_supervised_dbscan and tavrisk_postprocess against their floors and peers.

Data: 200000 points in 2 dimensions (8 Gaussian blobs over a uniform background),
eps chosen for about 15 neighbours per point, min_samples 10, 1% of the blob
points labelled with their blob (and a second run with no label at all).

semi_supervised_dbscan
  floor: KDTree(data) + query_ball_tree (the neighbourhoods it must build)
  peer:  sklearn.cluster.DBSCAN(eps, min_samples).fit(data)
  time (best of --repeat) and peak resident growth (each in a fresh
  interpreter), also with an eps covering every point of 5000 points
tavrisk_postprocess (on the clustering above)
  peer:  the same nearest-centroid assignment written with vectorised NumPy
"""
import argparse
import ctypes
import gc
import json
import subprocess
import sys
import time

import numpy as np
from scipy.spatial import KDTree
from sklearn.cluster import DBSCAN

from halvorne_beta.algorithms.src.algorithm3.binaries import postprocess, tavrisk
from timing import best_time, status_kib


def make_data(n, seed=0):
    rng = np.random.default_rng(seed)
    blobs = 8
    centres = rng.random((blobs, 2)) * 10
    background = n // 10
    member = rng.integers(0, blobs, n - background)
    points = np.concatenate([centres[member] + rng.normal(scale=0.6, size=(n - background, 2)),
                             rng.random((background, 2)) * 12 - 1])
    truth = np.concatenate([member, np.full(background, -1)])
    labels = np.full(n, -1, np.int32)
    chosen = rng.choice(n - background, n // 100, replace=False)
    labels[chosen] = truth[chosen]
    return np.ascontiguousarray(points), labels


def eps_for(points, neighbours, sample=2000, seed=1):
    """Radius giving about `neighbours` points (itself included) per neighbourhood on average."""
    tree = KDTree(points)
    probe = points[np.random.default_rng(seed).choice(len(points), sample, replace=False)]
    low, high = 0.0, 1.0
    for _ in range(30):
        mid = (low + high) / 2
        mean = np.mean([len(r) for r in tree.query_ball_point(probe, r=mid)])
        low, high = (mid, high) if mean < neighbours else (low, mid)
    return (low + high) / 2


def numpy_postprocess(points, labels):
    """Nearest-centroid merge of clusters below -1, then of noise points, vectorised."""
    labels = labels.copy()

    def centroids(values):
        keys, inverse = np.unique(values, return_inverse=True)
        counts = np.bincount(inverse)
        sums = np.stack([np.bincount(inverse, weights=points[:, j]) for j in range(points.shape[1])], axis=1)
        return keys, sums / counts[:, None]

    def nearest(targets, items):
        return np.sqrt(((items[:, None, :] - targets[None, :, :]) ** 2).sum(-1)).argmin(1)

    keys, cents = centroids(labels)
    classes, clusters = keys >= 0, keys < -1
    if classes.any():
        if clusters.any():
            lookup = dict(zip(keys[clusters].tolist(), keys[classes][nearest(cents[classes], cents[clusters])].tolist()))
            moved = labels < -1
            labels[moved] = np.vectorize(lookup.get, otypes=[np.int32])(labels[moved])
        keys, cents = centroids(labels)
        classes = keys >= 0
        noise = labels == -1
        labels[noise] = keys[classes][nearest(cents[classes], points[noise])]
    else:
        labels[labels < -1] = -1
    return labels


def problem(points, covering):
    """Data, labels and eps of one measurement; `covering`: 5000 points, eps above their diameter."""
    data, labels = make_data(5000 if covering else points)
    eps = float(np.ptp(data, axis=0).max()) * 2 if covering else eps_for(data, 15)
    return data, labels, eps


def runner(name, data, labels, eps, min_samples=10):
    unlabelled = np.full(len(data), -1, np.int32)
    if name == "ours":
        return lambda: tavrisk.semi_supervised_dbscan(data, eps, min_samples, labels, "minkowski", 2)
    if name == "ours, unlabelled":
        return lambda: tavrisk.semi_supervised_dbscan(data, eps, min_samples, unlabelled, "minkowski", 2)
    if name == "floor":
        def floor():
            tree = KDTree(data)
            neighbourhoods = tree.query_ball_tree(tree, r=eps)
            del neighbourhoods
        return floor
    return lambda: DBSCAN(eps=eps, min_samples=min_samples).fit(data)


def measure_one(name, points, covering):
    """Peak resident growth and time of one call, in this (fresh) interpreter."""
    data, labels, eps = problem(points, covering)
    run = runner(name, data, labels, eps)
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)  # what setting up freed is not counted as ours
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets the high-water mark to the current resident size
    before = status_kib("VmRSS")
    start = time.perf_counter()
    run()
    seconds = time.perf_counter() - start
    print(json.dumps({"seconds": seconds, "peak_mib": (status_kib("VmHWM") - before) / 1024}))


def measure(name, points, covering):
    command = [sys.executable, __file__, "--measure", name, str(points), str(int(covering))]
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def report_memory(points, covering, names):
    peaks = {name: measure(name, points, covering) for name in names}
    size = "5000 points, eps covering all" if covering else f"{points} points"
    print(f"  peak resident growth ({size}, each in a fresh interpreter):")
    for name, r in peaks.items():
        print(f"    {name:<18} {r['peak_mib']:8.1f} MiB  {r['seconds'] * 1e3:9.1f} ms  "
              f"/ DBSCAN = {r['peak_mib'] / max(peaks['DBSCAN']['peak_mib'], 1e-9):.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=int, default=200000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--measure", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure:
        measure_one(args.measure[0], int(args.measure[1]), bool(int(args.measure[2])))
        return

    points, labels = make_data(args.points)
    eps, min_samples = eps_for(points, 15), 10
    result = tavrisk.semi_supervised_dbscan(points, eps, min_samples, labels, "minkowski", 2)
    ours = best_time(runner("ours", points, labels, eps), args.repeat)
    bare = best_time(runner("ours, unlabelled", points, labels, eps), args.repeat)
    base = best_time(runner("floor", points, labels, eps), args.repeat)
    peer = best_time(runner("DBSCAN", points, labels, eps), args.repeat)
    kinds = dict(classes=int((result >= 0).sum()), noise=int((result == -1).sum()),
                 unlabelled_clusters=len(set(result[result < -1].tolist())))
    print(f"semi_supervised_dbscan: {args.points} points, eps {eps:.4f}, min_samples {min_samples}; {kinds}")
    print(f"  ours {ours * 1e3:8.1f} ms   unlabelled {bare * 1e3:8.1f} ms   "
          f"floor (KDTree + query_ball_tree) {base * 1e3:8.1f} ms   sklearn DBSCAN {peer * 1e3:8.1f} ms")
    print(f"  ours / floor = {ours / base:.2f} (unlabelled {bare / base:.2f})   ours / DBSCAN = {ours / peer:.2f}")
    report_memory(args.points, False, ["ours", "ours, unlabelled", "floor", "DBSCAN"])
    report_memory(args.points, True, ["ours", "ours, unlabelled", "DBSCAN"])

    expected = numpy_postprocess(points, result)
    got = postprocess.tavrisk_postprocess(points, result.copy())
    agree = float((got == expected).mean())
    ours = best_time(lambda: postprocess.tavrisk_postprocess(points, result.copy()), args.repeat)
    peer = best_time(lambda: numpy_postprocess(points, result), args.repeat)
    print(f"tavrisk_postprocess: ours {ours * 1e3:8.1f} ms   vectorised NumPy {peer * 1e3:8.1f} ms   "
          f"ours / NumPy = {ours / peer:.2f}   (labels agreeing: {agree:.4%})")


if __name__ == "__main__":
    main()
