"""prim_mst on 4000 points in 8 dimensions against its floor and its peer.

Floor: scipy's pdist alone (the same distance work, done once per pair).
Peer:  pdist + squareform + scipy.sparse.csgraph.minimum_spanning_tree.
prim_mst computes each distance as a vertex joins the tree and never holds the
n(n-1)/2 vector: its peak resident growth is printed beside the floor's.
"""
import argparse

import numpy as np
from scipy.sparse.csgraph import minimum_spanning_tree
from scipy.spatial.distance import pdist, squareform

from halvorne_beta.algorithms.src.algorithm1.binaries import ombrel
from timing import best_time, status_kib


def peak_rss_growth(fn):
    """Peak resident memory fn adds, in bytes (Linux: resets the high-water mark first)."""
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
    except OSError:
        return float("nan")
    before = status_kib("VmRSS")
    fn()
    return (status_kib("VmHWM") - before) * 1024


def peer(X, metric):
    return minimum_spanning_tree(squareform(pdist(X, metric)))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--n", type=int, default=4000)
    parser.add_argument("--dims", type=int, default=8)
    parser.add_argument("--metric", default="euclidean")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--peer-repeat", type=int, default=2, help="the peer takes seconds per run")
    args = parser.parse_args()
    X = np.random.default_rng(0).random((args.n, args.dims))
    metric = args.metric

    ombrel.prim_mst(X[:4], metric)  # the one-time comparison of the kernels with pdist
    ours = best_time(lambda: ombrel.prim_mst(X, metric), args.repeat)
    floor = best_time(lambda: pdist(X, metric), args.repeat)
    theirs = best_time(lambda: peer(X, metric), args.peer_repeat)

    _, weights = ombrel.prim_mst(X, metric)
    total = sum(float(w.astype(np.float64).sum()) for w in weights.to_numpy_all()) / 2
    peer_total = float(peer(X, metric).sum())

    ours_memory = peak_rss_growth(lambda: ombrel.prim_mst(X, metric))
    floor_memory = peak_rss_growth(lambda: pdist(X, metric))

    print(f"prim_mst n={args.n} d={args.dims} metric={metric} (best of {args.repeat}; peer best of {args.peer_repeat})")
    print(f"  ours   {ours * 1e3:9.1f} ms")
    print(f"  floor  {floor * 1e3:9.1f} ms  (pdist)                ratio ours/floor = {ours / floor:.2f}")
    print(f"  peer   {theirs * 1e3:9.1f} ms  (pdist+squareform+MST) ratio ours/peer  = {ours / theirs:.3f}")
    print(f"  tree weight ours {total:.4f}  peer {peer_total:.4f}")
    print(f"  peak resident growth: ours {ours_memory / 2**20:.1f} MiB, floor {floor_memory / 2**20:.1f} MiB "
          f"(condensed vector {args.n * (args.n - 1) // 2 * 8 / 2**20:.1f} MiB)")


if __name__ == "__main__":
    main()
