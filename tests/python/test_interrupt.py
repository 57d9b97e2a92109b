"""Ending a wait on a compositor that does not answer. A signal whose Python
handler raises (Ctrl-C's KeyboardInterrupt) ends the call with that exception,
and the object stays usable: its next call runs normally, and whatever the
compositor answers late is dispatched and dropped. A handler that returns
lets the wait go on, and the hold of a click or key press is never cut
short."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from fake_compositor import pattern
from signals import alarm, frozen, slowed, stop_process
from kestrin import Kestrin
from wire_support import (
    BUTTON,
    CAPTURE,
    FRAME_DESTROY,
    KEY,
    KEYMAP,
    MOTION,
    SYNC,
    Watch,
    keymap_scenario,
    output,
    scenario,
    stall_on,
)


CALLS = {
    "move_mouse": (lambda k: k.move_mouse(100, 100, 5, 6), [MOTION, SYNC]),
    "left_click": (lambda k: k.left_click(0), [BUTTON, SYNC, BUTTON, SYNC]),
    "right_click": (lambda k: k.right_click(0), [BUTTON, SYNC, BUTTON, SYNC]),
    "key_press": (lambda k: k.key_press(30, 0), [KEY, SYNC, KEY, SYNC]),
}
# What a call interrupted in its first wait has sent: a press is followed by
# its release, sent without waiting, so that nothing is left held.
INTERRUPTED = {
    "move_mouse": ([MOTION, SYNC], None),
    "left_click": ([BUTTON, SYNC, BUTTON], (BUTTON, [[0, 272, 1], [0, 272, 0]])),
    "right_click": ([BUTTON, SYNC, BUTTON], (BUTTON, [[0, 273, 1], [0, 273, 0]])),
    "key_press": ([KEY, SYNC, KEY], (KEY, [[0, 30, 1], [0, 30, 0]])),
}



def assert_free(k) -> None:
    """The object is not left borrowed: a call that needs no answer from the
    compositor runs and fails on its own terms."""
    with pytest.raises(RuntimeError, match="^no WLOutput with name missing$"):
        k.screenshot("missing")


class TestCompositorAnswersLate:
    """The compositor is stopped during the call and resumes after the
    interruption: the next call goes through in full."""

    @pytest.mark.parametrize("method", CALLS)
    def test_input(self, compositor, k, method):
        call, requests = CALLS[method]
        interrupted, pressed = INTERRUPTED[method]
        watch = Watch(compositor)
        with frozen(compositor.pid), alarm(0.1), pytest.raises(KeyboardInterrupt):
            call(k)
        if pressed is not None:
            # The release left before the call ended: no later call carries it.
            assert watch.wait_for_count(pressed[0], 2) == interrupted
        call(k)
        assert watch.names() == interrupted + requests
        if pressed is not None:
            name, press_and_release = pressed
            assert watch.args(name)[:2] == press_and_release

    def test_screenshot(self, compositor, k):
        watch = Watch(compositor)
        with frozen(compositor.pid), alarm(0.1), pytest.raises(KeyboardInterrupt):
            k.screenshot()
        picture = k.screenshot()
        np.testing.assert_array_equal(picture, pattern(1920, 1080))
        names = watch.names()
        # The abandoned frame was given up, and its late events changed nothing.
        assert names[:3] == [CAPTURE, SYNC, FRAME_DESTROY]
        assert names.count(CAPTURE) == 2


class TestShortcutInterrupted:
    def test_keys_pressed_before_ctrl_c_are_released(self, compositor, k):
        watch = Watch(compositor)
        with frozen(compositor.pid), alarm(0.1), pytest.raises(KeyboardInterrupt):
            k.press_keys([29, 30], 0)
        # Released before the call ended, so not held any more.
        assert watch.wait_for_count(KEY, 4) == [KEY, KEY, SYNC, KEY, KEY]
        k.key_down(29)
        assert watch.names() == [KEY, KEY, SYNC, KEY, KEY, KEY, SYNC]
        assert [args[1:] for args in watch.args(KEY)] == [[29, 1], [30, 1], [30, 0], [29, 0], [29, 1]]


    def test_the_seats_keymap_is_given_back_when_typing_is_interrupted(self, fake):
        compositor = fake(keymap_scenario())
        k = Kestrin(compositor.socket_path)
        seat = [r["args"][1]["hash"] for r in compositor.requests() if r.get("request") == "keymap"]
        watch = Watch(compositor)
        # Interrupted while the first burst waits, with kestrin's own keymap
        # on the keyboard for the characters beyond the layout.
        with frozen(compositor.pid), alarm(0.1), pytest.raises(KeyboardInterrupt):
            k.type_text("é" * 100)
        k.type_text("a")
        keymaps = [args[1]["hash"] for args in watch.args(KEYMAP)]
        assert len(keymaps) == 2 and keymaps[0] != seat[0] and keymaps[1] == seat[0]
        assert watch.names()[-3:] == [KEY, KEY, SYNC]


class TestPressingCallsLetGo:
    """A call that presses a button for itself and is ended by Ctrl-C,
    wherever it waits, sends the release at once: the compositor gets press
    then release without any other call to carry it, and the button is free
    for the next drag."""

    def released(self, watch):
        watch.wait_for_count(BUTTON, 2)
        return [args[1:] for args in watch.args(BUTTON)]

    def test_drag_ended_waiting_for_the_press(self, compositor, k):
        watch = Watch(compositor)
        with frozen(compositor.pid), alarm(0.1), pytest.raises(KeyboardInterrupt):
            k.drag(10, 10, 20, 20, steps=2)
        assert self.released(watch) == [[272, 1], [272, 0]]
        # Nothing but the press's answer came after the press.
        assert watch.names()[-3:] == [BUTTON, SYNC, BUTTON]
        k.drag(10, 10, 20, 20, steps=2)

    def test_drag_ended_between_its_steps(self, compositor, k):
        watch = Watch(compositor)
        with alarm(0.1), pytest.raises(KeyboardInterrupt):
            k.drag(10, 10, 20, 20, steps=2, duration_ms=60_000)
        assert self.released(watch) == [[272, 1], [272, 0]]
        # Ended in the pause before the first step: only the start was aimed at.
        assert watch.names().count(MOTION) == 1
        k.drag(10, 10, 20, 20, steps=2)

    def test_drag_ended_waiting_for_room_in_the_socket(self, compositor):
        k = Kestrin(compositor.socket_path)
        watch = Watch(compositor)
        with slowed(compositor.pid, compositor.socket_path):
            with alarm(0.3), pytest.raises(KeyboardInterrupt):
                k.drag(10, 10, 600, 400, steps=20_000)
        # The release waits behind the motions that did not fit; it goes,
        # at the latest, as the object does.
        del k
        assert self.released(watch) == [[272, 1], [272, 0]]
        assert watch.names()[-1] == BUTTON
        assert watch.names().count(MOTION) < 20_001


class TestCompositorNeverAnswers:
    """Each wait of each call, on a compositor that stops answering for good:
    every one can be ended, more than once, and the object stays free."""

    @pytest.mark.parametrize(
        "method, stalled",
        [
            pytest.param("move_mouse", (MOTION, 1), id="move"),
            pytest.param("left_click", (BUTTON, 1), id="click-press"),
            pytest.param("left_click", (BUTTON, 2), id="click-release"),
            pytest.param("right_click", (BUTTON, 2), id="right-click-release"),
            pytest.param("key_press", (KEY, 1), id="key-press"),
            pytest.param("key_press", (KEY, 2), id="key-release"),
        ],
    )
    def test_input(self, fake, method, stalled):
        compositor = fake(scenario(triggers=[stall_on(*stalled)]))
        k = Kestrin(compositor.socket_path)
        call, _ = CALLS[method]
        for _ in range(2):
            with alarm(0.05), pytest.raises(KeyboardInterrupt):
                call(k)
            assert_free(k)

    @pytest.mark.parametrize(
        "stalled",
        [
            pytest.param(CAPTURE, id="buffer-announcement"),
            pytest.param("wl_shm.create_pool", id="pool"),
            pytest.param("wl_shm_pool.create_buffer", id="buffer"),
            pytest.param("zwlr_screencopy_frame_v1.copy", id="copy"),
        ],
    )
    def test_screenshot(self, fake, stalled):
        compositor = fake(scenario(triggers=[stall_on(stalled)]))
        k = Kestrin(compositor.socket_path)
        for _ in range(2):
            with alarm(0.05), pytest.raises(KeyboardInterrupt):
                k.screenshot()
            assert_free(k)

    @pytest.mark.parametrize("nth", [1, 2, 3, 4])
    def test_construction(self, fake, nth):
        compositor = fake(scenario(triggers=[stall_on(SYNC, nth)]))
        # Not an internal fault: nothing is broken, the caller asked to stop.
        with alarm(0.05), pytest.raises(KeyboardInterrupt):
            Kestrin(compositor.socket_path)

    def test_wait_for_output_names(self, fake):
        compositor = fake(scenario(outputs=[output(name=None, done=False)]))
        with alarm(0.05), pytest.raises(KeyboardInterrupt):
            Kestrin(compositor.socket_path)


class TestHandlersThatReturn:
    def test_wait_goes_on(self, compositor, k):
        """A handler that returns runs inside the wait (where the busy object
        refuses it) and the call then completes."""
        seen = []

        def handler(signum, frame):
            try:
                k.screenshot("missing")
            except BaseException as error:
                seen.append(repr(error))

        watch = Watch(compositor)
        resume = subprocess.Popen(["sh", "-c", f"sleep 0.3; kill -CONT {compositor.pid}"])
        try:
            stop_process(compositor.pid)
            with alarm(0.02, handler, interval=0.02):
                k.left_click(0)
        finally:
            resume.wait()
            os.kill(compositor.pid, signal.SIGCONT)
        assert "RuntimeError('Already borrowed')" in seen, seen
        assert watch.names() == CALLS["left_click"][1]

    @pytest.mark.parametrize("method", ["left_click", "key_press"])
    def test_hold_is_not_cut_short(self, compositor, k, method):
        """Ctrl-C during the hold: the key or button is still released, and
        KeyboardInterrupt comes once the release is sent (the wait for its
        answer is the one the signal ends). How long the hold lasts is
        measured in benchmarks/run.py."""
        watch = Watch(compositor)
        call = {"left_click": lambda: k.left_click(300), "key_press": lambda: k.key_press(30, 300)}[method]
        with alarm(0.05), pytest.raises(KeyboardInterrupt):
            call()
        assert watch.wait_for_count("wl_display.sync", 2) == CALLS[method][1]


def test_ctrl_c_from_outside(fake):
    """SIGINT sent by another process, with the interpreter's own handler,
    ends a click whose release the compositor never answers."""
    compositor = fake(scenario(triggers=[stall_on(BUTTON, 2)]))
    code = textwrap.dedent(
        """
        import sys
        from kestrin import Kestrin
        k = Kestrin(sys.argv[1])
        try:
            k.left_click(0)
        except KeyboardInterrupt:
            print("KeyboardInterrupt")
        try:
            k.screenshot("missing")
        except RuntimeError as error:
            print(error)
        """
    )
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.Popen(
        [sys.executable, "-c", code, compositor.socket_path],
        env=environment,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        # The release has arrived, so the child waits for its answer.
        compositor.wait_for(lambda records: sum(r.get("request") == "button" for r in records) == 2)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()
        child.wait()
    assert (child.returncode, out, err) == (0, "KeyboardInterrupt\nno WLOutput with name missing\n", "")
