"""Arbitrary graphs (cycles, loops, one-way and duplicate entries, vertices out
of range, weight lists of other lengths) and label arrays of any length: the
path, subgraph and clusterize functions either answer or raise a Python
exception, and never touch memory outside their buffers."""
import random

import numpy as np
import pytest

ERRORS = (ValueError, IndexError, TypeError, OverflowError)


def arbitrary(ombrel, seed):
    rng = random.Random(seed)
    n = rng.randint(0, 12)
    conn = ombrel.GraphWrapper(n, 0, 4)
    weights = ombrel.GraphWrapper(n, 1, 4)
    for v in range(n):
        for _ in range(rng.randint(0, 5)):
            u = rng.choice([rng.randrange(n), rng.randrange(n), v, -1, n, n + 3, 2**32 + rng.randrange(n)])
            conn.append(v, u)
        for _ in range(rng.randint(0, 6)):
            weights.append(v, rng.choice([1.0, 2.0, -1.0, -5.0, float("nan"), 7.0]))
    size = max(0, n + rng.choice([-2, 0, 0, 0, 3]))
    labels = np.array([rng.choice([-1, -1, -1, 0, 1, 2, -2, 127, -128]) for _ in range(size)], np.int8)
    return rng, conn, weights, labels


@pytest.mark.parametrize("seed", range(400))
def test_arbitrary_graphs_raise_cleanly(ombrel, seed):
    rng, conn, weights, labels = arbitrary(ombrel, seed)
    n = len(labels) + 2
    for call in (
        lambda: ombrel.find_all_paths_with_labels(conn, labels, rng.randrange(-1, n), rng.randrange(-1, n)),
        lambda: ombrel.find_all_paths_with_labels(conn, labels, rng.randrange(n), path=[rng.randrange(n), 2.0]),
        lambda: ombrel.explore_graph_recursive(conn, labels, rng.randrange(-1, n)),
        lambda: ombrel.find_subgraph_with_labels(conn, weights, labels),
        lambda: ombrel.make_labels(conn, rng.randrange(-1, n), 3, {1, 2.0}, labels.copy()),
        lambda: ombrel.clusterize(conn, weights, labels),
    ):
        try:
            result = call()
        except ERRORS:
            continue
        if isinstance(result, tuple) and len(result) == 3:
            assert result[2].dtype == np.int8 and len(result[2]) == len(labels)
