"""Fixtures for the tests of the Python module against the fake compositor.

- ``fake``: a factory, ``fake(scenario=None) -> FakeCompositor``; every
  compositor it started is stopped at the end of the test, also when the
  test fails. A compositor that crashed or did not stop cleanly fails the
  test at teardown.
"""

from __future__ import annotations

from typing import Callable, Iterator

import pytest

from fake_compositor import FakeCompositor


@pytest.fixture
def fake(tmp_path) -> Iterator[Callable[..., FakeCompositor]]:
    started: list[FakeCompositor] = []

    def start(scenario: dict | None = None) -> FakeCompositor:
        compositor = FakeCompositor(scenario, tmp_path)
        started.append(compositor)
        return compositor

    yield start

    failures = []
    for compositor in started:
        try:
            compositor.stop()
        except Exception as error:
            failures.append(error)
    if failures:
        raise failures[0]


@pytest.fixture
def compositor(fake) -> FakeCompositor:
    """A fake compositor with the default scenario."""
    return fake()


@pytest.fixture
def k(compositor: FakeCompositor):
    """A session on ``compositor``."""
    from kestrin import Kestrin

    return Kestrin(compositor.socket_path)


@pytest.fixture
def collector_paused():
    """Sessions of earlier tests can linger in reference cycles (a traceback
    holding its test's frame); were the cycle collector to free one during a
    test, its socket would close and upset a comparison of descriptor sets."""
    import gc

    gc.disable()
    yield
    gc.enable()
