"""Input from the module as the probe receives it through the real
compositor: pointer positions, buttons, keys with the seat's keymap, holds."""

from __future__ import annotations

import random
import string

import pytest

import kestrin
from headless import held_alone
from signals import alarm, frozen


@pytest.fixture
def k(input_session):
    return input_session


PRINTABLE = string.ascii_letters + string.digits + string.punctuation + " "


def motions(probe, count):
    return [(e["x"], e["y"]) for e in probe.wait_for_count("motion", count)]


class TestPointer:
    @pytest.mark.every_compositor
    @pytest.mark.parametrize(
        "extent, first, second, scale",
        [
            ((1920, 1080), (300, 200), (1000, 700), 1.0),
            ((3840, 2160), (600, 400), (2000, 1400), 0.5),
            ((100, 100), (10, 20), (60, 70), (19.2, 10.8)),
        ],
    )
    def test_positions_land_where_asked(self, k, probe, extent, first, second, scale):
        k.move_mouse(*extent, *first)
        k.move_mouse(*extent, *second)
        (x1, y1), (x2, y2) = motions(probe, 2)
        sx, sy = scale if isinstance(scale, tuple) else (scale, scale)
        assert (x2 - x1, y2 - y1) == pytest.approx(((second[0] - first[0]) * sx, (second[1] - first[1]) * sy))
        assert (x1, y1) == pytest.approx((first[0] * sx, first[1] * sy))

    def test_a_range_lands_inside_it(self, k, probe):
        for _ in range(10):
            k.move_mouse(1920, 1080, 100, 200, 300, 400)
            # Away in between: a draw equal to the one before would not move
            # the pointer, and the probe would get no motion for it.
            k.move_mouse(1920, 1080, 10, 10)
        for x, y in motions(probe, 20)[0::2]:
            assert 100 <= x <= 300 and 200 <= y <= 400

    @pytest.mark.every_compositor
    @pytest.mark.parametrize("click, button", [("left_click", 272), ("right_click", 273)])
    def test_clicks_press_and_release_their_button(self, k, probe, click, button):
        k.move_mouse(1920, 1080, 500, 500)
        getattr(k, click)(0)
        events = probe.wait_for_count("button", 2)
        assert [(e["button"], e["state"]) for e in events] == [(button, 1), (button, 0)]

    def test_a_held_click_keeps_the_button_down_for_the_hold(self, k, probe):
        k.move_mouse(1920, 1080, 500, 500)
        k.left_click(50)
        assert held_alone(probe, "button") == ([(272, 1), (272, 0)], [])


class TestDrag:
    """A drag presses a button of its own: whatever ends it, the client sees
    the release, and the button is free for the next drag."""

    def buttons(self, probe, count):
        return [(e["button"], e["state"]) for e in probe.wait_for_count("button", count)]

    def test_ctrl_c_while_sway_does_not_answer(self, k, sway, probe):
        # The outputs are settled and the output's pointer made before sway stops.
        k.move_to(100, 100)
        with frozen(sway.pid), alarm(0.1), pytest.raises(KeyboardInterrupt):
            k.drag(100, 100, 600, 400, steps=5)
        # Once sway resumes the release arrives, carried by no other call.
        assert self.buttons(probe, 2) == [(272, 1), (272, 0)]
        k.drag(100, 100, 600, 400, steps=5)
        assert self.buttons(probe, 4) == [(272, 1), (272, 0)] * 2

    def test_ctrl_c_between_steps(self, k, probe):
        with alarm(0.3), pytest.raises(KeyboardInterrupt):
            k.drag(100, 100, 600, 400, steps=2, duration_ms=60_000)
        assert self.buttons(probe, 2) == [(272, 1), (272, 0)]

    def test_twenty_thousand_steps_at_once(self, k, probe):
        k.drag(10, 10, 600, 400, steps=20_000)
        k.left_click(0)
        assert self.buttons(probe, 4) == [(272, 1), (272, 0)] * 2
        last = [e for e in probe.events() if e["event"] == "motion"][-1]
        assert (last["x"], last["y"]) == (600.5, 400.5)


class TestKeyboard:
    @pytest.mark.every_compositor
    def test_a_key_code_means_what_the_seat_keymap_says(self, k, probe):
        k.key_press(30, 0)
        press, release = probe.wait_for_count("key", 2)
        assert (press["key"], press["state"], press["keysym"], press["utf8"]) == (30, 1, "a", "a")
        assert (release["key"], release["state"]) == (30, 0)

    def test_a_word_typed_key_by_key(self, k, probe):
        for code in (35, 18, 38, 38, 24):  # h e l l o
            k.key_press(code, 0)
        presses = [e for e in probe.wait_for_count("key", 10) if e["state"] == 1]
        assert "".join(e["utf8"] for e in presses) == "hello"

    def test_a_held_key_stays_down_for_the_hold(self, k, probe):
        k.key_press(30, 50)
        assert held_alone(probe, "key") == ([(30, 1), (30, 0)], [])


def presses(probe, count):
    """The first `count` key presses the probe received."""
    return probe.wait_for_count(lambda e: e["event"] == "key" and e["state"] == 1, count, timeout=20)


def typed(probe, count):
    return "".join(e["utf8"] for e in presses(probe, count))


def depressed_when(probe, predicate):
    """The depressed modifiers the probe had when the first event matching
    `predicate` arrived."""
    mask = 0
    for event in probe.events():
        if predicate(event):
            return mask
        if event["event"] == "modifiers":
            mask = event["depressed"]
    raise AssertionError("no such event")


SHIFT, CONTROL, ALTGR = 0x1, 0x4, 0x80


class TestTyping:
    def test_a_sentence_arrives_as_typed(self, k, probe):
        text = "Hello, World! 1+1=2 (ok?)"
        k.type_text(text)
        assert typed(probe, len(text)) == text
        # Every key is released and no modifier stays.
        probe.wait_for_count(lambda e: e["event"] == "key" and e["state"] == 0, len(text))
        assert probe.events("modifiers")[-1]["depressed"] == 0

    def test_a_thousand_characters_arrive_complete_and_in_order_three_times(self, k, probe):
        rng = random.Random(13)
        for _ in range(3):
            probe.clear()
            text = "".join(rng.choice(PRINTABLE) for _ in range(1000))
            k.type_text(text)
            assert typed(probe, 1000) == text

    def test_a_shortcut_holds_its_modifiers_around_the_key(self, k, probe):
        k.press_keys("ctrl+shift+t")
        keys = probe.wait_for_count("key", 6)
        assert [(e["key"], e["state"]) for e in keys] == [(29, 1), (42, 1), (20, 1), (20, 0), (42, 0), (29, 0)]
        assert keys[2]["keysym"] == "T"
        assert depressed_when(probe, lambda e: e["event"] == "key" and e["key"] == 20) == CONTROL | SHIFT
        probe.wait_for(lambda e: e["event"] == "modifiers" and e["depressed"] == 0 and e["t"] >= keys[-1]["t"])

    def test_a_click_with_shift_held(self, k, probe):
        k.move_mouse(1920, 1080, 500, 500)
        k.key_down("shift")
        k.left_click(0)
        k.key_up("shift")
        probe.wait_for_count("button", 2)
        probe.wait_for(lambda e: e["event"] == "key" and e["key"] == 42 and e["state"] == 0)
        assert depressed_when(probe, lambda e: e["event"] == "button") == SHIFT
        assert probe.events("modifiers")[-1]["depressed"] == 0

    def test_keys_held_when_the_session_goes_are_released(self, new_session, probe):
        session = new_session()
        probe.clear()
        session.key_down("shift")
        session.key_down("a")
        probe.wait_for_count("key", 2)
        del session
        probe.wait_for(lambda e: e["event"] == "key" and e["key"] == 42 and e["state"] == 0)
        keys = probe.events("key")
        assert [(e["key"], e["state"]) for e in keys] == [(42, 1), (30, 1), (30, 0), (42, 0)]
        probe.wait_for(lambda e: e["event"] == "modifiers" and e["depressed"] == 0 and e["t"] >= keys[-1]["t"])

    @pytest.mark.parametrize(
        "layout, text, keys, modifiers",
        [
            # The keys that us calls z and y.
            pytest.param("de", "yz", [44, 21], [0, 0], id="de-yz"),
            pytest.param("de", "@", [16], [ALTGR], id="de-at"),
            pytest.param("fr", "éà", [3, 11], [0, 0], id="fr-accents"),
        ],
    )
    def test_the_seats_own_layout(self, sway, probe, seat_keyboard, layout, text, keys, modifiers):
        seat_keyboard(layout)
        session = kestrin.Kestrin(sway.socket_path)
        probe.clear()
        session.type_text(text)
        got = presses(probe, len(text))
        assert [(e["key"], e["utf8"]) for e in got] == list(zip(keys, text))
        for event, mask in zip(got, modifiers):
            assert depressed_when(probe, lambda e: e is event) == mask


# --- Typing into real applications -----------------------------------------------

from typing_target import Foot, ZenityText  # noqa: E402


@pytest.fixture
def foot(sway, seat_keyboard):
    """foot running a raw ``cat`` into a file on ``sway`` with a US seat, and
    a session whose keys it is known to receive."""
    def start(layout="us"):
        seat_keyboard(layout)
        session = kestrin.Kestrin(sway.socket_path)
        target = Foot(sway)
        started.append(target)
        target.ready(session)
        return session, target

    started = []
    yield start
    for target in started:
        target.stop()


class TestTypingIntoApplications:
    def test_ten_thousand_random_characters_arrive_exactly_and_foot_lives(self, foot):
        session, target = foot()
        text = "".join(random.Random(21).choice(PRINTABLE) for _ in range(10_000))
        session.type_text(text)
        # Sent at once, foot was disconnected after some 600 characters.
        assert target.wait_for(len(text), timeout=120) == text
        assert target.alive(), target.stderr()

    def test_ten_thousand_characters_into_gtks_text_view(self, sway, seat_keyboard):
        seat_keyboard("us")
        session = kestrin.Kestrin(sway.socket_path)
        with ZenityText(sway) as target:
            target.ready(session)
            rng = random.Random(27)
            # In lines: GTK's text view loses its connection on one line of
            # 10,000 characters at any pace, wtype's included.
            text = "\n".join("".join(rng.choice(PRINTABLE) for _ in range(79)) for _ in range(127))
            session.type_text(text)
            assert target.finish(session) == text

    @pytest.mark.parametrize("layout, after", [("us", "xy"), ("de", "yz")])
    def test_characters_beyond_the_layout_and_the_layouts_own_after_them(self, foot, layout, after):
        session, target = foot(layout)
        text = "aé€ßЖ😀中b"
        session.type_text(text)
        session.type_text(after)
        # Typed with the layout's keys (on a German seat "y" is the key US
        # calls Z), which mean them only under the seat's keymap given back.
        assert target.wait_for(len(text + after), timeout=30) == text + after


# --- Aiming at what a screenshot shows, on two outputs ---------------------------

import math  # noqa: E402

from kestrin.testing._recorder import probe_picture  # noqa: E402

# sway counts its transforms clockwise, Wayland (and kestrin) counter-clockwise.
SWAY_TRANSFORM = {"normal": "normal", "90": "270", "180": "180", "270": "90"}


def grid(width, height):
    return [(x, y) for y in (0, height // 2, height - 1) for x in (0, width // 2, width - 1)]


def expected_surface_point(output, x, y):
    """Where pixel (x, y) of the picture lies on a fullscreen surface, in
    logical units, aiming at the pixel's centre."""
    u, v = (x + 0.5) / output.width, (y + 0.5) / output.height
    if output.transform == "270":  # sway's "90": the picture's top edge is shown on the right
        u, v = v, 1 - u
    return u * output.logical_width, v * output.logical_height


def click_position(probe):
    pressed = probe.wait_for(lambda e: e["event"] == "button" and e["state"] == 1)
    before = [e for e in probe.events() if e["event"] in ("motion", "pointer_enter") and e["t"] <= pressed["t"]]
    assert before, probe.events()
    return before[-1]["x"], before[-1]["y"]


class TestTwoOutputs:
    def test_outputs_match_swaymsg(self, two_outputs):
        reported = two_outputs.session.outputs()
        sway = two_outputs.sway.outputs()
        assert [o.name for o in reported] == [o["name"] for o in sway]
        for ours, theirs in zip(reported, sway):
            mode = theirs["current_mode"]
            assert (ours.x, ours.y, ours.logical_width, ours.logical_height) == tuple(
                theirs["rect"][key] for key in ("x", "y", "width", "height"))
            assert (ours.width, ours.height, ours.refresh_mhz) == (mode["width"], mode["height"], mode["refresh"])
            assert (ours.scale, ours.transform) == (theirs["scale"], SWAY_TRANSFORM[theirs["transform"]])

    def test_a_grid_of_pixels_is_clicked_where_the_screenshot_shows_it(self, two_outputs):
        k = two_outputs.session
        for output in k.outputs():
            probe = two_outputs.probes[output.name]
            picture = k.screenshot(output.name)
            assert picture.shape == (output.height, output.width, 4)
            shown = probe_picture(probe.width, probe.height)
            tolerance = 1 if output.scale == 1 else 1.0  # a pixel at scale 1, a logical unit at scale 2
            for x, y in grid(output.width, output.height):
                probe.clear()
                k.move_to(x, y, output.name)
                k.left_click(0)
                sx, sy = click_position(probe)
                ex, ey = expected_surface_point(output, x, y)
                assert abs(sx - ex) <= tolerance and abs(sy - ey) <= tolerance, (output.name, x, y, sx, sy)
                # The surface pixel clicked is the one the screenshot shows at (x, y).
                assert (picture[y, x, :3] == shown[math.floor(sy), math.floor(sx), :3]).all(), (output.name, x, y)

    def test_drag_scroll_and_held_button(self, two_outputs):
        if two_outputs.transform != "normal":
            pytest.skip("once is enough")
        k, probe = two_outputs.session, two_outputs.probes["HEADLESS-1"]
        probe.clear()
        k.drag(100, 200, 500, 400, "HEADLESS-1", steps=8)
        release = probe.wait_for(lambda e: e["event"] == "button" and e["state"] == 0)
        events = probe.events()
        press = next(e for e in events if e["event"] == "button" and e["state"] == 1)
        moves = [(e["x"], e["y"]) for e in events if e["event"] == "motion" and press["t"] <= e["t"] <= release["t"]]
        assert click_position(probe) == (100.5, 200.5)
        assert len(moves) == 8 and moves[-1] == (500.5, 400.5)

        probe.clear()
        k.scroll(3)
        steps = probe.wait_for("axis_discrete")
        assert (steps["axis"], steps["discrete"]) == (0, 3)
        assert probe.wait_for("axis")["value"] == 45.0

        probe.clear()
        k.move_to(10, 10, "HEADLESS-1")
        k.button_down("left")
        k.move_to(300, 30, "HEADLESS-1")
        k.button_up("left")
        buttons = probe.wait_for_count("button", 2)
        held = [e for e in probe.events() if e["event"] == "motion" and buttons[0]["t"] <= e["t"] <= buttons[1]["t"]]
        assert [(e["button"], e["state"]) for e in buttons] == [(272, 1), (272, 0)]
        assert [(e["x"], e["y"]) for e in held] == [(300.5, 30.5)]
