"""Faults of a real compositor: sway stops answering (Ctrl-C ends the wait,
and the session goes on once sway resumes), or sway goes away in the middle
of a click."""

from __future__ import annotations

import subprocess

import pytest

import kestrin
from signals import alarm, frozen


@pytest.fixture
def k(input_session):
    return input_session


class TestSwayStopsAnswering:
    def test_motion(self, k, sway, probe):
        with frozen(sway.pid), alarm(0.1), pytest.raises(KeyboardInterrupt):
            k.move_mouse(1920, 1080, 300, 200)
        k.move_mouse(1920, 1080, 600, 400)
        # The interrupted motion had been sent; sway takes it when it resumes.
        motions = [(e["x"], e["y"]) for e in probe.wait_for_count("motion", 2)]
        assert motions == [pytest.approx((300, 200)), pytest.approx((600, 400))]

    def test_key_press(self, k, sway, probe):
        with frozen(sway.pid), alarm(0.1), pytest.raises(KeyboardInterrupt):
            k.key_press(30, 0)
        # The press went out before the wait; nothing released it, so the
        # next press of the same key releases it first.
        k.key_press(30, 0)
        keys = [(e["key"], e["state"]) for e in probe.wait_for_count("key", 3)]
        assert keys[0] == (30, 1)
        assert keys[-1] == (30, 0)

    def test_screenshot(self, k, sway):
        with frozen(sway.pid), alarm(0.1), pytest.raises(KeyboardInterrupt):
            k.screenshot()
        first, second = k.screenshot(), k.screenshot()
        assert first.shape == (1080, 1920, 4)
        assert (first == second).all()


def test_sway_goes_away_during_a_hold(fresh_sway, fresh_probe):
    fresh_probe.activate_keyboard()
    k = kestrin.Kestrin(fresh_sway.socket_path)
    fresh_probe.wait_input_ready(pointer=True, keyboard=True)
    killer = subprocess.Popen(["sh", "-c", f"sleep 0.3; kill -KILL {fresh_sway.pid}"])
    try:
        with pytest.raises(RuntimeError) as caught:
            k.left_click(3000)
    finally:
        killer.wait()
    text = str(caught.value)
    assert text.startswith("the connection to the compositor failed: "), text
    for call in (lambda: k.move_mouse(10, 10, 1, 1), lambda: k.key_press(30, 0), k.screenshot):
        with pytest.raises(RuntimeError) as again:
            call()
        assert str(again.value) == text
