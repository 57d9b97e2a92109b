"""The pytest plugin of kestrin.testing, registered through the pytest11
entry point: a headless Wayland desktop per test and a kestrin session on it.

Fixtures:

- ``wayland_desktop``: a started ``HeadlessDesktop``, stopped after the test
  (or after the module or session, with ``--wayland-desktop-scope``).
- ``kestrin_session``: a ``kestrin.Kestrin`` connected to ``wayland_desktop``.

The marker ``@pytest.mark.wayland_desktop(outputs=[(1280, 720)], layout="fr")``
passes its keyword arguments to ``HeadlessDesktop``; the closest one counts
(a test's own, else its class's or module's ``pytestmark``). Under every
scope each test gets the desktop its marker asks for: with a desktop shared
by a module or the session, a test's keymap (layout, variant, options) and
``env`` are set for that test alone, and a test that asks for other outputs,
configuration or user gets the shared desktop started again with them. Each
test starts with no recorder or application of an earlier test left and
nothing held: what a test started with ``recorder()`` and ``spawn()`` is
ended after it, and ``kestrin_session`` lets go of its keys and buttons, also
when the test failed; a shared desktop that died is started again for the
next test.

When sway is not installed the fixture fails, naming the Debian package to
install; ``--wayland-desktop-skip-missing`` makes that a skip. As root, sway
runs as ``--wayland-desktop-user NAME``, as the system user kestrin-sway with
``--wayland-desktop-create-user``, and otherwise as a uid without an account.
While a desktop is up, SIGTERM ends the run as Ctrl-C does (unless something
else handles SIGTERM), so that the desktop is stopped either way.
"""

from __future__ import annotations

import signal
import threading
from typing import TYPE_CHECKING, Any, Callable, Iterator, Literal, cast

import pytest

if TYPE_CHECKING:
    import kestrin

    from . import HeadlessDesktop

SCOPES = ("function", "module", "session")


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("wayland-desktop", "headless Wayland desktops (kestrin.testing)")
    group.addoption("--wayland-desktop-scope", choices=SCOPES, default="function",
                    help="how long one wayland_desktop lives: function (default), module or session")
    group.addoption("--wayland-desktop-skip-missing", action="store_true", default=False,
                    help="skip the tests that need a wayland_desktop when sway is not installed, instead of "
                         "failing them")
    group.addoption("--wayland-desktop-user", default=None, metavar="NAME",
                    help="as root: the unprivileged user that sway runs as")
    group.addoption("--wayland-desktop-create-user", action="store_true", default=False,
                    help="as root: run sway as the system user kestrin-sway, made if it does not exist (by "
                         "default it runs as a uid without an account)")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "wayland_desktop(**options): options of the wayland_desktop fixture's desktop, the keyword arguments "
        "of kestrin.testing.HeadlessDesktop (outputs=[(1280, 720)], layout='fr', ...)",
    )


Scope = Literal["function", "module", "session"]


def _scope(fixture_name: str, config: pytest.Config) -> Scope:
    return cast(Scope, config.getoption("--wayland-desktop-scope"))


# What a shared desktop changes for one test without starting again.
PER_TEST = ("layout", "variant", "options", "env")
KEYMAP_DEFAULTS = {"layout": "us", "variant": "", "options": ""}


def _options(config: pytest.Config, node: pytest.Item | pytest.Collector | pytest.Session) -> dict[str, Any]:
    options: dict[str, Any] = {
        "user": config.getoption("--wayland-desktop-user"),
        "create_user": config.getoption("--wayland-desktop-create-user"),
    }
    marker = node.get_closest_marker("wayland_desktop")
    if marker is not None:
        options.update(marker.kwargs)
    return options


def _start(desktop: "HeadlessDesktop", config: pytest.Config) -> None:
    from . import DesktopError, RootWithoutUser, SwayMissing

    try:
        desktop.start()
    except SwayMissing as error:
        if config.getoption("--wayland-desktop-skip-missing"):
            pytest.skip(str(error))
        pytest.fail(str(error), pytrace=False)
    except RootWithoutUser:
        pytest.fail("sway refuses to run as root: run pytest with --wayland-desktop-user=NAME (an existing "
                    "unprivileged user to run it as) or --wayland-desktop-create-user (runs it as the system user "
                    "kestrin-sway, made if it does not exist)", pytrace=False)
    except DesktopError as error:
        pytest.fail(f"the headless desktop did not start: {error}", pytrace=False)


# The options each desktop of the fixture was started with, by its id.
_desktops: dict[int, dict[str, Any]] = {}


@pytest.fixture(scope=_scope)
def wayland_desktop(request: pytest.FixtureRequest) -> Iterator["HeadlessDesktop"]:
    """A started headless desktop (kestrin.testing.HeadlessDesktop)."""
    from . import HeadlessDesktop

    options = _options(request.config, request.node)
    desktop = HeadlessDesktop(**options)
    _desktops[id(desktop)] = options
    restore = _stop_on_sigterm()
    try:
        _start(desktop, request.config)
        yield desktop
    finally:
        try:
            desktop.stop()
        finally:
            _desktops.pop(id(desktop), None)
            restore()


@pytest.fixture(autouse=True)
def _wayland_desktop_per_test(request: pytest.FixtureRequest) -> Iterator[None]:
    """Gives a test of a shared desktop what its marker asks for, and ends
    after it what it started there."""
    if "wayland_desktop" not in request.fixturenames:
        yield
        return
    desktop: HeadlessDesktop = request.getfixturevalue("wayland_desktop")
    _fit(desktop, _options(request.config, request.node), request.config)
    started = desktop._started()
    yield
    if desktop.running:
        desktop._stop_since(*started)


def _fit(desktop: "HeadlessDesktop", wanted: dict[str, Any], config: pytest.Config) -> None:
    had = _desktops[id(desktop)]
    differs = {name for name in set(had) | set(wanted) if name not in PER_TEST and had.get(name) != wanted.get(name)}
    if differs or not desktop.running:
        # Started again in place: fixtures of the wider scope hold this object.
        desktop.stop()
        desktop.__init__(**wanted)  # type: ignore[misc]
        _desktops[id(desktop)] = wanted
        _start(desktop, config)
        return
    desktop.app_env = dict(wanted.get("env") or {})
    desktop.set_keymap(**{name: wanted.get(name, default) for name, default in KEYMAP_DEFAULTS.items()})


def _interrupt(signum: int, frame: object) -> None:
    raise KeyboardInterrupt


def _stop_on_sigterm() -> Callable[[], None]:
    """While a desktop is up, SIGTERM (a CI job's time limit, for one) ends
    the run as Ctrl-C does, so that the fixtures' teardown stops the desktop
    and pytest reports; by default it would end the process at once, and only
    the parent-death signals and the watcher would clean up. Only where
    nobody else handles SIGTERM. Returns what puts it back."""
    if threading.current_thread() is not threading.main_thread() or \
            signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL:
        return lambda: None
    signal.signal(signal.SIGTERM, _interrupt)

    def restore() -> None:
        if signal.getsignal(signal.SIGTERM) is _interrupt:
            signal.signal(signal.SIGTERM, signal.SIG_DFL)

    return restore


@pytest.fixture
def kestrin_session(wayland_desktop: "HeadlessDesktop", _wayland_desktop_per_test: None) -> Iterator["kestrin.Kestrin"]:
    """A kestrin session on ``wayland_desktop``; what it still holds after
    the test is let go, even if a failed test's traceback keeps it alive."""
    session = wayland_desktop.connect()
    yield session
    _let_go(session)
    del session


# Every button code from BTN_MISC up to the end of the mouse buttons, and
# every key code below KEY_MAX.
BUTTONS = range(0x100, 0x120)
KEYS = range(1, 0x300)


def _let_go(session: "kestrin.Kestrin") -> None:
    # Releasing what is not held is refused without sending anything; a
    # session whose compositor went away has nothing left to release.
    for release, codes in ((session.button_up, BUTTONS), (session.key_up, KEYS)):
        for code in codes:
            try:
                release(code)
            except ValueError:
                pass
            except Exception:
                return
