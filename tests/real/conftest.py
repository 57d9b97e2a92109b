"""Fixtures for the tests that run against a real compositor: a headless
compositor (sway unless a test asks for another) and kestrin-probe on it.

- ``compositor``: a running headless compositor (kestrin.testing's sway, or
  one of the others in tests/support/headless.py) shared by the tests of a
  module. After each test it is checked: if the test
  changed its outputs (added one, changed a mode, position, scale or
  transform) it is replaced, so the change does not reach the next test; if it
  died, the test fails with its log. Which compositor is ``compositor_kind``:
  "sway", unless a test is marked ``every_compositor`` (then it runs on sway
  and on phoc) or parametrises ``compositor_kind`` itself.
- ``sway``: the same fixture under its old name, for the tests that need sway
  (swaymsg, outputs added at run time).
- ``fresh_compositor`` / ``fresh_sway``: one of the test's own, for tests that
  need a compositor nobody has touched.
- ``probe`` / ``fresh_probe``: a ready ``Probe`` on ``compositor`` /
  ``fresh_compositor``.
- ``start_probe``: starts further ready probes, ``start_probe(compositor)``.
- ``probe_executable``: the path of kestrin-probe as the test build makes it
  (the recorder of kestrin.testing).
- ``seat_keyboard``: starts kestrin-seat-keyboard on ``sway`` with a layout,
  ``seat_keyboard("de")``, made the seat's active keyboard.
- ``mutter``: the GNOME desktop of kestrin.gnome's tests (a private session
  bus, headless Mutter with one 1280x720 monitor, PipeWire, WirePlumber),
  shared by the tests of a module; ``gnome_env`` points this process's
  session bus and runtime directory at it; ``gnome_probe`` is a probe shown
  fullscreen there; ``gnome`` a kestrin.gnome session whose input the probe
  is ready for, with the probe's events so far cleared; ``bare_gnome`` one
  session for a class of tests that show no window, for refusals.

Every probe and compositor is stopped at the end, also when the test fails. A
compositor that does not start fails the test with its log; nothing here
skips.
"""

from __future__ import annotations

import subprocess
from pathlib import Path
from typing import Callable, Iterator

import pytest

from headless import (COMPOSITORS, CompositorError, HeadlessCompositor, HeadlessMutter, HeadlessSway, SwayError,
                      pointer_ready)
from kestrin.testing._recorder import Probe, ProbeError, Recorder

# The compositors that run the whole module: the core checks run on each.
FULL_COMPOSITORS = ("sway", "phoc")


def pytest_generate_tests(metafunc: pytest.Metafunc) -> None:
    if metafunc.definition.get_closest_marker("every_compositor") and "compositor_kind" in metafunc.fixturenames:
        metafunc.parametrize("compositor_kind", FULL_COMPOSITORS)


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


def start_compositor(kind: str, **options) -> HeadlessCompositor:
    """A started compositor of ``kind``; a failed start fails the test."""
    try:
        return COMPOSITORS[kind](**options).start()
    except CompositorError as error:
        pytest.fail(f"the headless {kind} did not start: {error}", pytrace=False)


def _layout(compositor: HeadlessCompositor) -> list[tuple]:
    """What a test may change about the outputs and must not pass on. Only
    sway lets a test change them."""
    if not isinstance(compositor, HeadlessSway):
        return []
    return [
        (o["name"], o["active"], o.get("current_mode"), o["rect"], o.get("scale"), o.get("transform"))
        for o in compositor.outputs()
    ]


class _Shared:
    def __init__(self, kind: str) -> None:
        self.kind = kind
        self.current: HeadlessCompositor | None = None
        self.initial_layout: list[tuple] = []

    def get(self) -> HeadlessCompositor:
        if self.current is None:
            self.current = start_compositor(self.kind)
            self.initial_layout = _layout(self.current)
        return self.current

    def unchanged(self) -> bool:
        assert self.current is not None
        try:
            return _layout(self.current) == self.initial_layout
        except CompositorError:
            return False

    def discard(self) -> None:
        if self.current is not None:
            self.current.stop()
            self.current = None


@pytest.fixture(scope="module")
def _shared_compositors() -> Iterator[dict[str, _Shared]]:
    shared: dict[str, _Shared] = {}
    try:
        yield shared
    finally:
        for one in shared.values():
            one.discard()


@pytest.fixture
def compositor_kind() -> str:
    return "sway"


@pytest.fixture
def compositor(_shared_compositors: dict[str, _Shared], compositor_kind: str) -> Iterator[HeadlessCompositor]:
    shared = _shared_compositors.setdefault(compositor_kind, _Shared(compositor_kind))
    current = shared.get()
    yield current
    if not current.running:
        log = current.log()
        shared.discard()
        pytest.fail(f"{compositor_kind} died during the test\n--- {compositor_kind} log ---\n{log}", pytrace=False)
    if not shared.unchanged():
        shared.discard()


@pytest.fixture
def sway(compositor: HeadlessCompositor) -> HeadlessCompositor:
    return compositor


@pytest.fixture
def fresh_compositor(compositor_kind: str) -> Iterator[HeadlessCompositor]:
    current = start_compositor(compositor_kind)
    try:
        yield current
    finally:
        current.stop()


@pytest.fixture
def two_output_compositor(compositor_kind: str, request: pytest.FixtureRequest) -> Iterator[tuple]:
    """A compositor with two outputs side by side, HEADLESS-1 first, and the
    second output's name. sway adds one to the shared instance (which is
    replaced after the test); phoc makes none at run time, so there it is an
    instance of the test's own started with two."""
    if compositor_kind == "sway":
        shared = request.getfixturevalue("compositor")
        yield shared, shared.add_output()
        return
    current = start_compositor(compositor_kind, outputs=2)
    try:
        yield current, "HEADLESS-2"
    finally:
        current.stop()


@pytest.fixture
def fresh_sway(fresh_compositor: HeadlessCompositor) -> HeadlessCompositor:
    return fresh_compositor


@pytest.fixture
def start_probe(probe_executable: Path) -> Iterator[Callable[[HeadlessCompositor], Probe]]:
    probes: list[Probe] = []

    def start(compositor: HeadlessCompositor) -> Probe:
        name = compositor.name
        if not compositor.running:
            pytest.fail(f"{name} is not running\n--- {name} log ---\n{compositor.log()}", pytrace=False)
        probe = Probe(compositor, probe_executable)
        probes.append(probe)
        probe.start()
        try:
            probe.wait_ready()
        except ProbeError as error:
            pytest.fail(f"kestrin-probe did not get ready: {error}\n--- {name} log ---\n{compositor.log()}",
                        pytrace=False)
        return probe

    try:
        yield start
    finally:
        for probe in probes:
            probe.stop()


@pytest.fixture
def probe(compositor: HeadlessCompositor, start_probe: Callable[[HeadlessCompositor], Probe]) -> Probe:
    return start_probe(compositor)


@pytest.fixture
def fresh_probe(fresh_compositor: HeadlessCompositor, start_probe: Callable[[HeadlessCompositor], Probe]) -> Probe:
    return start_probe(fresh_compositor)


@pytest.fixture
def new_session(compositor: HeadlessCompositor, probe: Probe) -> Callable[[], "kestrin.Kestrin"]:
    """Makes kestrin sessions on ``compositor``. Each first makes the probe's
    keyboard the seat's active one: an earlier session that went away may have
    taken the active keyboard with it, and without one the seat sends no
    keymap."""
    import kestrin

    def make() -> kestrin.Kestrin:
        probe.activate_keyboard()
        return kestrin.Kestrin(compositor.socket_path)

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

    compositor = start_compositor("sway")
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


@pytest.fixture(scope="module")
def mutter() -> Iterator[HeadlessMutter]:
    desktop = start_compositor("mutter")
    try:
        yield desktop
    finally:
        desktop.stop()


@pytest.fixture
def gnome_env(mutter: HeadlessMutter, monkeypatch: pytest.MonkeyPatch) -> HeadlessMutter:
    """``mutter``, with this process's session bus and XDG_RUNTIME_DIR (where
    PipeWire's socket is) pointed at it; a test that stopped Mutter gets it
    started again afterwards."""
    env = mutter.env()
    for name in ("DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"):
        monkeypatch.setenv(name, env[name])
    yield mutter
    if not mutter.running:
        mutter.start_mutter()


@pytest.fixture
def gnome_probe(gnome_env: HeadlessMutter, probe_executable: Path) -> Iterator[Recorder]:
    """A recorder shown fullscreen on ``mutter``."""
    recorder = Recorder(gnome_env, probe_executable).start()
    try:
        recorder.wait_ready()
        yield recorder
    except ProbeError as error:
        pytest.fail(f"kestrin-probe did not get ready: {error}\n--- mutter log ---\n{gnome_env.log()}", pytrace=False)
    finally:
        recorder.stop()


@pytest.fixture
def gnome(gnome_probe: Probe) -> "kestrin.gnome.Kestrin":
    import kestrin.gnome

    session = kestrin.gnome.Kestrin()
    pointer_ready(session, gnome_probe)
    gnome_probe.clear()
    return session


@pytest.fixture(scope="class")
def bare_gnome(mutter: HeadlessMutter) -> Iterator["kestrin.gnome.Kestrin"]:
    """One session for a class of tests that show no window and only look at
    what a call refuses: on the still screen its stream takes in nothing
    between the tests."""
    import kestrin.gnome

    env = mutter.env()
    with pytest.MonkeyPatch.context() as patch:
        for name in ("DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"):
            patch.setenv(name, env[name])
        session = kestrin.gnome.Kestrin()
        yield session
        del session
