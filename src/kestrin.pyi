"""Drive a Wayland desktop: move and click the pointer, press keys, and
capture a monitor into a NumPy array.

The compositor must offer the virtual-pointer (zwlr_virtual_pointer_manager_v1),
virtual-keyboard (zwp_virtual_keyboard_manager_v1) and screencopy
(zwlr_screencopy_manager_v1) protocols, as wlroots compositors such as sway do.
"""

from collections.abc import Sequence
from typing import Literal, final

import numpy as np
import numpy.typing as npt

__all__ = ["Kestrin"]

_Button = Literal["left", "right", "middle", "side", "extra"] | int

_Region = tuple[int, int, int, int]

@final
class Capture:
    """A lasting capture of one output (or of a region of its picture), made
    by Kestrin.capture(). It keeps two shared-memory buffers until close(),
    the end of a with block, or until it is freed; it holds its Kestrin
    object, and its calls take that object for their duration as the Kestrin
    methods do. Iterating gives one new frame per refresh of the output."""

    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def grab(self) -> npt.NDArray[np.uint8]:
        """The next frame as a new (height, width, 4) uint8 array, as screenshot() gives it."""
    def grab_into(self, array: npt.NDArray[np.uint8]) -> None:
        """The next frame into a writable C-contiguous (height, width, 4) uint8 array."""
    def wait_for_change(
        self, timeout_ms: int | None = None, region: _Region | None = None
    ) -> tuple[npt.NDArray[np.uint8], list[_Region]] | None:
        """Sleeps until something in region changed; the frame and the changed
        rectangles in output pixels, or None once timeout_ms passed."""
    def wait_until_stable(self, quiet_ms: int, timeout_ms: int | None = None) -> npt.NDArray[np.uint8] | None:
        """A frame once nothing changed for quiet_ms; None once timeout_ms passed."""
    def close(self) -> None: ...
    def __enter__(self) -> "Capture": ...
    def __exit__(self, *exc_info: object) -> bool: ...
    def __iter__(self) -> "Capture": ...
    def __next__(self) -> npt.NDArray[np.uint8]: ...

@final
class Output(tuple[str | None, str | None, int, int, int, int, int, int, float, str, int]):
    """One output as the compositor describes it; read-only, and a tuple of
    its fields in this order.

    Without xdg-output (zxdg_output_manager_v1) `x` and `y` are the position
    that wl_output gives (0 on wlroots compositors) and the logical size is
    derived from the mode, the scale and the transform.
    """

    @property
    def name(self) -> str | None:
        """The output's name ("DP-1"), or None when the compositor gives none."""
    @property
    def description(self) -> str | None: ...
    @property
    def x(self) -> int:
        """Left edge in the layout, in logical units."""
    @property
    def y(self) -> int:
        """Top edge in the layout, in logical units."""
    @property
    def width(self) -> int:
        """Width of the current mode in pixels: the width of its screenshot."""
    @property
    def height(self) -> int:
        """Height of the current mode in pixels: the height of its screenshot."""
    @property
    def logical_width(self) -> int: ...
    @property
    def logical_height(self) -> int: ...
    @property
    def scale(self) -> float:
        """Pixels per logical unit (1.5 for a fractional scale)."""
    @property
    def transform(self) -> str:
        """"normal", "90", "180", "270", "flipped", "flipped-90", "flipped-180"
        or "flipped-270", counter-clockwise as Wayland counts (sway's
        configuration counts clockwise: its "90" is "270" here)."""
    @property
    def refresh_mhz(self) -> int: ...

@final
class Kestrin:
    """A connection to a Wayland compositor.

    Failures of the compositor or the connection raise RuntimeError; a call
    made while another call on the same object is running (from another
    thread, or from a logging handler) raises RuntimeError("Already
    borrowed"). A broken internal invariant (for example a compositor without
    a seat or without the virtual-input protocols) raises an exception
    derived directly from BaseException, not from Exception.

    move_mouse, left_click, right_click, key_press and screenshot hold the
    interpreter lock throughout; every other method (and every Capture
    method) lets other threads run while it waits. In a child made by fork(),
    every call on an object of the parent raises RuntimeError("made in
    process N; make a new Kestrin after fork") and sends nothing.
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
        the bytes blue, green, red and a fourth byte (the format's X or alpha
        channel) of each pixel, whichever of the 8- and 10-bit RGB formats the
        compositor captured in.
        """

    def capture(self, screen_name: str | None = None, region: _Region | None = None) -> Capture:
        """Opens a Capture of an output, or of its part region=(x, y, width,
        height) in the pixels of its screenshot."""
    def outputs(self) -> list[Output]:
        """The outputs in the order the compositor announced them. Outputs
        added or removed since the last call are included or left out."""

    def move_to(self, x: int, y: int, screen_name: str | None = None) -> None:
        """Puts the pointer on pixel (x, y) of an output's picture: the pixel
        `screenshot(screen_name)[y, x]` shows, whatever the output's
        position, scale or transform. The output is chosen as screenshot
        chooses it. A pixel outside the picture raises ValueError."""

    def button_down(self, button: _Button = "left") -> None:
        """Presses a button ("left", "right", "middle", "side", "extra" or a
        Linux button code such as 272) and keeps it held; ValueError if it is
        held already. Buttons still held when the object is freed are
        released then."""

    def button_up(self, button: _Button = "left") -> None:
        """Releases a button that button_down holds; ValueError if it is not
        held."""

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
        """Moves to pixel (x1, y1) as move_to does, presses `button`, makes
        `steps` evenly spaced motions to (x2, y2) spread over `duration_ms`
        (or a time drawn from duration_ms … duration_ms_max) and releases the
        button there. Waits for room in the socket when the compositor reads
        slowly; Ctrl-C (in the pause between steps too) sends the release
        before KeyboardInterrupt is raised."""

    def scroll(self, dy: int, dx: int = 0) -> None:
        """Turns the wheel by whole steps, positive down (dy) and right (dx),
        as a mouse wheel does (15 units a step). At most 559240 steps either
        way."""

    def scroll_smooth(self, dy: int, dx: int = 0) -> None:
        """Scrolls by pixels, positive down and right, as a finger on a
        touchpad does, and ends the scroll. At most 8388607 pixels either
        way."""

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
        time) between characters; with 0, at a pace applications keep up
        with. A character the layout lacks is typed through a keymap of
        kestrin's own, and the seat's keymap given back after it. A
        character no key can type (NUL, most control characters) raises
        ValueError naming it and its index, and nothing is typed."""
