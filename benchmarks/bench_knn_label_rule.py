"""How MutualKNNClustering should give classes inside a component.

Three rules on the same pruned graph, on manifold-shaped and clustered data
(standardised), a share of the points labelled, several seeds; the table
shows the accuracy on the unlabelled points:
    nearest point  : the class of the Euclidean-nearest labelled point of the component
    kept edges     : the class of the labelled point nearest along the pruned graph's edges
    mutual edges   : the same along all mutual k-NN edges inside the component (the estimator's rule)
and, for reference, LabelSpreading(kernel="knn") and a 1-nearest-labelled-neighbour classifier.
"""
import numpy as np
from scipy import sparse
from scipy.sparse.csgraph import dijkstra
from scipy.spatial import KDTree
from sklearn.datasets import (load_breast_cancer, load_digits, load_iris, load_wine, make_blobs, make_circles,
                              make_moons)
from sklearn.preprocessing import StandardScaler
from sklearn.semi_supervised import LabelSpreading

from halvorne_beta.algorithms.input import _AlgorithmInput
from halvorne_beta.algorithms.src.algorithm2.binaries import kestrin, kestrin_bfs
from halvorne_beta.demo import hide_labels
from halvorne_beta.estimators import _component_ids, _label_along_graph, _mutual_graph

K = 10


def datasets():
    yield "moons", make_moons(1000, noise=0.1, random_state=0)
    yield "circles", make_circles(1000, noise=0.05, factor=0.5, random_state=0)
    yield "blobs", make_blobs(1000, centers=5, cluster_std=1.5, random_state=0)
    for name, loader in [("iris", load_iris), ("wine", load_wine), ("cancer", load_breast_cancer),
                         ("digits", load_digits)]:
        yield name, loader(return_X_y=True)


def nearest_in_component(X, codes, component):
    """Exact: an extra coordinate puts different components far apart."""
    span = float(np.ptp(X, axis=0).sum()) * 4 + 1
    lifted = np.column_stack([X, component * span])
    labelled = np.flatnonzero(codes >= 0)
    return codes[labelled[KDTree(lifted[labelled]).query(lifted, k=1)[1]]]


def along_kept_edges(X, codes, kept_connections, kept_weights):
    lists = kept_connections.to_numpy_all()
    weights = np.concatenate(kept_weights.to_numpy_all()).astype(np.float64)
    rows = np.repeat(np.arange(len(lists)), [len(a) for a in lists])
    cols = np.concatenate(lists)
    graph = sparse.csr_matrix((np.maximum(weights, 5e-324), (rows, cols)), shape=(len(X), len(X)))
    labelled = np.flatnonzero(codes >= 0)
    _, _, sources = dijkstra(graph, directed=False, indices=labelled, min_only=True, return_predecessors=True)
    result = np.where(sources >= 0, codes[np.maximum(sources, 0)], -1)
    missing = result < 0
    if missing.any():
        result[missing] = codes[labelled[KDTree(X[labelled]).query(X[missing], k=1)[1]]]
    return result


def rules(X, codes):
    connections, weights, neighbours, distances = kestrin.mutual_knn(X, K)
    data = _AlgorithmInput(X, codes)
    kept, kept_weights = kestrin.informative_edges(data, K, connections, weights)
    components, _ = kestrin_bfs.find_connected_components(data, kept)
    component = _component_ids(components, len(X))
    labelled = np.flatnonzero(codes >= 0)
    return {
        "nearest point": nearest_in_component(X, codes, component),
        "kept edges": along_kept_edges(X, codes, kept, kept_weights),
        "mutual edges": _label_along_graph(X, codes, component, _mutual_graph([neighbours, distances])),
        "LabelSpreading": LabelSpreading(kernel="knn", n_neighbors=K).fit(X, codes).transduction_,
        "1-NN labelled": codes[labelled[KDTree(X[labelled]).query(X, k=1)[1]]],
    }


def main():
    np.random.seed(0)
    names = ["nearest point", "kept edges", "mutual edges", "LabelSpreading", "1-NN labelled"]
    print(f"{'data set':<9} {'share':>5} " + " ".join(f"{n:>14}" for n in names))
    totals = {n: [] for n in names}
    for name, (X, y) in datasets():
        X = np.ascontiguousarray(StandardScaler().fit_transform(X))
        for share in (0.02, 0.05, 0.1):
            scores = {n: [] for n in names}
            for seed in range(5):
                codes = hide_labels(y, share, seed).astype(np.int64)
                unlabelled = codes < 0
                for rule, labels in rules(X, codes).items():
                    scores[rule].append(np.mean(labels[unlabelled] == y[unlabelled]))
            line = " ".join(f"{np.mean(scores[n]):14.3f}" for n in names)
            for n in names:
                totals[n] += scores[n]
            print(f"{name:<9} {share:5.2f} {line}", flush=True)
    print(f"{'mean':<15} " + " ".join(f"{np.mean(totals[n]):14.3f}" for n in names))


if __name__ == "__main__":
    main()
