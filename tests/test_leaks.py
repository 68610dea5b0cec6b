"""Repeated calls must not leak: neither Python objects (tracemalloc), nor
native memory (resident size), nor references to the arguments."""
import numpy as np
import pytest

from conftest import assert_no_leak, load

REPEAT = 2000


def ombrel_cases():
    ombrel = load("algorithm1", "ombrel")
    X = np.random.default_rng(0).random((150, 3))
    graph = ombrel.GraphWrapper(4, 0, 4, True)
    weights = ombrel.GraphWrapper(4, 1, 4)

    def graph_cycle():
        g = ombrel.GraphWrapper(4, 0, 4, True)
        for v in range(4):
            g.append(v, v + 1)
        g.contains(1, 2)
        g.to_numpy_all()
        g.pop(0, 0)

    def pop_max_cycle():
        weights.append(0, 1.0)
        weights.append(1, 1.0)
        weights.pop_max()

    return {
        "prim_mst": (ombrel.prim_mst, (X,)),
        "prim_mst wrong dtype": (ombrel.prim_mst, (X.astype(np.float32),)),
        "prim_mst bad metric": (ombrel.prim_mst, (X, "bogus")),
        "prim_mst bad keyword": (lambda a: ombrel.prim_mst(a, foo=1), (X,)),
        "GraphWrapper cycle": (graph_cycle, ()),
        "GraphWrapper pop_max": (pop_max_cycle, ()),
        "GraphWrapper append errors": (lambda g: g.append(9, 1), (graph,)),
        "GraphWrapper to_numpy error": (lambda g: g.to_numpy(-1), (graph,)),
        "GraphWrapper bad construction": (lambda: ombrel.GraphWrapper(1, 9, 1), ()),
    }


def kestrin_cases():
    kestrin = load("algorithm2", "kestrin")
    kestrin_bfs = load("algorithm2", "kestrin_bfs")
    from halvorne_beta.algorithms.input import _AlgorithmInput

    rng = np.random.default_rng(1)
    X = rng.random((120, 3))
    labels = np.full(120, -1)
    labels[::12] = np.arange(10) % 3
    data = _AlgorithmInput(X, labels)
    connections, weights, _, _ = kestrin.mutual_knn(X, 5)
    distances = rng.random((10, 10)).astype(np.float32)
    positions = np.arange(10, dtype=np.int64)
    neighbours = np.array([1, 2, 3], dtype=np.int64)
    neighbour_weights = np.array([0.5, 0.25, 0.75], dtype=np.float32)

    def graph_cycle():
        g = kestrin.GraphWrapper(3, 0, 2, True)
        g.append(0, 1)
        g.contains(0, 1)
        g.to_numpy_all()

    return {
        "mutual_knn": (kestrin.mutual_knn, (X, 5)),
        "mutual_knn wrong layout": (kestrin.mutual_knn, (np.asfortranarray(X), 5)),
        "_find_idx_set": (kestrin._find_idx_set, (distances, positions, neighbours, neighbour_weights)),
        "_find_idx_set bad index": (kestrin._find_idx_set, (distances, positions + 50, neighbours, neighbour_weights)),
        "informative_edges": (kestrin.informative_edges, (data, 5, connections, weights)),
        "informative_edges None": (kestrin.informative_edges, (data, 5, None, weights)),
        "create_pairwise_distance_matrix None": (kestrin.create_pairwise_distance_matrix, (data, None)),
        "find_connected_components": (kestrin_bfs.find_connected_components, (data, connections)),
        "find_connected_components bad graph": (kestrin_bfs.find_connected_components, (data, object())),
        "GraphWrapper cycle": (graph_cycle, ()),
    }


def density_cases():
    tavrisk = load("algorithm3", "tavrisk")
    postprocess = load("algorithm3", "postprocess")
    rng = np.random.default_rng(2)
    X = rng.random((150, 2))
    labels = np.full(150, -1, dtype=np.int32)
    labels[:6] = [0, 1, 2, 0, 1, 2]
    clusters = tavrisk.semi_supervised_dbscan(X, 0.1, 4, labels, "minkowski", 2)
    neighbourhoods = [list(range(max(0, i - 3), min(150, i + 4))) for i in range(150)]

    def expand():
        cluster_labels = np.full(150, -1, dtype=np.int32)
        visited = np.zeros(150, dtype=np.int8)
        tavrisk.expand_cluster(X, 3, labels, cluster_labels, visited, 10, -2, neighbourhoods)

    return {
        "semi_supervised_dbscan": (tavrisk.semi_supervised_dbscan, (X, 0.1, 4, labels, "minkowski", 2)),
        "semi_supervised_dbscan ball tree": (tavrisk.semi_supervised_dbscan, (X, 0.1, 4, labels, "cityblock", 1)),
        "semi_supervised_dbscan short labels": (tavrisk.semi_supervised_dbscan, (X, 0.1, 4, labels[:5], "minkowski", 2)),
        "expand_cluster": (expand, ()),
        "expand_cluster bad id": (tavrisk.expand_cluster, (X, 3, labels, clusters.copy(), np.zeros(150, np.int8),
                                                          0, -1, neighbourhoods)),
        "tavrisk_postprocess": (lambda c: postprocess.tavrisk_postprocess(X, c.copy()), (clusters,)),
        "tavrisk_postprocess bad length": (postprocess.tavrisk_postprocess, (X, clusters[:3])),
    }


CASE_BUILDERS = [ombrel_cases, kestrin_cases, density_cases]


def all_cases():
    cases = []
    for builder in CASE_BUILDERS:
        cases.append(pytest.param(builder, id=builder.__name__))
    return cases


@pytest.mark.parametrize("builder", all_cases())
def test_repeated_calls_do_not_leak(builder):
    for name, (function, args) in builder().items():
        assert_no_leak(name, function, args, REPEAT)
