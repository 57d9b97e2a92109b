"""Headless Wayland desktops for testing applications with kestrin.

``HeadlessDesktop`` starts a private sway with the headless backend and the
pixman renderer, outputs of the sizes asked for and a keyboard on its seat;
``connect()`` gives a ``kestrin.Kestrin`` for it, ``spawn()`` starts an
application inside, ``wait_for_window()`` waits for its window, and
``recorder()`` shows a window that records every input event it receives::

    from kestrin.testing import HeadlessDesktop

    with HeadlessDesktop(outputs=[(1280, 720)], layout="us") as desktop:
        recorder = desktop.recorder()
        session = desktop.connect()
        session.key_press(30, 20)            # the key A
        assert recorder.wait_for_text("a") == "a"

sway is a system dependency (Debian: apt-get install sway); as root, it runs
as a uid without an account unless ``user=`` or ``create_user=`` say
otherwise. The two programs
the desktop runs, kestrin-seat-keyboard and kestrin-probe (the recorder), are
installed with the module. The pytest plugin (``wayland_desktop``,
``kestrin_session``) is described in ``kestrin.testing.pytest_plugin``;
``python -m kestrin.testing --help`` describes it all.
"""

from ._compositor import CompositorError, RootWithoutUser
from ._desktop import App, DesktopError, HeadlessDesktop, OutputSpec, SwayMissing, program
from ._recorder import Recorder

__all__ = ["App", "CompositorError", "DesktopError", "HeadlessDesktop", "OutputSpec", "Recorder", "RootWithoutUser",
           "SwayMissing", "program"]
