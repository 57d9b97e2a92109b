"""Sessions against the real compositor: construction, output names, outputs
that come later, teardown, and the seat without a keyboard."""

from __future__ import annotations

import gc
import os
import subprocess
import sys

import pytest

import kestrin


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


class TestConstruction:
    def test_every_output_is_named_before_the_constructor_returns(self, sway, new_session):
        second = sway.add_output()
        k = new_session()
        # An output is chosen by name before anything is sent, so both names
        # were known when the constructor returned.
        assert k.screenshot("HEADLESS-1").shape == (1080, 1920, 4)
        assert k.screenshot(second).shape == (1080, 1920, 4)

    def test_the_display_can_come_from_the_environment(self, sway, probe, monkeypatch):
        probe.activate_keyboard()
        env = sway.env()
        monkeypatch.setenv("XDG_RUNTIME_DIR", env["XDG_RUNTIME_DIR"])
        monkeypatch.setenv("WAYLAND_DISPLAY", os.path.basename(sway.socket_path))
        k = kestrin.Kestrin()
        k.move_mouse(1920, 1080, 10, 10)

    def test_a_hundred_sessions_leave_no_descriptor_open(self, sway, new_session):
        new_session()  # anything created once per process
        gc.collect()
        before = open_descriptors()
        for _ in range(100):
            k = new_session()
            k.move_mouse(1920, 1080, 5, 5)
            del k
        gc.collect()
        assert open_descriptors() == before


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
    def test_construction_fails_with_the_internal_fault_naming_the_compositor_error(self, fresh_sway):
        # A headless seat has no keyboard until a client makes one, and
        # wlroots refuses get_keyboard then.
        with pytest.raises(BaseException) as raised:
            kestrin.Kestrin(fresh_sway.socket_path)
        assert type(raised.value).__name__ == "InternalFault"
        assert not isinstance(raised.value, Exception)
        assert "no keyboard capability" in str(raised.value)
        assert fresh_sway.running

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
        # A process that has nothing remembered still fails, with the hint.
        result = subprocess.run(
            [sys.executable, "-c", FRESH_PROCESS, sway.socket_path], capture_output=True, text=True, timeout=60
        )
        assert result.stdout.startswith("InternalFault an expected value was absent: the seat's keyboard sent no keymap ("), result.stderr
        assert "a key pressed on one of its keyboards makes that one active" in result.stdout


FRESH_PROCESS = """
import sys, kestrin
try:
    kestrin.Kestrin(sys.argv[1])
except BaseException as error:
    print(type(error).__name__, error)
"""
