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
