"""find_connected_components of kestrin_bfs."""
import sys
import types
from collections import deque

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from scipy.sparse import coo_matrix
from scipy.sparse.csgraph import connected_components

from halvorne_beta.algorithms.input import _AlgorithmInput
from halvorne_beta.algorithms.src.algorithm2.binaries import kestrin, kestrin_bfs

find = kestrin_bfs.find_connected_components


class Lists:
    """A plain object with to_numpy over Python lists; records the calls."""

    def __init__(self, lists, dtype=np.int64):
        self.lists, self.dtype, self.calls = lists, dtype, []

    def to_numpy(self, v):
        self.calls.append(v)
        return np.array(self.lists[v], dtype=self.dtype)


def labelled(n, indices, count=None):
    indices = np.asarray(indices, dtype=np.int64)
    return types.SimpleNamespace(n=n, labeled_indices=indices, labeled_count=len(indices) if count is None else count)


def symmetric(n, edges):
    lists = [[] for _ in range(n)]
    for a, b in edges:
        lists[a].append(b)
        lists[b].append(a)
    return lists


def reference(n, lists, labelled_points):
    seen, components = [False] * n, []
    for s in range(n):
        if seen[s]:
            continue
        seen[s], queue, nodes = True, deque([s]), []
        while queue:
            v = queue.popleft()
            nodes.append(v)
            for w in lists[v]:
                if not seen[w]:
                    seen[w] = True
                    queue.append(w)
        components.append((nodes, int(any(v in labelled_points for v in nodes))))
    return components


def test_worked_example():
    graph = kestrin.GraphWrapper(5, 0, 2)
    for a, b in [(0, 1), (3, 4)]:
        graph.append(a, b)
        graph.append(b, a)
    components, flags = find(labelled(5, [4]), graph)
    assert components == [([0, 1], 0), ([2], 0), ([3, 4], 1)]
    assert flags.tolist() == [0, 0, 0, 1, 1] and flags.dtype == np.uint8
    assert all(type(flag) is int for _, flag in components)


def test_no_vertex():
    graph = Lists([])
    components, flags = find(labelled(0, []), graph)
    assert components == [] and flags.dtype == np.uint8 and flags.size == 0 and graph.calls == []


def test_labelled_start_vertex_alone_is_flagged():
    components, flags = find(labelled(3, [2]), Lists([[1], [0], []]))
    assert components == [([0, 1], 0), ([2], 1)] and flags.tolist() == [0, 0, 1]


def test_only_the_first_labeled_count_entries_are_used_and_duplicates_are_harmless():
    lists = symmetric(6, [(0, 1), (1, 1), (2, 3), (2, 3), (4, 5)])
    components, flags = find(labelled(6, [3, 3, 0, 99], count=3), Lists(lists))
    assert components == [([0, 1], 1), ([2, 3], 1), ([4, 5], 0)]
    assert flags.tolist() == [1, 1, 1, 1, 0, 0]


def test_to_numpy_once_per_vertex_in_dequeue_order():
    lists = symmetric(7, [(0, 3), (0, 2), (3, 5), (1, 6)])
    graph = Lists(lists)
    components, _ = find(labelled(7, []), graph)
    assert graph.calls == [v for nodes, _ in components for v in nodes]
    assert components == [([0, 3, 2, 5], 0), ([1, 6], 0), ([4], 0)]


def test_directed_lists_are_followed_as_stored():
    components, _ = find(labelled(3, []), Lists([[], [0], [1]]))
    assert components == [([0], 0), ([1], 0), ([2], 0)]


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), n=st.integers(1, 60), density=st.floats(0.0, 0.1),
       n_labelled=st.integers(0, 5))
def test_matches_scipy_on_random_graphs(seed, n, density, n_labelled):
    rng = np.random.default_rng(seed)
    m = int(density * n * n)
    edges = list(zip(rng.integers(0, n, m).tolist(), rng.integers(0, n, m).tolist()))
    lists = symmetric(n, edges)
    marked = rng.integers(0, n, n_labelled).tolist()
    components, flags = find(labelled(n, marked), Lists(lists))
    assert components == reference(n, lists, set(marked))
    rows = [a for a, _ in edges]
    cols = [b for _, b in edges]
    count, labels = connected_components(coo_matrix((np.ones(m), (rows, cols)), shape=(n, n)), directed=False)
    assert len(components) == count
    for nodes, flag in components:
        assert len(set(labels[nodes])) == 1 and (labels == labels[nodes[0]]).sum() == len(nodes)
        assert flags[nodes].tolist() == [flag] * len(nodes)
    assert [nodes[0] for nodes, _ in components] == sorted(nodes[0] for nodes, _ in components)


def test_pipeline_with_the_input_object():
    rng = np.random.default_rng(2)
    points = np.concatenate([rng.normal(0, 0.1, (50, 2)), rng.normal(5, 0.1, (50, 2))])
    labels = np.full(100, -1)
    labels[3] = 0
    X = _AlgorithmInput(points, labels)
    connections, weights, _, _ = kestrin.mutual_knn(points, 5)
    connections, _ = kestrin.informative_edges(X, 5, connections, weights)
    components, flags = find(X, connections)
    assert sorted(v for nodes, _ in components for v in nodes) == list(range(100))
    assert flags[3] == 1 and all(flags[nodes].max() == flag for nodes, flag in components)


def test_rebound_np_builds_the_arrays(monkeypatch):
    made = []
    fake = types.SimpleNamespace(uint8=np.uint8, int64=np.int64,
                                 zeros=lambda *a, **kw: made.append("zeros") or np.zeros(*a, **kw),
                                 empty=lambda *a, **kw: made.append("empty") or np.empty(*a, **kw))
    monkeypatch.setattr(kestrin_bfs, "np", fake)
    lists = symmetric(5, [(0, 1), (3, 4)])
    components, flags = find(labelled(5, [4]), Lists(lists))
    assert components == [([0, 1], 0), ([2], 0), ([3, 4], 1)] and flags.tolist() == [0, 0, 0, 1, 1]
    assert made == ["zeros", "zeros", "zeros", "empty", "empty", "empty"]


def test_rebound_np_with_short_arrays_is_caught(monkeypatch):
    fake = types.SimpleNamespace(uint8=np.uint8, int64=np.int64, zeros=lambda n, dtype: np.zeros(1, dtype),
                                 empty=np.empty)
    monkeypatch.setattr(kestrin_bfs, "np", fake)
    with pytest.raises(ValueError, match="np.zeros returned 1 elements where 5 were requested"):
        find(labelled(5, []), Lists(symmetric(5, [])))


@pytest.mark.parametrize("result, error, message", [
    ([1], TypeError, "Cannot convert list to numpy.ndarray"),
    (np.array([1], dtype=np.int32), ValueError, "Buffer dtype mismatch, expected 'ITYPE_t' but got 'int'"),
    (np.array([[1]]), ValueError, r"Buffer has wrong number of dimensions \(expected 1, got 2\)"),
    (None, TypeError, "to_numpy returned None"),
    (np.array([3]), IndexError, "neighbour 3 of vertex 0 lies outside 0 .. 1"),
    (np.array([-1]), IndexError, "neighbour -1 of vertex 0"),
])
def test_bad_to_numpy_results(result, error, message):
    graph = types.SimpleNamespace(to_numpy=lambda v: result)
    with pytest.raises(error, match=message):
        find(labelled(2, []), graph)


def test_read_only_and_strided_neighbour_arrays_are_accepted():
    base = np.array([1, 9, 0, 9], dtype=np.int64)
    read_only = base[::2]
    read_only.flags.writeable = False

    class Graph:
        def to_numpy(self, v):
            return read_only if v == 0 else np.array([0], dtype=np.int64)

    assert find(labelled(2, [1]), Graph())[0] == [([0, 1], 1)]


def test_errors_of_to_numpy_propagate():
    graph = kestrin.GraphWrapper(2, 0, 1)
    with pytest.raises(IndexError, match="Invalid array index"):
        find(labelled(3, []), graph)


@pytest.mark.parametrize("X, error, message", [
    (None, TypeError, "'X'"),
    (types.SimpleNamespace(n=2, labeled_count=0), AttributeError, "labeled_indices"),
    (labelled(2, [0], count=2), IndexError, r"X.labeled_count \(2\) exceeds the 1 entries"),
    (labelled(2, [2]), IndexError, "labelled index 2 lies outside 0 .. 1"),
    (labelled(2, [-1]), IndexError, "labelled index -1"),
    (types.SimpleNamespace(n=2, labeled_indices=None, labeled_count=1), TypeError, "labeled_indices is None"),
    (types.SimpleNamespace(n=2, labeled_indices=np.array([0], dtype=np.int32), labeled_count=1), ValueError,
     "Buffer dtype mismatch, expected 'int64_t' but got 'int'"),
    (types.SimpleNamespace(n=2, labeled_indices=np.zeros((1, 1), dtype=np.int64), labeled_count=1), ValueError,
     r"Buffer has wrong number of dimensions \(expected 1, got 2\)"),
    (types.SimpleNamespace(n="2", labeled_indices=np.zeros(1, dtype=np.int64), labeled_count=1), TypeError,
     "an integer is required"),
    (types.SimpleNamespace(n=2**31, labeled_indices=np.zeros(1, dtype=np.int64), labeled_count=1), OverflowError,
     "value too large to convert to int"),
    (types.SimpleNamespace(n=-1, labeled_indices=np.zeros(1, dtype=np.int64), labeled_count=0), ValueError,
     "negative dimensions are not allowed"),
])
def test_bad_input_objects(X, error, message):
    with pytest.raises(error, match=message):
        find(X, Lists([[1], [0]]))


def test_none_labeled_indices_without_labels_is_fine():
    X = types.SimpleNamespace(n=2, labeled_indices=None, labeled_count=0)
    assert find(X, Lists([[1], [0]]))[0] == [([0, 1], 0)]


def test_read_only_labeled_indices_are_refused():
    indices = np.array([0], dtype=np.int64)
    indices.flags.writeable = False
    with pytest.raises(ValueError):
        find(types.SimpleNamespace(n=2, labeled_indices=indices, labeled_count=1), Lists([[1], [0]]))


@pytest.mark.parametrize("call, message", [
    (lambda: find(X=1), r"find_connected_components\(\) takes exactly 2 positional arguments \(1 given\)"),
    (lambda: find(), r"takes exactly 2 positional arguments \(0 given\)"),
    (lambda: find(1, 2, X=3), "got multiple values for keyword argument 'X'"),
    (lambda: find(1, 2, foo=1), "got an unexpected keyword argument 'foo'"),
    (lambda: find(None, Lists([])), "'X'"),
    (lambda: find(labelled(1, []), None), "'connections'"),
])
def test_binding(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_module_surface():
    assert kestrin_bfs.find_connected_components.__module__ == kestrin_bfs.__name__
    assert kestrin_bfs.__doc__ is None and kestrin_bfs.__test__ == {} and kestrin_bfs.np is np
    assert find.__doc__.startswith("find_connected_components(X, connections) -> tuple\n\n    Finds the connected")


# ---- kestrin's own containers are read in place: the same result as through to_numpy ----

class Overridden(kestrin.GraphWrapper):
    def to_numpy(self, index):
        return super().to_numpy(index)


def graph_of(lists, graph_type=kestrin.GraphWrapper):
    graph = graph_type(len(lists), 0, max(1, max(map(len, lists), default=1)))
    for v, row in enumerate(lists):
        for w in row:
            graph.append(v, w)
    return graph


def counting_np(made):
    def record(name):
        return lambda *a, **kw: made.append(name) or getattr(np, name)(*a, **kw)
    return types.SimpleNamespace(uint8=np.uint8, int64=np.int64, float32=np.float32,
                                 zeros=record("zeros"), empty=record("empty"))


@settings(max_examples=30, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), n=st.integers(1, 80), density=st.floats(0.0, 0.08),
       n_labelled=st.integers(0, 4), directed=st.booleans())
def test_stored_lists_match_the_to_numpy_path(seed, n, density, n_labelled, directed):
    rng = np.random.default_rng(seed)
    m = int(density * n * n) + n // 4
    edges = list(zip(rng.integers(0, n, m).tolist(), rng.integers(0, n, m).tolist()))  # loops, duplicates
    lists = [[] for _ in range(n)]
    for a, b in edges:
        lists[a].append(b)
    if not directed:
        lists = symmetric(n, edges)
    X = labelled(n, rng.integers(0, n, n_labelled).tolist())
    expected = reference(n, lists, set(X.labeled_indices.tolist()))
    flags = [0] * n
    for nodes, flag in expected:
        for v in nodes:
            flags[v] = flag
    variants = [graph_of(lists), graph_of(lists, Overridden), Lists(lists)]
    for graph in variants:
        components, vertex_flags = find(X, graph)
        assert components == expected and vertex_flags.tolist() == flags and vertex_flags.dtype == np.uint8
    with pytest.MonkeyPatch.context() as patch:  # the module's np rebound: its arrays, the lists still in place
        made = []
        patch.setattr(kestrin_bfs, "np", counting_np(made))
        components, vertex_flags = find(X, variants[0])
        assert components == expected and vertex_flags.tolist() == flags
        assert made.count("empty") == len(expected)
    with pytest.MonkeyPatch.context() as patch:  # kestrin's np rebound: to_numpy runs Python, so it is called
        made = []
        patch.setattr(kestrin, "np", counting_np(made))
        assert find(X, variants[0])[0] == expected and made.count("empty") == n


def test_container_of_a_dropped_kestrin_module_is_still_read(monkeypatch):
    lists = symmetric(5, [(0, 1), (3, 4)])
    graph = graph_of(lists)
    monkeypatch.delitem(sys.modules, kestrin.__name__)
    assert find(labelled(5, [4]), graph)[0] == [([0, 1], 0), ([2], 0), ([3, 4], 1)]


# ---- callbacks that tamper with the working arrays -----------------------------------------------

def test_visited_reset_by_a_callback_cannot_overfill_the_queue(monkeypatch):
    made = []
    fake = types.SimpleNamespace(uint8=np.uint8, int64=np.int64,
                                 zeros=lambda *a, **kw: made.append(np.zeros(*a, **kw)) or made[-1],
                                 empty=np.empty)
    monkeypatch.setattr(kestrin_bfs, "np", fake)

    class Forgetful(Lists):
        def to_numpy(self, v):
            made[0][:] = 0  # visited
            return super().to_numpy(v)

    with pytest.raises(RuntimeError, match="the search queue is full"):
        find(labelled(2, []), Forgetful([[1], [0]]))


@pytest.mark.parametrize("garbage", [-1, 3, 10**12])
def test_queue_entries_written_by_a_callback_are_checked(monkeypatch, garbage):
    queues = []
    fake = types.SimpleNamespace(uint8=np.uint8, int64=np.int64, zeros=np.zeros,
                                 empty=lambda *a, **kw: queues.append(np.empty(*a, **kw)) or queues[-1])
    monkeypatch.setattr(kestrin_bfs, "np", fake)

    class Scribbler(Lists):
        def to_numpy(self, v):
            queues[-1][:] = garbage
            return super().to_numpy(v)

    with pytest.raises(IndexError, match=f"queued vertex {garbage} lies outside 0 .. 2"):
        find(labelled(3, []), Scribbler([[1, 2], [0], [0]]))
