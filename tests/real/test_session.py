"""Sessions against the real compositor: construction, output names, outputs
that come later, teardown, and the seat without a keyboard."""

from __future__ import annotations

import gc
import os
import subprocess
import sys
from pathlib import Path

import pytest

import kestrin
from leak_check import descriptors

README = Path(__file__).resolve().parents[2] / "README.md"
NO_KEYBOARD = "wl_seat.get_keyboard called when no keyboard capability has existed"

# Construction on a compositor that nobody has given a keyboard: the internal
# fault it ends in, what kestrin-seat-keyboard (the README's first answer)
# says there, and what the README row for the two together tells the user.
# cage's seat has no keyboard either, so construction fails the same way
# there; only the seat keyboard tool tells the cases apart.
WITHOUT_KEYBOARD = {
    "sway": (NO_KEYBOARD, "ready", "start `kestrin-seat-keyboard` first"),
    "phoc": (NO_KEYBOARD, "ready", "start `kestrin-seat-keyboard` first"),
    "cage": (NO_KEYBOARD, "the compositor offers no zwp_virtual_keyboard_manager_v1", "kestrin cannot work there"),
    "weston": ("the compositor offers no wl_seat", "the compositor offers no wl_seat", "kestrin cannot work there"),
}


def troubleshooting_rows() -> list[tuple[str, str]]:
    """(message, meaning) of each row of the README's Troubleshooting table."""
    text = README.read_text()
    table = text[text.index("## Troubleshooting") :].split("\n## ")[0]
    rows = [line.strip("|").split(" | ", 1) for line in table.splitlines() if line.startswith("| ")]
    return [(message.strip(), meaning.strip()) for message, meaning in rows[1:]]


class TestConstruction:
    def test_every_output_is_named_before_the_constructor_returns(self, sway, new_session):
        second = sway.add_output()
        k = new_session()
        # An output is chosen by name before anything is sent, so both names
        # were known when the constructor returned.
        assert k.screenshot("HEADLESS-1").shape == (1080, 1920, 4)
        assert k.screenshot(second).shape == (1080, 1920, 4)

    @pytest.mark.every_compositor
    def test_the_display_can_come_from_the_environment(self, compositor, probe, monkeypatch):
        probe.activate_keyboard()
        env = compositor.env()
        monkeypatch.setenv("XDG_RUNTIME_DIR", env["XDG_RUNTIME_DIR"])
        monkeypatch.setenv("WAYLAND_DISPLAY", os.path.basename(compositor.socket_path))
        k = kestrin.Kestrin()
        k.move_mouse(1920, 1080, 11, 13)
        probe.wait_for(lambda e: e["event"] in ("pointer_enter", "motion") and (e["x"], e["y"]) == (11, 13))

    def test_a_hundred_sessions_leave_no_descriptor_open(self, sway, new_session):
        new_session()  # anything created once per process
        gc.collect()
        before = descriptors()
        for _ in range(100):
            k = new_session()
            k.move_mouse(1920, 1080, 5, 5)
            del k
        gc.collect()
        assert descriptors() == before


class TestOutputsAfterConstruction:
    def test_a_monitor_connected_later_joins_at_the_next_roundtrip(self, sway, new_session):
        k = new_session()
        assert k.screenshot().shape == (1080, 1920, 4)
        second = sway.add_output()
        # The global arrives during the next action; its name at a later one.
        k.move_mouse(1920, 1080, 1, 1)
        k.move_mouse(1920, 1080, 2, 2)
        with pytest.raises(RuntimeError, match="^more that one WLOuput set. Please specify the name of the one to use$"):
            k.screenshot()
        assert k.screenshot(second).shape == (1080, 1920, 4)


class TestSeatWithoutKeyboard:
    @pytest.mark.parametrize("compositor_kind", WITHOUT_KEYBOARD)
    def test_construction_ends_in_the_internal_fault_that_the_readme_answers(
        self, compositor_kind, fresh_compositor, probe_executable
    ):
        fault, tool_says, answer = WITHOUT_KEYBOARD[compositor_kind]
        with pytest.raises(BaseException) as raised:
            kestrin.Kestrin(fresh_compositor.socket_path)
        assert type(raised.value).__name__ == "InternalFault"
        assert not isinstance(raised.value, Exception)
        assert fault in str(raised.value)
        assert fresh_compositor.running

        tool = subprocess.run([probe_executable.parent / "kestrin-seat-keyboard"], input=b"", capture_output=True,
                              env=fresh_compositor.env(), timeout=10)
        said = (tool.stdout + tool.stderr).decode()
        assert tool_says in said
        rows = [meaning for message, meaning in troubleshooting_rows() if fault in message and tool_says in message]
        assert len(rows) == 1, f"the README has {len(rows)} rows for {fault!r} with {tool_says!r}"
        assert answer in rows[0]

    def test_sessions_one_after_another_need_no_key_press_between(self, sway, probe, new_session):
        # Each session's virtual keyboard becomes the seat's active one and
        # takes that role with it when it goes; the seat then sends no keymap
        # and the next session uses the one remembered from the first.
        first = new_session()
        first.key_press(42, 0)
        del first
        probe.clear()
        for n in range(20):
            session = kestrin.Kestrin(sway.socket_path)
            session.key_press(30, 0)
            # Counted from the start: the probe may still be reading the
            # events of the session before.
            press, release = probe.wait_for_count(lambda e: e["event"] == "key" and e["key"] == 30, 2 * n + 2)[-2:]
            assert (press["state"], press["utf8"], release["state"]) == (1, "a", 0), n
            del session

    @pytest.mark.every_compositor
    def test_processes_one_after_another_need_no_key_press_between(self, compositor, probe):
        # The first process's virtual keyboard becomes the seat's active one
        # and takes that role with it; every later process starts on a seat
        # that sends no keymap, as a script run twice does.
        probe.activate_keyboard()
        probe.clear()
        for n in range(5):
            result = subprocess.run([sys.executable, "-c", NEW_PROCESS, compositor.socket_path], capture_output=True,
                                    text=True, timeout=60)
            assert result.stdout == "ok\n", (n, result.stdout, result.stderr)
            press, release = probe.wait_for_count(lambda e: e["event"] == "key" and e["key"] == 30, 2 * n + 2)[-2:]
            assert (press["state"], press["utf8"], release["state"]) == (1, "a", 0), n


NEW_PROCESS = """
import sys, kestrin
try:
    kestrin.Kestrin(sys.argv[1]).key_press(30, 0)
    print("ok")
except BaseException as error:
    print(type(error).__name__, error)
"""
