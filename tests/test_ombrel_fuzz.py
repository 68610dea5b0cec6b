"""Arbitrary graphs (cycles, loops, one-way and duplicate entries, vertices out
of range, weight lists of other lengths) and label arrays of any length: the
path, subgraph and clusterize functions either answer or raise a Python
exception, and never touch memory outside their buffers."""
import random

import numpy as np
import pytest

from conftest import SANITIZED

ERRORS = (ValueError, IndexError, TypeError, OverflowError)


def arbitrary(ombrel, seed):
    rng = random.Random(seed)
    n = rng.randint(0, 12)
    conn = ombrel.GraphWrapper(n, 0, 4)
    weights = ombrel.GraphWrapper(n, 1, 4)
    for v in range(n):
        for _ in range(rng.randint(0, 5)):
            u = rng.choice([rng.randrange(n), rng.randrange(n), v, -1, n, n + 3, 2**32 + rng.randrange(n)])
            conn.append(v, u)
        for _ in range(rng.randint(0, 6)):
            weights.append(v, rng.choice([1.0, 2.0, -1.0, -5.0, float("nan"), 7.0]))
    size = max(0, n + rng.choice([-2, 0, 0, 0, 3]))
    labels = np.array([rng.choice([-1, -1, -1, 0, 1, 2, -2, 127, -128]) for _ in range(size)], np.int8)
    return rng, conn, weights, labels


@pytest.mark.parametrize("seed", range(400))
def test_arbitrary_graphs_raise_cleanly(ombrel, seed):
    rng, conn, weights, labels = arbitrary(ombrel, seed)
    n = len(labels) + 2
    for call in (
        lambda: ombrel.find_all_paths_with_labels(conn, labels, rng.randrange(-1, n), rng.randrange(-1, n)),
        lambda: ombrel.find_all_paths_with_labels(conn, labels, rng.randrange(n), path=[rng.randrange(n), 2.0]),
        lambda: ombrel.explore_graph_recursive(conn, labels, rng.randrange(-1, n)),
        lambda: ombrel.find_subgraph_with_labels(conn, weights, labels),
        lambda: ombrel.make_labels(conn, rng.randrange(-1, n), 3, {1, 2.0}, labels.copy()),
        lambda: ombrel.clusterize(conn, weights, labels),
    ):
        try:
            result = call()
        except ERRORS:
            continue
        if isinstance(result, tuple) and len(result) == 3:
            assert result[2].dtype == np.int8 and len(result[2]) == len(labels)


# ---- hostile callers ------------------------------------------------------------------
# Overrides and rebound names that answer with positions outside the lists,
# mutate or resize the containers mid-call, or run out of memory: every
# call answers as the plain Python procedure would, or raises, and never
# reads or writes outside a buffer (the sanitizer run judges that part).

def tree(ombrel, cls, n=7, seed=0):
    rng = random.Random(seed)
    conn, weights = cls(n, 0, n), cls(n, 1, n)
    for v in range(1, n):
        u, w = rng.randrange(v), float(rng.choice([1, 2, 3, 5]))
        conn.append(v, u), conn.append(u, v), weights.append(v, w), weights.append(u, w)
    labels = np.array([0, -1, 1, -1, 2, -1, 0][:n] + [-1] * max(0, n - 7), np.int8)
    return conn, weights, labels


def outcome(call):
    try:
        result = call()
    except Exception as error:  # the kind and message are compared
        return type(error), str(error)
    return [[a.tolist() for a in c.to_numpy_all()] if hasattr(c, "to_numpy_all") else c.tolist() for c in result]


def answering_index(ombrel):
    """A container whose lists report `Answer.value` (when set) as the position of any value."""
    class Answer(list):
        value = None

        def index(self, value, *args):
            return super().index(value, *args) if Answer.value is None else Answer.value

    class Listing(np.ndarray):
        def tolist(self):
            return Answer(super().tolist())

    class Hostile(ombrel.GraphWrapper):
        def to_numpy(self, index):
            return super().to_numpy(index).view(Listing)

    return Answer, Hostile


POSITIONS = [-1, -2, -7, -2**31, 2**31, 2**32, 2**40, -2**63]


@pytest.mark.parametrize("position", POSITIONS)
def test_subgraph_weight_at_a_position_from_python(ombrel, position):
    Answer, Hostile = answering_index(ombrel)

    class Described(ombrel.GraphWrapper):  # weights read through to_numpy and NumPy indexing
        def to_numpy(self, index):
            return super().to_numpy(index)

    conn, _, labels = tree(ombrel, Hostile)
    _, plain_weights, _ = tree(ombrel, ombrel.GraphWrapper)
    _, described_weights, _ = tree(ombrel, Described)
    Answer.value = position
    fast = outcome(lambda: ombrel.find_subgraph_with_labels(conn, plain_weights, labels))
    described = outcome(lambda: ombrel.find_subgraph_with_labels(conn, described_weights, labels))
    assert fast == described


@pytest.mark.parametrize("position", POSITIONS)
def test_cut_at_a_position_from_python(ombrel, monkeypatch, position):
    Answer, Hostile = answering_index(ombrel)
    original = ombrel.find_subgraph_with_labels

    def subgraph(c, w, l):  # correct positions inside, the hostile answer for the cut
        Answer.value = None
        found = original(c, w, l)
        Answer.value = position
        return found

    monkeypatch.setattr(ombrel, "find_subgraph_with_labels", subgraph)
    conn, weights, labels = tree(ombrel, Hostile)
    before = [a.tolist() for a in conn.to_numpy_all()]
    error = IndexError if -2**31 <= position < 2**31 else OverflowError
    message = "Element index out of range" if error is IndexError else "value too large to convert to int"
    with pytest.raises(error, match=message):
        ombrel.clusterize(conn, weights, labels)
    Answer.value = None
    assert [a.tolist() for a in conn.to_numpy_all()] == before  # the first cut failed before any pop


LOW_MEMORY_SCRIPT = r"""
import sys, _testcapi
import numpy as np
from halvorne_beta.algorithms.src.algorithm1.binaries import ombrel

conn, weights = ombrel.GraphWrapper(4, 0, 4), ombrel.GraphWrapper(4, 1, 4)
for a, b, w in [(0, 1, 1.0), (1, 2, 3.0), (2, 3, 2.0)]:
    conn.append(a, b), conn.append(b, a), weights.append(a, w), weights.append(b, w)
labels = np.array([0, -1, 1, 0], np.int8)
ombrel.explore_graph_recursive(conn, labels, 0)  # the interpreter's own type creation is not under test
seen = []
originals = {name: getattr(ombrel, name) for name in ("find_all_paths_with_labels", "make_labels")}

def recording(name):
    def wrapper(*args, **kwargs):
        seen.append((name, len(args), sorted(kwargs)))
        return originals[name](*args, **kwargs)
    return wrapper

for name in originals:
    setattr(ombrel, name, recording(name))
calls = [lambda c, w: ombrel.find_all_paths_with_labels(c, labels, 0),
         lambda c, w: ombrel.explore_graph_recursive(c, labels, 0),
         lambda c, w: ombrel.clusterize(c, w, labels)]

def fresh():
    c, w = ombrel.GraphWrapper(4, 0, 4), ombrel.GraphWrapper(4, 1, 4)
    for v in range(4):
        for u, x in zip(conn.to_numpy(v).tolist(), weights.to_numpy(v).tolist()):
            c.append(v, u), w.append(v, x)
    return c, w

# The k-th allocation fails, for every k until the call gets through: each
# step of the call meets a failure once, the first time it runs included.
for call in calls:
    for k in range(100000):
        c, w = fresh()
        _testcapi.set_nomemory(k, k + 1)
        try:
            call(c, w)
        except MemoryError:
            continue
        finally:
            _testcapi.remove_mem_hooks()
        break
del seen[:]
for call in calls:
    call(*fresh())
# the searches name bomb_node and the nested path by keyword, the flood visited and labels
print(sorted(set((name, n, tuple(k)) for name, n, k in seen)))
"""


def test_failed_allocations_are_not_remembered():
    import subprocess
    import sys
    pytest.importorskip("_testcapi")
    done = subprocess.run([sys.executable, "-c", LOW_MEMORY_SCRIPT], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.strip() == str([
        ("find_all_paths_with_labels", 0, ("bomb_node", "connections_sparse", "labels", "path", "start")),
        ("find_all_paths_with_labels", 3, ()),
        ("find_all_paths_with_labels", 3, ("bomb_node",)),
        ("make_labels", 3, ("labels", "visited")),
        ("make_labels", 5, ()),
    ])


class NumpyProxy:
    def __getattr__(self, name):
        return getattr(np, name)


def meddler(ombrel, rng, monkeypatch, victims, kept):
    """A callback that changes what the native code is working on: the
    containers (growing or shrinking lists), the module's names, lists it
    handed out earlier; now and then it fails."""
    names = ["np", "find_all_paths_with_labels", "explore_graph_recursive", "find_subgraph_with_labels",
             "make_labels"]
    originals = {name: getattr(ombrel, name) for name in names}

    def meddle():
        if not victims:  # still being built
            return
        action = rng.randrange(9)
        victim = rng.choice(victims)
        vertex = rng.randrange(-1, len(labels_of(victim)) + 1)
        if action == 0:
            victim.append(vertex, rng.choice([0, 1, -1, 10**6, 2.5]))
        elif action == 1:
            victim.pop(vertex, rng.randrange(-1, 3))
        elif action == 2:
            name = rng.choice(names)
            monkeypatch.setattr(ombrel, name, NumpyProxy() if name == "np" else wrap(originals[name]))
        elif action == 3:
            name = rng.choice(names)
            monkeypatch.setattr(ombrel, name, originals[name])
        elif action == 4 and kept:
            rng.choice(kept)[:] = [rng.choice([-1, 0, 2**40, "x", 1.5]) for _ in range(rng.randrange(4))]
        elif action == 5:
            raise KeyError("meddled")

    def labels_of(victim):
        return victim.to_numpy_all() if type(victim) is ombrel.GraphWrapper else range(4)

    def wrap(function):
        def wrapper(*args, **kwargs):
            meddle()
            result = function(*args, **kwargs)
            if isinstance(result, list):
                kept.append(result)
            return result
        return wrapper

    return meddle, wrap


@pytest.mark.parametrize("seed", range(60))
def test_callbacks_that_change_everything(ombrel, monkeypatch, seed):
    rng = random.Random(seed)
    kept = []
    victims = []
    meddle, wrap = meddler(ombrel, rng, monkeypatch, victims, kept)

    class Meddling(ombrel.GraphWrapper):
        def to_numpy(self, index):
            meddle()
            array = super().to_numpy(index)
            return array[: rng.randrange(len(array) + 1)] if rng.random() < 0.2 else array

        def pop(self, list_index, element_index):
            meddle()
            return super().pop(list_index, element_index)

        def append(self, index, value):
            meddle()
            return super().append(index, value)

        def pop_max(self):
            meddle()
            return super().pop_max()

    n = rng.randint(2, 9)
    conn, weights, labels = tree(ombrel, rng.choice([Meddling, ombrel.GraphWrapper]), n, seed)
    if rng.random() < 0.5:
        _, weights, _ = tree(ombrel, Meddling, n, seed)
    victims += [conn, weights]
    for name in ["find_all_paths_with_labels", "explore_graph_recursive", "find_subgraph_with_labels", "make_labels"]:
        if rng.random() < 0.3:
            monkeypatch.setattr(ombrel, name, wrap(getattr(ombrel, name)))
    path = [0] if rng.random() < 0.5 else None
    for call in (
        lambda: ombrel.find_all_paths_with_labels(conn, labels, rng.randrange(n), path=path),
        lambda: ombrel.explore_graph_recursive(conn, labels, rng.randrange(n)),
        lambda: ombrel.find_subgraph_with_labels(conn, weights, labels),
        lambda: ombrel.make_labels(conn, rng.randrange(n), 3, set(), labels.copy()),
        lambda: ombrel.clusterize(conn, weights, labels),
    ):
        try:
            call()
        except SystemError:
            raise
        except Exception:
            pass


OUT_OF_MEMORY_SCRIPT = r"""
import resource, random
import numpy as np
from halvorne_beta.algorithms.src.algorithm1.binaries import ombrel

n = 5000
rng = random.Random(1)
conn, weights = ombrel.GraphWrapper(n, 0, n), ombrel.GraphWrapper(n, 1, n)
for v in range(1, n):
    u = rng.randrange(max(0, v - 3), v)
    conn.append(v, u), conn.append(u, v), weights.append(v, 1.0), weights.append(u, 1.0)
labels = np.full(n, -1, np.int8)
labels[rng.sample(range(n), 20)] = [i % 3 for i in range(20)]
ombrel.find_subgraph_with_labels(conn, weights, labels)

def vm():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * 4096

base = vm()
outcomes = {}
resource.setrlimit(resource.RLIMIT_AS, (base + 2**24, resource.RLIM_INFINITY))
filler = []
try:
    while True:
        filler.append(bytearray(4096))
except MemoryError:
    pass
for room in range(0, min(len(filler), 3000), 7):
    freed = [filler.pop() for _ in range(7)]
    del freed
    try:
        ombrel.find_subgraph_with_labels(conn, weights, labels)
        outcome = "ok"
    except MemoryError:
        outcome = "MemoryError"
    outcomes[outcome] = outcomes.get(outcome, 0) + 1
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(len(filler), outcomes)
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizers reserve more address space than any limit leaves")
def test_running_out_of_memory_mid_search_raises():
    # Address space is filled, then freed a few pages at a time: the searches
    # meet a failed allocation at every depth, and must answer MemoryError
    # (or finish) instead of ending the process.
    import subprocess
    import sys
    done = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY_SCRIPT], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    assert "MemoryError" in done.stdout and "ok" in done.stdout
