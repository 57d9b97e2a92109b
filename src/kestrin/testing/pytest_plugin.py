"""The pytest plugin of kestrin.testing, registered through the pytest11
entry point: a headless Wayland desktop per test and a kestrin session on it.

Fixtures:

- ``wayland_desktop``: a started ``HeadlessDesktop``, stopped after the test
  (or after the module or session, with ``--wayland-desktop-scope``).
- ``kestrin_session``: a ``kestrin.Kestrin`` connected to ``wayland_desktop``.

The marker ``@pytest.mark.wayland_desktop(outputs=[(1280, 720)], layout="fr")``
passes its keyword arguments to ``HeadlessDesktop`` (on a module through
``pytestmark`` for wider scopes). When sway is not installed the fixture
fails, naming the Debian package to install; ``--wayland-desktop-skip-missing``
makes that a skip. As root, sway runs as ``--wayland-desktop-user NAME``, or
as the system user kestrin-sway with ``--wayland-desktop-create-user``. While
a desktop is up, SIGTERM ends the run as Ctrl-C does (unless something else
handles SIGTERM), so that the desktop is stopped either way.
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
                    help="as root: run sway as the system user kestrin-sway, made if it does not exist")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "wayland_desktop(**options): options of the wayland_desktop fixture's desktop, the keyword arguments "
        "of kestrin.testing.HeadlessDesktop (outputs=[(1280, 720)], layout='fr', ...)",
    )


Scope = Literal["function", "module", "session"]


def _scope(fixture_name: str, config: pytest.Config) -> Scope:
    return cast(Scope, config.getoption("--wayland-desktop-scope"))


@pytest.fixture(scope=_scope)
def wayland_desktop(request: pytest.FixtureRequest) -> Iterator["HeadlessDesktop"]:
    """A started headless desktop (kestrin.testing.HeadlessDesktop)."""
    from . import DesktopError, HeadlessDesktop, RootWithoutUser, SwayMissing

    config = request.config
    options: dict[str, Any] = {
        "user": config.getoption("--wayland-desktop-user"),
        "create_user": config.getoption("--wayland-desktop-create-user"),
    }
    marker = request.node.get_closest_marker("wayland_desktop")
    if marker is not None:
        options.update(marker.kwargs)
    desktop = HeadlessDesktop(**options)
    restore = _stop_on_sigterm()
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
    try:
        yield desktop
    finally:
        try:
            desktop.stop()
        finally:
            restore()


def _interrupt(signum: int, frame: object) -> None:
    raise KeyboardInterrupt


def _stop_on_sigterm() -> Callable[[], None]:
    """While a desktop is up, SIGTERM (a CI job's time limit, for one) ends
    the run as Ctrl-C does, so that the fixtures' teardown stops the desktop;
    by default it would end the process at once and leave sway running. Only
    where nobody else handles SIGTERM. Returns what puts it back."""
    if threading.current_thread() is not threading.main_thread() or \
            signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL:
        return lambda: None
    signal.signal(signal.SIGTERM, _interrupt)

    def restore() -> None:
        if signal.getsignal(signal.SIGTERM) is _interrupt:
            signal.signal(signal.SIGTERM, signal.SIG_DFL)

    return restore


@pytest.fixture
def kestrin_session(wayland_desktop: "HeadlessDesktop") -> Iterator["kestrin.Kestrin"]:
    """A kestrin session on ``wayland_desktop``."""
    session = wayland_desktop.connect()
    yield session
    del session
