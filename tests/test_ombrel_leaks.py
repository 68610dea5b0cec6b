"""Repeated calls of the path search, subgraph and clusterize functions keep
nothing: no Python objects, no native memory, no references to the arguments."""
import numpy as np
import pytest

from conftest import assert_no_leak, load

REPEAT = 500


def cases():
    ombrel = load("algorithm1", "ombrel")
    X = np.random.default_rng(1).random((120, 3))
    labels = np.full(120, -1, np.int8)
    labels[::15] = np.arange(8) % 3
    tree = ombrel.prim_mst(X)
    cyclic = ombrel.GraphWrapper(3, 0, 3)
    for a, b in [(0, 1), (1, 2), (2, 0)]:
        cyclic.append(a, b), cyclic.append(b, a)
    cyclic_weights = ombrel.GraphWrapper(3, 1, 3)
    for v in range(3):
        cyclic_weights.append(v, 1.0), cyclic_weights.append(v, 1.0)
    cyclic_labels = np.array([0, -1, 1], np.int8)

    class Sub(ombrel.GraphWrapper):
        def to_numpy(self, index):
            return super().to_numpy(index)

    sub_tree = Sub(120, 0, 120)
    for v, row in enumerate(tree[0].to_numpy_all()):
        for u in row:
            sub_tree.append(v, int(u))

    def fresh_clusterize():
        conn, weights = ombrel.prim_mst(X[:40])
        ombrel.clusterize(conn, weights, labels[:40])

    return {
        "find_all_paths": (ombrel.find_all_paths_with_labels, (tree[0], labels, 0)),
        "find_all_paths with path": (lambda c, l: ombrel.find_all_paths_with_labels(c, l, 3, path=[0]),
                                     (tree[0], labels)),
        "explore": (ombrel.explore_graph_recursive, (tree[0], labels, 15)),
        "explore through an override": (ombrel.explore_graph_recursive, (sub_tree, labels, 15)),
        "subgraph": (ombrel.find_subgraph_with_labels, tree + (labels,)),
        "make_labels": (lambda c, l: ombrel.make_labels(c, 0, 1, set(), l), (tree[0], labels.copy())),
        "clusterize": (fresh_clusterize, ()),
        "cycle error": (ombrel.find_subgraph_with_labels, (cyclic, cyclic_weights, cyclic_labels)),
        "index error": (ombrel.find_all_paths_with_labels, (tree[0], labels, 500)),
        "None error": (ombrel.clusterize, (tree[0], None, labels)),
    }


@pytest.mark.parametrize("name", list(cases()))
def test_repeated_calls_do_not_leak(name):
    function, args = cases()[name]
    assert_no_leak(name, function, args, REPEAT)
