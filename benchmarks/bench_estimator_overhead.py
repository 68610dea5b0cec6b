"""The Python layer's cost around the native calls, in one process.

For SemiSupervisedDBSCAN (2-D, fixed eps, about 15 neighbours per point) and
MutualKNNClustering (3-D, k=10), each at n points with 100 labelled: the
wall time of fit beside the bare native calls on the same arrays (the
floor), their ratio, and fit's own stage times (verbose=True). Imports are
done before any clock starts.

    python benchmarks/bench_estimator_overhead.py [n] [repeat]
"""
import sys

from scaling_estimators import bare_dbscan, bare_knn, eps_for, make_2d, make_3d
from timing import best_time

from halvorne_beta import MutualKNNClustering, SemiSupervisedDBSCAN


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    repeat = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    X2, y2 = make_2d(n)
    X3, y3 = make_3d(n)
    rows = [
        ("SemiSupervisedDBSCAN", lambda: SemiSupervisedDBSCAN(eps=eps_for(n), min_samples=5).fit(X2, y2),
         lambda: bare_dbscan(X2, y2), lambda: SemiSupervisedDBSCAN(eps=eps_for(n), verbose=True).fit(X2, y2)),
        ("MutualKNNClustering", lambda: MutualKNNClustering(k=10).fit(X3, y3),
         lambda: bare_knn(X3, y3), lambda: MutualKNNClustering(k=10, verbose=True).fit(X3, y3)),
    ]
    print(f"n = {n}, best of {repeat}")
    print(f"{'estimator':<22} {'fit (s)':>9} {'bare (s)':>9} {'ratio':>6}")
    for name, fit, bare, verbose in rows:
        fit_time = best_time(fit, repeat)
        bare_time = best_time(bare, repeat)
        print(f"{name:<22} {fit_time:9.2f} {bare_time:9.2f} {fit_time / bare_time:6.2f}", flush=True)
        verbose()


if __name__ == "__main__":
    main()
