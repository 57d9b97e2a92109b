"""Drive a GNOME desktop: the methods of kestrin.Kestrin on Mutter, through
its remote-desktop and screen-cast interfaces (org.gnome.Mutter.RemoteDesktop,
org.gnome.Mutter.ScreenCast) on the session bus, and frames through PipeWire.

Exceptions are kestrin's: RuntimeError for what the desktop refuses or lacks,
ValueError for arguments, and kestrin's internal fault.
"""

from collections.abc import Sequence
from typing import final

import numpy as np
import numpy.typing as npt

from kestrin import Output, _Button, _Region

__all__ = ["Kestrin"]

@final
class Kestrin:
    """A session on Mutter: a remote-desktop session linked to a screen cast
    of every monitor. Monitors are named by connector ("Virtual-1", "eDP-1").

    When Mutter ends the session (it stopped or restarted, the user logged
    out), the next call raises RuntimeError and the call after it opens a new
    session; the object stays usable.

    Every call, the constructor included, lets other threads run while it
    waits on the bus, PipeWire or a pause; another thread's call on the same
    object meanwhile raises RuntimeError("Already borrowed"). In a child made
    by fork(), calls on the parent's object raise RuntimeError("made in
    process N; make a new Kestrin after fork") and send nothing.
    """

    def __new__(cls) -> "Kestrin":
        """Opens the session on the bus $DBUS_SESSION_BUS_ADDRESS names. Fails
        with RuntimeError naming what is missing: no session bus, Mutter not on
        it, PipeWire not running."""

    def move_mouse(
        self,
        x_extent: int,
        y_extent: int,
        x: int,
        y: int,
        x_max: int | None = None,
        y_max: int | None = None,
    ) -> None:
        """Puts the pointer at (x, y) of a coordinate space x_extent by
        y_extent mapped onto the box around Mutter's monitor layout, as
        kestrin.Kestrin.move_mouse does."""

    def left_click(self, duration_ms: int, duration_ms_max: int | None = None) -> None:
        """Presses the left button, holds it and releases it."""

    def right_click(self, duration_ms: int, duration_ms_max: int | None = None) -> None:
        """Presses the right button, holds it and releases it."""

    def key_press(self, key: int, duration_ms: int, duration_ms_max: int | None = None) -> None:
        """Presses the key with the Linux input event code `key`, holds it and
        releases it; Mutter reads it with the session's own keymap."""

    def screenshot(self, screen_name: str | None = None) -> npt.NDArray[np.uint8]:
        """The newest frame of a monitor's screen cast (the one named
        `screen_name`, or the only one): a new array (height, width, 4) of
        blue, green, red and X bytes. The first call of a session waits for
        the first frame; later calls return at once."""

    def capture(self, screen_name: str | None = None, region: _Region | None = None) -> None:
        """Not on GNOME: raises NotImplementedError (after checking the
        arguments as kestrin.Kestrin.capture does)."""

    def outputs(self) -> list[Output]:
        """Mutter's monitors, as kestrin.Output records: name is the
        connector, description None, transform "normal", refresh_mhz 0."""

    def move_to(self, x: int, y: int, screen_name: str | None = None) -> None:
        """Puts the pointer on pixel (x, y) of a monitor's picture:
        `screenshot(screen_name)[y, x]`. A pixel outside it raises
        ValueError."""

    def button_down(self, button: _Button = "left") -> None:
        """Presses a button and keeps it held; released when the object goes."""

    def button_up(self, button: _Button = "left") -> None:
        """Releases a button that button_down holds."""

    def drag(
        self,
        x1: int,
        y1: int,
        x2: int,
        y2: int,
        screen_name: str | None = None,
        button: _Button = "left",
        steps: int = 10,
        duration_ms: int = 0,
        duration_ms_max: int | None = None,
    ) -> None:
        """Presses `button` on pixel (x1, y1), moves in `steps` even steps to
        (x2, y2) over `duration_ms` and releases it there."""

    def scroll(self, dy: int, dx: int = 0) -> None:
        """Turns the wheel by whole steps, positive down and right."""

    def scroll_smooth(self, dy: int, dx: int = 0) -> None:
        """Scrolls by pixels as a touchpad does, positive down and right."""

    def key_down(self, key: int | str) -> None:
        """Presses a key (a Linux key code, or a name as kestrin.Kestrin
        takes it: a keysym name, a single character or ctrl, shift, alt,
        altgr, super, meta, logo) and keeps it held until key_up."""

    def key_up(self, key: int | str) -> None:
        """Releases a key that key_down holds."""

    def press_keys(
        self, keys: str | Sequence[int | str], duration_ms: int = 0, duration_ms_max: int | None = None
    ) -> None:
        """Presses keys in order, holds them and releases them in reverse
        order: "ctrl+shift+t" or a sequence of names and codes."""

    def type_text(self, text: str, interval_ms: int = 0, interval_ms_max: int | None = None) -> None:
        """Types `text` as keysyms (newline is Return), which Mutter types
        with whatever key its keyboard layout has for them. Mutter 43 drops a
        keysym its layout lacks without an error ('é' on a us layout). A
        character no keysym stands for raises ValueError and nothing is
        typed."""
