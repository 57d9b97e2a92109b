"""Drive a Wayland desktop: move and click the pointer, press keys, and
capture a monitor into a NumPy array.

The compositor must offer the virtual-pointer (zwlr_virtual_pointer_manager_v1),
virtual-keyboard (zwp_virtual_keyboard_manager_v1) and screencopy
(zwlr_screencopy_manager_v1) protocols, as wlroots compositors such as sway do.
"""

from collections.abc import Sequence
from typing import final

import numpy as np
import numpy.typing as npt

__all__ = ["Kestrin"]

@final
class Kestrin:
    """A connection to a Wayland compositor.

    Failures of the compositor or the connection raise RuntimeError; a call
    made while another call on the same object is running (from a logging
    handler, say) raises RuntimeError("Already borrowed"). A broken internal
    invariant (for example a compositor without a seat or without the
    virtual-input protocols) raises an exception derived directly from
    BaseException, not from Exception.
    """

    def __new__(cls, wayland_display: str | None = None) -> "Kestrin":
        """Connects to the compositor.

        `wayland_display` is a socket name below $XDG_RUNTIME_DIR or an
        absolute socket path; without it $WAYLAND_DISPLAY is used, and
        "wayland-0" when that is unset. Waits until every output has its name.
        """

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
        y_extent that the compositor maps onto its output layout.

        With `x_max` (or `y_max`) the coordinate is drawn anew on each call
        from a normal distribution over x … x_max, clipped to it. All numbers
        are 0 … 4294967295.
        """

    def left_click(self, duration_ms: int, duration_ms_max: int | None = None) -> None:
        """Presses the left button, holds it `duration_ms` milliseconds (or a
        time drawn from duration_ms … duration_ms_max) and releases it."""

    def right_click(self, duration_ms: int, duration_ms_max: int | None = None) -> None:
        """Presses the right button, holds it and releases it, as left_click."""

    def key_press(self, key: int, duration_ms: int, duration_ms_max: int | None = None) -> None:
        """Presses the key with the Linux input event code `key` (30 is A,
        28 is Enter), holds it and releases it. The code means what it means
        on the seat's own keyboard layout."""

    def screenshot(self, screen_name: str | None = None) -> npt.NDArray[np.uint8]:
        """Captures an output: the one named `screen_name`, or the only one.

        Returns a new array of shape (height, width, 4) whose last axis holds
        the bytes blue, green, red and an unused byte of each pixel.
        """

    def key_down(self, key: int | str) -> None:
        """Presses a key and keeps it held until key_up.

        `key` is a Linux key code or a name: an XKB keysym name of the seat's
        keymap ("a", "Return", "Page_Down", "F5"; case matters), a single
        character, or one of ctrl, shift, alt, altgr, super (meta, logo). The
        compositor is told the modifiers that held keys set. A key already
        held raises ValueError; keys still held when the object goes are
        released then."""

    def key_up(self, key: int | str) -> None:
        """Releases a key that key_down holds; a key not held raises
        ValueError."""

    def press_keys(
        self, keys: str | Sequence[int | str], duration_ms: int = 0, duration_ms_max: int | None = None
    ) -> None:
        """Presses keys in order, holds them `duration_ms` milliseconds (or a
        time drawn from duration_ms … duration_ms_max) and releases them in
        reverse order. `keys` is a combination such as "ctrl+shift+t" (a
        literal plus is "plus") or a sequence of key names and codes.
        Unknown names raise one ValueError listing them all."""

    def type_text(self, text: str, interval_ms: int = 0, interval_ms_max: int | None = None) -> None:
        """Types `text` with the seat's own keyboard layout (newline is
        Return, tab is Tab), pausing `interval_ms` milliseconds (or a drawn
        time) between characters. A character the layout cannot type raises
        ValueError naming it and its index, and nothing is typed."""
