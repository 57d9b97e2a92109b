"""kestrin.gnome against a real headless Mutter (the ``mutter`` fixture): input
as the probe receives it, the screen cast's frames of the probe's picture,
sessions that end, the errors of a desktop that lacks a piece, and the
argument errors, which must be kestrin.Kestrin's exactly."""

from __future__ import annotations

import os
import random
import signal
import string
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import kestrin
from headless import HeadlessMutter, held_alone, pointer_ready
from kestrin.testing._recorder import probe_picture
from signals import alarm, frozen, stop_process

# The argument tables of kestrin.Kestrin's tests, run here on kestrin.gnome.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
import test_input_arguments as arguments  # noqa: E402

WIDTH, HEIGHT = 1280, 720
PRINTABLE = string.ascii_letters + string.digits + string.punctuation + " "
MONITOR = HeadlessMutter.output


@pytest.fixture
def k(gnome):
    return gnome


def pointer_positions(probe, count):
    """The first ``count`` positions the probe saw the pointer at, entering
    its surface or moving on it."""
    return [(e["x"], e["y"]) for e in probe.wait_for_count(lambda e: e["event"] in ("pointer_enter", "motion"), count)]


def near(point):
    """``point``, as the probe's 24.8 fixed-point positions carry it."""
    return pytest.approx(point, abs=1 / 256)


def pressed_keys(probe, count):
    events = probe.wait_for_count(lambda e: e["event"] == "key", count)
    return [(e["key"], e["state"]) for e in events]


class TestPointer:
    @pytest.mark.parametrize(
        "extent, first, second, scale",
        [
            ((WIDTH, HEIGHT), (300, 200), (1000, 700), (1.0, 1.0)),
            ((2 * WIDTH, 2 * HEIGHT), (600, 400), (2000, 1400), (0.5, 0.5)),
            ((100, 100), (10, 20), (60, 70), (WIDTH / 100, HEIGHT / 100)),
        ],
    )
    def test_move_mouse_maps_the_extent_onto_the_layout(self, k, gnome_probe, extent, first, second, scale):
        k.move_mouse(*extent, *first)
        k.move_mouse(*extent, *second)
        positions = pointer_positions(gnome_probe, 2)
        assert positions == [near((first[0] * scale[0], first[1] * scale[1])),
                             near((second[0] * scale[0], second[1] * scale[1]))]

    def test_move_to_lands_on_the_pixels_centre(self, k, gnome_probe):
        for x, y in ((0, 0), (640, 360), (WIDTH - 1, HEIGHT - 1)):
            k.move_to(x, y, MONITOR)
        assert pointer_positions(gnome_probe, 3) == [near((0.5, 0.5)), near((640.5, 360.5)),
                                                     near((WIDTH - 0.5, HEIGHT - 0.5))]

    @pytest.mark.parametrize("click, button", [("left_click", 272), ("right_click", 273)])
    def test_clicks_press_and_release_their_button(self, k, gnome_probe, click, button):
        k.move_to(500, 500)
        getattr(k, click)(0)
        events = gnome_probe.wait_for_count("button", 2)
        assert [(e["button"], e["state"]) for e in events] == [(button, 1), (button, 0)]

    def test_a_held_click_keeps_the_button_down_for_the_hold(self, k, gnome_probe):
        k.move_to(500, 500)
        k.left_click(50)
        assert held_alone(gnome_probe, "button") == ([(272, 1), (272, 0)], [])

    def test_drag_holds_the_button_along_the_way(self, k, gnome_probe):
        k.drag(10, 10, 300, 30, steps=2)
        buttons = gnome_probe.wait_for_count("button", 2)
        held = [(e["x"], e["y"]) for e in gnome_probe.events()
                if e["event"] == "motion" and buttons[0]["t"] <= e["t"] <= buttons[1]["t"]]
        assert [(e["button"], e["state"]) for e in buttons] == [(272, 1), (272, 0)]
        assert held == [near((155.5, 20.5)), near((300.5, 30.5))]

    def test_ctrl_c_between_the_steps_of_a_drag(self, k, gnome_probe):
        with alarm(0.3), pytest.raises(KeyboardInterrupt):
            k.drag(10, 10, 300, 30, steps=2, duration_ms=60_000)
        buttons = gnome_probe.wait_for_count("button", 2)
        assert [(e["button"], e["state"]) for e in buttons] == [(272, 1), (272, 0)]
        k.drag(10, 10, 300, 30, steps=2)

    def test_ctrl_c_during_a_drag_while_mutter_does_not_answer(self, k, gnome_env, gnome_probe):
        """Mutter stops once the press has arrived; Ctrl-C ends the wait for
        a motion's answer, and the release arrives once Mutter resumes, with
        no other call to carry it."""
        main = threading.main_thread().ident

        def stop_mutter_after_the_press():
            gnome_probe.wait_for(lambda e: e["event"] == "button" and e["state"] == 1)
            stop_process(gnome_env.pid)
            signal.pthread_kill(main, signal.SIGINT)

        stopper = threading.Thread(target=stop_mutter_after_the_press)
        stopper.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                k.drag(10, 10, 300, 30, steps=100, duration_ms=10_000)
        finally:
            stopper.join()
            os.kill(gnome_env.pid, signal.SIGCONT)
        buttons = gnome_probe.wait_for_count("button", 2)
        assert [(e["button"], e["state"]) for e in buttons] == [(272, 1), (272, 0)]

    def test_buttons_held_are_released_when_the_object_goes(self, gnome_env, gnome_probe):
        import kestrin.gnome

        session = kestrin.gnome.Kestrin()
        pointer_ready(session, gnome_probe)
        session.move_to(200, 200)
        session.button_down("middle")
        with pytest.raises(ValueError, match=r"^button middle \(274\) is already held$"):
            session.button_down(274)
        del session
        events = gnome_probe.wait_for_count("button", 2)
        assert [(e["button"], e["state"]) for e in events] == [(274, 1), (274, 0)]

    def test_a_stopped_mutter_does_not_hold_up_the_teardown(self, gnome_env, gnome_probe):
        import kestrin.gnome

        session = kestrin.gnome.Kestrin()
        pointer_ready(session, gnome_probe)
        session.move_to(200, 200)
        session.key_down(42)
        session.key_down(29)
        session.button_down("left")
        gnome_probe.wait_for_count("button", 1)
        gnome_probe.clear()
        with frozen(gnome_env.pid):
            began = time.monotonic()
            del session
            print(f"teardown with Mutter stopped and three things held: {time.monotonic() - began:.2f} s")
        # Sent all the same, in the reverse order of the holds: Mutter takes
        # them once it resumes.
        keys = gnome_probe.wait_for_count("key", 2)
        assert [(e["key"], e["state"]) for e in keys] == [(29, 0), (42, 0)]
        assert [(e["button"], e["state"]) for e in gnome_probe.wait_for_count("button", 1)] == [(272, 0)]

    def test_scroll_turns_the_wheel_by_steps(self, k, gnome_probe):
        k.move_to(500, 500)
        k.scroll(2, -1)
        # Mutter sends one event a step.
        steps = gnome_probe.wait_for_count(lambda e: e["event"] == "axis_value120", 3)
        assert [(e["axis"], e["value120"]) for e in steps] == [(0, 120), (0, 120), (1, -120)]

    def test_scroll_smooth_moves_by_pixels(self, k, gnome_probe):
        k.move_to(500, 500)
        k.scroll_smooth(30)
        gnome_probe.wait_for("axis")
        source, axis = [e for e in gnome_probe.events() if e["event"] in ("axis_source", "axis")][:2]
        # The pixels asked, in one event, from a continuous source (no wheel's steps).
        assert (source["source"], axis["axis"], axis["value"]) == (2, 0, 30.0)


class TestKeys:
    def test_key_press_sends_the_code(self, k, gnome_probe):
        k.key_press(30, 0)
        assert pressed_keys(gnome_probe, 2) == [(30, 1), (30, 0)]
        assert gnome_probe.text() == "a"

    def test_a_key_press_interrupted_while_mutter_is_paused_is_released(self, k, gnome_env, gnome_probe):
        # Ctrl-C ends the wait for the press's answer (a press with a hold is
        # sent alone); the release follows it and is answered once Mutter
        # resumes.
        resume = subprocess.Popen(["sh", "-c", f"sleep 2; kill -CONT {gnome_env.pid}"])
        try:
            stop_process(gnome_env.pid)
            with alarm(0.1), pytest.raises(KeyboardInterrupt):
                k.key_press(30, 1)
        finally:
            resume.wait()
            os.kill(gnome_env.pid, signal.SIGCONT)
        # Arrived with no later call to carry it.
        assert pressed_keys(gnome_probe, 2) == [(30, 1), (30, 0)]

    def test_type_text_arrives_exactly(self, k, gnome_probe):
        # Long enough for several batches, each within the bus's limit of
        # calls awaiting replies.
        rng = random.Random(16)
        text = "Hello, World! 1+2=3 ~`'\"\\|<>?" + "".join(rng.choice(PRINTABLE) for _ in range(300))
        k.type_text(text)
        assert gnome_probe.wait_for_text(text) == text

    def test_characters_beyond_mutters_layout_are_dropped_by_mutter(self, k, gnome_probe):
        # Mutter 43 types a keysym only where its own layout (us here) has
        # it: € is AltGr+5 there; é, ß, Ж, 😀 and 中 it drops without a word.
        k.type_text("aé€ßЖ😀中b")
        k.type_text("xy")
        assert gnome_probe.wait_for_text("a€bxy") == "a€bxy"

    def test_held_names_are_modifiers(self, k, gnome_probe):
        k.key_down("shift")
        k.key_press(30, 0)
        k.key_up("shift")
        gnome_probe.wait_for_count(lambda e: e["event"] == "key" and e["state"] == 0, 2)
        assert gnome_probe.text() == "A"

    def test_press_keys_presses_in_order_and_releases_in_reverse(self, k, gnome_probe):
        k.press_keys("ctrl+shift+t")
        keys = pressed_keys(gnome_probe, 6)
        assert keys == [(29, 1), (42, 1), (20, 1), (20, 0), (42, 0), (29, 0)]

    @pytest.mark.parametrize(
        "call, error, message",
        [
            (lambda k: k.key_up("a"), ValueError, "key 'a' is not held"),
            (lambda k: k.press_keys("ctrl+nosuchkey+alsonot"), ValueError,
             "unknown key names: 'nosuchkey', 'alsonot' (a name is an XKB keysym name of the seat's keymap, such as "
             "'a', 'Return' or 'F5', a single character, or one of ctrl, shift, alt, altgr, super, meta, logo)"),
            (lambda k: k.press_keys("a+a"), ValueError, "key 'a' is given twice"),
            (lambda k: k.press_keys([]), ValueError, "no keys to press"),
            (lambda k: k.type_text("ok\x01"), ValueError,
             "no key can type '\\x01' (U+0001), the character at index 2"),
        ],
    )
    def test_refused_keys_send_nothing(self, k, gnome_probe, call, error, message):
        with pytest.raises(error) as caught:
            call(k)
        assert str(caught.value) == message
        k.key_press(57, 0)  # a space, to know that everything before has arrived
        gnome_probe.wait_for_text(" ")
        assert pressed_keys(gnome_probe, 2) == [(57, 1), (57, 0)]


class TestScreen:
    def test_screenshot_is_the_probes_picture(self, k, gnome_probe):
        # Exact at 1280x720, the fourth byte (X, 255) included, once Mutter's
        # frame of the settled window has come (frames travel on their own).
        expected = probe_picture(WIDTH, HEIGHT)
        deadline = time.monotonic() + 5
        while (time.monotonic() < deadline and not np.array_equal(shot := k.screenshot(), expected)):
            time.sleep(0.02)
        assert shot.shape == (HEIGHT, WIDTH, 4) and shot.dtype == np.uint8
        differing = np.argwhere((shot != expected).any(axis=2))
        assert differing.size == 0, f"{len(differing)} pixels differ, the first at (y, x) {differing[:5].tolist()}"

    def test_a_later_screenshot_shows_a_change(self, k, gnome_probe):
        k.screenshot()
        gnome_probe.paint(100, 100, 50, 50)
        # Mutter sends a frame once the change is on the monitor.
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            shot = k.screenshot()
            if (shot[100:150, 100:150, :3] == 255).all():
                break
            time.sleep(0.01)
        assert (shot[100:150, 100:150, :3] == 255).all()
        assert (shot[200:, 200:, :3] == probe_picture(WIDTH, HEIGHT)[200:, 200:, :3]).all()

    def test_outputs_are_mutters_monitors(self, k):
        (monitor,) = k.outputs()
        assert isinstance(monitor, kestrin.Output)
        assert (monitor.name, monitor.x, monitor.y, monitor.width, monitor.height) == (MONITOR, 0, 0, WIDTH, HEIGHT)
        assert (monitor.logical_width, monitor.logical_height, monitor.scale) == (WIDTH, HEIGHT, 1.0)


class TestSessions:
    def test_two_sessions_one_after_another(self, gnome_env, gnome_probe):
        import kestrin.gnome

        for text in ("one", "two"):
            session = kestrin.gnome.Kestrin()
            # The seat's keyboard comes and goes with the session's.
            gnome_probe.wait_input_ready(pointer=False, keyboard=True)
            gnome_probe.clear()
            session.type_text(text)
            gnome_probe.wait_for_text(text)
            assert session.screenshot().shape == (HEIGHT, WIDTH, 4)
            del session
            gnome_probe.wait_input_ready(pointer=False, keyboard=False)

    def test_a_forked_child_cannot_use_the_parents_session(self, gnome_env, gnome_probe):
        import kestrin.gnome

        session = kestrin.gnome.Kestrin()
        read_end, write_end = os.pipe()
        child = os.fork()
        if child == 0:
            try:
                session.move_to(5, 5)
                outcome = "moved"
            except BaseException as error:
                outcome = f"{type(error).__name__}: {error}"
            # Dropping it sends nothing and joins no thread of the parent's.
            del session
            os.write(write_end, outcome.encode())
            os._exit(0)
        os.close(write_end)
        _, status = os.waitpid(child, 0)
        with os.fdopen(read_end) as pipe:
            outcome = pipe.read()
        assert (status, outcome) == (0, f"RuntimeError: made in process {os.getpid()}; make a new Kestrin after fork")
        # The parent's session goes on.
        gnome_probe.clear()
        session.type_text("on")
        gnome_probe.wait_for_text("on")

    def test_mutter_stopping_is_a_runtime_error_then_a_new_session(self, gnome_env, gnome_probe):
        import kestrin.gnome

        session = kestrin.gnome.Kestrin()
        session.move_to(10, 10)
        gnome_env.stop_mutter()
        with pytest.raises(RuntimeError):
            session.move_to(20, 20)
        gnome_env.start_mutter()
        # The session Mutter ended is gone; the object opens a new one.
        session.move_to(30, 30)
        assert session.screenshot().shape == (HEIGHT, WIDTH, 4)


class TestMissingPieces:
    """What construction says on a desktop without one of its pieces. Each
    runs in a child interpreter, whose environment is all it needs."""

    def construct(self, env, prefix=()):
        result = subprocess.run(
            [*prefix, sys.executable, "-c", "import kestrin.gnome\ntry:\n    kestrin.gnome.Kestrin()\n"
             "except RuntimeError as e:\n    print(e)\nelse:\n    print('constructed')"],
            env=env, capture_output=True, text=True, timeout=30)
        assert result.returncode == 0, result.stderr
        return result.stdout.strip()

    def test_no_session_bus(self, tmp_path):
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=f"unix:path={tmp_path}/bus", XDG_RUNTIME_DIR=str(tmp_path))
        assert self.construct(env).startswith("there is no D-Bus session bus to reach GNOME on: ")

    def test_mutter_not_on_the_bus(self, mutter):
        env = mutter.env()
        mutter.stop_mutter()
        try:
            assert self.construct(env).startswith("GNOME's Mutter is not on the session bus: ")
        finally:
            mutter.start_mutter()

    def test_pipewire_not_running(self, tmp_path):
        desktop = HeadlessMutter(services=("dbus-daemon",)).start()
        try:
            assert self.construct(desktop.env()).startswith("PipeWire is not running")
        finally:
            desktop.stop()


    def test_pipewire_library_not_installed(self, mutter):
        # PipeWire's library is loaded when the session opens, so the import
        # works without it and the session names the package. The child sees
        # an empty file in the library's place (a mount namespace of its own).
        library = next(Path(p) for p in ("/lib/x86_64-linux-gnu/libpipewire-0.3.so.0",
                                                  "/usr/lib/x86_64-linux-gnu/libpipewire-0.3.so.0",
                                                  "/usr/lib64/libpipewire-0.3.so.0") if Path(p).exists())
        if subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
            pytest.skip("no mount namespace for this user")
        hidden = ["unshare", "-m", "sh", "-c", f'mount --bind /dev/null {library} && exec "$0" "$@"']
        message = self.construct(mutter.env(), hidden)
        assert message.startswith("PipeWire's library libpipewire-0.3.so.0 could not be loaded: install PipeWire's "
                                  "client library (Debian and Ubuntu: the package libpipewire-0.3-0"), message


def test_kestrin_kestrin_on_mutter_is_sent_to_kestrin_gnome():
    from test_session import troubleshooting_rows

    # A desktop of its own: this Mutter does not survive the attempt.
    with HeadlessMutter() as desktop, pytest.raises(BaseException) as caught:
        kestrin.Kestrin(desktop.socket_path)
    assert type(caught.value).__name__ == "InternalFault"
    rows = [meaning for message, meaning in troubleshooting_rows() if f"`{caught.value}`" in message]
    assert len(rows) == 1 and "`kestrin.gnome`" in rows[0], (str(caught.value), rows)


class TestRefusals:
    """Calls that fail before anything reaches Mutter: kestrin.Kestrin's
    argument tables, and what a session refuses."""

    @pytest.fixture
    def k(self, bare_gnome):
        return bare_gnome

    @pytest.mark.parametrize(
        "call, error, message",
        [
            (lambda k: k.screenshot("HEADLESS-1"), RuntimeError, "no WLOutput with name HEADLESS-1"),
            (lambda k: k.move_to(WIDTH, 0), ValueError,
             f"x={WIDTH} is outside the picture of {MONITOR}, which is {WIDTH}x{HEIGHT} pixels"),
            (lambda k: k.drag(0, 0, 0, HEIGHT), ValueError,
             f"y={HEIGHT} is outside the picture of {MONITOR}, which is {WIDTH}x{HEIGHT} pixels"),
            (lambda k: k.drag(0, 0, 5, 5, steps=0), ValueError, "steps=0: a drag takes at least one step"),
            (lambda k: k.button_up("left"), ValueError, "button left (272) is not held"),
            (lambda k: k.capture(), NotImplementedError,
             "kestrin.gnome has no capture(): screenshot() already returns the newest frame of Mutter's screen "
             "cast at once, with no wait for the screen"),
        ],
    )
    def test_refusals(self, k, call, error, message):
        with pytest.raises(error) as caught:
            call(k)
        assert str(caught.value) == message


for _name in ("test_out_of_range_within_c_long", "test_beyond_c_long_is_the_interpreters_error",
              "test_non_integers_name_the_parameter", "test_key_is_a_number_not_a_character",
              "test_optional_maximum_is_checked_too", "test_conversion_follows_parameter_order"):
    setattr(TestRefusals, _name, getattr(arguments.TestUnsignedIntegers, _name))
for _source in (arguments.TestCauses, arguments.TestPointerArguments):
    for _name in ("test_type_error_is_renamed_and_keeps_its_cause", "test_renamed_error_without_cause",
                  "test_other_exceptions_pass_unchanged", "test_signed_bounds_reach_the_limit_check",
                  "test_signed_out_of_range", "test_wrong_types_name_the_parameter"):
        if hasattr(_source, _name):
            setattr(TestRefusals, _name, getattr(_source, _name))
