import copy
import pickle

import numpy as np
import pytest

INT64, FLOAT32 = 0, 1


def weights_with_edges(ombrel, count, edges):
    """A symmetric weight container: each edge stored in both endpoint lists."""
    weights = ombrel.GraphWrapper(count, FLOAT32, count)
    for a, b, w in edges:
        weights.append(a, w)
        weights.append(b, w)
    return weights


def test_capacity_is_three_times_max_size(ombrel):
    graph = ombrel.GraphWrapper(3, INT64, 2)
    for vertex in range(3):
        for value in range(6):
            graph.append(vertex, value)
        with pytest.raises(OverflowError, match="^Array has reached its maximum size$"):
            graph.append(vertex, 99)
        assert graph.to_numpy(vertex).tolist() == list(range(6))


@pytest.mark.parametrize("method, args", [("append", (5,)), ("to_numpy", ()), ("contains", (5,))])
@pytest.mark.parametrize("index", [-1, 3, 2**62])
def test_vertex_index_checked(ombrel, method, args, index):
    graph = ombrel.GraphWrapper(3, INT64, 2, True)
    with pytest.raises(IndexError, match="^Invalid array index$"):
        getattr(graph, method)(index, *args)


def test_float_container_stores_single_precision(ombrel):
    graph = ombrel.GraphWrapper(2, FLOAT32, 1)
    graph.append(0, 0.1)
    graph.append(0, 7)
    array = graph.to_numpy(0)
    assert array.dtype == np.float32 and array.tolist() == [np.float32(0.1), 7.0]
    assert graph.pop(0, 0) == 0.10000000149011612
    with pytest.raises(TypeError):
        graph.append(1, "x")
    assert graph.to_numpy(1).size == 0


@pytest.mark.parametrize("dtype, numpy_dtype", [(INT64, np.int64), (FLOAT32, np.float32)])
def test_to_numpy_is_an_independent_copy(ombrel, dtype, numpy_dtype):
    graph = ombrel.GraphWrapper(2, dtype, 2)
    empty = graph.to_numpy(1)
    assert empty.dtype == numpy_dtype and empty.shape == (0,)
    graph.append(0, 1)
    graph.append(0, 2)
    array = graph.to_numpy(0)
    array[0] = 50
    graph.append(0, 3)
    assert graph.to_numpy(0).tolist() == [1, 2, 3]
    assert array.tolist() == [50, 2]
    assert [a.tolist() for a in graph.to_numpy_all()] == [[1, 2, 3], []]


def test_pop_moves_later_elements_forward(ombrel):
    graph = ombrel.GraphWrapper(2, INT64, 2)
    for value in (10, 20, 30, 40):
        graph.append(0, value)
    assert graph.pop(0, 1) == 20
    assert graph.to_numpy(0).tolist() == [10, 30, 40]
    assert graph.pop(0, 2) == 40 and graph.pop(0, 0) == 10
    assert graph.to_numpy(0).tolist() == [30]


@pytest.mark.parametrize(
    "list_index, element_index, message",
    [(-1, 0, "List index out of range"), (2, 0, "List index out of range"),
     (1, 0, "Cannot pop from an empty sublist"), (0, 1, "Element index out of range"),
     (0, -1, "Element index out of range")],
)
def test_pop_failures_leave_container_unchanged(ombrel, list_index, element_index, message):
    graph = ombrel.GraphWrapper(2, INT64, 1)
    graph.append(0, 5)
    with pytest.raises(IndexError) as error:
        graph.pop(list_index, element_index)
    assert str(error.value) == message
    assert graph.to_numpy(0).tolist() == [5]


def test_pop_max_removes_the_heaviest_edge(ombrel):
    weights = weights_with_edges(ombrel, 6, [(0, 1, 1.0), (2, 5, 9.0), (1, 2, 3.0), (3, 4, 2.0)])
    assert weights.pop_max() == (2, 5)
    assert weights.to_numpy(2).tolist() == [3.0]
    assert weights.to_numpy(5).tolist() == []
    assert weights.to_numpy(1).tolist() == [1.0, 3.0]


def test_pop_max_with_tied_maxima_removes_all_occurrences(ombrel):
    weights = weights_with_edges(ombrel, 5, [(3, 4, 4.0), (0, 2, 4.0), (1, 2, 1.0)])
    assert weights.pop_max() == (0, 2)
    assert [a.tolist() for a in weights.to_numpy_all()] == [[], [1.0], [1.0], [], []]


def test_pop_max_collects_minus_one_but_not_below(ombrel):
    weights = weights_with_edges(ombrel, 2, [(0, 1, -1.0)])
    assert weights.pop_max() == (0, 1)
    below = weights_with_edges(ombrel, 2, [(0, 1, -2.0), (0, 1, float("nan"))])
    with pytest.raises(ValueError, match="^All sub-arrays are empty, cannot pop max$"):
        below.pop_max()
    assert below.to_numpy(0).size == 2


def test_pop_max_failures(ombrel):
    ints = ombrel.GraphWrapper(2, INT64, 1)
    ints.append(0, 5)
    with pytest.raises(ValueError, match="^All sub-arrays are empty, cannot pop max$"):
        ints.pop_max()
    lonely = ombrel.GraphWrapper(2, FLOAT32, 1)
    lonely.append(1, 2.0)
    with pytest.raises(IndexError):
        lonely.pop_max()
    assert lonely.to_numpy(1).tolist() == [2.0]
    with pytest.raises(TypeError, match=r"pop_max\(\) takes exactly 0 positional arguments \(1 given\)"):
        lonely.pop_max(1)


@pytest.mark.parametrize("lookup_opt", [True, False])
def test_contains(ombrel, lookup_opt):
    graph = ombrel.GraphWrapper(2, INT64, 2, lookup_opt)
    graph.append(1, 7)
    assert graph.contains(1, 7) and not graph.contains(1, 8) and not graph.contains(0, 7)
    graph.pop(1, 0)
    # Membership sets only grow; without them the stored elements answer.
    assert graph.contains(1, 7) is lookup_opt


def test_contains_refused_on_weights(ombrel):
    with pytest.raises(TypeError, match="^Membership check only supported for int64 arrays$"):
        ombrel.GraphWrapper(1, FLOAT32, 1).contains(0, 1)


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((1,), TypeError, "__cinit__() takes at least 3 positional arguments (1 given)"),
        ((1, 0, 1, False, 5), TypeError, "__cinit__() takes at most 4 positional arguments (5 given)"),
        ((-1, 0, 1), OverflowError, "can't convert negative value to size_t"),
        ((1, 7, 1), ValueError, "Unsupported data type"),
        ((1, 2**40, 1), OverflowError, "value too large to convert to enum DataType"),
        ((1, 0, 2**40), OverflowError, "value too large to convert to int"),
        ((1, 0, -1), ValueError, None),
        ((1, 0, 2**30), ValueError, None),
        ((1, "0", 1), TypeError, "an integer is required"),
    ],
)
def test_construction_failures(ombrel, args, error, message):
    with pytest.raises(error) as raised:
        ombrel.GraphWrapper(*args)
    if message is not None:
        assert str(raised.value) == message


def test_construction_edge_cases(ombrel):
    assert ombrel.GraphWrapper(0, 7, 1).to_numpy_all() == []
    graph = ombrel.GraphWrapper(count=2, dtype=0, max_size=0, lookup_opt=None)
    with pytest.raises(OverflowError):
        graph.append(0, 1)
    # A large vertex count costs nothing until vertices are used.
    big = ombrel.GraphWrapper(10**8, INT64, 1)
    big.append(10**8 - 1, 3)
    assert big.to_numpy(10**8 - 1).tolist() == [3]


@pytest.mark.parametrize("action", [pickle.dumps, copy.copy, copy.deepcopy,
                                    lambda g: g.__reduce__(), lambda g: g.__setstate__({})])
def test_pickling_refused(ombrel, action):
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        action(ombrel.GraphWrapper(1, INT64, 1))


def test_type_surface(ombrel):
    cls = ombrel.GraphWrapper
    assert cls.__qualname__ == "GraphWrapper" and cls.__doc__ is None
    assert cls.__module__ == "halvorne_beta.algorithms.src.algorithm1.binaries.ombrel"
    graph = cls(1, INT64, 1)
    assert not hasattr(graph, "__dict__")
    with pytest.raises(AttributeError):
        graph.extra = 1
    assert cls.append.__doc__ == ("GraphWrapper.append(self, ITYPE_t index, value)\n\n"
                                  "        Append an element to the array.\n        ")
    assert cls.to_numpy_all.__doc__.startswith("GraphWrapper.to_numpy_all(self)\n\n")
    assert cls.pop.__doc__.endswith("Returns:\n            int: The removed element.\n        ")


def test_subclass_overrides_reach_to_numpy_all(ombrel):
    class Tagged(ombrel.GraphWrapper):
        def __init__(self, *args):
            self.calls = []

        def to_numpy(self, index):
            self.calls.append(index)
            return super().to_numpy(index) + 100

    graph = Tagged(2, INT64, 1)
    graph.append(1, 5)
    assert [a.tolist() for a in graph.to_numpy_all()] == [[], [105]]
    assert graph.calls == [0, 1]


def test_to_numpy_goes_through_rebound_np(ombrel, monkeypatch):
    requested = []

    class FakeNumpy:
        int64, float32 = np.int64, np.float32

        @staticmethod
        def empty(size, dtype):
            requested.append((size, dtype))
            return np.full(size, -1, dtype)

    monkeypatch.setattr(ombrel, "np", FakeNumpy)
    graph = ombrel.GraphWrapper(1, INT64, 2)
    graph.append(0, 4)
    assert graph.to_numpy(0).tolist() == [4]
    assert requested == [(1, np.int64)]
    FakeNumpy.empty = staticmethod(lambda size, dtype: [0] * size)
    with pytest.raises(TypeError, match=r"^Cannot convert list to numpy.ndarray$"):
        graph.to_numpy(0)


def test_types_of_two_modules_are_distinct(ombrel):
    from conftest import load
    kestrin = load("algorithm2", "kestrin")
    assert kestrin.GraphWrapper is not ombrel.GraphWrapper
    assert not hasattr(kestrin.GraphWrapper, "pop_max") and not hasattr(kestrin.GraphWrapper, "pop")
    assert kestrin.GraphWrapper.__module__ == "halvorne_beta.algorithms.src.algorithm2.binaries.kestrin"
