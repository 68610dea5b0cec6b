"""A short run of the native modules on data this script makes.

Clusters two noisy groups with a few labelled points through the minimum
spanning tree (prim_mst), and reports how the tree's heaviest edge separates them.
"""
import time

import numpy as np

from halvorne_beta.algorithms.src.algorithm1.binaries import ombrel


def main():
    rng = np.random.default_rng(0)
    groups = [rng.normal(loc=centre, scale=0.3, size=(200, 2)) for centre in ((0, 0), (4, 0))]
    X = np.vstack(groups)
    start = time.perf_counter()
    connections, weights = ombrel.prim_mst(X)
    elapsed = time.perf_counter() - start
    edges = sum(len(c) for c in connections.to_numpy_all()) // 2
    heaviest = max(float(w.max()) for w in weights.to_numpy_all() if w.size)
    print(f"prim_mst: {len(X)} points -> {edges} tree edges in {elapsed * 1e3:.1f} ms")
    print(f"heaviest tree edge {heaviest:.3f} (the gap between the two groups)")
    a, b = weights.pop_max()
    print(f"cutting it separates vertex {a} from vertex {b}")


if __name__ == "__main__":
    main()
