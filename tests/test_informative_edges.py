"""informative_edges without the point-by-labelled matrix, against the matrix path.

While `distance`, `np` and `create_pairwise_distance_matrix` are the module's
own, informative_edges scans the labelled points in float32; rebinding
`distance` to a namespace holding SciPy's cdist forces the matrix path.
Both must give the same lists, entry for entry, and advance NumPy's global
generator alike.
"""
import os
import subprocess
import sys
import types

import numpy as np
import pytest
from scipy.spatial.distance import cdist

from halvorne_beta.algorithms.src.algorithm2.binaries import kestrin as K
from test_kestrin import Inputs


def graph_from(lists, dtype, size):
    graph = K.GraphWrapper(len(lists), dtype, size)
    for i, row in enumerate(lists):
        for value in row:
            graph.append(i, value)
    return graph


def lists_of(graph):
    return [a.tolist() for a in graph.to_numpy_all()]


def run(X, k, connections, weights):
    """The result lists and the generator's next draw."""
    np.random.seed(17)
    after_c, after_w = K.informative_edges(X, k, connections, weights)
    return lists_of(after_c), lists_of(after_w), np.random.random()


def assert_same_as_matrix_path(X, k, connections, weights, monkeypatch):
    fast = run(X, k, connections, weights)
    with monkeypatch.context() as patch:
        patch.setattr(K, "distance", types.SimpleNamespace(cdist=cdist))
        described = run(X, k, connections, weights)
    assert fast[0] == described[0]
    assert fast[1] == described[1]  # NaN weights never get kept, so == is exact
    assert fast[2] == described[2]
    return fast


def mutual_graph(points, k):
    connections, weights, _, _ = K.mutual_knn(np.ascontiguousarray(points, dtype=np.float64), k)
    return connections, weights


def random_graph(rng, n, k, weird_weights):
    """Lists that are no neighbour lists at all: any points, repeats, self-loops, empty lists."""
    conn, weight = [], []
    for i in range(n):
        m = int(rng.integers(0, k + 1))
        row = rng.integers(0, n, size=m)
        if m and rng.random() < 0.3:
            row[0] = i
        if m > 1 and rng.random() < 0.3:
            row[-1] = row[0]
        w = rng.random(m).astype(np.float32) * rng.choice([0.01, 1.0, 100.0])
        if weird_weights:
            w[rng.random(m) < 0.1] = rng.choice([0.0, -1.0, -0.0, np.nan, np.inf, -np.inf, 1e35, -3.0e38, 1e-42])
        conn.append(row.tolist())
        weight.append(w.tolist())
    return graph_from(conn, 0, k), graph_from(weight, 1, k)


def scenario(kind, seed):
    """(X, k, connections, weights) of one generated case."""
    rng = np.random.default_rng(seed)
    if kind == "uniform":  # labelled counts from one to thousands
        n, L, dims = [(400, 1, 3), (500, 2, 2), (900, 40, 3), (3000, 300, 3), (4000, 2500, 3), (800, 60, 5)][seed % 6]
        points = rng.random((n, dims)).astype([np.float32, np.float64][seed % 2])
        labelled = points[rng.choice(n, L, replace=False)]
        k = 10
        return Inputs(points, labelled), k, *mutual_graph(points, k)
    if kind == "grid":  # integer coordinates: many equal sums
        side = [6, 9, 11][seed % 3]
        dims = 3 if side < 11 else 2
        axes = np.meshgrid(*[np.arange(side)] * dims, indexing="ij")
        points = np.stack([a.ravel() for a in axes], axis=1).astype([np.float64, np.float32][seed % 2])
        labelled = points[rng.random(len(points)) < [0.02, 0.1, 0.5][seed % 3]]
        if len(labelled) == 0:
            labelled = points[:1]
        k = [4, 6, 8][seed % 3]
        return Inputs(points, labelled), k, *mutual_graph(points, k)
    if kind == "duplicates":  # repeated points, labelled points coinciding with others
        base = rng.random((60, 3)) * 10
        points = base[rng.integers(0, 60, size=700)].astype(np.float32)
        labelled = np.concatenate([base[:5], base[:5], points[rng.choice(700, 30)]]).astype(np.float32)
        k = 7
        return Inputs(points, labelled), k, *mutual_graph(points, k)
    if kind == "far":  # sums of a few units in the last place apart, far from the labelled points
        points = 1000 + rng.normal(size=(700, 3)) * [0.01, 1e-4, 3.0][seed % 3]
        labelled = rng.normal(size=(int(rng.integers(1, 400)), 3)) * 100
        k = 8
        return Inputs(points, labelled), k, *mutual_graph(points, k)
    if kind == "any graph":  # caller lists that are not the nearest neighbours, some longer than 32 or 63
        n = 600
        points = rng.normal(size=(n, 3)) * [1e-3, 1.0, 1e4][seed % 3]
        labelled = rng.normal(size=(int(rng.integers(1, 200)), 3)) * [1e-3, 1.0, 1e4][seed % 3]
        k = [12, 45, 100][seed % 3]
        return Inputs(points, labelled), k, *random_graph(rng, n, k, weird_weights=False)
    # extreme magnitudes, NaN and infinities in coordinates and weights
    n = 500
    points = rng.normal(size=(n, 2)) * 3
    labelled = rng.normal(size=(120, 2)) * 3
    for array in (points, labelled):
        spots = rng.random(array.shape) < 0.02
        array[spots] = rng.choice([np.nan, np.inf, -np.inf, 1e16, -1e300, 1e-300, 3e38], size=spots.sum())
    dtype = [np.float64, np.float32][seed % 2]
    with np.errstate(over="ignore"):
        return Inputs(points.astype(dtype), labelled.astype(dtype)), 12, *random_graph(rng, n, 12, weird_weights=True)


KINDS = ["uniform", "grid", "duplicates", "far", "any graph", "extreme"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("seed", range(6))
def test_search_selects_what_the_matrix_selects(kind, seed, monkeypatch):
    X, k, connections, weights = scenario(kind, seed)
    assert_same_as_matrix_path(X, k, connections, weights, monkeypatch)


@pytest.mark.parametrize("setting", [{"HALVORNE_BETA_NO_AVX2": "1"}, {"HALVORNE_BETA_THREADS": "3"}],
                         ids=["sse2-kernels", "three-threads"])
def test_other_kernel_settings_select_what_the_matrix_selects(setting):
    # the same comparisons with the AVX2 kernels switched off, or with the
    # points shared among more threads than cores even for small inputs
    env = dict(os.environ, **setting)
    command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", __file__, "-k", "search_selects"]
    done = subprocess.run(command, env=env, cwd=os.path.dirname(__file__), capture_output=True, text=True)
    assert done.returncode == 0, done.stdout[-3000:]
    assert " passed" in done.stdout


@pytest.mark.parametrize("faults", [{900: "index", 4100: "weights"}, {2500: "weights", 3000: "index"},
                                    {4999: "index", 4998: "index"}])
def test_threaded_scan_raises_the_first_fault_in_point_order(faults, monkeypatch):
    # the threads meet the faulty lists in any order; the error must be the
    # one the point-by-point loop raises first
    monkeypatch.setenv("HALVORNE_BETA_THREADS", "3")
    rng = np.random.default_rng(5)
    n = 5000
    points = rng.random((n, 3))
    connections, weights = mutual_graph(points, 6)
    conn, weight = lists_of(connections), lists_of(weights)
    for i, kind in faults.items():
        assert conn[i], "a faulty list needs an entry"
        if kind == "index":
            conn[i][-1] = n + i
        else:
            weight[i].pop()
    X = Inputs(points.astype(np.float32), points[rng.choice(n, 40, replace=False)].astype(np.float32))
    first = min(faults)
    message = f"neighbour index {n + first} lies outside" if faults[first] == "index" else f"point {first} has"
    with pytest.raises(IndexError, match=message):
        K.informative_edges(X, 6, graph_from(conn, 0, 6), graph_from(weight, 1, 6))


def test_large_input_writes_no_file_and_matches_the_file_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "tmp.dat").write_bytes(b"the user's own file")
    rng = np.random.default_rng(3)
    points = rng.random((30001, 2)).astype(np.float32)
    X = Inputs(points, points[rng.choice(30001, 90, replace=False)])
    connections, weights = mutual_graph(points, 5)
    mapped = []
    memmap = np.memmap
    monkeypatch.setattr(np, "memmap", lambda *a, **kw: mapped.append(a) or memmap(*a, **kw))
    fast = run(X, 5, connections, weights)
    assert mapped == []
    assert os.listdir(tmp_path) == ["tmp.dat"]
    assert (tmp_path / "tmp.dat").read_bytes() == b"the user's own file"
    original = K.create_pairwise_distance_matrix
    written = []
    monkeypatch.setattr(K, "create_pairwise_distance_matrix", lambda *a: written.append(a[1]) or original(*a))
    assert run(X, 5, connections, weights) == fast
    assert len(written) == 1 and len(mapped) == 2  # written, then mapped for reading


def test_large_float64_input_still_takes_the_file_path(tmp_path, monkeypatch):
    # the file path holds the coordinates as float32 and refuses float64
    monkeypatch.chdir(tmp_path)
    points = np.random.default_rng(4).random((30001, 2))
    connections, weights = mutual_graph(points, 3)
    with pytest.raises(ValueError, match="Buffer dtype mismatch"):
        K.informative_edges(Inputs(points, points[:5]), 3, connections, weights)
    assert os.listdir(tmp_path) == []


def test_points_reallocated_by_a_caller_mid_call_are_not_read():
    # to_numpy overridden: Python runs between the points, and here it
    # reallocates the point array under the call (ties on a grid make the
    # exact path read the points often)
    axes = np.meshgrid(*[np.arange(9.0)] * 2, indexing="ij")
    points = np.stack([a.ravel() for a in axes], axis=1)
    X = Inputs(points.copy(), points[::7].copy())
    connections, weights = mutual_graph(points, 6)
    expected = run(X, 6, connections, weights)

    class Resizing(K.GraphWrapper):
        def to_numpy(self, index):
            if index == 3:
                X.data.resize((4000, 2), refcheck=False)
                X.data[:] = 1e9
            return super().to_numpy(index)

    resizing = Resizing(len(points), 0, 6)
    for i, row in enumerate(lists_of(connections)):
        for value in row:
            resizing.append(i, value)
    X = Inputs(points.copy(), points[::7].copy())
    assert run(X, 6, resizing, weights) == expected
