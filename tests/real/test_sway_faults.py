"""Faults of a real compositor: sway stops answering (Ctrl-C ends the wait,
a press is released, and the session goes on once sway resumes), or sway goes
away in the middle of a click."""

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

    @pytest.mark.parametrize("method", ["key_press", "left_click"])
    def test_press(self, k, sway, probe, method):
        call, kind, code = {
            "key_press": (lambda: k.key_press(30, 0), "key", 30),
            "left_click": (lambda: k.left_click(0), "button", 272),
        }[method]
        with frozen(sway.pid), alarm(0.1), pytest.raises(KeyboardInterrupt):
            call()
        # The press went out before the wait, and its release right after the
        # interruption: the client sees a whole press before the next one.
        call()
        events = [(e[kind], e["state"]) for e in probe.wait_for_count(kind, 4)]
        assert events == [(code, 1), (code, 0), (code, 1), (code, 0)]

    def test_capture_waits_end_at_their_timeout(self, k, sway, probe):
        cap = k.capture()
        # The alarm only ends a wait that would otherwise never end.
        with frozen(sway.pid), alarm(30):
            assert cap.wait_for_change(timeout_ms=500) is None
            assert cap.wait_until_stable(100, timeout_ms=500) is None
        # The frames given up are answered once sway resumes, and ignored.
        probe.paint(10, 10, 20, 20)
        frame, changed = cap.wait_for_change(timeout_ms=5000, region=(0, 0, 100, 100))
        assert (frame[10:30, 10:30] == 255).all()

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
