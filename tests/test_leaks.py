"""Repeated calls must not leak: neither Python objects (tracemalloc), nor
native memory (resident size), nor references to the arguments."""
import gc
import sys
import tracemalloc

import numpy as np
import pytest

from conftest import load

REPEAT = 2000


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def ombrel_cases():
    ombrel = load("algorithm1", "ombrel")
    X = np.random.default_rng(0).random((150, 3))
    graph = ombrel.GraphWrapper(4, 0, 4, True)
    weights = ombrel.GraphWrapper(4, 1, 4)

    def graph_cycle():
        g = ombrel.GraphWrapper(4, 0, 4, True)
        for v in range(4):
            g.append(v, v + 1)
        g.contains(1, 2)
        g.to_numpy_all()
        g.pop(0, 0)

    def pop_max_cycle():
        weights.append(0, 1.0)
        weights.append(1, 1.0)
        weights.pop_max()

    return {
        "prim_mst": (ombrel.prim_mst, (X,)),
        "prim_mst wrong dtype": (ombrel.prim_mst, (X.astype(np.float32),)),
        "prim_mst bad metric": (ombrel.prim_mst, (X, "bogus")),
        "prim_mst bad keyword": (lambda a: ombrel.prim_mst(a, foo=1), (X,)),
        "GraphWrapper cycle": (graph_cycle, ()),
        "GraphWrapper pop_max": (pop_max_cycle, ()),
        "GraphWrapper append errors": (lambda g: g.append(9, 1), (graph,)),
        "GraphWrapper to_numpy error": (lambda g: g.to_numpy(-1), (graph,)),
        "GraphWrapper bad construction": (lambda: ombrel.GraphWrapper(1, 9, 1), ()),
    }


CASE_BUILDERS = [ombrel_cases]


def all_cases():
    cases = []
    for builder in CASE_BUILDERS:
        cases.append(pytest.param(builder, id=builder.__name__))
    return cases


def call_quietly(function, args, times):
    for _ in range(times):
        try:
            function(*args)
        except Exception:
            pass


@pytest.mark.parametrize("builder", all_cases())
def test_repeated_calls_do_not_leak(builder):
    for name, (function, args) in builder().items():
        call_quietly(function, args, 50)
        references = [sys.getrefcount(a) for a in args]
        gc.collect()
        resident = resident_bytes()
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        call_quietly(function, args, REPEAT)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
        tracemalloc.stop()
        assert grown < 64 * 1024, f"{name}: {grown} bytes of Python objects kept"
        assert resident_bytes() - resident < 16 * 2**20, f"{name}: resident memory grew"
        assert [sys.getrefcount(a) for a in args] == references, f"{name}: argument references changed"
