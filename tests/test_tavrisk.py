import types

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from scipy.spatial import KDTree
from sklearn.cluster import DBSCAN
from sklearn.neighbors import BallTree

from conftest import load


@pytest.fixture(scope="module")
def tavrisk():
    return load("algorithm3", "tavrisk")


# ---- a plain Python rendering of the clustering, as the oracle -------------------------

def reference_expand(min_samples, labels, cluster_labels, visited, point_idx, cluster_id, tree_ball_proximity):
    queue, start = [point_idx], 0
    while start < len(queue):
        current = queue[start]
        start += 1
        if not (visited[current] == 0 or cluster_labels[current] == -1):
            continue
        visited[current] = 1
        cluster_labels[current] = cluster_id
        neighbors = tree_ball_proximity[current]
        if labels[current] >= 0 or len(neighbors) >= min_samples:
            for idx in neighbors:
                idx = int(idx)
                if labels[idx] < 0 or labels[idx] == cluster_id:
                    queue.append(idx)


def neighbourhoods(data, eps, metric, p):
    if metric == "minkowski" and p == 2:
        tree = KDTree(data)
        return tree.query_ball_tree(tree, r=eps)
    tree = BallTree(data, metric=metric, p=p) if metric == "minkowski" else BallTree(data, metric=metric)
    return list(tree.query_radius(data, r=eps))


def reference_dbscan(data, eps, min_samples, labels, metric, p):
    """Returns the cluster ids and the (seed, id) pairs in the order they are handed out."""
    n = len(data)
    cluster_labels = np.full(n, -1, dtype=np.int32)
    visited = np.zeros(n, dtype=np.int8)
    proximity = neighbourhoods(data, eps, metric, p)
    seeds = []

    def grow(i, cluster_id):
        seeds.append((i, cluster_id))
        reference_expand(min_samples, labels, cluster_labels, visited, i, cluster_id, proximity)

    for i in range(n):
        if visited[i] == 0 and labels[i] >= 0 and len(proximity[i]) < min_samples:
            grow(i, int(labels[i]))
    for i in range(n):
        if visited[i] == 0 and labels[i] >= 0 and len(proximity[i]) >= min_samples:
            grow(i, int(labels[i]))
    cluster_id = -2
    for i in range(n):
        if visited[i] == 0:
            if len(proximity[i]) < min_samples:
                visited[i] = 1
            else:
                grow(i, cluster_id)
                cluster_id -= 1
    return cluster_labels, seeds


def line(*xs):
    return np.array([[float(x)] for x in xs])


METRICS = [("minkowski", 2), ("minkowski", 1), ("minkowski", 3), ("euclidean", 2), ("chebyshev", 5)]


@st.composite
def problems(draw):
    n = draw(st.integers(1, 40))
    # grid coordinates make many distances equal to eps exactly
    coords = draw(st.lists(st.lists(st.integers(0, 8), min_size=2, max_size=2), min_size=n, max_size=n))
    labels = draw(st.lists(st.sampled_from([-1, -1, -1, 0, 1, 2, 7]), min_size=n, max_size=n))
    eps = draw(st.sampled_from([0.0, 1.0, 1.5, 2.0, 3.0]))
    min_samples = draw(st.integers(-1, 6))
    metric, p = draw(st.sampled_from(METRICS))
    return np.array(coords, dtype=np.float64), eps, min_samples, np.array(labels, dtype=np.int32), metric, p


@settings(max_examples=300, deadline=None)
@given(problems())
def test_same_clusters_as_the_plain_rendering(tavrisk, problem):
    data, eps, min_samples, labels, metric, p = problem
    expected, _ = reference_dbscan(data, eps, min_samples, labels, metric, p)
    before = labels.copy()
    result = tavrisk.semi_supervised_dbscan(data, eps, min_samples, labels, metric, p)
    assert result.dtype == np.int32 and result.shape == (len(data),)
    assert result.tolist() == expected.tolist()
    assert labels.tolist() == before.tolist()
    # labelled growth never takes in a point of another class
    for i in np.flatnonzero(labels >= 0):
        assert result[i] == labels[i]


@pytest.mark.parametrize("seed", [0, 1])
def test_unlabelled_core_points_partition_like_dbscan(tavrisk, seed):
    rng = np.random.default_rng(seed)
    centres = rng.random((6, 2)) * 10
    data = np.concatenate([c + rng.normal(scale=0.4, size=(150, 2)) for c in centres] + [rng.random((100, 2)) * 10])
    eps, min_samples = 0.35, 6
    result = tavrisk.semi_supervised_dbscan(data, eps, min_samples, np.full(len(data), -1, np.int32), "minkowski", 2)
    peer = DBSCAN(eps=eps, min_samples=min_samples).fit(data)
    core = np.zeros(len(data), bool)
    core[peer.core_sample_indices_] = True
    pairs = set(zip(result[core].tolist(), peer.labels_[core].tolist()))
    assert len(pairs) == len({a for a, _ in pairs}) == len({b for _, b in pairs}) > 1
    assert ((result == -1) == (peer.labels_ == -1)).all()
    # ids are handed out in the order of the first core point of each cluster
    first_seen = list(dict.fromkeys(result[core].tolist()))
    assert first_seen == list(range(-2, -2 - len(first_seen), -1))


@pytest.mark.parametrize(
    "points, labels, eps, min_samples, expected",
    [
        # a labelled point that is not a core point still spreads its label
        ((0, 1, 2, 3), (5, -1, -1, -1), 1.0, 3, [5, 5, 5, 5]),
        # neighbours of different classes keep their own labels
        ((0, 1), (0, 1), 1.0, 1, [0, 1]),
        # growth stops in front of another class
        ((0, 1, 2, 3, 4, 5, 6), (0, -1, -1, -1, -1, -1, 1), 1.0, 2, [0, 0, 0, 0, 0, 0, 1]),
        # pass 1 (non-core labelled seeds) runs before pass 2: point 4 claims the
        # unlabelled points although the core seed 0 comes first
        ((0, 0.5, -0.5, 1, 2), (0, -1, -1, -1, 1), 1.0, 3, [0, 1, 1, 1, 1]),
        # point 0 is set aside as noise, then taken in by the cluster seeded at 1
        ((5, 6, 7, 8), (-1, -1, -1, -1), 1.0, 3, [-2, -2, -2, -2]),
        # ids by seed index; the lone point stays noise
        ((0, 1, 2, 10, 11, 12, 30), (-1,) * 7, 1.0, 2, [-2, -2, -2, -3, -3, -3, -1]),
        # min_samples of 1 or less: every point is a core point, no noise
        ((0, 10, 20), (-1, -1, -1), 1.0, 0, [-2, -3, -4]),
    ],
)
def test_worked_examples(tavrisk, points, labels, eps, min_samples, expected):
    result = tavrisk.semi_supervised_dbscan(line(*points), eps, min_samples, np.array(labels, np.int32), "minkowski", 2)
    assert result.tolist() == expected


@pytest.mark.parametrize(
    "metric, p, kdtree, ball_kwargs",
    [
        ("minkowski", 2, True, None),
        ("minkowski", 1, False, {"metric": "minkowski", "p": 1}),
        ("euclidean", 2, False, {"metric": "euclidean"}),
        (None, 2, False, {"metric": None}),
    ],
)
def test_choice_of_search(tavrisk, monkeypatch, metric, p, kdtree, ball_kwargs):
    calls = []

    def kd(data, *args, **kwargs):
        calls.append(("KDTree", args, kwargs))
        return KDTree(data, *args, **kwargs)

    def ball(data, *args, **kwargs):
        calls.append(("BallTree", args, kwargs))
        return BallTree(data, *args, **kwargs)

    monkeypatch.setattr(tavrisk, "KDTree", kd)
    monkeypatch.setattr(tavrisk, "BallTree", ball)
    data = line(0, 1, 2)
    labels = np.full(3, -1, np.int32)
    if metric is None:
        with pytest.raises(ValueError, match="metric"):
            tavrisk.semi_supervised_dbscan(data, 1.0, 2, labels, metric, p)
    else:
        assert tavrisk.semi_supervised_dbscan(data, 1.0, 2, labels, metric, p).tolist() == [-2, -2, -2]
    assert calls == ([("KDTree", (), {})] if kdtree else [("BallTree", (), ball_kwargs)])


def test_rebound_expand_cluster_sees_every_seed(tavrisk, monkeypatch):
    rng = np.random.default_rng(3)
    data = rng.random((300, 2))
    labels = np.full(300, -1, np.int32)
    labels[rng.choice(300, 12, replace=False)] = rng.integers(0, 3, 12)
    native = tavrisk.semi_supervised_dbscan(data, 0.06, 4, labels, "minkowski", 2)
    expected, seeds = reference_dbscan(data, 0.06, 4, labels, "minkowski", 2)
    real = tavrisk.expand_cluster
    seen = []

    def counting(data_, min_samples, labels_, cluster_labels, visited, point_idx, cluster_id, proximity):
        seen.append((point_idx, cluster_id))
        assert isinstance(proximity, list) and min_samples == 4
        return real(data_, min_samples, labels_, cluster_labels, visited, point_idx, cluster_id, proximity)

    monkeypatch.setattr(tavrisk, "expand_cluster", counting)
    routed = tavrisk.semi_supervised_dbscan(data, 0.06, 4, labels, "minkowski", 2)
    assert seen == seeds and len(seeds) > 12
    assert routed.tolist() == native.tolist() == expected.tolist()


class TreeGiving:
    """Stands in for KDTree: query_ball_tree returns the given neighbourhoods."""

    def __init__(self, neighbourhoods):
        self.neighbourhoods = neighbourhoods

    def __call__(self, data):
        return self

    def query_ball_tree(self, other, r):
        return self.neighbourhoods


@pytest.mark.parametrize(
    "make",
    [
        lambda lists: [[np.int64(i) for i in c] for c in lists],  # NumPy scalars
        lambda lists: [tuple(c) for c in lists],
        lambda lists: [np.array(c, np.int16) for c in lists],
        lambda lists: [c + [] for c in lists[:-1]] + [[float(i) for i in lists[-1]]],
    ],
)
def test_neighbourhoods_of_other_kinds(tavrisk, monkeypatch, make):
    rng = np.random.default_rng(8)
    data = rng.random((120, 2))
    labels = np.full(120, -1, np.int32)
    labels[:6] = [0, 1, 0, 1, 2, 2]
    expected = tavrisk.semi_supervised_dbscan(data, 0.15, 4, labels, "minkowski", 2)
    tree = KDTree(data)
    monkeypatch.setattr(tavrisk, "KDTree", TreeGiving(make(tree.query_ball_tree(tree, r=0.15))))
    assert tavrisk.semi_supervised_dbscan(data, 0.15, 4, labels, "minkowski", 2).tolist() == expected.tolist()


@pytest.mark.parametrize(
    "neighbourhoods, error, message",
    [
        ([[0, 1], [1, 2**40], [2]], OverflowError, "value too large to convert to int"),
        ([[0, 1], [1, 5], [2]], IndexError, r"Out of bounds on buffer access \(axis 0\)"),
        ([[0, 1], [1]], IndexError, "list index out of range"),
        (([0, 1], [0, 1], [2]), TypeError, "expected list, got tuple"),
    ],
)
def test_bad_neighbourhoods(tavrisk, monkeypatch, neighbourhoods, error, message):
    monkeypatch.setattr(tavrisk, "KDTree", TreeGiving(neighbourhoods))
    with pytest.raises(error, match=message):
        tavrisk.semi_supervised_dbscan(line(0, 1, 2), 1.0, 2, np.full(3, -1, np.int32), "minkowski", 2)


def test_error_from_rebound_expand_cluster_propagates(tavrisk, monkeypatch):
    def broken(*args):
        raise KeyError("stop")

    monkeypatch.setattr(tavrisk, "expand_cluster", broken)
    with pytest.raises(KeyError, match="stop"):
        tavrisk.semi_supervised_dbscan(line(0, 1), 1.0, 1, np.full(2, -1, np.int32), "minkowski", 2)


def counting_numpy(counts):
    def wrap(name):
        def call(*args, **kwargs):
            counts[name] = counts.get(name, 0) + 1
            return getattr(np, name)(*args, **kwargs)
        return call

    return types.SimpleNamespace(int32=np.int32, int8=np.int8,
                                 **{name: wrap(name) for name in ("full", "zeros", "empty", "asarray")})


def test_rebound_numpy_is_called(tavrisk, monkeypatch):
    rng = np.random.default_rng(4)
    data = rng.random((400, 2))
    labels = np.full(400, -1, np.int32)
    labels[:5] = [0, 1, 2, 0, 1]
    native = tavrisk.semi_supervised_dbscan(data, 0.08, 5, labels, "minkowski", 2)
    counts = {}
    monkeypatch.setattr(tavrisk, "np", counting_numpy(counts))
    routed = tavrisk.semi_supervised_dbscan(data, 0.08, 5, labels, "minkowski", 2)
    assert routed.tolist() == native.tolist()
    _, seeds = reference_dbscan(data, 0.08, 5, labels, "minkowski", 2)
    assert counts["full"] == counts["zeros"] == counts["asarray"] == 1
    assert counts["empty"] > len(seeds)  # one queue per seed, grown on demand


def test_rebound_numpy_returning_short_arrays_is_refused(tavrisk, monkeypatch):
    fake = types.SimpleNamespace(int32=np.int32, int8=np.int8, asarray=np.asarray, empty=np.empty,
                                 full=lambda n, v, dtype: np.full(n - 1, v, dtype=dtype), zeros=np.zeros)
    monkeypatch.setattr(tavrisk, "np", fake)
    with pytest.raises(IndexError, match=r"Out of bounds on buffer access \(axis 0\)"):
        tavrisk.semi_supervised_dbscan(line(0, 1, 2), 1.0, 1, np.full(3, -1, np.int32), "minkowski", 2)


def test_longer_labels_are_accepted(tavrisk):
    labels = np.array([0, -1, -1, 3, 3], np.int32)
    assert tavrisk.semi_supervised_dbscan(line(0, 1, 2), 1.0, 1, labels, "minkowski", 2).tolist() == [0, 0, 0]


@pytest.mark.parametrize(
    "change, error, message",
    [
        (dict(labels=np.full(2, -1, np.int32)), ValueError, "labels has 2 entries, fewer than the 3 rows of data"),
        (dict(labels=None), TypeError, "'labels'"),
        (dict(data=None), TypeError, "'data'"),
        (dict(data=line(0, 1, 2).astype(np.float32)), ValueError, "expected 'double' but got 'float'"),
        (dict(data=np.zeros(3)), ValueError, r"wrong number of dimensions \(expected 2, got 1\)"),
        (dict(data=np.zeros((2, 3)).T), ValueError, "contiguous"),
        (dict(labels=np.full(3, -1, np.int64)), ValueError, "expected 'int' but got 'long'"),
        (dict(metric=type("S", (str,), {})("minkowski")), TypeError, "expected str, got S"),
        (dict(min_samples="3"), TypeError, "an integer is required"),
        (dict(p=2**40), OverflowError, "value too large to convert to int"),
        (dict(metric="nonsense"), ValueError, "nonsense"),
    ],
)
def test_bad_input(tavrisk, change, error, message):
    args = dict(data=line(0, 1, 2), eps=1.0, min_samples=1, labels=np.full(3, -1, np.int32), metric="minkowski", p=2)
    args.update(change)
    with pytest.raises(error, match=message):
        tavrisk.semi_supervised_dbscan(**args)


def test_read_only_arrays_are_refused(tavrisk):
    data = line(0, 1)
    data.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        tavrisk.semi_supervised_dbscan(data, 1.0, 1, np.full(2, -1, np.int32), "minkowski", 2)


# ---- expand_cluster --------------------------------------------------------------------

def expansion(labels, proximity, cluster_labels=None, visited=None):
    n = len(labels)
    return dict(
        data=np.zeros((n, 1)),
        labels=np.array(labels, np.int32),
        cluster_labels=np.full(n, -1, np.int32) if cluster_labels is None else np.array(cluster_labels, np.int32),
        visited=np.zeros(n, np.int8) if visited is None else np.array(visited, np.int8),
        proximity=proximity,
    )


def run(tavrisk, state, point_idx, cluster_id, min_samples=2):
    return tavrisk.expand_cluster(state["data"], min_samples, state["labels"], state["cluster_labels"],
                                  state["visited"], point_idx, cluster_id, state["proximity"])


CHAIN = [[0, 1], [0, 1, 2], [1, 2, 3], [2, 3, 4], [3, 4]]


@pytest.mark.parametrize(
    "labels, cluster_labels, visited, seed, cluster_id, expected_ids, expected_flags",
    [
        # every chain point is a core point (min_samples 2)
        ([-1] * 5, None, None, 0, -2, [-2] * 5, [1] * 5),
        # a seed owned by a cluster is skipped: nothing is written
        ([-1] * 5, [-3, -1, -1, -1, -1], [1, 0, 0, 0, 0], 0, -2, [-3, -1, -1, -1, -1], [1, 0, 0, 0, 0]),
        # a seed set aside as noise (flag 1, id -1) is processed
        ([-1] * 5, None, [1, 0, 0, 0, 0], 0, -2, [-2] * 5, [1] * 5),
        # a point of another class is not taken in and stops the chain
        ([-1, -1, 4, -1, -1], None, None, 0, -2, [-2, -2, -1, -1, -1], [1, 1, 0, 0, 0]),
        ([0, -1, 1, -1, -1], None, None, 0, 0, [0, 0, -1, -1, -1], [1, 1, 0, 0, 0]),
        # points of the cluster's own class are taken in and spread
        ([0, -1, 0, -1, -1], None, None, 0, 0, [0] * 5, [1] * 5),
        # a negative index counts from the end
        ([-1] * 5, None, None, -1, -2, [-2] * 5, [1] * 5),
    ],
)
def test_expansion_cases(tavrisk, labels, cluster_labels, visited, seed, cluster_id, expected_ids, expected_flags):
    state = expansion(labels, CHAIN, cluster_labels, visited)
    assert run(tavrisk, state, seed, cluster_id) is None
    assert state["cluster_labels"].tolist() == expected_ids
    assert state["visited"].tolist() == expected_flags
    assert state["labels"].tolist() == labels


def test_border_points_and_reaching_around_another_class(tavrisk):
    # 0 - 1 - 2(class 9) - 3, and 1 - 3 directly: 3 is reached around 2.
    # 4 is a border point (too few neighbours) and spreads nothing; 5 stays out.
    proximity = [[0, 1], [0, 1, 2, 3], [1, 2, 3], [1, 2, 3, 4], [4], [5]]
    state = expansion([-1, -1, 9, -1, -1, -1], proximity)
    run(tavrisk, state, 0, -2, min_samples=2)
    assert state["cluster_labels"].tolist() == [-2, -2, -1, -2, -2, -1]
    # a labelled seed spreads although it has too few neighbours; its own class is taken in
    proximity = [[0, 1], [0, 1, 2, 3], [1, 2, 3], [1, 2, 3, 4], [3, 4], [5]]
    state = expansion([-1, -1, 9, -1, 9, -1], proximity)
    run(tavrisk, state, 4, 9, min_samples=3)
    assert state["cluster_labels"].tolist() == [9, 9, 9, 9, 9, -1]


@pytest.mark.parametrize(
    "proximity",
    [
        [np.array(c, dtype) for c in CHAIN]
        for dtype in (np.int64, np.int32, np.uint16, np.int8, np.float64)
    ] + [[tuple(c) for c in CHAIN], [np.array(c)[::-1].copy()[::-1] for c in CHAIN]],
)
def test_neighbour_collections_of_any_kind(tavrisk, proximity):
    state = expansion([-1, -1, 4, -1, -1], proximity)
    run(tavrisk, state, 4, -2)
    assert state["cluster_labels"].tolist() == [-1, -1, -1, -2, -2]


def test_matches_plain_rendering_on_random_graphs(tavrisk):
    rng = np.random.default_rng(7)
    for _ in range(200):
        n = int(rng.integers(1, 30))
        proximity = [sorted(set(rng.integers(0, n, rng.integers(0, 6)).tolist()) | {i}) for i in range(n)]
        labels = rng.choice([-1, -1, 0, 1], n).astype(np.int32)
        cluster_labels = rng.choice([-1, -1, -3, 0], n).astype(np.int32)
        visited = rng.integers(0, 2, n).astype(np.int8)
        seed, cluster_id, min_samples = int(rng.integers(0, n)), int(rng.choice([-2, 0, 1])), int(rng.integers(0, 4))
        expected_ids, expected_flags = cluster_labels.copy(), visited.copy()
        reference_expand(min_samples, labels, expected_ids, expected_flags, seed, cluster_id, proximity)
        tavrisk.expand_cluster(None, min_samples, labels, cluster_labels, visited, seed, cluster_id, proximity)
        assert cluster_labels.tolist() == expected_ids.tolist()
        assert visited.tolist() == expected_flags.tolist()


@pytest.mark.parametrize("visited", [np.zeros(5, np.uint8), np.zeros(5, bool)])
def test_visited_accepts_any_one_byte_flags(tavrisk, visited):
    state = expansion([-1] * 5, CHAIN)
    tavrisk.expand_cluster(None, 2, state["labels"], state["cluster_labels"], visited, 2, -2, CHAIN)
    assert visited.astype(int).tolist() == [1] * 5 and state["cluster_labels"].tolist() == [-2] * 5


def test_rebound_numpy_allocates_the_queue(tavrisk, monkeypatch):
    big = [list(range(200))] * 200
    counts = {}
    monkeypatch.setattr(tavrisk, "np", counting_numpy(counts))
    state = expansion([-1] * 200, big)
    run(tavrisk, state, 0, -2)
    assert state["cluster_labels"].tolist() == [-2] * 200
    assert counts["empty"] >= 2  # grown beyond its first size


class Huge:
    def __len__(self):
        return 2**31


@pytest.mark.parametrize(
    "change, seed, cluster_id, error, message, ids_after",
    [
        (dict(), 0, -1, ValueError, "cluster_id must not be -1", [-1] * 5),
        (dict(labels=None), 0, -2, TypeError, "'labels'", [-1] * 5),
        (dict(cluster_labels=None), 0, -2, TypeError, "'cluster_labels'", None),
        (dict(visited=None), 0, -2, TypeError, "'visited'", [-1] * 5),
        (dict(proximity=None), 0, -2, TypeError, "'tree_ball_proximity'", [-1] * 5),
        (dict(proximity=tuple(CHAIN)), 0, -2, TypeError, "expected list, got tuple", [-1] * 5),
        (dict(), 5, -2, IndexError, r"Out of bounds on buffer access \(axis 0\)", [-1] * 5),
        (dict(), -6, -2, IndexError, r"Out of bounds on buffer access \(axis 0\)", [-1] * 5),
        (dict(), 2**32, -2, IndexError, r"Out of bounds on buffer access \(axis 0\)", [-1] * 5),
        # writes made before the failure stay
        (dict(proximity=[[0, 7]] + CHAIN[1:]), 0, -2, IndexError, r"Out of bounds", [-2, -1, -1, -1, -1]),
        (dict(proximity=[[0, "1"]] + CHAIN[1:]), 0, -2, TypeError, "an integer is required", [-2] + [-1] * 4),
        (dict(proximity=[[0, 2**40]] + CHAIN[1:]), 0, -2, OverflowError, "value too large to convert to int",
         [-2] + [-1] * 4),
        (dict(proximity=[[0, 1], [1, 2]]), 0, -2, IndexError, "list index out of range", [-2, -2, -2, -1, -1]),
        (dict(proximity=[Huge()]), 0, -2, OverflowError, "value too large to convert to int", [-2] + [-1] * 4),
        (dict(proximity=[5] + CHAIN[1:]), 0, -2, TypeError, "has no len", [-2] + [-1] * 4),
    ],
)
def test_expansion_failures(tavrisk, change, seed, cluster_id, error, message, ids_after):
    state = expansion([-1] * 5, CHAIN)
    state.update(change)
    with pytest.raises(error, match=message):
        run(tavrisk, state, seed, cluster_id)
    if ids_after is not None:
        assert state["cluster_labels"].tolist() == ids_after


def test_traceback_names_both_functions(tavrisk, monkeypatch):
    import traceback

    monkeypatch.setattr(tavrisk, "KDTree", TreeGiving([[0, 1], [1, 5], [2]]))
    with pytest.raises(IndexError) as caught:
        tavrisk.semi_supervised_dbscan(line(0, 1, 2), 1.0, 2, np.full(3, -1, np.int32), "minkowski", 2)
    names = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    prefix = "halvorne_beta.algorithms.src.algorithm3.binaries.tavrisk."
    assert names[-2:] == [prefix + "semi_supervised_dbscan", prefix + "expand_cluster"]


# ---- the native radius search against the library's KD-tree ------------------------------

def grid(dims, side, step=1.0, offset=0.0):
    axis = np.arange(side) * step + offset
    return np.stack(np.meshgrid(*[axis] * dims, indexing="ij"), -1).reshape(-1, dims).astype(np.float64)


def random_points(n, dims, seed, scale=1.0, offset=0.0):
    return np.random.default_rng(seed).random((n, dims)) * scale + offset


# Data and radii where many distances equal eps exactly or within rounding of it.
BOUNDARY_HEAVY = [
    pytest.param(grid(2, 7), eps, id=f"grid2-{eps:.3f}") for eps in (1.0, np.sqrt(2), 2.0)
] + [
    pytest.param(grid(3, 4), eps, id=f"grid3-{eps:.3f}") for eps in (1.0, np.sqrt(2), 2.0, np.sqrt(3))
] + [
    pytest.param(grid(2, 6, offset=1e6), np.sqrt(2), id="grid2-offset"),
    pytest.param(grid(3, 3, offset=-1e6), 1.0, id="grid3-offset"),
    pytest.param(grid(2, 6, step=0.1), 0.1, id="decimal-grid2"),
    pytest.param(grid(3, 3, step=0.1, offset=1e6), 0.1, id="decimal-grid3-offset"),
    pytest.param(grid(4, 3), 1.0, id="grid4"),
    pytest.param(grid(5, 2, offset=1e6), np.sqrt(2), id="grid5-offset"),
    pytest.param(np.repeat(grid(2, 3), 3, axis=0), 1.0, id="duplicates"),
    pytest.param(np.repeat(grid(2, 3), 2, axis=0), 0.0, id="duplicates-eps0"),
    pytest.param(np.array([[0.0, 0.0], [3.0, 4.0], [1.0, 1.0]] * 4), 5.0, id="eps-is-the-diameter"),
    pytest.param(random_points(60, 2, 0), 0.2, id="random2"),
    pytest.param(random_points(60, 3, 1, 1e-3, 1e6), 4e-4, id="random3-offset"),
    pytest.param(random_points(50, 6, 2), 0.6, id="random6"),
    pytest.param(random_points(30, 2, 3), 10.0, id="eps-covers-all"),
]


@pytest.mark.parametrize("data, eps", BOUNDARY_HEAVY)
def test_neighbourhoods_are_the_kdtree_sets(tavrisk, monkeypatch, data, eps):
    # A single labelled point that is not a core point spreads its label to
    # exactly its neighbourhood and no further: each result shows one set.
    tree = KDTree(data)
    expected = tree.query_ball_tree(tree, r=eps)
    n = len(data)
    found = []
    for s in range(n):
        labels = np.full(n, -1, np.int32)
        labels[s] = 0
        found.append(np.flatnonzero(tavrisk.semi_supervised_dbscan(data, eps, n + 1, labels, "minkowski", 2) == 0))
    assert [sorted(f.tolist()) for f in found] == [sorted(e) for e in expected]


def test_exact_cases_are_found_natively(tavrisk, monkeypatch):
    def refuse(*args, **kwargs):
        raise AssertionError("the library's search was used")

    monkeypatch.setattr(KDTree, "query_ball_tree", refuse)  # KDTree itself stays the module's own
    for case in BOUNDARY_HEAVY:
        data, eps = case.values
        if case.id != "eps-is-the-diameter":
            tavrisk.semi_supervised_dbscan(data, eps, 3, np.full(len(data), -1, np.int32), "minkowski", 2)


class Described(KDTree):
    """The module's KDTree rebound: every step goes through Python."""


@pytest.mark.parametrize("data, eps", BOUNDARY_HEAVY[::2] + [
    pytest.param(grid(2, 4), eps, id=f"eps-{eps}") for eps in (float("nan"), -1.0, float("inf"), -0.0)])
def test_same_clusters_as_the_described_search(tavrisk, monkeypatch, data, eps):
    rng = np.random.default_rng(len(data))
    n = len(data)
    cases = [(rng.choice([-1, -1, -1, 0, 1, 2], n).astype(np.int32), min_samples)
             for min_samples in (1, 2, 3, 5, 9, n)]
    native = [tavrisk.semi_supervised_dbscan(data, eps, m, labels, "minkowski", 2) for labels, m in cases]
    monkeypatch.setattr(tavrisk, "KDTree", Described)
    routed = [tavrisk.semi_supervised_dbscan(data, eps, m, labels, "minkowski", 2) for labels, m in cases]
    assert [r.tolist() for r in native] == [r.tolist() for r in routed]


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_data_the_kdtree_refuses_is_refused(tavrisk, bad):
    data = grid(2, 3)
    data[4, 1] = bad
    with pytest.raises(ValueError, match="data must be finite"):
        tavrisk.semi_supervised_dbscan(data, 1.0, 2, np.full(len(data), -1, np.int32), "minkowski", 2)


# Every allocation of a call made to fail in turn (in a fresh interpreter,
# where nothing has been cached yet); each call must raise MemoryError or
# succeed, and the next call must work: no failure may be remembered.
FAILING_ALLOCATIONS = r"""
import json, sys
import numpy as np
import _testcapi
from halvorne_beta.algorithms.src.algorithm3.binaries import tavrisk
data = np.arange(24, dtype=np.float64).reshape(12, 2)
labels = np.array([0, -1, -1, 1] * 3, np.int32)
call = lambda: tavrisk.semi_supervised_dbscan(data, 3.0, 2, labels, "minkowski", 2).tolist()
successes = 0
for start in range(3000):
    _testcapi.set_nomemory(start, start + 1)
    try:
        call()
        successes += 1
    except MemoryError:
        successes = 0
    finally:
        _testcapi.remove_mem_hooks()
    if successes == 5:
        break
print(json.dumps([start, call()]))
"""


def test_a_failed_allocation_is_not_remembered(tavrisk):
    import json
    import os
    import subprocess
    import sys

    pytest.importorskip("_testcapi")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", FAILING_ALLOCATIONS], capture_output=True, text=True, env=env,
                          timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    tried, result = json.loads(done.stdout.strip().splitlines()[-1])
    data = np.arange(24, dtype=np.float64).reshape(12, 2)
    labels = np.array([0, -1, -1, 1] * 3, np.int32)
    assert tried > 20 and result == tavrisk.semi_supervised_dbscan(data, 3.0, 2, labels, "minkowski", 2).tolist()


def test_a_neighbour_array_shrunk_by_a_callback_is_read_afresh(tavrisk, monkeypatch):
    proximity = [np.arange(40, dtype=np.int64) for _ in range(40)]

    def empty(n, dtype):  # the queue grows (n > 64) while point 1's neighbours are read
        for neighbours in proximity if n > 64 else []:
            neighbours.resize(1, refcheck=False)
        return np.empty(n, dtype=dtype)

    monkeypatch.setattr(tavrisk, "np", types.SimpleNamespace(int32=np.int32, empty=empty))
    labels, cluster_labels = np.full(40, -1, np.int32), np.full(40, -1, np.int32)
    with pytest.raises(IndexError, match="out of bounds for axis 0 with size 1"):
        tavrisk.expand_cluster(None, 1, labels, cluster_labels, np.zeros(40, np.int8), 0, -2, proximity)
