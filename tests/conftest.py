"""Shared fixtures.

``small_store``: a small synthetic market (60 instruments, 2021-01 to 2022-06)
generated once per test session into a temporary directory and opened with
``ostrel.init``; yields the store path and closes the store afterwards.
"""

import pytest


@pytest.fixture(scope="session")
def small_store(tmp_path_factory):
    import ostrel
    from ostrel import store
    from ostrel.generate import generate

    path = tmp_path_factory.mktemp("ostrel") / "small.duckdb"
    generate(str(path), instruments=60, start="2021-01-01", end="2022-06-30", seed=3, progress=False)
    ostrel.init(path)
    yield path
    store.close()
