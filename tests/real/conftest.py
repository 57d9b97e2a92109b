"""Fixtures for the tests that run against a real compositor: a headless sway
and kestrin-probe on it.

- ``sway``: a running ``HeadlessSway`` shared by the tests of a module. After
  each test it is checked: if the test changed its outputs (added one, changed
  a mode, position, scale or transform) it is replaced, so the change does not
  reach the next test; if it died, the test fails with its log.
- ``fresh_sway``: a ``HeadlessSway`` of the test's own, for tests that need a
  compositor nobody has touched.
- ``probe`` / ``fresh_probe``: a ready ``Probe`` on ``sway`` / ``fresh_sway``.
- ``start_probe``: starts further ready probes, ``start_probe(sway)``.
- ``probe_executable``: the path of kestrin-probe.
- ``seat_keyboard``: starts kestrin-seat-keyboard on ``sway`` with a layout,
  ``seat_keyboard("de")``, made the seat's active keyboard.

Every probe and compositor is stopped at the end, also when the test fails. A
compositor that does not start fails the test with sway's log; nothing here
skips.
"""

from __future__ import annotations

import subprocess
from pathlib import Path
from typing import Callable, Iterator

import pytest

from headless import HeadlessSway, SwayError
from probe_client import Probe, ProbeError


def _root_conftest(config: pytest.Config):
    # Both conftest files are modules named "conftest"; the root one is found
    # among the loaded plugins by its file.
    target = (Path(__file__).resolve().parent.parent / "conftest.py")
    for plugin in config.pluginmanager.get_plugins():
        file = getattr(plugin, "__file__", None)
        if file is not None and Path(file).resolve() == target:
            return plugin
    raise RuntimeError(f"{target} is not loaded")


@pytest.fixture(scope="session")
def probe_executable(request: pytest.FixtureRequest) -> Path:
    return Path(_root_conftest(request.config).BIN_DIR) / "kestrin-probe"


def _start_sway() -> HeadlessSway:
    try:
        return HeadlessSway().start()
    except SwayError as error:
        pytest.fail(f"the headless sway did not start: {error}", pytrace=False)


def _layout(compositor: HeadlessSway) -> list[tuple]:
    """What a test may change about the outputs and must not pass on."""
    return [
        (o["name"], o["active"], o.get("current_mode"), o["rect"], o.get("scale"), o.get("transform"))
        for o in compositor.outputs()
    ]


class _SharedSway:
    def __init__(self) -> None:
        self.current: HeadlessSway | None = None
        self.initial_layout: list[tuple] = []

    def get(self) -> HeadlessSway:
        if self.current is None:
            self.current = _start_sway()
            self.initial_layout = _layout(self.current)
        return self.current

    def unchanged(self) -> bool:
        assert self.current is not None
        try:
            return _layout(self.current) == self.initial_layout
        except SwayError:
            return False

    def discard(self) -> None:
        if self.current is not None:
            self.current.stop()
            self.current = None


@pytest.fixture(scope="module")
def _shared_sway() -> Iterator[_SharedSway]:
    shared = _SharedSway()
    try:
        yield shared
    finally:
        shared.discard()


@pytest.fixture
def sway(_shared_sway: _SharedSway) -> Iterator[HeadlessSway]:
    current = _shared_sway.get()
    yield current
    if not current.running:
        log = current.log()
        _shared_sway.discard()
        pytest.fail(f"sway died during the test\n--- sway log ---\n{log}", pytrace=False)
    if not _shared_sway.unchanged():
        _shared_sway.discard()


@pytest.fixture
def fresh_sway() -> Iterator[HeadlessSway]:
    current = _start_sway()
    try:
        yield current
    finally:
        current.stop()


@pytest.fixture
def start_probe(probe_executable: Path) -> Iterator[Callable[[HeadlessSway], Probe]]:
    probes: list[Probe] = []

    def start(compositor: HeadlessSway) -> Probe:
        if not compositor.running:
            pytest.fail(f"sway is not running\n--- sway log ---\n{compositor.log()}", pytrace=False)
        probe = Probe(compositor, probe_executable)
        probes.append(probe)
        probe.start()
        try:
            probe.wait_ready()
        except ProbeError as error:
            pytest.fail(f"kestrin-probe did not get ready: {error}\n--- sway log ---\n{compositor.log()}",
                        pytrace=False)
        return probe

    try:
        yield start
    finally:
        for probe in probes:
            probe.stop()


@pytest.fixture
def probe(sway: HeadlessSway, start_probe: Callable[[HeadlessSway], Probe]) -> Probe:
    return start_probe(sway)


@pytest.fixture
def fresh_probe(fresh_sway: HeadlessSway, start_probe: Callable[[HeadlessSway], Probe]) -> Probe:
    return start_probe(fresh_sway)


@pytest.fixture
def new_session(sway: HeadlessSway, probe: Probe) -> Callable[[], "kestrin.Kestrin"]:
    """Makes kestrin sessions on ``sway``. Each first makes the probe's
    keyboard the seat's active one: an earlier session that went away may have
    taken the active keyboard with it, and without one the seat sends no
    keymap."""
    import kestrin

    def make() -> kestrin.Kestrin:
        probe.activate_keyboard()
        return kestrin.Kestrin(sway.socket_path)

    return make


@pytest.fixture
def seat_keyboard(request: pytest.FixtureRequest, sway: HeadlessSway) -> Iterator[Callable[[str], None]]:
    """Starts kestrin-seat-keyboard with a layout on ``sway`` and makes it the
    seat's active keyboard, so that a session made next gets its keymap."""
    executable = Path(_root_conftest(request.config).BIN_DIR) / "kestrin-seat-keyboard"
    tools: list[subprocess.Popen] = []

    def start(layout: str) -> None:
        tool = subprocess.Popen([str(executable), "--layout", layout], env=sway.env(), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        tools.append(tool)
        for command, answer in ((None, "ready"), ("activate", "activated")):
            if command is not None:
                tool.stdin.write(command + "\n")
                tool.stdin.flush()
            line = tool.stdout.readline().strip()
            if line != answer:
                pytest.fail(f"kestrin-seat-keyboard said {line!r}, not {answer!r}: {tool.stderr.read()}", pytrace=False)

    try:
        yield start
    finally:
        for tool in tools:
            tool.stdin.close()
            try:
                tool.wait(timeout=5)
            except subprocess.TimeoutExpired:
                tool.kill()
                tool.wait()
            tool.stdout.close()
            tool.stderr.close()


@pytest.fixture
def input_session(new_session, probe) -> "kestrin.Kestrin":
    """A session whose input the probe is ready to receive, with the probe's
    events so far cleared. The seat gains its pointer with the module's
    virtual pointer; input sent before the probe holds it would be lost."""
    session = new_session()
    probe.wait_input_ready(pointer=True, keyboard=True)
    probe.clear()
    return session


class TwoOutputs:
    """A headless sway with HEADLESS-1 (1920x1080, scale 1) and HEADLESS-2
    (1280x720 at scale 2, to its right, turned by ``transform``), a probe
    shown fullscreen on each, and a kestrin session whose input both probes
    are ready for."""

    def __init__(self, compositor: HeadlessSway, probes: dict[str, Probe], session, transform: str) -> None:
        self.sway = compositor
        self.probes = probes
        self.session = session
        self.transform = transform


@pytest.fixture(scope="module", params=["normal", "90"], ids=["second-normal", "second-turned"])
def two_outputs(request: pytest.FixtureRequest, probe_executable: Path) -> Iterator[TwoOutputs]:
    import kestrin

    compositor = _start_sway()
    probes: dict[str, Probe] = {}
    try:
        second = compositor.add_output()
        compositor.swaymsg("output", second, "mode", "1280x720@60Hz", "scale", "2", "pos", "1920", "0",
                           "transform", request.param)
        session = None
        for name in ("HEADLESS-1", second):
            # A new window goes to the focused output.
            compositor.swaymsg("focus", "output", name)
            probes[name] = Probe(compositor, probe_executable).start()
            probes[name].wait_ready()
            if session is None:
                probes[name].activate_keyboard()
                session = kestrin.Kestrin(compositor.socket_path)
            # Captured once as soon as its window is up: otherwise this sway
            # (1.7, pixman, headless) shows HEADLESS-1 with its background
            # only after the second window appears; grim sees the same.
            session.screenshot(name)
        for probe in probes.values():
            probe.wait_input_ready(pointer=True, keyboard=True)
        yield TwoOutputs(compositor, probes, session, request.param)
    except (SwayError, ProbeError) as error:
        pytest.fail(f"the two-output sway did not come up: {error}\n--- sway log ---\n{compositor.log()}",
                    pytrace=False)
    finally:
        for probe in probes.values():
            probe.stop()
        compositor.stop()
