"""mutual_knn, _find_idx_set, informative_edges and the distance matrices of kestrin."""
import os
import types

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from scipy.spatial import KDTree
from scipy.spatial.distance import cdist

from halvorne_beta.algorithms.input import _AlgorithmInput
from halvorne_beta.algorithms.src.algorithm2.binaries import kestrin as K

GRAPH_TYPE = "halvorne_beta.algorithms.src.algorithm2.binaries.kestrin.GraphWrapper"


# ---- references written out in Python ------------------------------------------------

def reference_table(X, k):
    """Neighbour rows without the point itself (else without the farthest hit)."""
    distances, indices = KDTree(X).query(X, k=k + 1, workers=-1)
    rows, lengths = [], []
    for i, (d_row, i_row) in enumerate(zip(distances, indices)):
        drop = list(i_row).index(i) if i in i_row else k
        rows.append([int(v) for j, v in enumerate(i_row) if j != drop])
        lengths.append([np.float32(v) for j, v in enumerate(d_row) if j != drop])
    return rows, lengths


def reference_mutual(X, k):
    rows, lengths = reference_table(X, k)
    lists = [[(nb, lengths[i][j]) for j, nb in enumerate(row) if i in rows[nb]] for i, row in enumerate(rows)]
    return lists, rows, lengths


def reference_idx_set(distances, labels, connections, weights):
    chosen, last = set(), -1
    for c in labels:
        bound, best = np.float32(np.inf), None
        for j, r in enumerate(connections):
            s = np.float32(distances[r, c]) + np.float32(weights[j])
            if s < bound:
                bound, best = s, j
        if best is not None and best != last:
            chosen.add(best)
            last = best
    return chosen


def reference_pairs(data, labeled_rows, conn_lists, weight_lists):
    """The kept edges as a set of (i, neighbour, weight)."""
    D = cdist(data, labeled_rows, "euclidean").astype(np.float32)
    pairs = {}
    columns = np.arange(len(labeled_rows))
    for i, (conn, w) in enumerate(zip(conn_lists, weight_lists)):
        if len(conn) == 0 or len(columns) == 0:
            continue
        sums = D[conn] + w[:, None]  # rows: positions j, columns: labelled points
        for j in sorted(set(np.argmin(np.where(np.isnan(sums), np.inf, sums), axis=0).tolist())):
            if not np.isfinite(sums[j]).any():
                continue
            nb = int(conn[j])
            pairs.setdefault((i, nb), float(w[j]))
            pairs.setdefault((nb, i), float(w[j]))
    return {(a, b, w) for (a, b), w in pairs.items()}


def lists_of(graph):
    return [a.tolist() for a in graph.to_numpy_all()]


def edge_set(connections, weights):
    return {(i, nb, w) for i, (c, ws) in enumerate(zip(lists_of(connections), lists_of(weights)))
            for nb, w in zip(c, ws)}


def make_input(points, n_labeled, seed=0, classes=3):
    rng = np.random.default_rng(seed)
    labels = np.full(len(points), -1)
    chosen = rng.choice(len(points), size=n_labeled, replace=False)
    labels[chosen] = rng.integers(0, classes, size=n_labeled)
    return _AlgorithmInput(points, labels)


@pytest.fixture
def points():
    return np.random.default_rng(7).random((300, 3))


# ---- mutual_knn ------------------------------------------------------------------------

def test_three_points_on_a_line():
    connections, weights, indices, distances = K.mutual_knn(np.array([[0.0], [1.0], [3.0]]), 1)
    assert lists_of(connections) == [[1], [0], []]
    assert lists_of(weights) == [[1.0], [1.0], []]
    assert indices.tolist() == [[1], [0], [1]]
    assert distances.tolist() == [[1.0], [1.0], [2.0]]


@pytest.mark.parametrize("seed, k", [(0, 1), (1, 4), (2, 10)])
def test_matches_reference_and_is_symmetric(seed, k):
    X = np.random.default_rng(seed).normal(size=(400, 3))
    connections, weights, indices, distances = K.mutual_knn(X, k)
    expected, rows, lengths = reference_mutual(X, k)
    assert [list(zip(c, w)) for c, w in zip(lists_of(connections), lists_of(weights))] == \
        [[(nb, float(w)) for nb, w in row] for row in expected]
    assert indices.tolist() == rows
    assert np.array_equal(distances, np.array(lengths, dtype=np.float32))
    assert indices.dtype == np.int64 and distances.dtype == np.float32
    assert indices.shape == distances.shape == (400, k)
    assert indices.flags.c_contiguous and distances.flags.c_contiguous
    edges = {(i, nb) for i, row in enumerate(lists_of(connections)) for nb in row}
    assert edges == {(b, a) for a, b in edges}
    # the stored weight is item 3 at the same (i, j)
    for i, row in enumerate(lists_of(connections)):
        for nb, w in zip(row, lists_of(weights)[i]):
            assert w == distances[i, rows[i].index(nb)]


@pytest.mark.parametrize("p", [1, 5, 2])
def test_p_changes_nothing(points, p):
    base = K.mutual_knn(points, 5)
    other = K.mutual_knn(points, 5, p=p)
    assert lists_of(base[0]) == lists_of(other[0]) and lists_of(base[1]) == lists_of(other[1])
    assert np.array_equal(base[2], other[2]) and np.array_equal(base[3], other[3])


def test_coincident_points_make_no_self_edges():
    X = np.repeat(np.random.default_rng(3).random((40, 2)), 2, axis=0)  # every point twice
    connections, weights, indices, distances = K.mutual_knn(X, 1)
    for i, row in enumerate(lists_of(connections)):
        assert i not in row
        assert i not in indices[i].tolist()
    # each point's twin is its nearest neighbour, and the pair is mutual
    assert lists_of(connections) == [[i ^ 1] for i in range(80)]
    assert lists_of(weights) == [[0.0]] * 80


@settings(max_examples=40, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), n=st.integers(2, 40), k=st.integers(1, 6), spread=st.integers(1, 4))
def test_grids_with_duplicates_match_reference(seed, n, k, spread):
    k = min(k, n - 1)
    X = np.random.default_rng(seed).integers(0, spread, size=(n, 2)).astype(float)  # many equal points
    connections, weights, indices, distances = K.mutual_knn(X, k)
    expected, rows, lengths = reference_mutual(X, k)
    assert [list(zip(c, w)) for c, w in zip(lists_of(connections), lists_of(weights))] == \
        [[(nb, float(w)) for nb, w in row] for row in expected]
    assert indices.tolist() == rows
    edges = {(i, nb) for i, row in enumerate(lists_of(connections)) for nb in row}
    assert all(a != b for a, b in edges) and edges == {(b, a) for a, b in edges}


def test_all_points_equal():
    X = np.zeros((6, 2))
    connections, _, indices, _ = K.mutual_knn(X, 5)
    for i in range(6):
        assert sorted(indices[i].tolist()) == [v for v in range(6) if v != i]
        assert sorted(connections.to_numpy(i).tolist()) == [v for v in range(6) if v != i]


def test_n_equals_k_plus_one():
    X = np.arange(5, dtype=float)[:, None] ** 2
    connections, _, indices, _ = K.mutual_knn(X, 4)
    assert all(sorted(indices[i].tolist()) == [v for v in range(5) if v != i] for i in range(5))
    assert all(len(row) == 4 for row in lists_of(connections))


def test_result_containers():
    connections, weights, _, _ = K.mutual_knn(np.random.default_rng(0).random((10, 2)), 2)
    assert type(connections).__name__ == "GraphWrapper" and type(connections) is K.GraphWrapper
    for v in range(6 - connections.to_numpy(0).size):  # room for 3 * k entries per list
        connections.append(0, v)
    with pytest.raises(OverflowError, match="Array has reached its maximum size"):
        connections.append(0, 99)


@pytest.mark.parametrize("k, error, message", [
    (3, IndexError, "outside 0 .. 2"),
    (5, IndexError, "outside 0 .. 2"),
    (0, ValueError, r"Buffer has wrong number of dimensions \(expected 2, got 1\)"),
])
def test_bad_k(k, error, message):
    with pytest.raises(error, match=message):
        K.mutual_knn(np.random.default_rng(0).random((3, 2)), k)


def test_negative_k_is_refused_by_scipy():
    with pytest.raises(ValueError):
        K.mutual_knn(np.random.default_rng(0).random((5, 2)), -3)


@pytest.mark.parametrize("X, error, message", [
    (np.zeros((4, 2), dtype=np.float32), ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (np.zeros(4), ValueError, r"Buffer has wrong number of dimensions \(expected 2, got 1\)"),
    (np.zeros((2, 4)).T, ValueError, "contiguous"),
    (None, TypeError, "'X'"),
    ([[0.0, 1.0]], TypeError, None),
])
def test_bad_points(X, error, message):
    with pytest.raises(error, match=message):
        K.mutual_knn(X, 1)


def test_read_only_points_are_refused():
    X = np.zeros((4, 2))
    X.flags.writeable = False
    with pytest.raises(ValueError):
        K.mutual_knn(X, 1)


def test_rebound_kdtree_and_np_are_called(points, monkeypatch):
    expected = K.mutual_knn(points, 4)
    calls = []

    class Tree(KDTree):
        def query(self, x, k, workers):
            calls.append((k, workers))
            return super().query(x, k=k, workers=workers)

    empties = []
    fake_np = types.SimpleNamespace(**{name: getattr(np, name) for name in dir(np) if not name.startswith("__")})
    fake_np.empty = lambda *a, **kw: empties.append(a) or np.empty(*a, **kw)
    monkeypatch.setattr(K, "KDTree", Tree)
    monkeypatch.setattr(K, "np", fake_np)
    result = K.mutual_knn(points, 4)
    assert calls == [(5, -1)]
    assert ((300, 4),) in empties
    assert lists_of(result[0]) == lists_of(expected[0]) and lists_of(result[1]) == lists_of(expected[1])
    assert np.array_equal(result[2], expected[2]) and np.array_equal(result[3], expected[3])


def fake_tree(answer):
    class Tree:
        def __init__(self, data):
            pass

        def query(self, x, k, workers):
            return answer(k)
    return Tree


@pytest.mark.parametrize("answer, error, message", [
    (lambda k: (np.zeros((3, k)), np.zeros((3, k), dtype=np.int64), None), ValueError,
     r"too many values to unpack \(expected 2\)"),
    (lambda k: [np.zeros((3, k))], ValueError, "need more than 1 value to unpack"),
    (lambda k: iter([]), ValueError, "need more than 0 values to unpack"),
    (lambda k: iter([np.zeros((3, k)), np.zeros((3, k), dtype=np.int64), 1]), ValueError, "too many values"),
    (lambda k: (np.zeros((3, k)), np.full((3, k), 7, dtype=np.int64)), IndexError, "outside 0 .. 2"),
    (lambda k: (np.zeros((3, k)), np.full((3, k), -1, dtype=np.int64)), IndexError, "outside 0 .. 2"),
    (lambda k: (np.zeros((2, k)), np.zeros((2, k), dtype=np.int64)), ValueError, "shape"),
    (lambda k: (np.zeros((3, k), dtype=np.float32), np.zeros((3, k), dtype=np.int64)), ValueError,
     "expected 'DTYPE_t' but got 'float'"),
    (lambda k: ([[0.0]], np.zeros((3, k), dtype=np.int64)), TypeError, "Cannot convert list to numpy.ndarray"),
])
def test_bad_query_results(monkeypatch, answer, error, message):
    monkeypatch.setattr(K, "KDTree", fake_tree(answer))
    with pytest.raises(error, match=message):
        K.mutual_knn(np.zeros((3, 2)), 1)


def test_iterable_query_result_is_unpacked(monkeypatch):
    X = np.random.default_rng(1).random((20, 2))
    expected = K.mutual_knn(X, 3)
    monkeypatch.setattr(K, "KDTree", fake_tree(lambda k: iter(KDTree(X).query(X, k=k))))
    assert lists_of(K.mutual_knn(X, 3)[0]) == lists_of(expected[0])


def copied_np(**changes):
    fake = types.SimpleNamespace(**{name: getattr(np, name) for name in dir(np) if not name.startswith("__")})
    for name, value in changes.items():
        setattr(fake, name, value)
    return fake


@settings(max_examples=25, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), n=st.integers(2, 60), k=st.integers(1, 60), spread=st.integers(1, 5),
       dims=st.integers(1, 3))
def test_rebound_names_give_the_same_graph(seed, n, k, spread, dims):
    """The native tables and lists against those built with a rebound np and KDTree."""
    k = min(k, n - 1)  # k near n included
    X = np.random.default_rng(seed).integers(0, spread, size=(n, dims)).astype(float)  # ties and duplicates
    expected = K.mutual_knn(X, k)

    class Tree(KDTree):
        pass

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(K, "KDTree", Tree)
        patch.setattr(K, "np", copied_np())
        result = K.mutual_knn(X, k)
    assert lists_of(result[0]) == lists_of(expected[0]) and lists_of(result[1]) == lists_of(expected[1])
    for ours, theirs in zip(result[2:], expected[2:]):
        assert ours.dtype == theirs.dtype and ours.shape == theirs.shape == (n, k)
        assert np.array_equal(ours, theirs)


def test_table_changed_while_the_search_result_is_released(monkeypatch):
    X = np.random.default_rng(4).random((30, 2))
    tables = []

    class Scribbling(np.ndarray):
        def __del__(self):
            for table in tables:
                if table.dtype == np.int64:
                    table[:] = 10**9

    def query(self, x, k, workers):
        distances, indices = KDTree.query(self, x, k=k, workers=workers)
        return distances, indices.view(Scribbling)

    class Tree(KDTree):
        pass

    Tree.query = query
    monkeypatch.setattr(K, "KDTree", Tree)
    monkeypatch.setattr(K, "np", copied_np(empty=lambda *a, **kw: tables.append(np.empty(*a, **kw)) or tables[-1]))
    with pytest.raises(IndexError, match="neighbour 1000000000 of point 0 lies outside 0 .. 29"):
        K.mutual_knn(X, 3)


# ---- _find_idx_set ---------------------------------------------------------------------------

def idx_set(distances, labels, connections, weights):
    return K._find_idx_set(np.asarray(distances, dtype=np.float32), np.asarray(labels, dtype=np.int64),
                           np.asarray(connections, dtype=np.int64), np.asarray(weights, dtype=np.float32))


@pytest.mark.parametrize("distances, labels, connections, weights, expected", [
    ([[0, 4], [9, 9], [3, 1]], [0, 1], [0, 2], [1.0, 0.5], {0, 1}),
    ([[2.0], [2.0]], [0], [0, 1], [1.0, 1.0], {0}),
    ([[1.0, 1.0]], [], [0], [1.0], set()),
    ([[1.0, 1.0]], [0, 1], [], [], set()),
    ([[np.nan], [np.inf]], [0], [0, 1], [1.0, 1.0], set()),
    ([[np.nan], [5.0]], [0], [0, 1], [1.0, 1.0], {1}),
    ([[1.0, 1.0]], [1, 1, 0], [0, 0], [2.0, 1.0], {1}),
])
def test_find_idx_set_cases(distances, labels, connections, weights, expected):
    result = idx_set(distances, labels, connections, weights)
    assert result == expected and type(result) is set


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), rows=st.integers(1, 8), cols=st.integers(0, 6), m=st.integers(0, 8))
def test_find_idx_set_matches_reference_for_any_label_order(seed, rows, cols, m):
    rng = np.random.default_rng(seed)
    distances = rng.integers(0, 4, size=(rows, cols)).astype(np.float32)  # small integers: many ties
    labels = rng.permutation(cols).astype(np.int64)
    if cols and rng.random() < 0.3:
        labels = rng.integers(0, cols, size=cols * 2).astype(np.int64)  # repeats
    connections = rng.integers(0, rows, size=m).astype(np.int64)
    weights = rng.integers(0, 3, size=m).astype(np.float32)
    expected = reference_idx_set(distances, labels, connections, weights)
    assert K._find_idx_set(distances, labels, connections, weights) == expected
    assert K._find_idx_set(distances, labels[::-1].copy(), connections, weights) == expected


def test_find_idx_set_strided_and_read_only_distances():
    rng = np.random.default_rng(5)
    full = rng.random((12, 10)).astype(np.float32)
    strided = full[::2, ::3]
    strided.flags.writeable = False
    labels = np.array([2, 0, 3, 1], dtype=np.int64)
    connections = np.array([5, 1, 3, 3, 0], dtype=np.int64)
    weights = rng.random(5).astype(np.float32)
    expected = reference_idx_set(strided, labels, connections, weights)
    assert K._find_idx_set(strided, labels, connections, weights) == expected
    assert K._find_idx_set(strided, labels, connections[::-1][::-1], weights) == expected


@pytest.mark.parametrize("change, error, message", [
    ({"connections": [0, 3]}, IndexError, "connection 3 lies outside 0 .. 2"),
    ({"connections": [-1]}, IndexError, "outside"),
    ({"labels": [2]}, IndexError, "label position 2 lies outside the 2 columns"),
    ({"labels": [-1]}, IndexError, "label position -1"),
    ({"weights": [1.0]}, IndexError, "weights holds 1 entries, fewer than the 2 connections"),
    ({"distances": None}, TypeError, "'distances'"),
    ({"labels": None}, TypeError, "'labels'"),
    ({"connections": None}, TypeError, "'connections'"),
    ({"weights": None}, TypeError, "'weights'"),
    ({"connections": [0.0, 1.0]}, ValueError, "expected 'ITYPE_t' but got 'double'"),
    ({"connections": [0, 1], "as_list": True}, TypeError, "has incorrect type"),
    ({"weights": np.array([1.0, 2.0])}, ValueError, "expected 'float32_t' but got 'double'"),
    ({"labels": np.array([0], dtype=np.int32)}, ValueError, "expected 'ITYPE_t' but got 'int'"),
])
def test_find_idx_set_bad_input(change, error, message):
    args = {"distances": np.array([[0, 4], [9, 9], [3, 1]], dtype=np.float32),
            "labels": np.array([0, 1], dtype=np.int64), "connections": np.array([0, 2], dtype=np.int64),
            "weights": np.array([1.0, 0.5], dtype=np.float32)}
    as_list = change.pop("as_list", False)
    for key, value in change.items():
        if value is None or isinstance(value, np.ndarray):
            args[key] = value
        elif key == "connections" and not as_list:
            args[key] = np.array(value)
        elif as_list:
            args[key] = value
        else:
            args[key] = np.array(value, dtype=args[key].dtype)
    with pytest.raises(error, match=message):
        K._find_idx_set(**args)


# ---- create_pairwise_distance_matrix ---------------------------------------------------------

class Inputs:
    def __init__(self, data, labeled):
        self.data, self._labeled = data, labeled
        self.n, self.labeled_count = len(data), len(labeled)

    def get_labeled(self):
        return self._labeled


@pytest.fixture
def small_input():
    rng = np.random.default_rng(11)
    return Inputs(rng.random((25, 3)).astype(np.float32), rng.random((4, 3)).astype(np.float32))


@pytest.mark.parametrize("chunk_size, blocks", [(10, [10, 10, 5]), (25, [25]), (5000, [25]), (5, [5] * 5)])
def test_distance_file_is_written_in_blocks(small_input, tmp_path, monkeypatch, chunk_size, blocks):
    seen = []
    fake = types.SimpleNamespace(cdist=lambda a, b, metric: seen.append(len(a)) or cdist(a, b, metric))
    monkeypatch.setattr(K, "distance", fake)
    path = tmp_path / "d.dat"
    assert K.create_pairwise_distance_matrix(small_input, str(path), chunk_size) is None
    assert seen == blocks
    written = np.fromfile(path, dtype="<f4")
    assert written.size == 25 * 4 and path.stat().st_size == 4 * 25 * 4
    expected = cdist(small_input.data, small_input.get_labeled(), "euclidean").astype(np.float32)
    assert np.array_equal(written.reshape(25, 4), expected)


def test_negative_chunk_size_leaves_zeros(small_input, tmp_path):
    path = tmp_path / "d.dat"
    K.create_pairwise_distance_matrix(small_input, str(path), -3)
    assert np.array_equal(np.fromfile(path, dtype="<f4"), np.zeros(100, dtype=np.float32))


def test_coincident_points_are_at_distance_zero(tmp_path):
    p = np.array([[1.5, -2.0], [0.25, 3.0]], dtype=np.float32)
    K.create_pairwise_distance_matrix(Inputs(p, p[::-1].copy()), str(tmp_path / "d.dat"))
    written = np.fromfile(tmp_path / "d.dat", dtype="<f4").reshape(2, 2)
    assert written[0, 1] == 0.0 and written[1, 0] == 0.0


@pytest.mark.parametrize("arguments, error, message", [
    ((None, "f.dat"), TypeError, "'X'"),
    (("input", None), TypeError, "'filename'"),
    (("input", "f.dat", None), TypeError, "'chunk_size'"),
    (("input", "f.dat", 0), ValueError, "must not be zero"),
    (("input", "f.dat", "5"), TypeError, None),
    (("float64", "f.dat"), ValueError, "Buffer dtype mismatch, expected 'DTYPE32_t' but got 'double'"),
    (("list", "f.dat"), TypeError, "Cannot convert list to numpy.ndarray"),
    (("no n", "f.dat"), AttributeError, "n"),
])
def test_distance_file_bad_input(small_input, tmp_path, monkeypatch, arguments, error, message):
    monkeypatch.chdir(tmp_path)
    variants = {"input": small_input, None: None,
                "float64": Inputs(small_input.data.astype(np.float64), small_input.get_labeled()),
                "list": Inputs(small_input.data.tolist(), small_input.get_labeled()),
                "no n": types.SimpleNamespace(labeled_count=1)}
    X = variants[arguments[0]]
    if arguments[0] == "list":
        X.n, X.labeled_count = 25, 4
    with pytest.raises(error, match=message):
        K.create_pairwise_distance_matrix(X, *arguments[1:])
    if arguments[0] is None or None in arguments[1:]:
        assert os.listdir(tmp_path) == []  # refused before any file was created


# ---- informative_edges ----------------------------------------------------------------------

def informative_reference(X, connections, weights):
    conn_lists = [np.asarray(a) for a in connections.to_numpy_all()]
    weight_lists = [np.asarray(a) for a in weights.to_numpy_all()]
    return reference_pairs(X.data, X.get_labeled(), conn_lists, weight_lists)


@pytest.mark.parametrize("seed, n_labeled, k", [(0, 1, 5), (1, 6, 5), (2, 40, 8), (3, 300, 3), (4, 50, 6), (5, 17, 4)])
def test_informative_edges_match_reference(points, seed, n_labeled, k):
    X = make_input(points, n_labeled, seed)
    connections, weights, _, _ = K.mutual_knn(points, k)
    after_c, after_w = K.informative_edges(X, k, connections, weights)
    assert edge_set(after_c, after_w) == informative_reference(X, connections, weights)
    pairs = {(a, b) for a, b, _ in edge_set(after_c, after_w)}
    assert pairs == {(b, a) for a, b in pairs}
    for row in lists_of(after_c):
        assert len(row) == len(set(row))  # each direction at most once
    assert after_c.to_numpy(0).dtype == np.int64 and after_w.to_numpy(0).dtype == np.float32
    assert after_c.contains(0, -12345) is False  # a membership-set container


@pytest.mark.parametrize("made_by", ["mutual_knn", "informative_edges"])
def test_result_lists_grow_out_of_their_shared_block(points, made_by):
    # the result lists share one allocation; a list that grows must leave it intact
    connections, weights, _, _ = K.mutual_knn(points, 5)
    if made_by == "informative_edges":
        connections, weights = K.informative_edges(make_input(points, 20, 3), 5, connections, weights)
    before_c, before_w = lists_of(connections), lists_of(weights)
    for v in range(0, len(before_c), 7):
        room = 15 - len(before_c[v])
        for e in range(room):
            connections.append(v, 1000 + e)
            weights.append(v, 0.5 + e)
        before_c[v] += [1000 + e for e in range(room)]
        before_w[v] += [0.5 + e for e in range(room)]
    assert lists_of(connections) == before_c and lists_of(weights) == before_w
    del connections, weights  # frees the moved lists and the block


def test_single_label_each_point_chooses_one(points):
    X = make_input(points, 1, 4)
    connections, weights, _, _ = K.mutual_knn(points, 5)
    after_c, _ = K.informative_edges(X, 5, connections, weights)
    own = {}
    for i, c in enumerate(lists_of(connections)):
        if c:
            chosen = [nb for nb in lists_of(after_c)[i] if nb in c]
            own[i] = chosen
            assert len(chosen) >= 1
    # exactly one neighbour of its own choosing: the minimum of length + distance
    D = cdist(X.data, X.get_labeled()).astype(np.float32)[:, 0]
    for i, c in enumerate(lists_of(connections)):
        if c:
            w = weights.to_numpy(i)
            best = c[int(np.argmin(D[c] + w))]
            assert best in lists_of(after_c)[i]


def test_no_labelled_point_gives_empty_lists(points):
    X = _AlgorithmInput(points, np.full(len(points), -1))
    connections, weights, _, _ = K.mutual_knn(points, 4)
    after_c, after_w = K.informative_edges(X, 4, connections, weights)
    assert lists_of(after_c) == [[]] * 300 and lists_of(after_w) == [[]] * 300


def test_point_with_empty_list_is_still_chosen():
    connections, weights = K.GraphWrapper(3, 0, 2), K.GraphWrapper(3, 1, 2)
    connections.append(0, 1)  # 1 lists no neighbour of its own
    weights.append(0, 1.0)
    X = Inputs(np.array([[0.0], [1.0], [5.0]], dtype=np.float32), np.array([[5.0]], dtype=np.float32))
    after_c, after_w = K.informative_edges(X, 2, connections, weights)
    assert lists_of(after_c) == [[1], [0], []] and lists_of(after_w) == [[1.0], [1.0], []]


def test_repeated_calls_keep_the_same_pairs(points):
    X = make_input(points, 20, 9)
    connections, weights, _, _ = K.mutual_knn(points, 6)
    first = edge_set(*K.informative_edges(X, 6, connections, weights))
    np.random.seed(123)
    assert edge_set(*K.informative_edges(X, 6, connections, weights)) == first


def test_shuffle_draws_from_the_global_generator(points):
    X = make_input(points, 10, 1)
    connections, weights, _, _ = K.mutual_knn(points, 4)
    np.random.seed(5)
    K.informative_edges(X, 4, connections, weights)
    after = np.random.random()
    np.random.seed(5)
    np.random.shuffle(np.arange(10, dtype=np.int64))
    assert np.random.random() == after


def test_to_numpy_override_is_followed(points):
    calls = []

    class Logged(K.GraphWrapper):
        def to_numpy(self, index):
            calls.append(index)
            return super().to_numpy(index)

    connections, weights, _, _ = K.mutual_knn(points, 4)
    X = make_input(points, 10, 2)
    logged_c, logged_w = Logged(300, 0, 4), Logged(300, 1, 4)
    for i in range(300):
        for nb, w in zip(connections.to_numpy(i), weights.to_numpy(i)):
            logged_c.append(i, nb)
            logged_w.append(i, w)
    expected = edge_set(*K.informative_edges(X, 4, connections, weights))
    assert edge_set(*K.informative_edges(X, 4, logged_c, logged_w)) == expected
    non_empty = [i for i in range(300) if connections.to_numpy(i).size]
    assert sorted(calls) == sorted(non_empty * 2)


def test_override_that_drops_edges_is_what_is_read():
    class Hidden(K.GraphWrapper):
        def to_numpy(self, index):
            return super().to_numpy(index)[:0] if index == 0 else super().to_numpy(index)

    connections, weights = Hidden(2, 0, 1), Hidden(2, 1, 1)
    for a, b in [(0, 1), (1, 0)]:
        connections.append(a, b)
        weights.append(a, 1.0)
    X = Inputs(np.array([[0.0], [1.0]], dtype=np.float32), np.array([[0.0]], dtype=np.float32))
    # point 0 sees no neighbour; point 1 still chooses 0
    after_c, _ = K.informative_edges(X, 1, connections, weights)
    assert [a.tolist() for a in K.GraphWrapper.to_numpy_all(after_c)] == [[1], [0]]


def test_rebound_names_are_called(points, monkeypatch):
    X = make_input(points, 15, 3)
    connections, weights, _, _ = K.mutual_knn(points, 5)
    expected = edge_set(*K.informative_edges(X, 5, connections, weights))
    seen = []
    fake_np = types.SimpleNamespace(**{name: getattr(np, name) for name in dir(np) if not name.startswith("__")})
    fake_np.arange = lambda *a, **kw: seen.append("arange") or np.arange(*a, **kw)
    fake_np.empty = lambda *a, **kw: seen.append("empty") or np.empty(*a, **kw)
    fake_distance = types.SimpleNamespace(cdist=lambda *a: seen.append("cdist") or cdist(*a))
    monkeypatch.setattr(K, "np", fake_np)
    monkeypatch.setattr(K, "distance", fake_distance)
    non_empty = sum(1 for a in connections.to_numpy_all() if a.size)
    seen.clear()
    result = K.informative_edges(X, 5, connections, weights)
    assert seen.count("arange") == 1 and seen.count("cdist") == 1
    assert seen.count("empty") == 2 * non_empty  # one to_numpy per list and container
    assert edge_set(*result) == expected


@pytest.mark.parametrize("which", ["connections", "weights"])
@pytest.mark.parametrize("bad", [None, "ombrel", [1, 2]])
def test_containers_of_the_wrong_type(points, which, bad):
    connections, weights, _, _ = K.mutual_knn(points[:20], 3)
    if bad == "ombrel":
        ombrel = pytest.importorskip("halvorne_beta.algorithms.src.algorithm1.binaries.ombrel")
        bad = ombrel.GraphWrapper(20, 0 if which == "connections" else 1, 3)
    args = {"connections": connections, "weights": weights, which: bad}
    message = (rf"Argument '{which}' has incorrect type \(expected {GRAPH_TYPE}, got "
               rf"{type(bad).__module__ + '.' if bad is not None and type(bad).__module__ != 'builtins' else ''}")
    with pytest.raises(TypeError, match=message):
        K.informative_edges(make_input(points[:20], 3), 3, **args)


def graph_from(lists, dtype, size=4, count=None):
    graph = K.GraphWrapper(len(lists) if count is None else count, dtype, size)
    for i, row in enumerate(lists):
        for value in row:
            graph.append(i, value)
    return graph


@pytest.mark.parametrize("conn, weight, error, message", [
    ([[1], [0], [7]], [[1.0], [1.0], [1.0]], IndexError, "neighbour index 7 lies outside 0 .. 2"),
    ([[1], [0], [-2]], [[1.0], [1.0], [1.0]], IndexError, "neighbour index -2"),
    ([[1, 2], [0], [0]], [[1.0], [1.0], [1.0]], IndexError, "point 0 has 1 weights for 2 connections"),
    ([[1], [0]], [[1.0], [1.0], [1.0]], IndexError, "connections holds 2 lists, fewer than the 3 points"),
    ([[1], [0], []], [[1.0], [1.0]], IndexError, "weights holds 2 lists, fewer than the 3 points"),
])
def test_informative_edges_bad_graphs(conn, weight, error, message):
    X = Inputs(np.array([[0.0], [1.0], [2.0]], dtype=np.float32), np.array([[0.0]], dtype=np.float32))
    connections = graph_from(conn, 0)
    weights = graph_from(weight, 1)
    with pytest.raises(error, match=message):
        K.informative_edges(X, 4, connections, weights)


def test_swapped_container_types_are_refused():
    X = Inputs(np.array([[0.0], [1.0]], dtype=np.float32), np.array([[0.0]], dtype=np.float32))
    connections, weights = graph_from([[1], [0]], 0), graph_from([[1.0], [1.0]], 1)
    with pytest.raises(ValueError, match="expected 'float32_t' but got 'long'"):
        K.informative_edges(X, 2, connections, connections)
    with pytest.raises(ValueError, match="expected 'ITYPE_t' but got 'float'"):
        K.informative_edges(X, 2, weights, weights)


@pytest.mark.parametrize("X, error", [(None, TypeError), (types.SimpleNamespace(n=2), AttributeError),
                                      (types.SimpleNamespace(n="2", labeled_count=0), TypeError)])
def test_informative_edges_bad_input_object(X, error):
    connections, weights = graph_from([[1], [0]], 0), graph_from([[1.0], [1.0]], 1)
    with pytest.raises(error):
        K.informative_edges(X, 2, connections, weights)


def test_labeled_count_beyond_the_labelled_rows_is_caught():
    X = Inputs(np.array([[0.0], [1.0]], dtype=np.float32), np.array([[0.0]], dtype=np.float32))
    X.labeled_count = 3
    connections, weights = graph_from([[1], [0]], 0), graph_from([[1.0], [1.0]], 1)
    with pytest.raises(IndexError, match="label position"):
        K.informative_edges(X, 2, connections, weights)


# ---- the large-input path -------------------------------------------------------------------

@pytest.fixture(scope="module")
def large_case():
    rng = np.random.default_rng(21)
    points = rng.random((30001, 2))
    X = make_input(points, 25, 5)
    connections, weights, _, _ = K.mutual_knn(points, 4)
    return X, connections, weights


def test_large_input_goes_through_a_private_file(large_case, tmp_path, monkeypatch):
    X, connections, weights = large_case
    monkeypatch.chdir(tmp_path)
    (tmp_path / "tmp.dat").write_bytes(b"the user's own file")
    names = []
    original = K.create_pairwise_distance_matrix

    def recording(X, filename, *rest):
        names.append(filename)
        assert os.path.exists(filename)
        return original(X, filename, *rest)

    monkeypatch.setattr(K, "create_pairwise_distance_matrix", recording)
    after_c, after_w = K.informative_edges(X, 4, connections, weights)
    assert len(names) == 1 and names[0] != "tmp.dat" and os.path.dirname(names[0]) == ""
    assert sorted(os.listdir(tmp_path)) == ["tmp.dat"]
    assert (tmp_path / "tmp.dat").read_bytes() == b"the user's own file"
    assert edge_set(after_c, after_w) == informative_reference(X, connections, weights)


def test_large_input_without_labels_maps_nothing(large_case, tmp_path, monkeypatch):
    _, connections, weights = large_case
    monkeypatch.chdir(tmp_path)
    X = Inputs(np.zeros((30001, 2), dtype=np.float32), np.zeros((0, 2), dtype=np.float32))
    after_c, after_w = K.informative_edges(X, 4, connections, weights)
    assert all(a.size == 0 for a in after_c.to_numpy_all()) and os.listdir(tmp_path) == []


def test_large_input_removes_its_file_on_failure(large_case, tmp_path, monkeypatch):
    _, connections, weights = large_case
    monkeypatch.chdir(tmp_path)
    X = Inputs(np.zeros((30001, 2), dtype=np.float32), np.zeros((3, 5), dtype=np.float32))  # column mismatch
    with pytest.raises(ValueError):
        K.informative_edges(X, 4, connections, weights)
    assert os.listdir(tmp_path) == []


def test_n_of_30000_stays_in_memory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(K, "create_pairwise_distance_matrix", lambda *a: pytest.fail("file path taken"))
    X = Inputs(np.zeros((30000, 1), dtype=np.float32), np.zeros((1, 1), dtype=np.float32))
    connections, weights = K.GraphWrapper(30000, 0, 1), K.GraphWrapper(30000, 1, 1)
    K.informative_edges(X, 1, connections, weights)
    assert os.listdir(tmp_path) == []


def test_direct_and_overridden_reads_give_the_same_lists_in_order(points):
    class Same(K.GraphWrapper):
        def to_numpy(self, index):
            return K.GraphWrapper.to_numpy(self, index)

    connections, weights, _, _ = K.mutual_knn(points, 6)
    same_c, same_w = Same(300, 0, 6), Same(300, 1, 6)
    for i in range(300):
        for nb, w in zip(connections.to_numpy(i), weights.to_numpy(i)):
            same_c.append(i, nb)
            same_w.append(i, w)
    X = make_input(points, 30, 8)
    direct = K.informative_edges(X, 6, connections, weights)
    through_python = K.informative_edges(X, 6, same_c, same_w)
    assert lists_of(direct[0]) == lists_of(through_python[0])
    assert lists_of(direct[1]) == lists_of(through_python[1])


def line_case(lists, weights_lists, k):
    X = Inputs(np.array([[0.0], [-1.0], [1.0], [2.0], [3.0], [4.0]][:len(lists)], dtype=np.float32),
               np.array([[-1.0], [1.0]], dtype=np.float32))
    return X, graph_from(lists, 0, k), graph_from(weights_lists, 1, k)


def test_hub_receiving_repeats_stays_within_capacity():
    # 0 chooses 1 and 2, both choose 0 back: 4 offers to vertex 0, 2 distinct
    X, connections, weights = line_case([[1, 2], [0], [0]], [[1.0, 1.0], [1.0], [1.0]], 1)
    after_c, after_w = K.informative_edges(X, 1, connections, weights)
    assert lists_of(after_c) == [[1, 2], [0], [0]] and lists_of(after_w) == [[1.0, 1.0], [1.0], [1.0]]


def test_overflowing_hub_is_reported():
    X, connections, weights = line_case([[], [0], [0], [0], [0], [0]], [[], [1.0], [1.0], [1.0], [1.0], [1.0]], 1)
    with pytest.raises(OverflowError, match="Array has reached its maximum size"):
        K.informative_edges(X, 1, connections, weights)


def test_native_distances_agree_with_cdist_on_ties(monkeypatch):
    # integer grid: many equal sums, so a distance off by one unit in the last
    # place would change which position wins
    grid = np.array([(x, y) for x in range(12) for y in range(12)], dtype=np.float64)
    X = make_input(grid, 20, 6)
    connections, weights, _, _ = K.mutual_knn(grid, 4)
    native = K.informative_edges(X, 4, connections, weights)
    monkeypatch.setattr(K, "distance", types.SimpleNamespace(cdist=cdist))
    through_scipy = K.informative_edges(X, 4, connections, weights)
    assert lists_of(native[0]) == lists_of(through_scipy[0]) and lists_of(native[1]) == lists_of(through_scipy[1])
    rng = np.random.default_rng(0)
    for dims, dtype, size in [(1, np.float32, 150), (3, np.float64, 150), (7, np.float32, 150), (2, np.float32, 400),
                              (5, np.float64, 400)]:
        pts = (rng.normal(size=(size, dims)) * 100).astype(dtype)
        X = Inputs(pts, pts[rng.random(size) < 0.3])  # float64 coordinates too: any array cdist takes
        c, w, _, _ = K.mutual_knn(pts.astype(np.float64), 5)
        monkeypatch.undo()
        native = K.informative_edges(X, 5, c, w)
        monkeypatch.setattr(K, "distance", types.SimpleNamespace(cdist=cdist))
        assert lists_of(K.informative_edges(X, 5, c, w)[0]) == lists_of(native[0])
        assert edge_set(*native) == informative_reference(X, c, w)


def test_rows_naming_a_point_repeatedly_add_one_pair_per_mention(monkeypatch):
    # a rebound search may return repeated indices: every mention counts, as
    # the scan of the neighbour's row does not stop at its first match
    n, k = 301, 300
    rows = np.ones((n, k), dtype=np.int64)
    rows[0] = 2
    rows[0, 0] = 1
    rows[1] = 0
    indices = np.concatenate([np.arange(n)[:, None], rows], axis=1)
    monkeypatch.setattr(K, "KDTree", fake_tree(lambda kk: (np.zeros((n, kk)), indices)))
    connections, weights, table, _ = K.mutual_knn(np.zeros((n, 1)), k)
    assert np.array_equal(table, rows)
    assert connections.to_numpy(0).tolist() == [1] * 300
    assert connections.to_numpy(1).tolist() == [0] * 300
    assert all(connections.to_numpy(v).size == 0 for v in range(2, n))
