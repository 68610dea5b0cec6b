"""Behaviour every module shares: import, function objects, argument binding,
array checks and scalar conversions (exercised through ombrel)."""
import importlib
import sys
import traceback

import numpy as np
import pytest
import scipy.spatial.distance

QUALIFIED = "halvorne_beta.algorithms.src.algorithm1.binaries.ombrel"
POINTS = np.array([[0.0], [1.0], [3.0]])
GRAPHS = object()  # stands for a fresh GraphWrapper of the module under test


def test_repeated_import_returns_the_same_module(ombrel):
    function = ombrel.prim_mst
    del sys.modules[QUALIFIED]
    again = importlib.import_module(QUALIFIED)
    assert again is ombrel
    assert again.prim_mst is function
    assert sys.modules[QUALIFIED] is ombrel


def test_module_namespace(ombrel):
    assert ombrel.__name__ == QUALIFIED
    assert ombrel.__doc__ is None
    assert ombrel.__test__ == {}
    assert ombrel.np is np
    assert ombrel.distance is scipy.spatial.distance
    assert ombrel.pdist is scipy.spatial.distance.pdist
    assert ombrel.squareform is scipy.spatial.distance.squareform
    import heapq
    assert (ombrel.heappop, ombrel.heappush) == (heapq.heappop, heapq.heappush)
    assert ombrel.__builtins__ is __import__("builtins")
    assert ombrel.__file__.endswith(".so")


def test_function_identity(ombrel):
    f = ombrel.prim_mst
    assert (f.__name__, f.__qualname__, f.__module__) == ("prim_mst", "prim_mst", QUALIFIED)
    assert f.__doc__.startswith("prim_mst(ndarray X, str metric='euclidean')\n\n    Performs Prim's algorithm")
    assert f.__doc__.endswith("representing the edge weights of the MST.\n    ")
    m = ombrel.GraphWrapper.to_numpy
    assert (m.__name__, m.__qualname__, m.__module__) == ("to_numpy", "GraphWrapper.to_numpy", QUALIFIED)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "prim_mst() takes at least 1 positional argument (0 given)"),
        ((POINTS, "euclidean", 3), {}, "prim_mst() takes at most 2 positional arguments (3 given)"),
        ((), {"metric": "euclidean"}, "prim_mst() takes at least 1 positional argument (0 given)"),
        ((POINTS,), {"foo": 1}, "prim_mst() got an unexpected keyword argument 'foo'"),
        ((POINTS,), {"X": POINTS}, "prim_mst() got multiple values for keyword argument 'X'"),
        (([[0.0]],), {}, "Argument 'X' has incorrect type (expected numpy.ndarray, got list)"),
        ((POINTS, 3), {}, "Argument 'metric' has incorrect type (expected str, got int)"),
    ],
)
def test_binding_messages(ombrel, args, kwargs, message):
    with pytest.raises(TypeError) as error:
        ombrel.prim_mst(*args, **kwargs)
    assert str(error.value) == message


def test_keywords_bind_by_name(ombrel):
    by_name = ombrel.prim_mst(metric="cityblock", X=POINTS)[1].to_numpy_all()
    by_position = ombrel.prim_mst(POINTS, "cityblock")[1].to_numpy_all()
    assert all(np.array_equal(a, b) for a, b in zip(by_name, by_position))


def test_str_subclass_refused_and_ndarray_subclass_accepted(ombrel):
    class Name(str):
        pass

    with pytest.raises(TypeError, match=r"expected str, got Name\)"):
        ombrel.prim_mst(POINTS, Name("euclidean"))
    class Points(np.ndarray):
        pass

    connections, _ = ombrel.prim_mst(POINTS.view(Points))
    assert connections.to_numpy(1).tolist() == [0, 2]


@pytest.mark.parametrize(
    "array, message",
    [
        (np.zeros(3), "Buffer has wrong number of dimensions (expected 2, got 1)"),
        (np.zeros((2, 2, 2)), "Buffer has wrong number of dimensions (expected 2, got 3)"),
        (np.zeros((3, 2), np.float32), "Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
        (np.zeros((3, 2), np.int64), "Buffer dtype mismatch, expected 'float64_t' but got 'long'"),
        (np.zeros((3, 2), np.int32), "Buffer dtype mismatch, expected 'float64_t' but got 'int'"),
        (np.zeros((3, 2), np.bool_), "Buffer dtype mismatch, expected 'float64_t' but got 'bool'"),
        (np.zeros((3, 2), np.complex64), "Buffer dtype mismatch, expected 'float64_t' but got 'complex float'"),
        (np.zeros((3, 2), object), "Buffer dtype mismatch, expected 'float64_t' but got Python object"),
        (np.zeros((3, 2), ">f8"), "Big-endian buffer not supported on little-endian compiler"),
        (np.zeros((3, 2), [("a", "f8")]), "Buffer dtype mismatch, expected 'float64_t' but got a struct"),
    ],
)
def test_array_checks(ombrel, array, message):
    with pytest.raises(ValueError) as error:
        ombrel.prim_mst(array)
    assert str(error.value) == message


def test_read_only_and_strided_arrays_accepted(ombrel):
    wide = np.zeros((3, 4))
    wide[:, 2] = [0.0, 1.0, 3.0]
    strided = wide[:, 2:3]
    strided.flags.writeable = False
    assert ombrel.prim_mst(strided)[1].to_numpy(1).tolist() == [1.0, 2.0]


def test_traceback_names_the_function(ombrel):
    with pytest.raises(ValueError) as error:
        ombrel.prim_mst(np.zeros(3))
    names = [frame.name for frame in traceback.extract_tb(error.value.__traceback__)]
    assert names[-1] == QUALIFIED + ".prim_mst"


def test_method_traceback_and_descriptor_check(ombrel):
    graph = ombrel.GraphWrapper(1, 0, 1)
    with pytest.raises(IndexError) as error:
        graph.append(5, 1)
    names = [frame.name for frame in traceback.extract_tb(error.value.__traceback__)]
    assert names[-1] == QUALIFIED + ".GraphWrapper.append"
    with pytest.raises(TypeError):
        ombrel.GraphWrapper.append(object(), 0, 1)
    ombrel.GraphWrapper.append(graph, 0, 7)
    assert graph.to_numpy(0).tolist() == [7]


class IntReturnsStr:
    def __int__(self):
        return "3"


class IntSubclass(int):
    pass


class IntReturnsSubclass:
    def __int__(self):
        return IntSubclass(4)


@pytest.mark.parametrize(
    "value, stored",
    [(2.9, 2), (-2.9, -2), (np.int32(5), 5), (np.float64(6.5), 6), (True, 1), (2**62, 2**62)],
)
def test_integer_conversion(ombrel, value, stored):
    graph = ombrel.GraphWrapper(1, 0, 1)
    graph.append(0, value)
    assert graph.to_numpy(0).tolist() == [stored]


@pytest.mark.parametrize(
    "value, error, message",
    [
        ("3", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (IntReturnsStr(), TypeError, "__int__ returned non-int (type str)"),
        (2**63, OverflowError, None),
    ],
)
def test_integer_conversion_failures(ombrel, value, error, message):
    graph = ombrel.GraphWrapper(1, 0, 1)
    with pytest.raises(error) as raised:
        graph.append(0, value)
    if message is not None:
        assert str(raised.value) == message
    assert graph.to_numpy(0).size == 0


def test_int_subclass_from_dunder_int_warns(ombrel):
    graph = ombrel.GraphWrapper(1, 0, 1)
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type IntSubclass\)"):
        graph.append(0, IntReturnsSubclass())
    assert graph.to_numpy(0).tolist() == [4]


@pytest.mark.parametrize("bad", [2**31, -(2**31) - 1, 2**40])
def test_int_parameter_range(ombrel, bad):
    graph = ombrel.GraphWrapper(1, 0, 1)
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        graph.pop(bad, 0)



# Every argument is converted, in order, before any None is refused: a later
# argument of the wrong type is reported ahead of an earlier None.
@pytest.mark.parametrize(
    "module, function, args, error, message",
    [
        ("ombrel", "prim_mst", (None, 3), TypeError, "Argument 'metric' has incorrect type (expected str, got int)"),
        ("ombrel", "prim_mst", (None,), TypeError, "Argument 'X' must not be None"),
        ("kestrin", "informative_edges", (None, "3", None, None), TypeError, "an integer is required"),
        ("kestrin", "informative_edges", (None, 3, "graph", None), TypeError,
         "Argument 'connections' has incorrect type (expected {graph}, got str)"),
        ("kestrin", "informative_edges", (None, 3, "graph", "graph"), TypeError,
         "Argument 'connections' has incorrect type (expected {graph}, got str)"),
        ("kestrin", "informative_edges", (None, 3, GRAPHS, None), TypeError,
         "Argument 'weights' has incorrect type (expected {graph}, got NoneType)"),
        ("kestrin", "informative_edges", (None, 3, GRAPHS, GRAPHS), TypeError, "Argument 'X' must not be None"),
        ("kestrin", "_find_idx_set", (None, None, [1], None), TypeError,
         "Argument 'connections' has incorrect type (expected numpy.ndarray, got list)"),
        ("kestrin", "_find_idx_set", (None, None, None, np.zeros(2)), ValueError,
         "Buffer dtype mismatch, expected 'float32_t' but got 'double'"),
        ("kestrin", "_find_idx_set", (np.zeros((2, 2), np.float32), None, None, None), TypeError,
         "Argument 'labels' must not be None"),
        ("kestrin", "create_pairwise_distance_matrix", (object(), "f.dat", None), TypeError,
         "Argument 'chunk_size' must not be None"),
    ],
)
def test_conversions_precede_none_checks(module, function, args, error, message):
    from conftest import load

    loaded = load("algorithm1" if module == "ombrel" else "algorithm2", module)
    graph = f"{loaded.__name__}.GraphWrapper"
    args = tuple(loaded.GraphWrapper(1, 0, 1) if a is GRAPHS else a for a in args)
    with pytest.raises(error) as raised:
        getattr(loaded, function)(*args)
    assert str(raised.value) == message.format(graph=graph)
