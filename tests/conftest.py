"""Shared pytest set-up: where the test programs are, the import path of the
test support modules, and the leak check around every test."""

import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SUPPORT = ROOT / "tests" / "support"
BIN_DIR = pathlib.Path(os.environ.get("KESTRIN_TEST_BIN", ROOT / "build" / "tests" / "bin"))

if str(SUPPORT) not in sys.path:
    sys.path.insert(0, str(SUPPORT))
from leak_check import Snapshot  # noqa: E402

_call_failed = pytest.StashKey[bool]()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo):
    outcome = yield
    if call.when == "call":
        item.stash[_call_failed] = outcome.get_result().failed


@pytest.fixture(autouse=True)
def no_leaks(request: pytest.FixtureRequest):
    """Fails a test that leaves a descriptor open or a shared-memory file
    named in this process. Fixtures of a wider scope (shared compositors,
    module-wide sessions) are set up before the snapshot, and the test's own
    fixtures are torn down before the check, so only what the test and its
    function fixtures leave counts. A test that must keep something open past
    its end is marked ``keeps_descriptors``; a test that failed is not
    checked (its traceback keeps its objects alive)."""
    if request.node.get_closest_marker("keeps_descriptors"):
        yield
        return
    before = Snapshot.take()
    yield
    if request.node.stash.get(_call_failed, False):
        return
    # The values of the test's fixtures, torn down by now, are still held
    # for the test until pytest lets go of them after this teardown; those
    # of wider fixtures stay alive in their fixture's cache.
    request.node.funcargs.clear()
    leaked = before.leaks()
    if leaked:
        pytest.fail("the test left open or named:\n" + "\n".join(leaked), pytrace=False)
