import gc
import importlib
import os
import sys
import tracemalloc

import pytest
from hypothesis import settings

# The suite is repeatable by default (the same examples on every run, so CI
# cannot turn red by chance); HB_HYPOTHESIS_PROFILE=explore draws fresh ones.
settings.register_profile("repeatable", derandomize=True, deadline=None)
settings.register_profile("explore", max_examples=1500, deadline=None)
settings.load_profile(os.environ.get("HB_HYPOTHESIS_PROFILE", "repeatable"))

PACKAGE = "halvorne_beta.algorithms.src"


def load(algorithm, name):
    """The built module, or a skip when it has not been built yet."""
    try:
        return importlib.import_module(f"{PACKAGE}.{algorithm}.binaries.{name}")
    except ImportError as error:  # pragma: no cover - only before a module exists
        pytest.skip(f"{name} is not built: {error}")


@pytest.fixture(scope="session")
def ombrel():
    return load("algorithm1", "ombrel")


# ---- leak measurement shared by the leak tests ----------------------------------

# Under the sanitizers (which set this variable) freed memory sits in
# quarantine and PYTHONMALLOC=malloc lets caches in SciPy fill slowly, so
# only the reference counts are judged there; the regular run judges memory.
SANITIZED = bool(os.environ.get("HB_SANITIZED"))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def call_quietly(function, args, times):
    for _ in range(times):
        try:
            function(*args)
        except Exception:
            pass


def assert_no_leak(name, function, args, repeat):
    """`repeat` calls keep no Python objects, no native memory and no references."""
    call_quietly(function, args, 20)
    references = [sys.getrefcount(a) for a in args]
    tracemalloc.start()
    call_quietly(function, args, 20)  # one-time allocations made while tracing
    gc.collect()
    resident = resident_bytes()
    before = tracemalloc.get_traced_memory()[0]
    call_quietly(function, args, repeat)
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    if not SANITIZED:
        assert grown < 64 * 1024, f"{name}: {grown} bytes of Python objects kept"
        assert resident_bytes() - resident < 16 * 2**20, f"{name}: resident memory grew"
    assert [sys.getrefcount(a) for a in args] == references, f"{name}: argument references changed"
