"""What a capture puts on the wire and what it gets back: the choice of the
output, the requests of a capture with their arguments and objects, the
buffer parameters the compositor announces, the pixels, the failures at
every step, and that nothing is left open behind."""

import collections
import gc
import json
import re

import pytest

from fake_compositor import pattern
from kestrin import Kestrin
from interpreter import run_python
from leak_check import descriptors
from wire_support import (
    BUFFER,
    BUFFER_DESTROY,
    CAPTURE,
    COPY,
    FRAME_DESTROY,
    MOTION,
    POOL,
    POOL_DESTROY,
    SCREENCOPY_MANAGER,
    SEAT,
    SHM,
    SYNC,
    Watch,
    bound_versions,
    close_on,
    name_of,
    output,
    protocol_error_on,
    scenario,
)

np = pytest.importorskip("numpy")

UP_TO_COPY = [CAPTURE, SYNC, POOL, SYNC, BUFFER, SYNC, COPY]
RELEASE = [FRAME_DESTROY, BUFFER_DESTROY, POOL_DESTROY]
SUCCESS = UP_TO_COPY + RELEASE
XRGB8888 = 1
ARGB8888 = 0
# The formats a capture can be read from, in the order the module prefers them.
READABLE = {
    "xrgb8888": XRGB8888,
    "argb8888": ARGB8888,
    "xbgr8888": 0x34324258,
    "abgr8888": 0x34324241,
    "xrgb2101010": 0x30335258,
    "argb2101010": 0x30335241,
    "xbgr2101010": 0x30334258,
    "abgr2101010": 0x30334241,
}
NV12 = 0x3231564E
# A wl_shm that offers every readable format, and frames checked as wlroots
# checks them: a buffer in a format the frame did not announce is refused.
ALL_FORMATS = list(READABLE.values())
STRICT = {"strict_format": True}

FAILED_CAPTURE = "the compositor failed the capture"
MORE_THAN_ONE = "more that one WLOuput set. Please specify the name of the one to use"
NO_DISPLAY = "at least one display need to be set"

SMALL = output(width=64, height=48)


def target(record):
    return f"{record['interface']}@{record['id']}"


def capture(k, compositor, screen_name=None):
    """Takes a screenshot and returns it with the requests it made, once the
    destroys that nothing answers have arrived too."""
    watch = Watch(compositor)
    array = k.screenshot(screen_name)
    watch.wait_for_count(POOL_DESTROY, 1)
    return array, watch.requests()


def assert_one_capture(requests, width, height, stride, format=XRGB8888):
    """The requests of one successful capture, in order, each on the object
    the one before made."""
    assert [name_of(r) for r in requests] == SUCCESS
    capture_output, _, create_pool, _, create_buffer, _, copy, frame_destroy, buffer_destroy, pool_destroy = requests
    frame, overlay_cursor, wl_output = capture_output["args"]
    assert overlay_cursor == 0
    assert wl_output.startswith("wl_output@")
    pool, file, size = create_pool["args"]
    assert size == stride * height
    assert file["size"] == stride * height
    assert target(create_buffer) == pool
    assert create_buffer["args"][1:] == [0, width, height, stride, format]
    buffer = create_buffer["args"][0]
    assert target(copy) == frame and copy["args"] == [buffer]
    assert target(frame_destroy) == frame
    assert target(buffer_destroy) == buffer
    assert target(pool_destroy) == pool


def assert_nothing_sent(k, compositor, call):
    """`call` fails without a request: the next one on the wire is the
    motion that follows it."""
    watch = Watch(compositor)
    with pytest.raises(RuntimeError) as caught:
        call()
    k.move_mouse(10, 10, 1, 1)
    assert watch.names() == [MOTION, SYNC]
    return str(caught.value)


TWO_OUTPUTS = [output("DP-1", 30, 20), output("HDMI-A-1", 40, 10)]
UNNAMED = output(None, 24, 16, version=3)


class TestChoiceOfOutput:
    @pytest.mark.parametrize(
        "outputs, screen_name, size",
        [
            pytest.param([UNNAMED], None, (24, 16), id="one-unnamed"),
            pytest.param([output("DP-1", 30, 20)], None, (30, 20), id="one-named-no-name"),
            pytest.param([output("DP-1", 30, 20)], "DP-1", (30, 20), id="one-by-name"),
            pytest.param(TWO_OUTPUTS, "HDMI-A-1", (40, 10), id="second-of-two"),
            pytest.param(TWO_OUTPUTS, "DP-1", (30, 20), id="first-of-two"),
            pytest.param([UNNAMED, output("DP-1", 30, 20)], "DP-1", (30, 20), id="named-beside-unnamed"),
        ],
    )
    def test_captured_output(self, fake, outputs, screen_name, size):
        compositor = fake(scenario(outputs))
        k = Kestrin(compositor.socket_path)
        array, requests = capture(k, compositor, screen_name)
        width, height = size
        assert_one_capture(requests, width, height, width * 4)
        assert np.array_equal(array, pattern(width, height))

    @pytest.mark.parametrize(
        "outputs, screen_name, message",
        [
            pytest.param(TWO_OUTPUTS, None, MORE_THAN_ONE, id="two-no-name"),
            pytest.param(TWO_OUTPUTS, "hdmi-a-1", "no WLOutput with name hdmi-a-1", id="case-differs"),
            pytest.param(TWO_OUTPUTS, "HDMI-A-1 ", "no WLOutput with name HDMI-A-1 ", id="trailing-blank"),
            pytest.param(TWO_OUTPUTS, "HDMI-A", "no WLOutput with name HDMI-A", id="prefix"),
            pytest.param(TWO_OUTPUTS, "", "no WLOutput with name ", id="empty-name"),
            pytest.param([output("DP-1")], "HDMI-A-1", "no WLOutput with name HDMI-A-1", id="one-other-name"),
            pytest.param([UNNAMED], "HEADLESS-1", "no WLOutput with name HEADLESS-1", id="unnamed-never-matches"),
            pytest.param([], "X", "no WLOutput with name X", id="none-with-name"),
            pytest.param([], None, NO_DISPLAY, id="none-no-name"),
        ],
    )
    def test_failure_sends_nothing(self, fake, outputs, screen_name, message):
        compositor = fake(scenario(outputs))
        k = Kestrin(compositor.socket_path)
        assert assert_nothing_sent(k, compositor, lambda: k.screenshot(screen_name)) == message

    @pytest.mark.parametrize(
        "outputs, screen_name, message",
        [
            pytest.param([output()], None, "no screencopy manager", id="output-chosen"),
            pytest.param([output()], "HEADLESS-1", "no screencopy manager", id="output-by-name"),
            pytest.param([], None, NO_DISPLAY, id="no-output"),
            pytest.param([], "X", "no WLOutput with name X", id="no-output-with-name"),
            pytest.param(TWO_OUTPUTS, None, MORE_THAN_ONE, id="two-outputs"),
            pytest.param(TWO_OUTPUTS, "dp-1", "no WLOutput with name dp-1", id="wrong-name"),
        ],
    )
    def test_without_screencopy_manager_the_output_error_wins(self, fake, outputs, screen_name, message):
        compositor = fake(scenario(outputs, screencopy_manager=False))
        k = Kestrin(compositor.socket_path)
        assert assert_nothing_sent(k, compositor, lambda: k.screenshot(screen_name)) == message


class TestWithoutSharedMemory:
    def test_fails_after_the_parameters_and_before_a_pool(self, fake):
        compositor = fake(scenario([SMALL], shm=False))
        k = Kestrin(compositor.socket_path)
        gc.collect()  # sessions earlier tests left in reference cycles
        before = descriptors()
        watch = Watch(compositor)
        with pytest.raises(RuntimeError) as caught:
            k.screenshot()
        assert str(caught.value) == "no shared memory"
        # The frame goes at once, with no further call.
        assert watch.wait_for_count(FRAME_DESTROY, 1) == [CAPTURE, SYNC, FRAME_DESTROY]
        assert descriptors() == before
        requests = watch.requests()
        assert target(requests[2]) == requests[0]["args"][0]


class TestAnnouncedBuffer:
    @pytest.mark.parametrize("announced", list(READABLE.values()), ids=list(READABLE))
    def test_buffer_in_the_announced_format(self, fake, announced):
        compositor = fake(scenario(shm=ALL_FORMATS, screencopy=[{"buffers": [{"format": announced}], **STRICT}]))
        k = Kestrin(compositor.socket_path)
        array, requests = capture(k, compositor)
        assert_one_capture(requests, 1920, 1080, 7680, announced)
        assert requests[2]["args"][2] == 8_294_400
        assert array.shape == (1080, 1920, 4)
        assert np.array_equal(array, pattern(1920, 1080, announced))

    @pytest.mark.parametrize(
        "announced, chosen",
        [
            pytest.param(["abgr8888", "xrgb8888"], "xrgb8888", id="xrgb8888-second"),
            pytest.param(["xrgb8888", "argb8888"], "xrgb8888", id="xrgb8888-first"),
            pytest.param(["argb2101010", "argb8888", "xbgr8888"], "argb8888", id="argb8888"),
            pytest.param(["abgr8888", "xbgr8888"], "xbgr8888", id="xbgr8888-before-abgr8888"),
            pytest.param(["xrgb2101010", "abgr8888"], "abgr8888", id="8-bit-before-10-bit"),
            pytest.param([NV12, "xbgr2101010"], "xbgr2101010", id="beside-an-unreadable-one"),
        ],
    )
    def test_preferred_of_several_formats(self, fake, announced, chosen):
        buffers = [{"format": READABLE.get(name, name), "width": 64, "height": 48} for name in announced]
        compositor = fake(scenario([SMALL], shm=ALL_FORMATS, screencopy=[{"buffers": buffers, **STRICT}]))
        k = Kestrin(compositor.socket_path)
        array, requests = capture(k, compositor)
        assert_one_capture(requests, 64, 48, 256, READABLE[chosen])
        assert np.array_equal(array, pattern(64, 48, READABLE[chosen]))

    @pytest.mark.parametrize(
        "buffers, size, stride",
        [
            pytest.param([{"width": 10, "height": 10}, {"width": 30, "height": 20, "stride": 128}], (30, 20), 128, id="grows"),
            pytest.param([{"width": 40, "height": 30}, {"width": 20, "height": 10}], (20, 10), 80, id="shrinks"),
            pytest.param([{"width": 8, "height": 8, "stride": 64}, {"width": 8, "height": 8}], (8, 8), 32, id="stride-only"),
        ],
    )
    def test_last_buffer_event_wins(self, fake, buffers, size, stride):
        compositor = fake(scenario([SMALL], screencopy=[{"buffers": buffers}]))
        k = Kestrin(compositor.socket_path)
        array, requests = capture(k, compositor)
        width, height = size
        assert_one_capture(requests, width, height, stride)
        assert np.array_equal(array, pattern(width, height))

    @pytest.mark.parametrize(
        "extra",
        [
            pytest.param({"flags": 1}, id="y-invert"),
            pytest.param({"flags": 1, "damage": [0, 0, 64, 48]}, id="y-invert-damage"),
            pytest.param({"linux_dmabuf": {"format": 875713112, "width": 64, "height": 48}}, id="dmabuf-offer"),
        ],
    )
    def test_other_frame_events_change_nothing(self, fake, extra):
        compositor = fake(scenario([SMALL], screencopy=[extra]))
        k = Kestrin(compositor.socket_path)
        array, requests = capture(k, compositor)
        assert_one_capture(requests, 64, 48, 256)
        # Rows come in buffer order: no flip.
        assert np.array_equal(array, pattern(64, 48))


class TestPixels:
    @pytest.mark.parametrize(
        "width, height, stride, format",
        [
            pytest.param(300, 200, 1200, "xrgb8888", id="300x200"),
            pytest.param(1, 1, 4, "xrgb8888", id="1x1"),
            pytest.param(257, 513, 1028, "xrgb8888", id="across-256"),
            pytest.param(300, 200, 1300, "xrgb8888", id="padded"),
            pytest.param(300, 200, 1201, "xrgb8888", id="padded-odd"),
            pytest.param(5, 3, 4096, "xrgb8888", id="padded-wide"),
            # Converted a piece at a time: pieces that end inside the picture,
            # rows that fill a piece alone, and a pixel count that is no
            # multiple of the conversion's blocks.
            pytest.param(257, 513, 1028, "xbgr2101010", id="across-256-converted"),
            pytest.param(40000, 3, 160000, "abgr8888", id="rows-beyond-a-piece-converted"),
            pytest.param(1, 1, 4, "argb2101010", id="1x1-converted"),
            pytest.param(300, 200, 1300, "xrgb2101010", id="padded-converted"),
            pytest.param(5, 3, 4096, "xbgr8888", id="padded-wide-converted"),
        ],
    )
    def test_pattern_arrives_byte_for_byte(self, fake, width, height, stride, format):
        buffer = {"width": width, "height": height, "stride": stride, "format": READABLE[format]}
        compositor = fake(scenario([SMALL], shm=ALL_FORMATS, screencopy=[{"buffers": [buffer], **STRICT}]))
        k = Kestrin(compositor.socket_path)
        array, requests = capture(k, compositor)
        assert_one_capture(requests, width, height, stride, READABLE[format])
        assert array.shape == (height, width, 4)
        assert array.strides == (width * 4, 4, 1)
        assert array.tobytes() == pattern(width, height, READABLE[format]).tobytes()


class TestSequences:
    def test_two_captures_in_a_row(self, fake):
        compositor = fake(scenario([SMALL]))
        k = Kestrin(compositor.socket_path)
        watch = Watch(compositor)
        first = k.screenshot()
        second = k.screenshot()
        watch.wait_for_count(POOL_DESTROY, 2)
        requests = watch.requests()
        assert_one_capture(requests[:10], 64, 48, 256)
        assert_one_capture(requests[10:], 64, 48, 256)
        assert np.array_equal(first, pattern(64, 48))
        assert np.array_equal(second, pattern(64, 48))

    @pytest.mark.parametrize(
        "outcome, failed_part, destroyed",
        [
            pytest.param("failed", UP_TO_COPY, RELEASE, id="at-copy"),
            pytest.param("failed_at_capture", [CAPTURE, SYNC], [FRAME_DESTROY], id="at-capture"),
        ],
    )
    def test_failed_capture_then_a_good_one(self, fake, outcome, failed_part, destroyed):
        compositor = fake(scenario([SMALL], screencopy=[{"outcome": outcome}, {}]))
        k = Kestrin(compositor.socket_path)
        watch = Watch(compositor)
        with pytest.raises(RuntimeError) as caught:
            k.screenshot()
        assert str(caught.value) == FAILED_CAPTURE
        # The failed capture's objects go at once, in the order a successful
        # capture releases them, with no further call to carry them.
        assert watch.wait_for_count(destroyed[-1], 1) == failed_part + destroyed
        failed = watch.requests()
        made = [failed[0]["args"][0]]
        if outcome == "failed":
            made += [failed[4]["args"][0], failed[2]["args"][0]]
        assert [target(r) for r in failed[len(failed_part) :]] == made
        array = k.screenshot()
        watch.wait_for_count(POOL_DESTROY, 2 if outcome == "failed" else 1)
        assert_one_capture(watch.requests()[len(failed) :], 64, 48, 256)
        assert np.array_equal(array, pattern(64, 48))

    def test_failures_in_a_row_do_not_disturb_the_next_capture(self, fake):
        outcomes = ["failed", "failed_at_capture", "failed", "ready", "failed_at_capture", "ready"]
        compositor = fake(scenario([SMALL], screencopy=[{"outcome": o} for o in outcomes]))
        k = Kestrin(compositor.socket_path)
        watch = Watch(compositor)
        for outcome in outcomes:
            if outcome == "ready":
                assert np.array_equal(k.screenshot(), pattern(64, 48))
            else:
                with pytest.raises(RuntimeError) as caught:
                    k.screenshot()
                assert str(caught.value) == FAILED_CAPTURE
        watch.wait_for_count(POOL_DESTROY, 4)
        counts = collections.Counter(watch.names())
        assert counts[CAPTURE] == counts[FRAME_DESTROY] == 6
        assert counts[POOL] == counts[BUFFER] == counts[COPY] == counts[BUFFER_DESTROY] == counts[POOL_DESTROY] == 4


class TestRefusedBuffers:
    @pytest.mark.parametrize(
        "buffer",
        [
            pytest.param({"width": 0, "height": 48}, id="width-0"),
            pytest.param({"width": 64, "height": 0}, id="height-0"),
            pytest.param({"width": 0, "height": 0, "stride": 0}, id="both-0"),
            pytest.param({"width": 40000, "height": 40000}, id="6.4-GB"),
            # stride x height: one byte too many for a signed 32-bit size.
            pytest.param({"width": 1, "height": 2**21, "stride": 1024}, id="2-GiB"),
            # 2**32 + 65536 bytes: 65536 in 32-bit arithmetic.
            pytest.param({"width": 16384, "height": 65537, "stride": 65536}, id="wraps-32-bit"),
            pytest.param({"width": 1, "height": 1, "stride": 2**31}, id="stride-beyond-int32"),
            pytest.param({"width": 1, "height": 2**31, "stride": 4}, id="height-beyond-int32"),
            pytest.param({"width": 2**31, "height": 1, "stride": 2**32 - 1}, id="width-beyond-int32"),
            pytest.param({"width": 2**32 - 1, "height": 2**32 - 1, "stride": 2**32 - 1}, id="all-max"),
        ],
    )
    def test_sizes_that_do_not_fit(self, fake, buffer):
        self.check_refused(fake, buffer)

    @pytest.mark.parametrize(
        "format, described",
        [
            pytest.param(NV12, "Nv12 (0x3231564e)", id="nv12"),
            pytest.param(0x34324752, "Rgb888 (0x34324752)", id="rgb888"),
            pytest.param(0x34325852, "Rgbx8888 (0x34325852)", id="rgbx8888"),
            pytest.param(0x48345258, "Xrgb16161616f (0x48345258)", id="xrgb16161616f"),
            pytest.param(0x12345678, "0x12345678 (0x12345678)", id="nameless"),
        ],
    )
    def test_format_it_cannot_read(self, fake, format, described):
        message = self.check_refused(fake, {"format": format, "width": 64, "height": 48}, strict=True)
        assert message == (
            f"the compositor offers the capture only in pixel format {described}, which kestrin cannot read"
        )

    @pytest.mark.parametrize("stride", [100, 255, 0])
    def test_stride_below_four_bytes_a_pixel(self, fake, stride):
        message = self.check_refused(fake, {"width": 64, "height": 48, "stride": stride})
        assert "stride" in message
        assert re.search(rf"(?<!\d){stride}(?!\d)", message), message

    def check_refused(self, fake, buffer, strict=False):
        """The capture fails before a file or pool is made, gives its frame
        up at once, and the next capture on the object works."""
        checks = STRICT if strict else {}
        compositor = fake(scenario([SMALL], screencopy=[{"buffers": [buffer], **checks}, checks]))
        k = Kestrin(compositor.socket_path)
        gc.collect()  # sessions earlier tests left in reference cycles
        before = descriptors()
        watch = Watch(compositor)
        with pytest.raises(RuntimeError) as caught:
            k.screenshot()
        assert type(caught.value) is RuntimeError
        assert watch.wait_for_count(FRAME_DESTROY, 1) == [CAPTURE, SYNC, FRAME_DESTROY]
        assert descriptors() == before
        requests = watch.requests()
        assert target(requests[2]) == requests[0]["args"][0]
        array = k.screenshot()
        watch.wait_for_count(POOL_DESTROY, 1)
        assert_one_capture(watch.requests()[3:], 64, 48, 256)
        assert np.array_equal(array, pattern(64, 48))
        return str(caught.value)


class TestBrokenConnection:
    @pytest.mark.parametrize("request_name", [CAPTURE, POOL, BUFFER, COPY])
    def test_closed_during_a_capture(self, fake, request_name):
        compositor = fake(scenario([SMALL], triggers=[close_on(request_name)]))
        k = Kestrin(compositor.socket_path)
        with pytest.raises(RuntimeError) as caught:
            k.screenshot()
        assert type(caught.value) is RuntimeError
        assert compositor.names()[-1] == request_name
        for call in (k.screenshot, lambda: k.screenshot("HEADLESS-1"), lambda: k.left_click(0)) * 2:
            with pytest.raises(RuntimeError) as again:
                call()
            assert type(again.value) is RuntimeError

    @pytest.mark.parametrize("request_name", [CAPTURE, POOL, BUFFER, COPY])
    def test_protocol_error_during_a_capture(self, fake, request_name):
        compositor = fake(scenario([SMALL], triggers=[protocol_error_on(request_name, "capture refused here")]))
        k = Kestrin(compositor.socket_path)
        with pytest.raises(RuntimeError) as caught:
            k.screenshot()
        assert "capture refused here" in str(caught.value)
        with pytest.raises(RuntimeError):
            k.screenshot()

    def test_closed_on_the_second_capture_after_a_good_one(self, fake):
        compositor = fake(scenario([SMALL], triggers=[close_on(COPY, nth=2)]))
        k = Kestrin(compositor.socket_path)
        assert np.array_equal(k.screenshot(), pattern(64, 48))
        with pytest.raises(RuntimeError):
            k.screenshot()
        with pytest.raises(RuntimeError):
            k.screenshot()


class TestBoundVersions:
    def test_newer_globals_are_bound_at_the_known_versions(self, fake):
        compositor = fake(
            {
                "globals": [
                    {**SHM, "version": 2},
                    SEAT,
                    output("DP-1", 16, 8, version=5),
                    {**SCREENCOPY_MANAGER, "version": 4},
                    {"interface": "zwp_virtual_keyboard_manager_v1", "version": 1},
                    {"interface": "zwlr_virtual_pointer_manager_v1", "version": 2},
                ]
            }
        )
        k = Kestrin(compositor.socket_path)
        versions = bound_versions(compositor.requests())
        assert versions["wl_shm"] == [1]
        assert versions["wl_output"] == [4]
        assert versions["zwlr_screencopy_manager_v1"] == [3]
        array, requests = capture(k, compositor, "DP-1")
        assert_one_capture(requests, 16, 8, 64)
        assert np.array_equal(array, pattern(16, 8))

    @pytest.mark.parametrize("frame_version", [1, 2])
    def test_older_screencopy_is_bound_as_advertised(self, fake, frame_version):
        compositor = fake(
            {
                "globals": [
                    SHM,
                    SEAT,
                    output(None, 16, 8, version=3),
                    {**SCREENCOPY_MANAGER, "version": frame_version},
                    {"interface": "zwp_virtual_keyboard_manager_v1", "version": 1},
                    {"interface": "zwlr_virtual_pointer_manager_v1", "version": 2},
                ]
            }
        )
        k = Kestrin(compositor.socket_path)
        versions = bound_versions(compositor.requests())
        assert versions["wl_output"] == [3]
        assert versions["zwlr_screencopy_manager_v1"] == [frame_version]
        # Without buffer_done the capture goes on after the buffer event.
        array, requests = capture(k, compositor)
        assert_one_capture(requests, 16, 8, 64)
        assert np.array_equal(array, pattern(16, 8))


def test_no_descriptor_leaks(fake):
    failing_then_good = [{"outcome": "failed"}, {}] * 52
    compositor = fake(scenario([output(width=32, height=16)], screencopy=failing_then_good))
    k = Kestrin(compositor.socket_path)
    without_shm = Kestrin(fake(scenario([output(width=32, height=16)], shm=False)).socket_path)

    def round_of_captures(count):
        for _ in range(count):
            with pytest.raises(RuntimeError):
                k.screenshot()
            assert k.screenshot().shape == (16, 32, 4)
            with pytest.raises(RuntimeError):
                without_shm.screenshot()

    round_of_captures(2)
    gc.collect()
    before = descriptors()
    round_of_captures(50)
    gc.collect()
    assert descriptors() == before


CAPTURE_RECORDS = """
import json, logging, sys
import kestrin

records = []

class Collect(logging.Handler):
    def emit(self, record):
        records.append([record.name, record.levelno, record.getMessage()])

logging.getLogger().addHandler(Collect())
logging.getLogger("kestrin").setLevel(logging.INFO)
k = kestrin.Kestrin(sys.argv[1])
captures = []
for _ in range(2):
    del records[:]
    try:
        k.screenshot()
    except RuntimeError:
        pass
    captures.append(list(records))
print(json.dumps(captures))
"""


def test_records_of_a_capture(fake):
    compositor = fake(scenario([output(width=30, height=20)], screencopy=[{}, {"outcome": "failed"}]))
    # Loggers keep the level of their first record: a fresh interpreter.
    result = run_python(CAPTURE_RECORDS, compositor.socket_path)
    assert result.returncode == 0, result.stderr
    good, failed = json.loads(result.stdout)
    app_data, shm = "kestrin.kestrin_lib.app_data", "kestrin.kestrin_lib.shm"
    assert {(name, level) for name, level, _ in good + failed} <= {(app_data, 20), (shm, 20)}
    messages = [message for _, _, message in good]
    assert len(messages) == 5, messages
    assert re.fullmatch(r"Trying to create shm file: /wl_shm-[A-Za-z0-9]{6}", messages[2]), messages[2]
    assert good[2][0] == shm
    assert messages[:2] + messages[3:] == [
        "Screencopy event: Buffer { format: Value(Xrgb8888), width: 30, height: 20, stride: 120 }",
        "Screencopy event: BufferDone",
        "Screencopy event: Flags { flags: Value(empty) }",
        "Screencopy event: Ready { tv_sec_hi: 0, tv_sec_lo: 1, tv_nsec: 2 }",
    ]
    assert failed[-1] == [app_data, 20, "Screencopy event: Failed"]
    assert not any("Ready" in message for _, _, message in failed)
