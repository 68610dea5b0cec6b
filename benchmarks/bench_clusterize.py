"""clusterize on 4000 points in 8 dimensions, 5 classes, 2% of the points labelled.

Floor: prim_mst on the same points (clusterize should cost less than the tree).
Peer:  sklearn.semi_supervised.LabelSpreading(kernel='knn').fit, against
       prim_mst + clusterize end to end. Prints both ratios and the accuracy
       of both on the unlabelled points.
"""
import argparse

import numpy as np
from sklearn.datasets import make_blobs
from sklearn.semi_supervised import LabelSpreading

from halvorne_beta.algorithms.src.algorithm1.binaries import ombrel
from timing import best_time


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--n", type=int, default=4000)
    parser.add_argument("--dims", type=int, default=8)
    parser.add_argument("--classes", type=int, default=5)
    parser.add_argument("--labelled", type=float, default=0.02)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()

    X, truth = make_blobs(n_samples=args.n, n_features=args.dims, centers=args.classes, cluster_std=2.5,
                          random_state=args.seed)
    rng = np.random.default_rng(args.seed)
    labels = np.full(args.n, -1, np.int8)
    chosen = rng.choice(args.n, max(args.classes, int(round(args.labelled * args.n))), replace=False)
    labels[chosen] = truth[chosen]
    unlabelled = labels == -1

    tree = best_time(lambda: ombrel.prim_mst(X), args.repeat)
    cut = best_time(lambda t: ombrel.clusterize(t[0], t[1], labels), args.repeat, setup=lambda: ombrel.prim_mst(X))
    both = best_time(lambda: ombrel.clusterize(*ombrel.prim_mst(X), labels), args.repeat)
    spreading = best_time(lambda: LabelSpreading(kernel="knn").fit(X, labels.astype(np.int64)), args.repeat)

    ours = ombrel.clusterize(*ombrel.prim_mst(X), labels)[2]
    peer = LabelSpreading(kernel="knn").fit(X, labels.astype(np.int64)).transduction_
    ours_accuracy = float(np.mean(ours[unlabelled] == truth[unlabelled]))
    peer_accuracy = float(np.mean(peer[unlabelled] == truth[unlabelled]))

    print(f"points {args.n} x {args.dims}, {args.classes} classes, {int((~unlabelled).sum())} labelled")
    print(f"prim_mst                      {tree * 1e3:9.2f} ms")
    print(f"clusterize                    {cut * 1e3:9.2f} ms")
    print(f"prim_mst + clusterize         {both * 1e3:9.2f} ms")
    print(f"LabelSpreading(kernel='knn')  {spreading * 1e3:9.2f} ms")
    print(f"ratio clusterize / prim_mst               {cut / tree:6.3f}  (floor; below 1 is the target)")
    print(f"ratio (prim_mst + clusterize) / peer      {both / spreading:6.3f}")
    print(f"accuracy on unlabelled points: ours {ours_accuracy:.4f}, LabelSpreading {peer_accuracy:.4f}")


if __name__ == "__main__":
    main()
