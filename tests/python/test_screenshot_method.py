"""How `screenshot` hands the capture to Python: the array it returns, and
what happens when NumPy cannot be reached."""

import gc
import json

import pytest

from kestrin import Kestrin
from interpreter import run_python
from signals import alarm

np = pytest.importorskip("numpy")


class TestArray:
    def test_layout(self, k):
        array = k.screenshot()
        assert type(array) is np.ndarray
        assert array.dtype == np.uint8
        assert array.ndim == 3 and array.shape[2] == 4
        height, width, _ = array.shape
        assert height > 0 and width > 0
        assert array.strides == (width * 4, 4, 1)
        assert array.flags.c_contiguous
        assert array.flags.writeable
        assert array.flags.aligned

    def test_none_is_like_no_name(self, k, compositor):
        first = k.screenshot()
        second = k.screenshot(None)
        third = k.screenshot(screen_name=None)
        assert first.shape == second.shape == third.shape
        assert compositor.names().count("zwlr_screencopy_manager_v1.capture_output") == 3

    def test_owns_its_memory(self, compositor):
        k = Kestrin(compositor.socket_path)
        array = k.screenshot()
        copy = array.copy()
        # The memory is not NumPy's own, but held by the base object.
        assert not array.flags.owndata
        assert array.base is not None
        del k
        gc.collect()
        assert np.array_equal(array, copy)
        array[...] = 7
        assert int(array.sum()) == 7 * array.size

    def test_arrays_are_independent(self, k):
        first = k.screenshot()
        second = k.screenshot()
        assert not np.shares_memory(first, second)


def test_without_numpy_a_capture_ends_in_internal_fault(compositor):
    result = run_python(
        """
        import json, sys
        sys.modules["numpy"] = None
        import kestrin
        k = kestrin.Kestrin(sys.argv[1])
        try:
            k.screenshot()
        except Exception as error:
            outcome = "caught as Exception: " + repr(error)
        except BaseException as error:
            outcome = type(error).__name__ + ": " + str(error)
        # The object stays usable, and NumPy is tried again on the next call.
        k.left_click(0)
        del sys.modules["numpy"]
        shape = k.screenshot().shape
        print(json.dumps({"outcome": outcome, "shape": list(shape)}))
        """,
        compositor.socket_path,
    )
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["outcome"].startswith("InternalFault: Failed to access NumPy array API capsule")
    assert len(report["shape"]) == 3
    assert compositor.names().count("zwlr_screencopy_manager_v1.capture_output") == 2
    assert "internal fault at " in result.stderr


# --- Capture: a lasting capture with its own buffers ---------------------------------

from fake_compositor import pattern  # noqa: E402
from leak_check import descriptors  # noqa: E402
from wire_support import output, scenario  # noqa: E402

REGION_REQUEST = "zwlr_screencopy_manager_v1.capture_output_region"
COPY_WITH_DAMAGE = "zwlr_screencopy_frame_v1.copy_with_damage"


def small(scale: int = 1, **fields) -> dict:
    out = {**output(width=64, height=32), "scale": scale}
    return scenario(outputs=[out], **fields)


class TestCapture:
    def test_frames_are_screenshots(self, fake):
        compositor = fake(small())
        k = Kestrin(compositor.socket_path)
        expected = pattern(64, 32)
        with k.capture() as cap:
            assert (cap.width, cap.height) == (64, 32)
            assert np.array_equal(cap.grab(), expected)
            into = np.zeros_like(expected)
            assert cap.grab_into(into) is None
            assert np.array_equal(into, expected)
            frames = [frame for _, frame in zip(range(3), cap)]
            assert all(np.array_equal(frame, expected) for frame in frames)
        assert np.array_equal(k.screenshot(), expected)
        # Two pools and buffers for the whole capture, whatever it grabbed.
        names = compositor.wait_for(lambda _: compositor.names().count("wl_shm_pool.destroy") == 3) and compositor.names()
        assert names.count("wl_shm.create_pool") == 3

    @pytest.mark.parametrize(
        "scale, region, box",
        [(1, (3, 5, 10, 7), [3, 5, 10, 7]), (2, (3, 5, 10, 7), [1, 2, 6, 4]), (2, (0, 0, 64, 32), None)],
    )
    def test_region_is_cut_from_the_pixels_asked_for(self, fake, scale, region, box):
        compositor = fake(small(scale))
        k = Kestrin(compositor.socket_path)
        x, y, width, height = region
        cap = k.capture(region=region)
        assert np.array_equal(cap.grab(), pattern(64, 32)[y : y + height, x : x + width])
        sent = [r["args"][3:] for r in compositor.requests() if r["request"] == "capture_output_region"]
        # The logical box around the region; the whole output without one.
        assert sent == ([box] * 2 if box else [])

    @pytest.mark.parametrize(
        "call, error, text",
        [
            (lambda k: k.capture(region=(60, 0, 10, 10)), ValueError, "does not lie within the output's picture"),
            (lambda k: k.capture(region=(0, 0, 0, 10)), ValueError, "is empty"),
            (lambda k: k.capture(region=(0, 0, 10)), ValueError, "region must have 4 items"),
            (lambda k: k.capture(region="0 0 1 1"), TypeError, "argument 'region'"),
            (lambda k: k.capture(region=(0, 0, 1.5, 1)), TypeError, "argument 'region'"),
            (lambda k: k.capture(screen_name=3), TypeError, "argument 'screen_name'"),
            (lambda k: k.capture(screen_name="DP-9"), RuntimeError, "DP-9"),
        ],
    )
    def test_refused_capture_sends_nothing(self, fake, call, error, text):
        compositor = fake(small())
        k = Kestrin(compositor.socket_path)
        before = len(compositor.requests())
        with pytest.raises(error, match=text):
            call(k)
        assert len(compositor.requests()) == before
        assert k.screenshot().shape == (32, 64, 4)

    @pytest.mark.parametrize(
        "array, error, text",
        [
            (np.zeros((32, 64, 3), np.uint8), ValueError, r"expected shape \(32, 64, 4\)"),
            (np.zeros((32, 64, 4), np.float32), TypeError, "uint8"),
            (np.zeros((64, 32, 4), np.uint8).transpose(1, 0, 2), ValueError, "argument 'array'"),
            ("read-only", ValueError, "argument 'array'"),
            ("pixels", TypeError, "argument 'array'"),
        ],
    )
    def test_grab_into_checks_the_array(self, fake, array, error, text):
        k = Kestrin(fake(small()).socket_path)
        cap = k.capture()
        if isinstance(array, str) and array == "read-only":
            array = np.zeros((32, 64, 4), np.uint8)
            array.flags.writeable = False
        with pytest.raises(error, match=text):
            cap.grab_into(array)

    def test_closed_or_freed_leaves_nothing(self, fake):
        compositor = fake(small())
        k = Kestrin(compositor.socket_path)
        gc.collect()
        before = descriptors()
        cap = k.capture()
        cap.grab()
        cap.close()
        assert cap.closed
        with pytest.raises(RuntimeError, match="the capture is closed"):
            cap.grab()
        assert list(cap) == []
        second = k.capture()
        del k  # the capture keeps the session
        second.grab()
        del second
        assert descriptors() == before
        compositor.wait_for(lambda _: compositor.names().count("wl_shm_pool.destroy") == 4)
        names = compositor.names()
        assert names.count("wl_shm.create_pool") == names.count("wl_shm_pool.destroy") == 4
        assert names.count("wl_shm_pool.create_buffer") == names.count("wl_buffer.destroy") == 4

    def test_capture_type_is_not_exported(self):
        import kestrin

        assert "Capture" not in kestrin.__all__
        with pytest.raises(TypeError):
            kestrin.Capture()


class TestYInvert:
    # The compositor copies the picture bottom row first and says so.
    def test_every_picture_is_upright(self, fake):
        compositor = fake(small(screencopy=[{"flags": 1}]))
        k = Kestrin(compositor.socket_path)
        expected = pattern(64, 32)
        assert np.array_equal(k.screenshot(), expected)
        with k.capture() as cap:
            assert np.array_equal(cap.grab(), expected)
            into = np.zeros_like(expected)
            cap.grab_into(into)
            assert np.array_equal(into, expected)
            assert np.array_equal(next(iter(cap)), expected)
            assert np.array_equal(cap.wait_for_change(timeout_ms=5000)[0], expected)
        with k.capture(region=(3, 5, 10, 7)) as cap:
            assert np.array_equal(cap.grab(), expected[5:12, 3:13])

    def test_the_pointer_aims_as_without_it(self, fake):
        motions = []
        for flags in (0, 1):
            compositor = fake(small(screencopy=[{"flags": flags}]))
            k = Kestrin(compositor.socket_path)
            k.screenshot()
            k.move_to(10, 3)
            motions.append([r["args"] for r in compositor.requests() if r["request"] == "motion_absolute"])
        assert motions[0] == motions[1] and motions[0]


class TestWaitForChange:
    # The capture's first frame is a plain copy; each later frame reports the
    # damage given here.
    def damaged(self, fake, *boxes):
        configs = [{}] + [{"damage": list(box)} for box in boxes]
        compositor = fake(small(screencopy=configs))
        return compositor, Kestrin(compositor.socket_path).capture()

    def test_returns_the_frame_and_the_change_in_the_region(self, fake):
        compositor, cap = self.damaged(fake, (0, 0, 4, 4), (30, 10, 8, 8))
        frame, changed = cap.wait_for_change(timeout_ms=5000, region=(32, 0, 32, 32))
        assert changed == [(32, 10, 6, 8)]
        assert np.array_equal(frame, pattern(64, 32))
        assert compositor.names().count(COPY_WITH_DAMAGE) == 2

    # Damage that only touches the region's edge changes none of its pixels.
    @pytest.mark.parametrize("damage", [(0, 0, 4, 4), (0, 0, 10, 12), (15, 10, 3, 3)], ids=["apart", "corner", "edge"])
    def test_none_at_the_timeout(self, fake, damage):
        compositor, cap = self.damaged(fake, damage)
        assert cap.wait_for_change(timeout_ms=50, region=(10, 10, 5, 5)) is None
        # Every frame changes the capture: it never settles.
        assert cap.wait_until_stable(20, timeout_ms=100) is None

    def test_a_still_screen_gives_none_at_the_timeout(self, fake):
        # wlroots' first damage of an output on a connection is all of it,
        # whatever changed; the picture shows nothing did.
        compositor = fake(small(screencopy=[{}, {}, {"outcome": "still"}]))
        cap = Kestrin(compositor.socket_path).capture()
        assert cap.wait_for_change(timeout_ms=100) is None
        assert compositor.names().count(COPY_WITH_DAMAGE) == 2

    def test_two_captures_of_one_output_each_see_every_change(self, fake):
        # Frames in order: the two openings, the first capture's two waits
        # (the first report of the output, then a real one), the second
        # capture's plain copy, and a still screen from then on.
        compositor = fake(small(screencopy=[{}, {}, {}, {"damage": [5, 6, 7, 8]}, {}, {"outcome": "still"}]))
        k = Kestrin(compositor.socket_path)
        first, second = k.capture(), k.capture(region=(4, 4, 20, 20))
        assert first.wait_for_change(timeout_ms=5000)[1] == [(5, 6, 7, 8)]
        frame, changed = second.wait_for_change(timeout_ms=5000)
        assert changed == [(5, 6, 7, 8)]
        assert np.array_equal(frame, pattern(64, 32)[4:24, 4:24])
        assert first.wait_for_change(timeout_ms=50) is None
        assert second.wait_for_change(timeout_ms=50) is None
        names = compositor.names()
        assert names.count(COPY_WITH_DAMAGE) == 4 and names.count("zwlr_screencopy_frame_v1.copy") == 3

    @pytest.mark.parametrize(
        "stalled, nth",
        [
            pytest.param("zwlr_screencopy_manager_v1.capture_output", 2, id="frame-never-announced"),
            pytest.param(COPY_WITH_DAMAGE, 1, id="copy-never-answered"),
            pytest.param("ext_image_copy_capture_frame_v1.capture", 2, id="ext-frame-never-answered"),
        ],
    )
    def test_a_compositor_that_stops_answering_ends_the_waits_at_their_timeout(self, fake, stalled, nth):
        stall = {"on": stalled, "nth": nth, "actions": [{"do": "stall"}]}
        compositor = fake(small(image_copy_managers=stalled.startswith("ext"), triggers=[stall]))
        cap = Kestrin(compositor.socket_path).capture()
        results = []
        # The alarm only ends (as Ctrl-C would) a wait that would never end.
        try:
            with alarm(30):
                results.append(cap.wait_for_change(timeout_ms=200))
                results.append(cap.wait_until_stable(50, timeout_ms=200))
        except KeyboardInterrupt:
            pytest.fail("a wait outlasted its timeout")
        assert results[0] is None
        # ext-image-copy-capture takes a screen that sends nothing as still.
        assert results[1] is None or (stalled.startswith("ext") and np.array_equal(results[1], pattern(64, 32)))

    def test_refused_region(self, fake):
        compositor, cap = self.damaged(fake)
        # The opening's last request, the first frame's destroy, is flushed without a roundtrip.
        compositor.wait_for(lambda _: "zwlr_screencopy_frame_v1.destroy" in compositor.names())
        before = len(compositor.requests())
        with pytest.raises(ValueError, match="does not lie within"):
            cap.wait_for_change(region=(0, 0, 65, 1))
        with pytest.raises(TypeError, match="argument 'timeout_ms'"):
            cap.wait_for_change(timeout_ms="1")
        assert len(compositor.requests()) == before


# --- Capture through ext-image-copy-capture-v1 -----------------------------------------

SESSION = "ext_image_copy_capture_session_v1"
EXT_FRAME = "ext_image_copy_capture_frame_v1"
EXT_FRAME_REQUESTS = [f"{SESSION}.create_frame", f"{EXT_FRAME}.attach_buffer", f"{EXT_FRAME}.damage_buffer",
                      f"{EXT_FRAME}.capture", f"{EXT_FRAME}.destroy"]


def ext_capture(fake, *frames, **fields):
    """A compositor offering ext-image-copy-capture whose frames after the
    first answer as `frames` say, then as the last (ready when none)."""
    compositor = fake(small(image_copy_managers=True, image_copy=[{}, *frames], **fields))
    return compositor, Kestrin(compositor.socket_path)


def bound(compositor) -> list[str]:
    return [r["args"][1] for r in compositor.requests() if r["request"] == "bind"]


def from_capture(compositor) -> list[str]:
    names = compositor.names()
    return names[names.index("ext_output_image_capture_source_manager_v1.create_source") :]


class TestImageCopyCapture:
    def test_wire_sequence_and_picture(self, fake):
        compositor, k = ext_capture(fake)
        # Bound by the first capture only: a session that never captures sends what it always did.
        assert not [name for name in bound(compositor) if name.startswith("ext_")]
        gc.collect()
        before = descriptors()
        with k.capture() as cap:
            assert np.array_equal(cap.grab(), pattern(64, 32))
        assert descriptors() == before
        assert [name for name in bound(compositor) if name.startswith("ext_")] == [
            "ext_output_image_capture_source_manager_v1", "ext_image_copy_capture_manager_v1"]
        compositor.wait_for(lambda _: from_capture(compositor).count("wl_shm_pool.destroy") == 2)
        assert from_capture(compositor) == [
            "ext_output_image_capture_source_manager_v1.create_source",
            "ext_image_copy_capture_manager_v1.create_session",
            *["wl_shm.create_pool", "wl_shm_pool.create_buffer"] * 2,
            *EXT_FRAME_REQUESTS * 2,
            f"{SESSION}.destroy",
            "ext_image_capture_source_v1.destroy",
            *["wl_buffer.destroy", "wl_shm_pool.destroy"] * 2,
        ]
        requests = compositor.requests()
        session = next(r for r in requests if r["request"] == "create_session")
        assert session["args"][2] == 0  # no cursor painted
        attached = [r["args"][0] for r in requests if r["request"] == "attach_buffer"]
        assert attached[0] != attached[1]  # the two kept buffers in turn
        assert [r["args"] for r in requests if r["request"] == "damage_buffer"] == [[0, 0, 64, 32]] * 2
        # screenshot() stays on wlr-screencopy.
        assert np.array_equal(k.screenshot(), pattern(64, 32))
        assert "zwlr_screencopy_manager_v1.capture_output" in compositor.names()

    @pytest.mark.parametrize(
        "screencopy_manager, image_copy_managers, used",
        [(True, True, "ext"), (True, False, "wlr"), (False, True, "ext")],
    )
    def test_protocol_choice(self, fake, screencopy_manager, image_copy_managers, used):
        compositor = fake(small(screencopy_manager=screencopy_manager, image_copy_managers=image_copy_managers))
        k = Kestrin(compositor.socket_path)
        gc.collect()
        before = descriptors()
        cap = k.capture(region=(3, 5, 10, 7))
        assert np.array_equal(cap.grab(), pattern(64, 32)[5:12, 3:13])
        names = compositor.names()
        assert (f"{EXT_FRAME}.capture" in names) == (used == "ext")
        assert any(n.startswith("zwlr_screencopy") for n in names) == (used == "wlr")
        # Freed, it gives everything back as close() does.
        del cap
        assert descriptors() == before
        compositor.wait_for(lambda _: compositor.names().count("wl_shm_pool.destroy") == 2)
        assert (f"{SESSION}.destroy" in compositor.names()) == (used == "ext")

    @pytest.mark.parametrize(
        "frame, text, usable",
        [
            ({"outcome": "failed", "reason": 0}, "the compositor failed the capture$", True),
            ({"outcome": "failed", "reason": 1}, "the buffers no longer meet its constraints", True),
            ({"outcome": "failed", "reason": 2}, "the compositor stopped the capture", False),
            ({"outcome": "stopped"}, "the compositor stopped the capture: the output is gone", False),
        ],
    )
    def test_failure(self, fake, frame, text, usable):
        compositor, k = ext_capture(fake, frame, {})
        cap = k.capture()
        with pytest.raises(RuntimeError, match=text):
            cap.grab()
        if usable:
            assert np.array_equal(cap.grab(), pattern(64, 32))
            return
        # A stopped session gives its objects back at once and fails every call.
        compositor.wait_for(lambda _: compositor.names().count("wl_shm_pool.destroy") == 2)
        with pytest.raises(RuntimeError, match="the compositor stopped the capture"):
            next(iter(cap))
        with pytest.raises(RuntimeError, match="the compositor stopped the capture"):
            cap.wait_for_change(timeout_ms=10)
        names = compositor.names()
        assert names.count(f"{SESSION}.create_frame") == 2
        assert f"{SESSION}.destroy" in names and "ext_image_capture_source_v1.destroy" in names
        cap.close()

    def test_new_size_makes_new_buffers(self, fake):
        compositor, k = ext_capture(fake, {"buffer_size": [32, 16]}, {})
        cap = k.capture()
        with pytest.raises(RuntimeError, match="the output's picture changed to 32x16 pixels"):
            cap.grab()
        assert (cap.width, cap.height) == (32, 16)
        assert np.array_equal(cap.grab(), pattern(32, 16))
        names = compositor.names()
        assert names.count("wl_shm.create_pool") == 4 and names.count("wl_shm_pool.destroy") == 2

    def test_new_size_around_a_region_is_followed(self, fake):
        compositor, k = ext_capture(fake, {"buffer_size": [32, 16]}, {})
        cap = k.capture(region=(1, 2, 8, 4))
        assert np.array_equal(cap.grab(), pattern(32, 16)[2:6, 1:9])

    def test_still_screen_gives_the_newest_picture(self, fake):
        compositor, k = ext_capture(fake, {"outcome": "still"}, {})
        cap = k.capture()
        assert np.array_equal(cap.grab(), pattern(64, 32))
        # The frame that never came was given up, and the next one is asked for anew.
        assert np.array_equal(cap.grab(), pattern(64, 32))
        # The last destroy is flushed, not waited for.
        compositor.wait_for(lambda _: compositor.names().count(f"{EXT_FRAME}.destroy") == 3)
        assert compositor.names().count(f"{SESSION}.create_frame") == 3

    def test_wait_for_change(self, fake):
        compositor, k = ext_capture(fake, {"damage": [[0, 0, 4, 4]]}, {"damage": [[30, 10, 8, 8], [-2, -2, 1, 9]]},
                                    {"outcome": "still"})
        cap = k.capture()
        frame, changed = cap.wait_for_change(timeout_ms=5000, region=(32, 0, 32, 32))
        assert changed == [(32, 10, 6, 8)]
        assert np.array_equal(frame, pattern(64, 32))
        assert cap.wait_for_change(timeout_ms=50) is None
        assert "zwlr_screencopy_frame_v1.copy_with_damage" not in compositor.names()

    def test_a_grab_keeps_its_change_for_the_next_wait(self, fake):
        compositor, k = ext_capture(fake, {"damage": [[1, 1, 2, 2]]}, {"outcome": "still"})
        cap = k.capture()
        cap.grab()
        frame, changed = cap.wait_for_change(timeout_ms=5000)
        assert changed == [(1, 1, 2, 2)]
        assert compositor.names().count(f"{SESSION}.create_frame") == 2

    def test_many_changes_merge_into_their_bounding_box(self, fake):
        compositor, k = ext_capture(fake, {"damage": [[x, 2, 1, 1] for x in range(40)]})
        frame, changed = k.capture().wait_for_change(timeout_ms=5000)
        assert changed == [(0, 2, 40, 1)]

    def test_iteration_asks_ahead_and_close_gives_up_the_frame_asked(self, fake):
        compositor, k = ext_capture(fake, {}, {"outcome": "still"})
        cap = k.capture()
        frames = [frame for _, frame in zip(range(2), cap)]
        assert all(np.array_equal(frame, pattern(64, 32)) for frame in frames)
        cap.close()
        compositor.wait_for(lambda _: from_capture(compositor).count("wl_shm_pool.destroy") == 2)
        # The opening's frame, the first iteration's, the one asked ahead that
        # never came (given up by the second), and the one asked ahead then.
        after = from_capture(compositor)[6:]
        assert after == [*EXT_FRAME_REQUESTS * 3, *EXT_FRAME_REQUESTS[:-1], f"{EXT_FRAME}.destroy",
                         f"{SESSION}.destroy", "ext_image_capture_source_v1.destroy",
                         *["wl_buffer.destroy", "wl_shm_pool.destroy"] * 2]
