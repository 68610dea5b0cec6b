import importlib

import pytest

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
