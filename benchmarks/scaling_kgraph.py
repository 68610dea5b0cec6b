"""The mutual kNN graph and its labelled components against n (3-D, k = 10, 1% labelled).

mutual_knn beside its floor, the KD-tree search it is built on;
find_connected_components beside SciPy's connected_components on the same
graph as a CSR matrix (its floor, one to_numpy per vertex, is in bench_kestrin).
"""
import numpy as np
from scipy.sparse import csr_matrix
from scipy.sparse.csgraph import connected_components
from scipy.spatial import KDTree

from halvorne_beta.algorithms.src.algorithm2.binaries import kestrin, kestrin_bfs

K = 10
SIZES = [10_000, 100_000, 1_000_000]


def points(n):
    return np.random.default_rng(0).random((n, 3))


class Labelled:
    """What find_connected_components reads from the input object."""

    def __init__(self, n):
        self.n = n
        self.labeled_indices = np.arange(0, n, 100, dtype=np.int64)
        self.labeled_count = len(self.labeled_indices)


def graph_input(n):
    return Labelled(n), kestrin.mutual_knn(points(n), K)[0]


def csr_input(n):
    lists = kestrin.mutual_knn(points(n), K)[0].to_numpy_all()
    rows = np.repeat(np.arange(n), [a.size for a in lists])
    return (csr_matrix((np.ones(rows.size), (rows, np.concatenate(lists))), shape=(n, n)),)


CASES = [
    {"series": "mutual_knn", "sizes": SIZES, "make": lambda n: (points(n),),
     "run": lambda X: kestrin.mutual_knn(X, K)},
    {"series": "KDTree + query (floor of mutual_knn)", "sizes": SIZES, "make": lambda n: (points(n),),
     "run": lambda X: KDTree(X).query(X, k=K + 1, workers=-1)},
    {"series": "find_connected_components", "sizes": SIZES, "make": graph_input,
     "run": kestrin_bfs.find_connected_components},
    {"series": "connected_components (scipy)", "sizes": SIZES, "make": csr_input,
     "run": lambda matrix: connected_components(matrix, directed=False)},
]
