import heapq
import tracemalloc

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp
from scipy.sparse.csgraph import minimum_spanning_tree
from scipy.spatial.distance import pdist, squareform


def reference_prim(X, metric="euclidean"):
    """The lazy-heap search written out in Python: lists of (neighbour, weight)."""
    matrix = squareform(pdist(X, metric=metric))
    n = len(X)
    visited = [False] * n
    lists = [[] for _ in range(n)]
    heap = [(0.0, 0, -1)]
    while heap:
        weight, u, parent = heapq.heappop(heap)
        if visited[u]:
            continue
        visited[u] = True
        if parent != -1:
            lists[u].append((parent, np.float32(weight)))
            lists[parent].append((u, np.float32(weight)))
        for v in range(n):
            if not visited[v]:
                heapq.heappush(heap, (float(matrix[u, v]), v, u))
    return lists


def as_lists(result):
    connections, weights = result
    return [list(zip(c.tolist(), w.tolist())) for c, w in zip(connections.to_numpy_all(), weights.to_numpy_all())]


def test_points_on_a_line(ombrel):
    connections, weights = ombrel.prim_mst(np.array([[0.0], [1.0], [3.0]]))
    assert [a.tolist() for a in connections.to_numpy_all()] == [[1], [0, 2], [1]]
    assert [a.tolist() for a in weights.to_numpy_all()] == [[1.0], [1.0, 2.0], [2.0]]
    assert connections.to_numpy(0).dtype == np.int64 and weights.to_numpy(0).dtype == np.float32


@pytest.mark.parametrize("rows", [0, 1])
def test_degenerate_sizes(ombrel, rows):
    connections, weights = ombrel.prim_mst(np.zeros((rows, 3)))
    assert [a.size for a in connections.to_numpy_all()] == [0] * rows
    assert [a.size for a in weights.to_numpy_all()] == [0] * rows


def test_equal_points_hang_from_vertex_zero(ombrel):
    connections, weights = ombrel.prim_mst(np.ones((6, 2)))
    assert connections.to_numpy(0).tolist() == [1, 2, 3, 4, 5]
    assert all(connections.to_numpy(v).tolist() == [0] for v in range(1, 6))
    assert weights.to_numpy(0).tolist() == [0.0] * 5


def test_weights_are_single_precision(ombrel):
    _, weights = ombrel.prim_mst(np.array([[0.0], [0.1]]))
    assert weights.pop(0, 0) == 0.10000000149011612


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("metric", ["euclidean", "cityblock", "cosine", "chebyshev"])
def test_total_weight_matches_scipy(ombrel, seed, metric):
    X = np.random.default_rng(seed).normal(size=(60, 4))
    _, weights = ombrel.prim_mst(X, metric)
    ours = sum(float(w.astype(np.float64).sum()) for w in weights.to_numpy_all()) / 2
    theirs = minimum_spanning_tree(squareform(pdist(X, metric))).sum()
    assert ours == pytest.approx(theirs, rel=1e-5)


@pytest.mark.parametrize("seed", range(6))
def test_tree_and_order_match_the_heap_search_with_ties(ombrel, seed):
    # Integer grid points give many equal distances, so tie-breaks decide the tree.
    X = np.random.default_rng(seed).integers(0, 4, size=(40, 2)).astype(np.float64)
    assert as_lists(ombrel.prim_mst(X, "cityblock")) == reference_prim(X, "cityblock")


def test_rebound_heap_functions_take_the_python_route(ombrel, monkeypatch):
    X = np.random.default_rng(7).integers(0, 3, size=(25, 3)).astype(np.float64)
    pushes = []

    def counting_push(heap, item):
        pushes.append(item)
        heapq.heappush(heap, item)

    monkeypatch.setattr(ombrel, "heappush", counting_push)
    assert as_lists(ombrel.prim_mst(X)) == reference_prim(X)
    assert len(pushes) == 25 * 24 // 2


def test_nan_distances_still_span_all_points(ombrel):
    # Constant rows have no correlation distance: pdist gives NaN for them.
    X = np.vstack([np.ones((3, 4)), np.random.default_rng(1).normal(size=(5, 4))])
    with np.errstate(all="ignore"):
        connections, _ = ombrel.prim_mst(X, "correlation")
    degrees = [a.size for a in connections.to_numpy_all()]
    assert sum(degrees) == 2 * (len(X) - 1) and min(degrees) >= 1


def test_scipy_errors_propagate(ombrel):
    with pytest.raises(ValueError, match="Unknown Distance Metric"):
        ombrel.prim_mst(np.zeros((3, 2)), "no-such-metric")


def test_none_is_refused_before_any_work(ombrel, monkeypatch):
    monkeypatch.setattr(ombrel, "pdist", lambda *a, **k: pytest.fail("pdist called"))
    with pytest.raises(TypeError, match="'X'"):
        ombrel.prim_mst(None)


@pytest.mark.parametrize(
    "fake, error, message",
    [
        (lambda X, metric: [1.0, 2.0, 3.0], TypeError, "Cannot convert list to numpy.ndarray"),
        (lambda X, metric: np.zeros(3, np.float32), ValueError,
         "Buffer dtype mismatch, expected 'DTYPE_t' but got 'float'"),
        (lambda X, metric: np.zeros((3, 1)), ValueError,
         "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ],
)
def test_bad_pdist_results(ombrel, monkeypatch, fake, error, message):
    monkeypatch.setattr(ombrel, "pdist", fake)
    with pytest.raises(error) as raised:
        ombrel.prim_mst(np.zeros((3, 2)))
    assert str(raised.value) == message


def test_small_squareform_result_is_caught(ombrel, monkeypatch):
    monkeypatch.setattr(ombrel, "squareform", lambda d: np.zeros((2, 2)))
    with pytest.raises(IndexError, match="Out of bounds"):
        ombrel.prim_mst(np.zeros((3, 2)))


arrays = hnp.arrays(
    dtype=st.sampled_from([np.float64, np.float32, np.int64, np.int8, np.bool_, np.complex128, object]),
    shape=hnp.array_shapes(min_dims=0, max_dims=3, max_side=4),
)


@settings(max_examples=150, deadline=None)
@given(X=st.one_of(arrays, st.none(), st.integers(), st.text(), st.lists(st.floats())),
       metric=st.one_of(st.none(), st.sampled_from(["euclidean", "cosine", "bogus"]), st.integers()))
def test_random_input_raises_cleanly_or_gives_a_tree(ombrel, X, metric):
    try:
        with np.errstate(all="ignore"):
            connections, weights = ombrel.prim_mst(X, metric)
    except (TypeError, ValueError):
        return
    n = X.shape[0]
    assert sum(a.size for a in connections.to_numpy_all()) == 2 * max(n - 1, 0)


# ---- distances computed as vertices join ----------------------------------------------
#
# While pdist is the module's own, prim_mst computes the distances itself for
# these metric names; rebinding pdist to a wrapper of the real one forces the
# route through pdist's condensed vector, which must give the same tree with
# the same float32 weights, bit for bit (a NaN weight may carry either sign:
# SciPy's own build decides that).
NATIVE_METRICS = ["euclidean", "sqeuclidean", "cityblock", "chebyshev", "minkowski", "cosine", "Euclid", "cos"]


def bitwise_lists(result):
    connections, weights = result
    canonical = [np.where(np.isnan(w), np.float32(np.nan), w).view(np.uint32) for w in weights.to_numpy_all()]
    return [list(zip(c.tolist(), w.tolist())) for c, w in zip(connections.to_numpy_all(), canonical)]


def through_pdist(ombrel, monkeypatch, X, metric, **rebind):
    with monkeypatch.context() as patch:
        patch.setattr(ombrel, "pdist", lambda X, metric: pdist(X, metric=metric))
        for name, value in rebind.items():
            patch.setattr(ombrel, name, value)
        return ombrel.prim_mst(X, metric)


def unaligned(X):
    raw = np.zeros(X.nbytes + 1, np.uint8)
    view = np.frombuffer(raw.data, np.float64, X.size, offset=1).reshape(X.shape)
    view[...] = X
    return view


def rounding_data(kind, rng):
    """Points on which rounding, ties and special values decide the tree."""
    if kind == "grid":  # many equal distances: the tie-breaks choose
        return rng.integers(-2, 3, size=(70, 3)).astype(np.float64)
    if kind == "duplicates":
        base = rng.integers(0, 3, size=(12, 2)).astype(np.float64)
        return base[rng.integers(0, 12, size=60)]
    if kind == "magnitudes":  # squares overflow and underflow; sums depend on their order
        X = rng.normal(size=(60, 7)) * 10.0 ** rng.choice([-160, -150, -20, 0, 20, 150, 154], size=(60, 7))
        X[rng.random(X.shape) < 0.1] = -0.0
        return X
    if kind == "specials":
        X = rng.integers(-3, 4, size=(60, 5)).astype(np.float64)
        for value in (np.nan, np.inf, -np.inf, -0.0, 5e-324):
            X[rng.random(X.shape) < 0.04] = value
        return X
    if kind == "one column":
        return rng.integers(0, 9, size=(80, 1)) * 0.1
    if kind == "wide":  # long sums: a blocked or reordered summation would show
        return rng.normal(size=(40, 300)) * np.exp(rng.normal(size=(40, 300)) * 8)
    if kind == "strided":
        return (rng.integers(-4, 5, size=(120, 10)) * 0.3)[::-2, ::3]
    if kind == "read-only, unaligned":
        X = rng.normal(size=(50, 6)).round(1)
        view = unaligned(X)
        view.flags.writeable = False
        return view
    raise AssertionError(kind)


KINDS = ["grid", "duplicates", "magnitudes", "specials", "one column", "wide", "strided", "read-only, unaligned"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("metric", NATIVE_METRICS)
def test_native_distances_give_the_tree_of_pdist_bit_for_bit(ombrel, monkeypatch, metric, kind):
    rng = np.random.default_rng([KINDS.index(kind), NATIVE_METRICS.index(metric)])
    X = rounding_data(kind, rng)
    with np.errstate(all="ignore"):
        native = bitwise_lists(ombrel.prim_mst(X, metric))
        assert native == bitwise_lists(through_pdist(ombrel, monkeypatch, X, metric))
        if kind in ("grid", "duplicates", "one column", "strided"):  # finite: the heap order is total
            assert native == bitwise_lists(through_pdist(ombrel, monkeypatch, X, metric, heappush=heapq.heappush))


@pytest.mark.parametrize("metric", NATIVE_METRICS)
def test_native_metrics_never_build_the_condensed_vector(ombrel, metric):
    # pdist's result is traced by tracemalloc; the native route allocates
    # nothing traced beyond the containers' Python objects.
    X = np.random.default_rng(3).random((1500, 4))
    condensed = 1500 * 1499 // 2 * 8
    ombrel.prim_mst(X[:5], metric)  # the one-time comparison with pdist is not measured
    tracemalloc.start()
    try:
        ombrel.prim_mst(X, metric)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < condensed / 20, f"{metric} went through pdist: SciPy no longer computes it as the kernels do"


def test_a_metric_pdist_computes_otherwise_is_left_to_pdist(ombrel, monkeypatch):
    # A SciPy whose sqeuclidean rounds differently from the kernels: the name
    # (spelled as no other test spells it) is served by pdist from then on.
    import dataclasses

    from scipy.spatial import distance

    real = distance._METRIC_ALIAS["sqeuclid"]

    def nudged(X, out=None, **kwargs):
        return real.pdist_func(X, out=out, **kwargs) * (1 + 2.0**-20)

    spelling = "sQeUcLiD"
    X = np.random.default_rng(5).random((300, 3))
    native = bitwise_lists(ombrel.prim_mst(X, "sqeuclidean"))
    with monkeypatch.context() as patch:
        patch.setitem(distance._METRIC_ALIAS, "sqeuclid", dataclasses.replace(real, pdist_func=nudged))
        got = bitwise_lists(ombrel.prim_mst(X, spelling))
        assert got == bitwise_lists(through_pdist(ombrel, monkeypatch, X, spelling))
        assert got != native
    tracemalloc.start()
    try:
        ombrel.prim_mst(X, spelling)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak >= 300 * 299 // 2 * 8  # still through pdist's condensed vector
