"""Labelled path search, labelled subgraph, make_labels and clusterize.

The reference below is the procedure written out in plain Python (recursive,
on lists); the native functions must give the same results in the same order.
"""
import gc
import random

import numpy as np
import pytest


# ---- reference rendering -------------------------------------------------------------

def ref_paths(adj, labels, start, bomb_node=-1, path=None, calls=None):
    bomb = bomb_node
    if calls is not None:
        calls[0] += 1
    current = [start] if path is None else path + [start]
    if bomb != -1 and start == bomb:
        return []
    if labels[start] > -1 and start != current[0]:
        return [current]
    found = []
    for neighbor in adj[start]:
        if neighbor in current or labels[neighbor] == labels[current[0]]:
            continue
        found.extend(ref_paths(adj, labels, neighbor, bomb, current, calls))
    return found


def ref_explore(adj, labels, start, calls=None):
    all_paths = []

    def recursive_explore(current, bomb):
        paths = ref_paths(adj, labels, current, bomb, calls=calls)
        all_paths.extend(paths)
        for path in paths:
            if path[-1] != bomb:
                recursive_explore(path[-1], path[-2])

    recursive_explore(start, -1)
    return all_paths


def ref_subgraph(adj, weights, labels, starts=None):
    all_paths, visited = [], set()
    node_list = [i for i in range(len(labels)) if labels[i] != -1]
    unvisited = list(node_list)
    while unvisited:
        start = unvisited.pop(0)
        if starts is not None:
            starts.append(start)
        new_paths = ref_explore(adj, labels, start)
        if new_paths:
            all_paths.extend(new_paths)
            for path in all_paths:
                visited.update(path)
        else:
            visited.add(start)
        unvisited = [i for i in node_list if i not in visited]
    sub = [[] for _ in adj]
    sub_w = [[] for _ in adj]
    for path in all_paths:
        for a, b in zip(path, path[1:]):
            for x, y in ((a, b), (b, a)):
                if y not in sub[x]:
                    sub[x].append(y)
                    sub_w[x].append(weights[x][adj[x].index(y)])
    return sub, sub_w


def ref_clusterize(adj, weights, labels):
    """Returns (lists, weight lists, new labels, cut edges in order)."""
    adj = [list(a) for a in adj]
    weights = [list(w) for w in weights]
    cuts = []
    while True:
        sub, sub_w = ref_subgraph(adj, weights, labels)
        if not any(sub):
            break
        best, where = -1.0, None  # first occurrence of the maximum, as pop_max scans
        for v, ws in enumerate(sub_w):
            for k, w in enumerate(ws):
                if w > best or (where is None and w == best):
                    best, where = w, (v, k)
        v, k = where
        u = sub[v][k]
        cuts.append((v, u))
        i, j = adj[v].index(u), adj[u].index(v)
        adj[v].pop(i), adj[u].pop(j), weights[v].pop(i), weights[u].pop(j)
    groups = {}
    for i, label in enumerate(labels):
        if label != -1:
            groups.setdefault(int(label), []).append(i)
    for group in groups.values():
        for a, b in zip(group, group[1:]):
            adj[a].append(b), adj[b].append(a), weights[a].append(1.0), weights[b].append(1.0)
    new_labels = np.array(labels, dtype=np.int8)
    for group in groups.values():
        label, seen, stack = new_labels[group[0]], {group[0]}, [group[0]]
        while stack:
            node = stack.pop()
            new_labels[node] = label
            for neighbor in adj[node]:
                if neighbor not in seen:
                    seen.add(neighbor)
                    stack.append(neighbor)
    return adj, weights, new_labels, cuts


# ---- helpers -------------------------------------------------------------------------

def containers(ombrel, adj, weights=None, cls=None):
    n = len(adj)
    cls = cls or ombrel.GraphWrapper
    size = max([n] + [len(a) for a in adj])
    conn, wts = cls(n, 0, size), cls(n, 1, size)
    for v, neighbours in enumerate(adj):
        for k, u in enumerate(neighbours):
            conn.append(v, u)
            wts.append(v, 1.0 if weights is None else weights[v][k])
    return conn, wts


def edges_to_lists(n, edges, edge_weights=None):
    adj = [[] for _ in range(n)]
    wts = [[] for _ in range(n)]
    for k, (a, b) in enumerate(edges):
        w = float(np.float32(1.0 if edge_weights is None else edge_weights[k]))
        adj[a].append(b), adj[b].append(a), wts[a].append(w), wts[b].append(w)
    return adj, wts


def lists(container):
    return [a.tolist() for a in container.to_numpy_all()]


def random_forest(seed, n=None):
    rng = random.Random(seed)
    n = n or rng.randint(1, 40)
    order = list(range(n))
    rng.shuffle(order)
    edges = [(order[i], order[rng.randrange(i)]) for i in range(1, n) if rng.random() > 0.1]
    rng.shuffle(edges)
    weights = [rng.choice([1, 2, 3, 4, 0.5]) if seed % 2 else rng.random() for _ in edges]  # ties on odd seeds
    adj, wts = edges_to_lists(n, edges, weights)
    classes = rng.randint(1, 4)
    labelled = rng.choice([0.1, 0.3, 0.6])
    values = [rng.randrange(classes) if rng.random() < labelled else -1 for _ in range(n)]
    if seed % 5 == 0:  # other negative values count as labelled where the procedure says so
        values = [-2 if v == -1 and rng.random() < 0.1 else v for v in values]
    return adj, wts, np.array(values, dtype=np.int8)


SEEDS = range(80)


# ---- worked examples -----------------------------------------------------------------

@pytest.mark.parametrize("edges, labels, start, kwargs, expected", [
    ([(0, 1), (1, 2), (2, 3)], [0, -1, -1, 1], 0, {}, [[0, 1, 2, 3]]),
    ([(0, 1), (0, 2), (0, 3)], [0, 1, 1, 0], 0, {}, [[0, 1], [0, 2]]),
    ([(0, 1), (0, 2)], [-1, -1, 1], 0, {}, [[0, 2]]),
    ([(0, 1), (1, 2)], [0, -1, 1], 1, {"bomb_node": 1}, []),
    ([(0, 1)], [0, 1, -1, -1, -1, 0, -1, -1, 1], 7, {"path": [5]}, []),
    ([(6, 7), (7, 8), (7, 1)], [0, 1, -1, -1, -1, 0, -1, -1, 1], 7, {"path": [5]}, [[5, 7, 8], [5, 7, 1]]),
    ([], [0, 1], 0, {}, []),
])
def test_find_all_paths_examples(ombrel, edges, labels, start, kwargs, expected):
    adj, wts = edges_to_lists(len(labels), edges)
    conn, _ = containers(ombrel, adj, wts)
    labels = np.array(labels, dtype=np.int8)
    assert ombrel.find_all_paths_with_labels(conn, labels, start, **kwargs) == expected
    assert ref_paths(adj, labels, start, **kwargs) == expected


@pytest.mark.parametrize("edges, labels, expected", [
    ([(0, 1), (1, 2), (2, 3)], [0, -1, -1, 1], [[0, 1, 2, 3]]),
    ([(0, 1), (1, 2)], [0, 1, 0], [[0, 1], [1, 2]]),
])
def test_explore_examples(ombrel, edges, labels, expected):
    conn, _ = containers(ombrel, *edges_to_lists(len(labels), edges))
    assert ombrel.explore_graph_recursive(conn, np.array(labels, dtype=np.int8), 0) == expected


@pytest.mark.parametrize("edges, weights, labels, sub, sub_w", [
    ([(0, 1), (1, 2), (2, 3)], [1, 2, 3], [-1] * 4, [[]] * 4, [[]] * 4),
    ([(0, 1), (1, 2), (2, 3)], [1, 2, 3], [0, -1, 0, -1], [[]] * 4, [[]] * 4),
    ([(0, 1), (1, 2), (2, 3)], [1, 2, 3], [0, -1, -1, 1], [[1], [0, 2], [1, 3], [2]], [[1], [1, 2], [2, 3], [3]]),
    ([(0, 1), (1, 2)], [1, 2], [0, 1, 0], [[1], [0, 2], [1]], [[1], [1, 2], [2]]),
    ([(0, 1), (1, 2)], [1, 2], [0, 0, 1], [[], [2], [1]], [[], [2], [2]]),
])
def test_subgraph_examples(ombrel, edges, weights, labels, sub, sub_w):
    conn, wts = containers(ombrel, *edges_to_lists(len(labels), edges, weights))
    sc, sw = ombrel.find_subgraph_with_labels(conn, wts, np.array(labels, dtype=np.int8))
    assert type(sc) is ombrel.GraphWrapper and type(sw) is ombrel.GraphWrapper
    assert lists(sc) == sub and lists(sw) == sub_w
    assert sc.to_numpy(0).dtype == np.int64 and sw.to_numpy(0).dtype == np.float32


def test_clusterize_points_on_a_line(ombrel):
    conn, wts = ombrel.prim_mst(np.array([[0.0], [1.0], [3.0]]))
    labels = np.array([0, -1, 1], dtype=np.int8)
    out = ombrel.clusterize(conn, wts, labels)
    assert out[0] is conn and out[1] is wts
    assert lists(conn) == [[1], [0], []] and lists(wts) == [[1.0], [1.0], []]
    assert out[2].tolist() == [0, 0, 1] and out[2].dtype == np.int8 and out[2] is not labels
    assert labels.tolist() == [0, -1, 1]


def test_clusterize_without_labels_changes_nothing(ombrel):
    adj, wts = edges_to_lists(4, [(0, 1), (1, 2), (2, 3)], [1, 2, 3])
    conn, w = containers(ombrel, adj, wts)
    labels = np.full(4, -1, np.int8)
    out = ombrel.clusterize(conn, w, labels)
    assert lists(conn) == adj and lists(w) == wts and out[2].tolist() == [-1] * 4


def test_clusterize_one_label_chains_and_floods(ombrel):
    # 3 and 7 are already neighbours: the chain edge doubles their edge
    adj, wts = edges_to_lists(9, [(3, 7), (7, 9 - 1), (0, 3), (1, 2)], [2, 2, 2, 2])
    conn, w = containers(ombrel, adj, wts)
    labels = np.array([-1, -1, -1, 4, -1, -1, -1, 4, 4], np.int8)
    out = ombrel.clusterize(conn, w, labels)
    assert conn.to_numpy(3).tolist() == [7, 0, 7] and w.to_numpy(3).tolist() == [2.0, 2.0, 1.0]
    assert conn.to_numpy(8).tolist() == [7, 7]
    assert out[2].tolist() == [4, -1, -1, 4, -1, -1, -1, 4, 4]


def test_tied_maximum_cuts_an_edge(ombrel):
    # Both heaviest edges {0,5} and {1,4} weigh 9: pop_max would report vertices
    # 0 and 1, which are not neighbours; the cut is the first occurrence, {0,5}.
    adj, wts = edges_to_lists(6, [(5, 0), (0, 2), (2, 1), (1, 4), (3, 2)], [9, 1, 1, 9, 1])
    labels = np.array([-1, -1, -1, -1, 1, 0], np.int8)
    conn, w = containers(ombrel, adj, wts)
    out = ombrel.clusterize(conn, w, labels)
    ref = ref_clusterize(adj, wts, labels)
    assert ref[3] == [(0, 5)]
    assert lists(conn) == ref[0] and lists(w) == ref[1] and out[2].tolist() == ref[2].tolist()
    assert out[2].tolist() == [1, 1, 1, 1, 1, 0]


def assert_clusterize_matches(ombrel, conn, w, adj, wts, labels):
    out = ombrel.clusterize(conn, w, labels)
    ref = ref_clusterize(adj, wts, labels)
    assert lists(conn) == ref[0] and lists(w) == ref[1] and out[2].tolist() == ref[2].tolist()


def assert_subgraph_and_clusterize_match(ombrel, conn, w, adj, wts, labels):
    sc, sw = ombrel.find_subgraph_with_labels(conn, w, labels)
    assert (lists(sc), lists(sw)) == ref_subgraph(adj, wts, labels)
    assert_clusterize_matches(ombrel, conn, w, adj, wts, labels)


# ---- random forests against the reference --------------------------------------------

@pytest.mark.parametrize("seed", SEEDS)
def test_random_forests_match_reference(ombrel, seed):
    adj, wts, labels = random_forest(seed)
    conn, w = containers(ombrel, adj, wts)
    for start in range(len(labels)):
        assert ombrel.explore_graph_recursive(conn, labels, start) == ref_explore(adj, labels, start)
        assert ombrel.find_all_paths_with_labels(conn, labels, start, 0) == ref_paths(adj, labels, start, 0)
    assert_subgraph_and_clusterize_match(ombrel, conn, w, adj, wts, labels)


@pytest.mark.parametrize("seed", range(12))
def test_large_sparsely_labelled_trees_match_reference(ombrel, seed):
    # big unlabelled regions between few labels: searches from different
    # starts meet the same branches again
    rng = random.Random(seed)
    n = rng.randint(150, 400)
    edges = [(i, rng.randrange(max(0, i - rng.choice([1, 3, i])), i)) for i in range(1, n)]
    weights = [rng.choice([1, 2, 3]) if seed % 2 else rng.random() for _ in edges]
    adj, wts = edges_to_lists(n, edges, weights)
    labels = np.array([rng.randrange(3) if rng.random() < 0.04 else -1 for _ in range(n)], np.int8)
    conn, w = containers(ombrel, adj, wts)
    assert_subgraph_and_clusterize_match(ombrel, conn, w, adj, wts, labels)


@pytest.mark.parametrize("seed", range(6))
def test_prim_mst_then_clusterize_matches_reference(ombrel, seed):
    rng = np.random.default_rng(seed)
    X = rng.integers(0, 4, size=(60, 2)).astype(float)  # many equal distances
    labels = np.full(60, -1, np.int8)
    labels[rng.choice(60, 8, replace=False)] = rng.integers(0, 3, 8)
    conn, w = ombrel.prim_mst(X)
    adj, wts = lists(conn), lists(w)
    assert_clusterize_matches(ombrel, conn, w, adj, wts, labels)


def test_long_chain_needs_no_recursion(ombrel):
    n = 100_000
    # the tree prim_mst gives for points on a line: vertex i lists [i-1, i+1]
    small = ombrel.prim_mst(np.arange(50, dtype=float)[:, None])[0]
    assert lists(small) == [[1]] + [[i - 1, i + 1] for i in range(1, 49)] + [[48]]
    conn, w = ombrel.GraphWrapper(n, 0, n), ombrel.GraphWrapper(n, 1, n)
    for i in range(1, n):
        conn.append(i, i - 1), conn.append(i - 1, i), w.append(i, 1.0), w.append(i - 1, 1.0)
    labels = np.full(n, -1, np.int8)
    labels[0], labels[n - 1] = 0, 1
    assert ombrel.find_all_paths_with_labels(conn, labels, 0) == [list(range(n))]
    assert ombrel.explore_graph_recursive(conn, labels, n - 1) == [list(range(n - 1, -1, -1))]
    out = ombrel.clusterize(conn, w, labels)
    assert conn.to_numpy(0).size == 0  # all weights tie: the first edge {0,1} goes
    assert out[2][0] == 0 and (out[2][1:] == 1).all()


# ---- make_labels ---------------------------------------------------------------------

def test_make_labels_respects_visited(ombrel):
    conn, _ = containers(ombrel, *edges_to_lists(5, [(0, 1), (1, 2), (2, 3), (3, 4)]))
    labels = np.full(5, -1, np.int8)
    visited = {3, 0}
    assert ombrel.make_labels(conn, 0, 300, visited, labels) is None  # stored as a signed byte
    assert labels.tolist() == [44, 44, 44, -1, -1] and visited == {0, 1, 2, 3}
    visited = {2.0}  # equal to 2 as a set member
    ombrel.make_labels(conn, 4, 7, visited, labels)
    assert labels.tolist() == [44, 44, 44, 7, 7] and visited == {2.0, 3, 4}


def test_make_labels_refuses_read_only_labels(ombrel):
    conn, _ = containers(ombrel, [[]])
    labels = np.zeros(1, np.int8)
    labels.flags.writeable = False
    with pytest.raises(ValueError):
        ombrel.make_labels(conn, 0, 1, set(), labels)


# ---- failures --------------------------------------------------------------------------

@pytest.fixture
def small(ombrel):
    conn, w = containers(ombrel, *edges_to_lists(3, [(0, 1), (1, 2)]))
    return conn, w, np.array([0, -1, 1], np.int8)


@pytest.mark.parametrize("call, name", [
    (lambda o, c, w, l: o.find_all_paths_with_labels(None, l, 0), "connections_sparse"),
    (lambda o, c, w, l: o.find_all_paths_with_labels(c, None, 0), "labels"),
    (lambda o, c, w, l: o.explore_graph_recursive(None, l, 0), "connections_sparse"),
    (lambda o, c, w, l: o.explore_graph_recursive(c, None, 0), "labels"),
    (lambda o, c, w, l: o.find_subgraph_with_labels(c, None, l), "weights_sparse"),
    (lambda o, c, w, l: o.find_subgraph_with_labels(c, w, None), "labels"),
    (lambda o, c, w, l: o.make_labels(c, 0, 1, None, l), "visited"),
    (lambda o, c, w, l: o.make_labels(None, 0, 1, set(), l), "connections_sparse"),
    (lambda o, c, w, l: o.clusterize(c, None, l), "weights_sparse"),
    (lambda o, c, w, l: o.clusterize(None, w, l), "connections_sparse"),
])
def test_none_is_refused_before_any_work(ombrel, small, call, name):
    conn, w, labels = small
    before = lists(conn), lists(w), labels.tolist()
    with pytest.raises(TypeError, match=f"'{name}'"):
        call(ombrel, conn, w, labels)
    assert (lists(conn), lists(w), labels.tolist()) == before


@pytest.mark.parametrize("call, error, message", [
    (lambda o, c, w, l: o.clusterize(c, w, l.astype(np.int32)), ValueError,
     "Buffer dtype mismatch, expected 'int8_t' but got 'int'"),
    (lambda o, c, w, l: o.find_all_paths_with_labels(c, l[None, :], 0), ValueError,
     r"Buffer has wrong number of dimensions \(expected 1, got 2\)"),
    (lambda o, c, w, l: o.find_subgraph_with_labels(c, [1], l), TypeError,
     r"Argument 'weights_sparse' has incorrect type \(expected .*ombrel.GraphWrapper, got list\)"),
    (lambda o, c, w, l: o.make_labels(c, 0, 0, frozenset(), l), TypeError,
     r"Argument 'visited' has incorrect type \(expected set, got frozenset\)"),
    (lambda o, c, w, l: o.find_all_paths_with_labels(c, l, 0, path=(1,)), TypeError, "can only concatenate"),
    (lambda o, c, w, l: o.find_all_paths_with_labels(c, l, 5), IndexError, "Out of bounds"),
    (lambda o, c, w, l: o.find_all_paths_with_labels(c, np.zeros(5, np.int8), 4), IndexError,
     "Invalid array index"),
    (lambda o, c, w, l: o.clusterize(c, w), TypeError, r"clusterize\(\) takes exactly 3 positional arguments"),
])
def test_failure_messages(ombrel, small, call, error, message):
    conn, w, labels = small
    with pytest.raises(error, match=message):
        call(ombrel, conn, w, labels)


def test_path_concatenation_must_give_a_list(ombrel, small):
    class Weird(list):
        def __add__(self, other):
            return tuple(other)

    conn, _, labels = small
    with pytest.raises(TypeError, match="Expected list, got tuple"):
        ombrel.find_all_paths_with_labels(conn, labels, 0, path=Weird())


@pytest.mark.parametrize("call", [
    lambda o, c, w, l: o.find_all_paths_with_labels(c, l, 0),
    lambda o, c, w, l: o.explore_graph_recursive(c, l, 0),
    lambda o, c, w, l: o.find_subgraph_with_labels(c, w, l),
    lambda o, c, w, l: o.clusterize(c, w, l),
])
def test_cycles_are_refused(ombrel, call):
    # 1 - 2 - 4 and 1 - 3 - 4: vertex 4 is reached along two different paths
    conn, w = containers(ombrel, *edges_to_lists(6, [(0, 1), (1, 2), (2, 4), (1, 3), (3, 4), (4, 5)]))
    labels = np.array([0, -1, -1, -1, -1, 1], np.int8)
    with pytest.raises(ValueError, match="not a forest"):
        call(ombrel, conn, w, labels)


def test_explore_on_a_cycle_ends(ombrel):
    # o(0) - u - e(1) - w - o: chaining without a cycle check would go round for ever
    conn, _ = containers(ombrel, *edges_to_lists(4, [(0, 1), (1, 2), (2, 3), (3, 0)]))
    with pytest.raises(ValueError, match="not a forest"):
        ombrel.explore_graph_recursive(conn, np.array([0, -1, 1, -1], np.int8), 0)


# ---- calls by module-level name and overridden methods ----------------------------------

def counting(monkeypatch, ombrel, name):
    original = getattr(ombrel, name)
    calls = []

    def wrapper(*args, **kwargs):
        calls.append((args, kwargs))
        return original(*args, **kwargs)

    monkeypatch.setattr(ombrel, name, wrapper)
    return calls


@pytest.mark.parametrize("seed", range(0, 80, 7))
def test_rebound_find_all_paths_sees_every_step(ombrel, monkeypatch, seed):
    adj, wts, labels = random_forest(seed)
    conn, w = containers(ombrel, adj, wts)
    expected_calls = [0]
    expected = ref_explore(adj, labels, 0, calls=expected_calls)
    calls = counting(monkeypatch, ombrel, "find_all_paths_with_labels")
    assert ombrel.explore_graph_recursive(conn, labels, 0) == expected
    assert len(calls) == expected_calls[0]
    if calls:
        assert set(calls[0][1]) <= {"bomb_node"}  # the chained call passes bomb_node by keyword
    sc, sw = ombrel.find_subgraph_with_labels(conn, w, labels)
    assert (lists(sc), lists(sw)) == ref_subgraph(adj, wts, labels)


@pytest.mark.parametrize("seed", range(1, 80, 9))
def test_rebound_explore_and_subgraph_are_called(ombrel, monkeypatch, seed):
    adj, wts, labels = random_forest(seed)
    starts = []
    ref_sub = ref_subgraph(adj, wts, labels, starts)
    ref = ref_clusterize(adj, wts, labels)
    explore_calls = counting(monkeypatch, ombrel, "explore_graph_recursive")
    subgraph_calls = counting(monkeypatch, ombrel, "find_subgraph_with_labels")
    make_calls = counting(monkeypatch, ombrel, "make_labels")
    conn, w = containers(ombrel, adj, wts)
    assert tuple(lists(x) for x in ombrel.find_subgraph_with_labels(conn, w, labels)) == ref_sub
    assert [c[0][2] for c in explore_calls] == starts
    del explore_calls[:], subgraph_calls[:]
    out = ombrel.clusterize(conn, w, labels)
    assert len(subgraph_calls) == len(ref[3]) + 1
    assert lists(conn) == ref[0] and lists(w) == ref[1] and out[2].tolist() == ref[2].tolist()
    flooded = sum(1 for i, v in enumerate(ref[2]) if v != -1)
    assert len(make_calls) == flooded
    assert all(type(c[1]["visited"]) is set for c in make_calls if "visited" in c[1])


def test_rebound_np_is_used_by_to_numpy(ombrel, monkeypatch):
    adj, wts, labels = random_forest(3, 30)
    ref = ref_clusterize(adj, wts, labels)
    calls = []

    class Numpy:
        def __getattr__(self, name):
            return getattr(np, name)

        def empty(self, *args, **kwargs):
            calls.append(args)
            return np.empty(*args, **kwargs)

    monkeypatch.setattr(ombrel, "np", Numpy())
    conn, w = containers(ombrel, adj, wts)
    out = ombrel.clusterize(conn, w, labels)
    assert calls
    assert lists(conn) == ref[0] and lists(w) == ref[1] and out[2].tolist() == ref[2].tolist()


def test_overridden_methods_are_followed(ombrel):
    seen = {"to_numpy": 0, "pop": 0, "append": 0}

    class Recording(ombrel.GraphWrapper):
        def to_numpy(self, index):
            seen["to_numpy"] += 1
            return super().to_numpy(index)

        def pop(self, list_index, element_index):
            seen["pop"] += 1
            return super().pop(list_index, element_index)

        def append(self, index, value):
            seen["append"] += 1
            return super().append(index, value)

    adj, wts, labels = random_forest(11, 30)
    ref = ref_clusterize(adj, wts, labels)
    conn, w = containers(ombrel, adj, wts, cls=Recording)
    seen.update(to_numpy=0, pop=0, append=0)
    out = ombrel.clusterize(conn, w, labels)
    assert lists(conn) == ref[0] and lists(w) == ref[1] and out[2].tolist() == ref[2].tolist()
    assert seen["pop"] == 4 * len(ref[3]) and seen["to_numpy"] > 0
    chain_edges = sum(max(0, list(labels).count(v) - 1) for v in set(labels.tolist()) - {-1})
    assert seen["append"] == 4 * chain_edges


def test_overridden_pop_max_of_a_rebound_subgraph(ombrel, monkeypatch):
    class Heaviest(ombrel.GraphWrapper):
        calls = 0

        def pop_max(self):
            Heaviest.calls += 1
            return super().pop_max()

    original = ombrel.find_subgraph_with_labels

    def subgraph(c, w, l):
        sc, sw = original(c, w, l)
        copy = Heaviest(len(lists(sw)), 1, len(lists(sw)))
        for v, ws in enumerate(lists(sw)):
            for x in ws:
                copy.append(v, x)
        return sc, copy

    monkeypatch.setattr(ombrel, "find_subgraph_with_labels", subgraph)
    adj, wts = edges_to_lists(4, [(0, 1), (1, 2), (2, 3)], [1, 5, 2])
    conn, w = containers(ombrel, adj, wts)
    out = ombrel.clusterize(conn, w, np.array([0, -1, -1, 1], np.int8))
    assert Heaviest.calls == 1 and lists(conn) == [[1], [0], [3], [2]] and out[2].tolist() == [0, 0, 1, 1]


def test_recursive_explore_function_object(ombrel, monkeypatch, small):
    conn, _, labels = small
    found = []
    original = ombrel.find_all_paths_with_labels

    def spy(*args, **kwargs):
        if not found:
            found.extend(o for o in gc.get_objects()
                         if getattr(o, "__qualname__", None) == "explore_graph_recursive.<locals>.recursive_explore")
        return original(*args, **kwargs)

    monkeypatch.setattr(ombrel, "find_all_paths_with_labels", spy)
    ombrel.explore_graph_recursive(conn, labels, 0)
    monkeypatch.undo()
    assert len(found) == 1
    recursive_explore = found[0]
    assert recursive_explore.__name__ == "recursive_explore" and recursive_explore.__doc__ is None
    visited = [["kept"]]
    assert recursive_explore(current_start=0, bomb_node=-1, visited_paths=visited, labels=labels) is None
    assert visited == [["kept"], [0, 1, 2]]
    with pytest.raises(TypeError, match="'visited_paths'"):
        recursive_explore(0, -1, None, labels)
    with pytest.raises(TypeError, match=r"recursive_explore\(\) takes exactly 4 positional arguments"):
        recursive_explore(0, -1, [])


def test_docstrings_and_names(ombrel):
    for name in ["find_all_paths_with_labels", "explore_graph_recursive", "find_subgraph_with_labels",
                 "make_labels", "clusterize"]:
        f = getattr(ombrel, name)
        assert f.__name__ == name and f.__qualname__ == name and f.__module__ == ombrel.__name__
        assert f.__doc__.startswith(name + "(")
    assert ombrel.find_all_paths_with_labels.__doc__.splitlines()[0] == (
        "find_all_paths_with_labels(GraphWrapper connections_sparse, ndarray labels, int start, "
        "int bomb_node=-1, path=None)")
    assert ombrel.clusterize.__doc__.endswith("where all nodes are assigned to a label.\n    ")
