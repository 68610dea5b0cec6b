"""Callers that fight back: rebound module names and GraphWrapper overrides
that mutate, resize or keep what they are given, return distorted results
(negative, huge or misshapen), and drop the modules from sys.modules. Every
public function must raise a Python exception or return; under the sanitizer
build (`make check-sanitize`) AddressSanitizer judges every memory access."""
import os
import random
import subprocess
import sys
import types

import numpy as np
import pytest

from conftest import PACKAGE, load
from halvorne_beta.algorithms.input import _AlgorithmInput

MODULES = {
    "ombrel": "algorithm1", "kestrin": "algorithm2", "kestrin_bfs": "algorithm2",
    "tavrisk": "algorithm3", "postprocess": "algorithm3",
}
# Names the functions look up at call time, including the modules' own functions.
REBINDABLE = ["np", "pdist", "squareform", "heappop", "heappush", "distance", "KDTree", "BallTree",
              "DistanceMetric", "find_all_paths_with_labels", "explore_graph_recursive",
              "find_subgraph_with_labels", "make_labels", "expand_cluster"]
EXTREMES = [-1, -2, -(2**31), 2**31 - 1, 2**40, -(2**62), 127, -128]
# Distorted sizes stay below what would take the machine's memory.
SCALARS = [-1, -2, 0, 1, -(2**31), 2**40, -(2**62), 127, -128, 100_000]


def qualified(name):
    return f"{PACKAGE}.{MODULES[name]}.binaries.{name}"


class Chaos:
    """Decides, from one seeded generator, what each callback does."""

    def __init__(self, seed, modules):
        self.rng = random.Random(seed)
        self.modules = modules
        self.kept = []
        self.dropped = {}

    def chance(self, p):
        return self.rng.random() < p

    def scribble(self, array):
        if array.size and array.flags.writeable and array.dtype.kind in "iuf":
            flat = array.reshape(-1) if array.flags.c_contiguous else None
            if flat is not None:
                for _ in range(self.rng.randint(1, 3)):
                    value = self.rng.choice(EXTREMES + [np.nan, np.inf])
                    try:
                        flat[self.rng.randrange(flat.size)] = value
                    except (OverflowError, ValueError):
                        pass

    def native(self, graph):
        return next(c for c in type(graph).__mro__ if c.__name__ == "GraphWrapper")

    def before(self, *args):
        """Acts on what a callback was given: mutate, resize, keep, drop modules."""
        for arg in args:
            if self.chance(0.3):
                self.kept.append(arg)
            if isinstance(arg, np.ndarray) and self.chance(0.2):
                self.scribble(arg)
            elif hasattr(arg, "to_numpy_all") and self.chance(0.3):
                native = self.native(arg)
                try:
                    for _ in range(self.rng.randint(1, 4)):
                        vertex = self.rng.randrange(8)
                        if self.chance(0.5):
                            native.append(arg, vertex, self.rng.choice(EXTREMES))
                        elif hasattr(native, "pop"):
                            native.pop(arg, vertex, 0)
                except (IndexError, OverflowError, TypeError):
                    pass
        if self.chance(0.05):
            self.drop_modules()

    def after(self, result):
        """Returns the result, or a distorted copy of it."""
        if self.chance(0.15):
            self.kept.append(result)
        if not self.chance(0.25):
            return result
        if isinstance(result, np.ndarray):
            choice = self.rng.randrange(7)
            if choice == 0:
                copy = result.copy()
                self.scribble(copy)
                return copy
            if choice == 1 and result.dtype.kind in "iuf":
                return result.astype(self.rng.choice([np.float32, np.int32, np.int8, np.float64, np.int64]))
            if choice == 2 and result.ndim:
                return result[:-1] if self.chance(0.5) else np.concatenate([result, result[:1]])
            if choice == 3:
                return result.T if result.ndim > 1 else result[::2]
            if choice == 4:
                frozen = result.copy()
                frozen.flags.writeable = False
                return frozen
            if choice == 5:
                return result.tolist()
            return None
        if isinstance(result, (tuple, list)) and result:
            items = list(result)
            k = self.rng.randrange(len(items))
            items[k] = self.after(items[k]) if self.chance(0.7) else self.rng.choice(SCALARS)
            if self.chance(0.2):
                items.append(self.rng.choice(SCALARS)) if self.chance(0.5) else items.pop()
            return type(result)(items) if isinstance(result, tuple) else items
        if isinstance(result, (bool, int, float)):
            return self.rng.choice(SCALARS + [result])
        return result

    def drop_modules(self):
        if self.dropped:
            return
        for name in MODULES:
            full = qualified(name)
            if full in sys.modules:
                self.dropped[full] = sys.modules.pop(full)
                package = sys.modules.get(full.rsplit(".", 1)[0])
                if package is not None and hasattr(package, name):
                    delattr(package, name)  # a module nobody else holds goes now

    def restore(self):
        for full, module in self.dropped.items():
            sys.modules[full] = module
            setattr(sys.modules[full.rsplit(".", 1)[0]], full.rsplit(".", 1)[1], module)

    def touch_kept(self):
        """Reads everything callbacks kept: freed memory shows up here."""
        for value in self.kept:
            if isinstance(value, memoryview):
                bytes(value)
            elif isinstance(value, np.ndarray) and value.dtype != object:
                value.tobytes()
            elif hasattr(value, "to_numpy_all"):
                native, v = self.native(value), 0
                while True:  # the native copy of every list, past any override
                    try:
                        native.to_numpy(value, v)
                    except IndexError:
                        break
                    v += 1


class Hostile:
    """Stands in for a module, class, function or object: calls run the real
    thing, with Chaos acting on their arguments and results."""

    def __init__(self, target, chaos):
        self._target, self._chaos = target, chaos

    def __getattr__(self, name):
        value = getattr(self._target, name)
        if isinstance(value, type) and issubclass(value, np.generic):
            return value  # dtypes stay real
        if callable(value) or isinstance(value, types.ModuleType):
            return Hostile(value, self._chaos)
        return self._chaos.after(value)

    def __call__(self, *args, **kwargs):
        self._chaos.before(*args, *kwargs.values())
        result = self._target(*args, **kwargs)
        if not isinstance(result, (np.ndarray, list, tuple, int, float, type(None))):
            return Hostile(result, self._chaos)  # a tree or a metric: its methods are hostile too
        return self._chaos.after(result)


def hostile_graph_type(module, chaos):
    class HostileGraph(module.GraphWrapper):
        def to_numpy(self, index):
            chaos.before(self)
            return chaos.after(super().to_numpy(index))

        def contains(self, index, value):
            chaos.before(self)
            return chaos.after(super().contains(index, value))

        def append(self, index, value):
            chaos.before(self)
            return super().append(index, value)

        def pop(self, list_index, element_index):
            chaos.before(self)
            return chaos.after(super().pop(list_index, element_index))

        def pop_max(self):
            chaos.before(self)
            return chaos.after(super().pop_max())

    return HostileGraph


def copy_graph(source, target_type, count, dtype):
    target = target_type(count, dtype, count)
    native = next(c for c in type(target).__mro__ if c.__name__ == "GraphWrapper")
    for v in range(count):
        for x in source.to_numpy(v).tolist():
            native.append(target, v, x)
    return target


def scenario(name, module, chaos, rng):
    """A small valid call of `name` (the chaos makes it hostile)."""
    n = 12
    points = np.random.default_rng(rng.randrange(1000)).random((n, 2))
    if chaos.chance(0.3):
        points[: n // 2] = points[0]  # coincident points
    labels = np.full(n, -1, dtype=np.int64)
    labels[[0, 4, 8]] = [0, 1, 2]
    if module.__name__.endswith("ombrel"):
        conn, weights = load("algorithm1", "ombrel").prim_mst(points)
        graph_type = hostile_graph_type(module, chaos) if chaos.chance(0.6) else module.GraphWrapper
        conn, weights = copy_graph(conn, graph_type, n, 0), copy_graph(weights, graph_type, n, 1)
        small = labels.astype(np.int8)
        calls = {
            "prim_mst": lambda: module.prim_mst(points, rng.choice(["euclidean", "cityblock"])),
            "find_all_paths_with_labels": lambda: module.find_all_paths_with_labels(conn, small, 0),
            "explore_graph_recursive": lambda: module.explore_graph_recursive(conn, small, 0),
            "find_subgraph_with_labels": lambda: module.find_subgraph_with_labels(conn, weights, small),
            "make_labels": lambda: module.make_labels(conn, 0, 0, set(), small),
            "clusterize": lambda: module.clusterize(conn, weights, small),
        }
    elif module.__name__.endswith("kestrin"):
        data = _AlgorithmInput(points, labels)
        conn, weights, _, _ = load("algorithm2", "kestrin").mutual_knn(points, 3)
        graph_type = hostile_graph_type(module, chaos) if chaos.chance(0.6) else module.GraphWrapper
        conn, weights = copy_graph(conn, graph_type, n, 0), copy_graph(weights, graph_type, n, 1)
        hostile_data = Hostile(data, chaos) if chaos.chance(0.5) else data
        distances = np.random.default_rng(1).random((n, 3)).astype(np.float32)
        calls = {
            "mutual_knn": lambda: module.mutual_knn(points, 3),
            "_find_idx_set": lambda: module._find_idx_set(distances, np.arange(3, dtype=np.int64),
                                                          conn.to_numpy(1), weights.to_numpy(1)),
            "informative_edges": lambda: module.informative_edges(hostile_data, 3, conn, weights),
            "create_pairwise_distance_matrix": lambda: module.create_pairwise_distance_matrix(
                hostile_data, "hostile.dat", rng.choice([1, 5, 5000])),
        }
    elif module.__name__.endswith("kestrin_bfs"):
        data = _AlgorithmInput(points, labels)
        kestrin = load("algorithm2", "kestrin")
        conn = kestrin.mutual_knn(points, 3)[0]
        conn = copy_graph(conn, hostile_graph_type(kestrin, chaos), n, 0) if chaos.chance(0.6) else conn
        hostile_data = Hostile(data, chaos) if chaos.chance(0.5) else data
        calls = {"find_connected_components": lambda: module.find_connected_components(hostile_data, conn)}
    elif module.__name__.endswith("tavrisk"):
        int_labels = labels.astype(np.int32)
        neighbourhoods = [[j for j in range(n) if abs(i - j) < 3] for i in range(n)]
        calls = {
            "semi_supervised_dbscan": lambda: module.semi_supervised_dbscan(
                points, 0.3, 3, int_labels, rng.choice(["minkowski", "cityblock"]), rng.choice([1, 2])),
            "expand_cluster": lambda: module.expand_cluster(
                points, 2, int_labels, np.full(n, -1, np.int32), np.zeros(n, np.int8), 0, 0, neighbourhoods),
        }
    else:
        clusters = np.array([0, 0, -2, -2, 1, -1, -3, 1, 2, -1, 2, 0], dtype=np.int32)
        calls = {"tavrisk_postprocess": lambda: module.tavrisk_postprocess(
            points, clusters.copy(), rng.choice(["minkowski", "euclidean"]), rng.choice([1, 2]))}
    return calls[name]


def entries():
    found = []
    for name, algorithm in MODULES.items():
        try:
            module = load(algorithm, name)
        except BaseException:  # pragma: no cover - a module not built yet
            continue
        for attribute, value in sorted(vars(module).items()):
            if type(value).__name__ == "native_function":
                found.append(pytest.param(name, attribute, id=f"{name}.{attribute}"))
    return found


def run_hostile(module_name, function_name, examples):
    """`examples` seeded hostile calls of one function, in this process."""
    module = load(MODULES[module_name], module_name)
    for seed in range(examples):
        chaos = Chaos(seed, module)
        rng = random.Random(seed)
        saved = dict(vars(module))
        call = None
        try:
            call = scenario(function_name, module, chaos, rng)
            for name in REBINDABLE:
                if name in saved and chaos.chance(0.5):
                    setattr(module, name, Hostile(saved[name], chaos))
            with np.errstate(all="ignore"):
                try:
                    result = call()
                except Exception:  # any Python exception is an acceptable answer
                    result = None
            chaos.kept.append(result)
        finally:
            for name in REBINDABLE:
                if name in saved:
                    setattr(module, name, saved[name])
            chaos.restore()
        del call  # what the callbacks kept may now outlive its source
        chaos.touch_kept()


def run_isolated(code, cwd):
    """Runs `code` in a fresh interpreter (a memory fault fails only this test)
    whose allocations are capped: a distorted size may ask for any amount."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(__file__)] + sys.path),
               OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":allocator_may_return_null=1:max_allocation_size_mb=3072"
        limit = None
    else:
        limit = "import resource; resource.setrlimit(resource.RLIMIT_DATA, (6 << 30, 6 << 30))\n"
    done = subprocess.run([sys.executable, "-c", (limit or "") + code], capture_output=True, text=True, env=env,
                          cwd=cwd, timeout=1800)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-4000:]
    return done.stdout


EXAMPLES = int(os.environ.get("HB_HOSTILE_EXAMPLES", "60"))


@pytest.mark.parametrize("module_name, function_name", entries())
def test_hostile_callers_get_exceptions_or_results(module_name, function_name, tmp_path):
    run_isolated(f"import test_hostile; test_hostile.run_hostile({module_name!r}, {function_name!r}, {EXAMPLES})",
                 tmp_path)


# ---- one test per ownership defect ------------------------------------------------

LIFETIME_SCRIPT = """
import gc, importlib, sys
import numpy as np
from halvorne_beta.algorithms.input import _AlgorithmInput
name = {qualified!r}
module = importlib.import_module(name)
function = getattr(module, {function!r})
package = sys.modules[name.rsplit(".", 1)[0]]
del sys.modules[name], module
delattr(package, name.rsplit(".", 1)[1])
gc.collect()
X = np.random.default_rng(0).random((10, 2))
labels = np.array([0, -1, -1, 1, -1, -1, -1, -1, -1, -1])
args = {{
    "prim_mst": lambda: (X,),
    "mutual_knn": lambda: (X, 3),
    "find_connected_components": lambda: (
        _AlgorithmInput(X, labels),
        importlib.import_module(name.replace("kestrin_bfs", "kestrin")).mutual_knn(X, 3)[0]),
    "semi_supervised_dbscan": lambda: (X, 0.3, 2, labels.astype(np.int32), "minkowski", 2),
    "tavrisk_postprocess": lambda: (X, np.array([0, -2, -2, 1, -1, -1, 0, 1, -3, -1], dtype=np.int32)),
}}[{function!r}]()
function(*args)
assert importlib.import_module(name).__dict__[{function!r}] is function
print("ok")
"""


@pytest.mark.parametrize("module_name, function_name", [
    ("ombrel", "prim_mst"), ("kestrin", "mutual_knn"), ("kestrin_bfs", "find_connected_components"),
    ("tavrisk", "semi_supervised_dbscan"), ("postprocess", "tavrisk_postprocess"),
])
def test_function_outlives_its_module(module_name, function_name):
    """A function kept after its module left sys.modules and its package
    still finds the module's names (and a new import gives the same module)."""
    load(MODULES[module_name], module_name)
    script = LIFETIME_SCRIPT.format(qualified=qualified(module_name), function=function_name)
    assert run_isolated(script, None).strip() == "ok"


@pytest.mark.parametrize("module_name", ["ombrel", "kestrin"])
@pytest.mark.parametrize("change", ["append", "pop"])
def test_to_numpy_refuses_a_list_resized_by_np_empty(module_name, change, monkeypatch):
    """A rebound `np.empty` that appends to (or pops from) the very list being
    copied: the copy must not run past the new array, nor leave it half filled."""
    module = load(MODULES[module_name], module_name)
    graph = module.GraphWrapper(2, 0, 20)
    for value in range(3):
        graph.append(1, value)

    class Resizing:
        def __getattr__(self, name):
            return getattr(np, name)

        def empty(self, *args, **kwargs):
            if change == "append":
                for value in range(50):
                    graph.append(1, value)
            else:
                module.GraphWrapper.pop(graph, 1, 0) if hasattr(module.GraphWrapper, "pop") else None
            return np.empty(*args, **kwargs)

    monkeypatch.setattr(module, "np", Resizing())
    if change == "pop" and not hasattr(module.GraphWrapper, "pop"):
        pytest.skip("kestrin's GraphWrapper has no pop")
    with pytest.raises(RuntimeError, match="changed size during to_numpy"):
        graph.to_numpy(1)
    monkeypatch.undo()
    assert graph.to_numpy(0).size == 0


def check_rows_keep_their_memory():
    postprocess = load("algorithm3", "postprocess")
    real = postprocess.DistanceMetric
    kept = []

    class Keeping:
        def __init__(self, metric):
            self.metric = metric

        def pairwise(self, *arrays):
            for a in arrays:  # lists of rows
                kept.extend((row, np.array(row, copy=True)) for row in a if isinstance(row, memoryview))
            return self.metric.pairwise(*(np.asarray(a) for a in arrays))

    class KeepingDistanceMetric:
        @staticmethod
        def get_metric(*args, **kwargs):
            return Keeping(real.get_metric(*args, **kwargs))

    postprocess.DistanceMetric = KeepingDistanceMetric
    points = np.random.default_rng(3).random((40, 3))
    clusters = np.full(40, -1, dtype=np.int32)
    clusters[:10], clusters[10:20], clusters[20:25] = 0, 1, -2
    postprocess.tavrisk_postprocess(points, clusters)
    assert kept, "the metric was never handed a row"
    del points
    reuse = [np.full((40, 3), 7.5) for _ in range(8)]  # likely to land where the points were
    for view, copy in kept:
        assert np.array_equal(np.asarray(view), copy)
    assert reuse


def test_rows_handed_to_pairwise_keep_their_memory():
    """A rebound DistanceMetric whose metric keeps the rows it is given: after
    the call and the caller's array are gone, the rows still read as they were."""
    load("algorithm3", "postprocess")
    run_isolated("import test_hostile; test_hostile.check_rows_keep_their_memory()", None)
