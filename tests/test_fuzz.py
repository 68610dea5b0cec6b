"""Every public function and method, fed random arguments, either raises a
Python exception or returns; a call refused while binding its arguments
leaves every array it was given untouched."""
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from conftest import load

MODULES = [
    ("algorithm1", "ombrel"),
    ("algorithm2", "kestrin"),
    ("algorithm2", "kestrin_bfs"),
    ("algorithm3", "tavrisk"),
    ("algorithm3", "postprocess"),
]

BINDING_MESSAGES = re.compile(
    r"takes (exactly|at least|at most) \d+ positional|got an unexpected keyword|"
    r"got multiple values for keyword|has incorrect type \(expected|keywords must be strings"
)


def parameter_names(function):
    """Parameter names from the signature line that starts every docstring."""
    inside = function.__doc__.split("\n", 1)[0].split("(", 1)[1].rsplit(")", 1)[0]
    inside = re.sub(r"\[[^\]]*\]", "", inside)  # element-type brackets hold commas
    names = []
    for part in filter(None, (p.strip() for p in inside.split(","))):
        name = part.split("=")[0].split(":")[0].split()[-1]
        if name != "self":
            names.append(name)
    return names


def public_callables(module):
    found = []
    for name, value in sorted(vars(module).items()):
        if type(value).__name__ == "native_function":
            found.append((name, value, None))
    graph_type = getattr(module, "GraphWrapper", None)
    if graph_type is not None:
        for name, value in sorted(vars(graph_type).items()):
            if type(value).__name__ == "native_function":
                found.append((f"GraphWrapper.{name}", value, graph_type))
    return found


class Weird:
    """Attributes and conversions that fail or mislead."""

    n = 3
    labeled_count = 2
    labeled_indices = np.array([0, 5], dtype=np.int64)
    data = np.zeros((3, 2), dtype=np.float32)

    def get_labeled(self):
        return np.zeros((2, 2), dtype=np.float32)

    def to_numpy(self, index):
        return np.array([index + 1, -7], dtype=np.int64)

    def __int__(self):
        raise RuntimeError("no int")

    def __float__(self):
        return float("nan")


class SubArray(np.ndarray):
    pass


class Name(str):
    pass


class Count(int):
    pass


dtypes = st.sampled_from(["f8", "f4", "i8", "i4", "i1", "u1", "?", "c16", "O", ">f8", ">i4"])


@st.composite
def arrays(draw):
    array = draw(hnp.arrays(dtype=dtypes, shape=hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=5),
                            elements=None, fill=None))
    layout = draw(st.sampled_from(["c", "transposed", "strided", "read-only", "subclass"]))
    if layout == "transposed":
        array = array.T
    elif layout == "strided" and array.ndim:
        array = array[::2]
    elif layout == "read-only":
        array.flags.writeable = False
    elif layout == "subclass":
        array = array.view(SubArray)
    return array


def graph_instances():
    values = []
    for algorithm, name in MODULES[:2]:
        try:
            module = load(algorithm, name)
        except BaseException:
            continue

        class Overriding(module.GraphWrapper):
            def to_numpy(self, index):
                return super().to_numpy(index)[::-1]

        connections = Overriding(4, 0, 2, True)
        weights = module.GraphWrapper(4, 1, 2)
        for a, b, w in [(0, 1, 1.5), (1, 2, 0.5)]:
            for graph, x, y in [(connections, a, b), (connections, b, a)]:
                graph.append(x, y)
            weights.append(a, w)
            weights.append(b, w)
        values += [connections, weights]
    return values


scalars = st.one_of(
    st.none(), st.booleans(), st.integers(-5, 40),
    st.sampled_from([2**31, -(2**31) - 1, 2**63, -(2**63) - 1, 2**64]),
    st.floats(allow_nan=True, allow_infinity=True), st.text(max_size=5),
)
anything = st.one_of(
    scalars, arrays(), st.lists(st.integers(-3, 10), max_size=5), st.sets(st.integers(0, 5), max_size=3),
    st.builds(Weird), st.sampled_from(graph_instances() or [None]), st.just(object()),
    st.builds(Name, st.sampled_from(["euclidean", "minkowski", "x"])), st.builds(Count, st.integers(-2, 6)),
)


def contents(value):
    if isinstance(value, np.ndarray):
        return value.copy()
    native = next(c for c in type(value).__mro__ if c.__name__ == "GraphWrapper")  # past any override
    return [a.tolist() for a in native.to_numpy_all(value)]


def snapshot(values):
    keep = [v for v in values if (isinstance(v, np.ndarray) and v.dtype != object) or hasattr(v, "to_numpy_all")]
    return [(v, contents(v)) for v in keep]


def same(before, after):
    if isinstance(before, np.ndarray):
        return np.array_equal(before, after, equal_nan=True) and before.dtype == after.dtype
    return before == after


def unchanged(saved):
    return all(same(copy, contents(v)) for v, copy in saved)


def callables_of(algorithm, name):
    module = load(algorithm, name)
    return [pytest.param(module, entry, id=f"{name}.{entry[0]}") for entry in public_callables(module)]


def all_callables():
    params = []
    for algorithm, name in MODULES:
        try:
            params += callables_of(algorithm, name)
        except BaseException:  # a module not built yet: its cases appear once it is
            continue
    return params


@pytest.mark.parametrize("module, entry", all_callables())
def test_random_arguments_never_crash(module, entry, tmp_path, monkeypatch):
    name, function, owner = entry
    names = parameter_names(function)
    monkeypatch.chdir(tmp_path)  # functions that write files write them here

    @settings(suppress_health_check=list(HealthCheck))
    @given(data=st.data())
    def check(data):
        count = data.draw(st.integers(0, len(names) + 1))
        args = [data.draw(anything) for _ in range(count)]
        kwargs = {}
        if names and data.draw(st.booleans()):
            key = data.draw(st.sampled_from(names + ["bogus"]))
            kwargs[key] = data.draw(anything)
        if owner is not None:
            receivers = [g for g in graph_instances() if isinstance(g, owner)]
            args.insert(0, data.draw(st.sampled_from(receivers + [object()])))
        saved = snapshot(args + list(kwargs.values()))
        try:
            with np.errstate(all="ignore"):
                function(*args, **kwargs)
        except Exception as error:  # any Python exception is an acceptable answer
            if BINDING_MESSAGES.search(str(error)):
                assert unchanged(saved), f"{name} changed an argument although binding refused the call"

    check()
