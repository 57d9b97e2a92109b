"""Input from the module as the probe receives it through the real
compositor: pointer positions, buttons, keys with the seat's keymap, holds."""

from __future__ import annotations

import pytest

import kestrin


@pytest.fixture
def k(input_session):
    return input_session


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
        for x, y in motions(probe, 10):
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
        press, release = probe.wait_for_count("button", 2)
        assert release["t"] - press["t"] >= 50


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
        press, release = probe.wait_for_count("key", 2)
        assert release["t"] - press["t"] >= 50


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
