"""Captures of the real compositor compared with what the probe shows."""

from __future__ import annotations

import gc
import time

import numpy as np
import pytest

import kestrin
from leak_check import descriptors, shm_names
from kestrin.testing._recorder import probe_picture


def assert_same_picture(array: np.ndarray, expected: np.ndarray) -> None:
    assert array.shape == expected.shape
    wrong = np.argwhere((array != expected).any(axis=-1))
    if len(wrong):
        y, x = wrong[0]
        pytest.fail(f"{len(wrong)} pixels differ; the first at x={x}, y={y}: {array[y, x].tolist()} "
                    f"instead of {expected[y, x].tolist()}")


def resident_kib() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


@pytest.fixture
def k(new_session, probe):
    """A session whose pointer rests on the probe, which hides the cursor when
    the pointer enters it. Elsewhere, or before the probe has seen the pointer,
    sway draws its cursor into the picture."""
    session = new_session()
    probe.wait_input_ready(pointer=True, keyboard=True)
    park_pointer(session, probe, 1920)
    return session


def settle(session) -> None:
    """Waits until sway has stopped redrawing after the pointer came to the
    probe (it redraws the whole output a few times)."""
    with session.capture() as cap:
        assert cap.wait_until_stable(300, timeout_ms=10000) is not None


def park_pointer(session, probe, layout_width: int) -> None:
    # sway reports no motion to where the pointer already is, so it goes to a
    # point next door first.
    probe.clear()
    session.move_mouse(layout_width, 1080, 959, 539)
    session.move_mouse(layout_width, 1080, 960, 540)
    probe.wait_for(lambda e: e["event"] == "motion" and (e["x"], e["y"]) == (960, 540))


class TestPicture:
    @pytest.mark.every_compositor
    def test_the_capture_is_the_probe_picture_pixel_for_pixel(self, k):
        array = k.screenshot()
        assert array.dtype == np.uint8
        assert array.flags["C_CONTIGUOUS"] and array.flags["WRITEABLE"]
        assert array.strides == (1920 * 4, 4, 1)
        assert_same_picture(array, probe_picture(1920, 1080))

    def test_by_name_and_without_agree(self, k):
        assert np.array_equal(k.screenshot("HEADLESS-1"), k.screenshot())

    def test_the_array_outlives_the_object(self, k):
        array = k.screenshot()
        del k
        gc.collect()
        assert_same_picture(array, probe_picture(1920, 1080))
        array[:] = 0  # its own memory, writeable
        assert not array.any()


# The colour of an output that shows no window.
BACKGROUND = {"sway": 63, "phoc": 0}


class TestTwoOutputs:
    @pytest.mark.every_compositor
    def test_a_second_output_needs_a_name(self, compositor_kind, two_output_compositor, start_probe):
        compositor, second = two_output_compositor
        probe = start_probe(compositor)
        probe.activate_keyboard()
        k = kestrin.Kestrin(compositor.socket_path)
        probe.wait_input_ready(pointer=True, keyboard=True)
        park_pointer(k, probe, 2 * 1920)
        with pytest.raises(RuntimeError) as raised:
            k.screenshot()
        assert str(raised.value) == "more that one WLOuput set. Please specify the name of the one to use"
        with pytest.raises(RuntimeError, match="^no WLOutput with name headless-1$"):
            k.screenshot("headless-1")
        # The new output shows the compositor's empty background.
        empty = k.screenshot(second)
        assert empty.shape == (1080, 1920, 4)
        assert (empty[540, 960, :3] == BACKGROUND[compositor_kind]).all()
        assert_same_picture(k.screenshot("HEADLESS-1"), probe_picture(1920, 1080))


class TestResources:
    def test_five_hundred_captures_leave_nothing_behind(self, sway, k):
        for _ in range(5):
            k.screenshot()
        gc.collect()
        before, shm = descriptors(), shm_names()
        resident = resident_kib()
        for _ in range(500):
            array = k.screenshot()
        del array
        gc.collect()
        assert descriptors() == before
        assert shm_names() == shm
        # One frame is 8 MiB; a leak of one per capture would show as gigabytes.
        assert resident_kib() - resident < 32 * 1024
        assert sway.running


class TestLastingCapture:
    def test_region_and_frames_agree_with_the_screenshot(self, k):
        shot = k.screenshot()
        with k.capture(region=(101, 37, 300, 211)) as cap:
            assert_same_picture(cap.grab(), shot[37:248, 101:401])
        with k.capture() as cap:
            into = np.empty_like(shot)
            cap.grab_into(into)
            assert_same_picture(into, shot)

    def test_a_change_in_the_region_wakes_the_wait(self, k, probe):
        with k.capture() as cap:
            # sway redraws the output a few times after the pointer came to
            # the probe, unchanged: reported all the same.
            stable = cap.wait_until_stable(300, timeout_ms=10000)
            assert stable is not None
            # Now and then it redraws unchanged later too, which it reports as
            # well: whatever comes before the paint shows the same picture.
            for _ in range(50):
                report = cap.wait_for_change(timeout_ms=100, region=(100, 100, 50, 50))
                if report is None:
                    break
                assert np.array_equal(report[0], stable)
            assert report is None
            probe.paint(120, 130, 20, 10)
            frame, changed = cap.wait_for_change(timeout_ms=2000, region=(100, 100, 50, 50))
            assert (frame[130:140, 120:140] == 255).all()
            assert any(x <= 120 and y <= 130 and x + w >= 140 and y + h >= 140 for x, y, w, h in changed)

    def test_every_capture_of_an_output_sees_every_change(self, k, probe):
        settle(k)
        first, second = k.capture(), k.capture(region=(100, 100, 200, 200))
        probe.paint(120, 130, 20, 10)
        for cap in (first, second):
            frame, changed = cap.wait_for_change(timeout_ms=5000, region=(110, 120, 40, 30))
            assert any(x <= 120 and y <= 130 and x + w >= 140 and y + h >= 140 for x, y, w, h in changed)

    def test_a_still_screen_times_out_and_leaves_nothing(self, k):
        gc.collect()
        settle(k)
        before, shm = descriptors(), shm_names()
        cap = k.capture()
        still = cap.grab()
        # Nothing changed since the capture opened, although sway's first
        # report of the output on a connection says all of it did. sway also
        # redraws the output unchanged now and then and reports that: such a
        # report shows the picture as it was. (The fake compositor's tests
        # hold the first wait to None.)
        used = time.process_time()
        first = cap.wait_for_change(timeout_ms=2000)
        print(f"CPU of a wait on a still screen: {time.process_time() - used:.3f} s")
        assert first is None or np.array_equal(first[0], still)
        later = cap.wait_for_change(timeout_ms=300)
        assert later is None or np.array_equal(later[0], still)
        del cap
        gc.collect()
        assert descriptors() == before
        assert shm_names() == shm
