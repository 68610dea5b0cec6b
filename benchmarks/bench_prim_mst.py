"""prim_mst on 4000 points in 8 dimensions against its floor and its peer.

Floor: scipy's pdist alone (the condensed distance vector prim_mst must read).
Peer:  pdist + squareform + scipy.sparse.csgraph.minimum_spanning_tree.
Also reports the peak memory prim_mst allocates beyond the condensed vector.
"""
import argparse
import tracemalloc

import numpy as np
from scipy.sparse.csgraph import minimum_spanning_tree
from scipy.spatial.distance import pdist, squareform

from halvorne_beta.algorithms.src.algorithm1.binaries import ombrel
from timing import best_time


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


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


def peer(X):
    return minimum_spanning_tree(squareform(pdist(X)))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--n", type=int, default=4000)
    parser.add_argument("--dims", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    X = np.random.default_rng(0).random((args.n, args.dims))

    ours = best_time(lambda: ombrel.prim_mst(X), args.repeat)
    floor = best_time(lambda: pdist(X), args.repeat)
    theirs = best_time(lambda: peer(X), args.repeat)

    connections, weights = ombrel.prim_mst(X)
    total = sum(float(w.sum()) for w in weights.to_numpy_all()) / 2
    peer_total = float(peer(X).sum())

    condensed = args.n * (args.n - 1) // 2 * 8
    tracemalloc.start()
    ombrel.prim_mst(X)
    _, traced_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    native_peak = peak_rss_growth(lambda: ombrel.prim_mst(X))

    print(f"prim_mst n={args.n} d={args.dims}")
    print(f"  ours   {ours * 1e3:9.1f} ms")
    print(f"  floor  {floor * 1e3:9.1f} ms  (pdist)            ratio ours/floor = {ours / floor:.2f}")
    print(f"  peer   {theirs * 1e3:9.1f} ms  (pdist+squareform+MST) ratio ours/peer = {ours / theirs:.2f}")
    print(f"  tree weight ours {total:.4f}  peer {peer_total:.4f}")
    print(f"  peak traced memory {traced_peak / 2**20:.1f} MiB, condensed vector {condensed / 2**20:.1f} MiB, "
          f"beyond it {(traced_peak - condensed) / 2**20:.2f} MiB (n x n matrix would be {args.n**2 * 8 / 2**20:.1f} MiB)")
    print(f"  peak resident growth during the call {native_peak / 2**20:.1f} MiB "
          f"(beyond the condensed vector: {(native_peak - condensed) / 2**20:.1f} MiB)")


if __name__ == "__main__":
    main()
