"""Driving kestrin-probe, the recorder: a client that shows a known picture
and reports every event it receives.

``Probe`` starts the probe against a compositor, reads the JSON lines it
writes on a thread of its own, and lets a test wait for events. Every line is
an object with "event" (its name) and "t", the probe's CLOCK_MONOTONIC time
of receipt in milliseconds (comparable with ``time.monotonic() * 1000``);
input events also carry "time", the event's own timestamp (null for events
without one). The events and their fields:

- ``keyboard_activated`` {ok}: the answer to ``activate_keyboard``.
- ``ready`` {width, height}: once, when the picture is on the output;
  ``redrawn`` {width, height} after later size changes; ``configure``
  {width, height}; ``close``.
- ``capabilities`` {pointer, keyboard, touch} (booleans), as the seat
  announces them; ``input_ready`` {pointer, keyboard}: which of the two the
  probe holds, once the compositor has processed its taking or releasing them.
  Pointer input that another client sends after the probe has reported
  ``input_ready`` with pointer true reaches the probe; input sent before may
  be lost (see ``wait_input_ready``).
- ``pointer_enter`` {x, y}, ``pointer_leave``, ``motion`` {x, y} (surface
  coordinates, floats), ``button`` {button, state}, ``axis`` {axis, value},
  ``axis_source`` {source}, ``axis_stop`` {axis}, ``axis_discrete``
  {axis, discrete}, ``axis_value120`` {axis, value120}, ``frame``.
- ``keymap`` {format, size, loaded}, ``keyboard_enter`` {keys},
  ``keyboard_leave``, ``key`` {key, state, keysym, utf8} (key is the evdev
  code; keysym is the keysym's name and utf8 its text under the current keymap
  and modifiers), ``modifiers`` {depressed, latched, locked, group},
  ``repeat_info`` {rate, delay}.

``probe_picture`` is the picture the probe shows.
"""

from __future__ import annotations

import json
import os
import subprocess
import threading
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Self, Union

from ._compositor import launch

if TYPE_CHECKING:
    import numpy

Event = dict[str, Any]
Predicate = Union[str, Callable[[Event], bool]]


def probe_picture(width: int, height: int) -> "numpy.ndarray":
    """The probe's picture as a (height, width, 4) uint8 array in the byte
    order of an xrgb8888 buffer: B, G, R, X.

    B = x % 256, G = y % 256, R = ((x // 256) * 37 + (y // 256) * 11) % 256.
    X is 255: the probe writes 255 there, and sway's screencopy hands the
    client's byte through unchanged (it is not forced to 255 by the
    compositor), so a capture of the probe holds 255 there too."""
    import numpy as np

    x = np.arange(width, dtype=np.uint32)[np.newaxis, :]
    y = np.arange(height, dtype=np.uint32)[:, np.newaxis]
    picture = np.empty((height, width, 4), dtype=np.uint8)
    picture[..., 0] = x % 256
    picture[..., 1] = y % 256
    picture[..., 2] = ((x // 256) * 37 + (y // 256) * 11) % 256
    picture[..., 3] = 255
    return picture


class ProbeError(RuntimeError):
    """The probe ended, or an awaited event did not come. The message carries
    the probe's stderr and the events seen."""


def _matcher(predicate: Predicate) -> Callable[[Event], bool]:
    if isinstance(predicate, str):
        return lambda event: event.get("event") == predicate
    return predicate


class Probe:
    """One running kestrin-probe.

    ``env`` is the environment of the probe (``HeadlessSway.env()``, or any
    mapping with WAYLAND_DISPLAY and XDG_RUNTIME_DIR); a compositor of
    headless.py may be passed instead, and then its ``probe_arguments`` are
    used too. ``executable`` is the path of kestrin-probe.

    Events are kept in arrival order until ``clear()``, and every wait looks
    at all of them: call ``clear()`` before the action whose effect a test
    waits for, or an older event may answer the wait. Predicates are either an
    event name or a function of the event dict.
    """

    def __init__(self, env: Any, executable: str | os.PathLike[str]) -> None:
        self._env = dict(env.env() if hasattr(env, "env") else env)
        self._arguments = list(getattr(env, "probe_arguments", ()))
        self.executable = Path(executable)
        self._process: subprocess.Popen[bytes] | None = None
        self._events: list[Event] = []
        self._stderr: list[str] = []
        self._condition = threading.Condition()
        self._threads: list[threading.Thread] = []
        # The probe counts as ended when both its stdout and stderr are, so
        # that an error report always has the probe's last words.
        self._open_streams = 0
        self.ready: Event | None = None
        # The newest input_ready; None once a capabilities event came after
        # it, for the probe is then still taking or releasing what it names.
        self._holding: Event | None = None

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    @property
    def pid(self) -> int | None:
        return self._process.pid if self._process is not None else None

    @property
    def process(self) -> subprocess.Popen[bytes] | None:
        return self._process

    @property
    def returncode(self) -> int | None:
        return self._process.poll() if self._process is not None else None

    @property
    def width(self) -> int:
        return self._ready()["width"]

    @property
    def height(self) -> int:
        return self._ready()["height"]

    def start(self) -> Self:
        if self._process is not None:
            return self
        if not self.executable.is_file():
            raise ProbeError(f"{self.executable} is missing")
        self._process = launch(
            [str(self.executable), *self._arguments],
            env=self._env,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        self._threads = [
            threading.Thread(target=self._read_events, name="probe-stdout", daemon=True),
            threading.Thread(target=self._read_stderr, name="probe-stderr", daemon=True),
        ]
        self._open_streams = len(self._threads)
        for thread in self._threads:
            thread.start()
        return self

    def stop(self, timeout: float = 5.0) -> int | None:
        """Closes the probe's stdin, which ends it; signals it if it does not
        end. Returns its exit status (0 after a clean end)."""
        process = self._process
        if process is None:
            return None
        if process.stdin is not None and not process.stdin.closed:
            try:
                process.stdin.close()
            except OSError:
                pass
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.terminate()
            try:
                process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        for thread in self._threads:
            thread.join(timeout=timeout)
        for stream in (process.stdout, process.stderr):
            if stream is not None:
                stream.close()
        return process.returncode

    def paint(self, x: int, y: int, width: int, height: int) -> None:
        """Paints a rectangle of the probe's picture white (a change for a
        capture to see); returns once the probe has committed it."""
        process = self._process
        if process is None or process.stdin is None:
            raise ProbeError("the probe is not running")
        done = len(self.events("painted"))
        process.stdin.write(f"paint {x} {y} {width} {height}\n".encode())
        process.stdin.flush()
        self.wait_for_count("painted", done + 1)

    def activate_keyboard(self, timeout: float = 5.0) -> None:
        """Makes the probe's keyboard the seat's active one again. wlroots
        forgets the active keyboard when it goes away, and a seat without one
        sends no keymap, so a new kestrin session after an earlier one has
        disconnected needs this."""
        process = self._process
        if process is None or process.stdin is None:
            raise ProbeError("the probe is not running")
        done = len(Probe.events(self, "keyboard_activated"))
        process.stdin.write(b"activate-keyboard\n")
        process.stdin.flush()
        answer = self.wait_for_count("keyboard_activated", done + 1, timeout)[-1]
        if not answer["ok"]:
            raise ProbeError(self._describe("the keyboard could not be activated"))

    def terminate(self) -> None:
        """Sends SIGTERM, without waiting."""
        if self._process is not None:
            self._process.terminate()

    # --- events -----------------------------------------------------------

    def events(self, predicate: Predicate | None = None) -> list[Event]:
        """A copy of the events since the last ``clear()``, those matching
        ``predicate`` if given."""
        with self._condition:
            events = list(self._events)
        return events if predicate is None else [e for e in events if _matcher(predicate)(e)]

    def clear(self) -> None:
        """Forgets the events received so far."""
        with self._condition:
            self._events.clear()

    def wait_for(self, predicate: Predicate, timeout: float = 5.0) -> Event:
        """The first event since the last ``clear()`` that matches
        ``predicate``, waiting up to ``timeout`` seconds for it. Raises
        ProbeError when it does not come or the probe ends first."""
        return self.wait_for_count(predicate, 1, timeout)[0]

    def wait_for_count(self, predicate: Predicate, count: int, timeout: float = 5.0) -> list[Event]:
        """The first ``count`` matching events since the last ``clear()``."""
        match = _matcher(predicate)

        def found() -> tuple[list[Event] | None, str]:
            events = [e for e in self._events if match(e)]
            return (events[:count] if len(events) >= count else None), f"{len(events)} of {count} events"

        return self._wait_until(found, timeout)

    def _wait_until(self, check: Callable[[], tuple[Any, str]], timeout: float) -> Any:
        """Waits until ``check`` (called with the condition held) gives a
        value other than None, and returns it; the text it gives with it says
        what there was instead."""
        deadline = time.monotonic() + timeout
        with self._condition:
            while True:
                value, instead = check()
                if value is not None:
                    return value
                if self._ended():
                    raise ProbeError(self._describe(f"the probe ended with {instead}"))
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise ProbeError(self._describe(f"{instead} within {timeout} s"))
                self._condition.wait(remaining)

    def wait_ready(self, timeout: float = 10.0) -> Event:
        """Waits for the ready event: the picture is then on the output."""
        if self.ready is None:
            self.ready = self.wait_for("ready", timeout)
        return self.ready

    def wait_input_ready(self, pointer: bool = True, keyboard: bool = True, timeout: float = 5.0) -> Event:
        """Waits until the probe holds (or, given False, has released) the
        seat's pointer and keyboard. A client that creates a virtual pointer
        should wait for this before it moves the pointer: sway delivers the
        first events to whoever holds a wl_pointer at that moment."""
        return self.wait_for(
            lambda e: e["event"] == "input_ready" and e["pointer"] == pointer and e["keyboard"] == keyboard,
            timeout,
        )

    def wait_holding(self, pointer: bool = True, keyboard: bool = True, timeout: float = 5.0) -> Event:
        """Waits until the probe holds (or, given False, does not hold) the
        seat's pointer and keyboard, by its newest word on them, cleared or
        not: unlike ``wait_input_ready`` it returns at once when nothing
        changed since, as when a second session comes while a first still
        gives the seat its pointer."""

        def holding() -> tuple[Event | None, str]:
            state = self._holding
            if state is not None and (state["pointer"], state["keyboard"]) == (pointer, keyboard):
                return state, "nothing"
            return None, f"input_ready {state} instead of pointer {pointer} and keyboard {keyboard}"

        return self._wait_until(holding, timeout)

    def stderr(self) -> str:
        with self._condition:
            return "".join(self._stderr)

    # --- internals --------------------------------------------------------

    def _ended(self) -> bool:
        return self._process is not None and self._open_streams == 0

    def _ready(self) -> Event:
        if self.ready is None:
            raise ProbeError("the probe is not ready yet; call wait_ready()")
        return self.ready

    def _describe(self, what: str) -> str:
        # Called with the condition held.
        lines = [json.dumps(e) for e in self._events[-40:]]
        status = self._process.poll() if self._process is not None else None
        return (
            f"{what} (probe exit status {status})\n"
            f"--- probe stderr ---\n{''.join(self._stderr).strip()}\n"
            f"--- last events ---\n" + "\n".join(lines)
        )

    def _read_events(self) -> None:
        assert self._process is not None and self._process.stdout is not None
        for raw in self._process.stdout:
            try:
                event = json.loads(raw)
            except json.JSONDecodeError:
                event = {"event": "unparsed", "line": raw.decode(errors="replace")}
            with self._condition:
                self._events.append(event)
                if event.get("event") == "input_ready":
                    self._holding = event
                elif event.get("event") == "capabilities":
                    self._holding = None
                self._condition.notify_all()
        self._stream_ended()

    def _read_stderr(self) -> None:
        assert self._process is not None and self._process.stderr is not None
        for raw in self._process.stderr:
            with self._condition:
                self._stderr.append(raw.decode(errors="replace"))
        self._stream_ended()

    def _stream_ended(self) -> None:
        with self._condition:
            self._open_streams -= 1
            self._condition.notify_all()


def start_probe(env: Any, executable: str | os.PathLike[str], timeout: float = 10.0) -> Probe:
    """Starts a probe and waits until it is ready; stops it again if it does
    not get there."""
    probe = Probe(env, executable).start()
    try:
        probe.wait_ready(timeout)
    except BaseException:
        probe.stop()
        raise
    return probe


# What a recorder reports as input; the rest is the probe's own housekeeping.
INPUT_EVENTS = frozenset({
    "pointer_enter", "pointer_leave", "motion", "button", "axis", "axis_source", "axis_stop", "axis_discrete",
    "axis_value120", "keyboard_enter", "keyboard_leave", "key", "modifiers",
})
KEY_PRESSED = 1


class Recorder(Probe):
    """The input recorder of ``HeadlessDesktop.recorder()``: a fullscreen
    window that reports every input event it receives.

    ``events()`` lists the input events since the last ``clear()``, each a
    dict with "event" (its name) and its fields: ``motion`` {x, y} in surface
    coordinates, ``button`` {button, state} (evdev code; 1 pressed, 0
    released), ``axis`` {axis, value}, ``key`` {key, state, keysym, utf8}
    (evdev code, the keysym's name and its text under the keymap and the
    modifiers of the moment), ``modifiers`` {depressed, latched, locked,
    group}, ``pointer_enter``/``keyboard_enter`` and so on. ``text()`` is what
    was typed: the text of the key presses, in order."""

    def events(self, predicate: Predicate | None = None) -> list[Event]:
        """The input events since the last ``clear()``, those matching
        ``predicate`` (an event name or a function of the event) if given."""
        events = [e for e in super().events() if e.get("event") in INPUT_EVENTS]
        return events if predicate is None else [e for e in events if _matcher(predicate)(e)]

    def events_so_far(self, predicate: Predicate | None = None) -> list[Event]:
        """Like ``events()``, with the recorder's own events too (ready,
        capabilities, input_ready, ...)."""
        return super().events(predicate)

    def text(self) -> str:
        """What was typed since the last ``clear()``."""
        with self._condition:
            return _typed(self._events)

    def wait_for_text(self, text: str, timeout: float = 5.0) -> str:
        """Waits until ``text()`` ends with ``text`` and returns ``text()``."""

        def typed() -> tuple[str | None, str]:
            so_far = _typed(self._events)
            return (so_far if so_far.endswith(text) else None), f"the text {so_far!r} typed, not {text!r},"

        return self._wait_until(typed, timeout)


def _typed(events: list[Event]) -> str:
    return "".join(e.get("utf8") or "" for e in events if e.get("event") == "key" and e.get("state") == KEY_PRESSED)


__all__ = ["Event", "Probe", "ProbeError", "Recorder", "probe_picture", "start_probe"]
