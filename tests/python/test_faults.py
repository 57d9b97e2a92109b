"""Faults from the compositor at every point where the module waits for it:
the connection closed, or a protocol error posted, during each roundtrip of
construction, the wait for output names, each roundtrip of an input call
(the hold of a click or key press included) and each wait of a capture.

In every case the call ends with an exception whose text says what happened,
no descriptor stays open, a constructed object goes on answering (by
raising the same error), and freeing it closes the connection without a word
on stderr."""

import re

import pytest

from kestrin import Kestrin
from leak_check import descriptors
from wire_support import (
    BUFFER,
    BUTTON,
    CAPTURE,
    COPY,
    KEY,
    MOTION,
    POOL,
    SYNC,
    close_on,
    output,
    protocol_error_on,
    scenario,
)


CLOSED = "the connection to the compositor failed: Broken pipe (os error 32)"
PROTOCOL_ERROR = "the compositor reported a protocol error: "
RESULT_WAS_AN_ERROR = "a result was an error: "
FAULT_DIAGNOSTIC = "kestrin: internal fault at "

# Construction makes four roundtrips: these syncs are the first four of a
# connection, and a method's first sync is the fifth.
FIRST_METHOD_SYNC = 5
# Long enough for the client to be asleep in the hold (or in the wait) when
# a delayed fault strikes; the hold is far longer than the delay.
DELAY_MS = 50
HOLD_MS = 400

SMALL = output(width=32, height=16)



pytestmark = pytest.mark.usefixtures("collector_paused")


def assert_says_what_happened(text: str, fault: str, message: str | None, interface: str | None):
    if fault == "close":
        assert text == CLOSED
    else:
        # The object the compositor objected to, its code and its words.
        assert re.fullmatch(rf"{PROTOCOL_ERROR}{interface}@\d+: error 4: {re.escape(message)}", text), text


def disconnected(compositor):
    compositor.wait_for(lambda records: any(r.get("event") == "disconnect" for r in records))


# --- construction -------------------------------------------------------------

# (name, request that triggers the fault, its count, the object a protocol
# error goes to); every one of these is inside one of construction's four
# roundtrips, which end construction with the internal fault.
CONSTRUCTION_POINTS = [
    ("get-registry", "wl_display.get_registry", 1, None),
    ("registry-sync", SYNC, 1, None),
    # The binds go out with the next flush, that of the keyboard roundtrip.
    ("bind", "wl_registry.bind", 1, "wl_registry"),
    ("get-keyboard", "wl_seat.get_keyboard", 1, "wl_seat"),
    # Answered first: the keymap event and its descriptor have arrived.
    ("keyboard-sync", SYNC, 2, None),
    ("create-virtual-keyboard", "zwp_virtual_keyboard_manager_v1.create_virtual_keyboard", 1,
     "zwp_virtual_keyboard_manager_v1"),
    ("keymap", "zwp_virtual_keyboard_v1.keymap", 1, "zwp_virtual_keyboard_v1"),
    ("keymap-sync", SYNC, 3, None),
    ("create-virtual-pointer", "zwlr_virtual_pointer_manager_v1.create_virtual_pointer", 1,
     "zwlr_virtual_pointer_manager_v1"),
    ("pointer-sync", SYNC, 4, None),
]


def construction_cases():
    for name, request, nth, interface in CONSTRUCTION_POINTS:
        yield pytest.param(close_on(request, nth), "close", None, id=f"{name}-close")
        # A protocol error on wl_display itself is the subject of
        # TestErrorsOnTheDisplay; the others name their own objects.
        if interface is not None:
            message = f"refused at {name}"
            yield pytest.param(protocol_error_on(request, message, nth, code=4), "protocol_error", interface, id=f"{name}-error")


class TestConstruction:
    @pytest.mark.parametrize("trigger, fault, interface", list(construction_cases()))
    def test_fault_in_a_roundtrip_is_an_internal_fault(self, fake, capfd, trigger, fault, interface):
        compositor = fake(scenario(triggers=[trigger]))
        with pytest.raises(BaseException) as caught:
            Kestrin(compositor.socket_path)
        fault_type = type(caught.value)
        assert fault_type.__name__ == "InternalFault" and fault_type.__bases__ == (BaseException,)
        text = str(caught.value)
        assert text.startswith(RESULT_WAS_AN_ERROR), text
        message = trigger["actions"][0].get("message")
        assert_says_what_happened(text[len(RESULT_WAS_AN_ERROR) :], fault, message, interface)
        del caught
        disconnected(compositor)
        # The diagnostic of the fault, and nothing else.
        (line,) = capfd.readouterr().err.splitlines()
        assert line.startswith(FAULT_DIAGNOSTIC) and line.endswith(f": {text}"), line

    @pytest.mark.parametrize("fault", ["close", "protocol_error"])
    def test_fault_in_the_wait_for_output_names_is_a_runtime_error(self, fake, capfd, fault):
        # The output is never described, so the constructor waits until the
        # delayed fault ends the wait; it strikes the display object itself,
        # whose error text needs a code of its own (TestErrorsOnTheDisplay).
        if fault == "close":
            trigger = close_on(SYNC, 4, DELAY_MS)
        else:
            trigger = protocol_error_on(SYNC, "no names today", 4, code=3, delay_ms=DELAY_MS)
        compositor = fake(scenario([output(None, done=False)], triggers=[trigger]))
        with pytest.raises(RuntimeError) as caught:
            Kestrin(compositor.socket_path)
        assert type(caught.value) is RuntimeError
        if fault == "close":
            assert str(caught.value) == CLOSED
        else:
            assert str(caught.value) == PROTOCOL_ERROR + "wl_display@1: error 3: no names today"
        del caught
        disconnected(compositor)
        assert capfd.readouterr().err == ""


# --- methods ------------------------------------------------------------------

WIRE_CALLS = [
    ("move_mouse", (100, 100, 1, 2)),
    ("left_click", (0,)),
    ("right_click", (0, 1)),
    ("key_press", (30, 0)),
    ("screenshot", ()),
]


def method_point(name, call, request, nth=1, delay_ms=0, interface=None, screencopy=None):
    """The close and, where the request has an object of its own, the
    protocol error at one point of a method."""
    fields = {} if screencopy is None else {"screencopy": screencopy}
    yield pytest.param(call, [close_on(request, nth, delay_ms)], fields, "close", None, id=f"{name}-close")
    if interface is not None:
        message = f"refused at {name}"
        refused = protocol_error_on(request, message, nth, code=4, delay_ms=delay_ms)
        yield pytest.param(call, [refused], fields, "protocol_error", interface, id=f"{name}-error")


def method_cases():
    pointer, keyboard = "zwlr_virtual_pointer_v1", "zwp_virtual_keyboard_v1"
    shot = ("screenshot", ())
    yield from method_point("motion", ("move_mouse", (10, 10, 1, 2)), MOTION, interface=pointer)
    yield from method_point("motion-sync", ("move_mouse", (10, 10, 1, 2)), SYNC, FIRST_METHOD_SYNC)
    for what, call, request, interface in (
        ("click", lambda hold: ("left_click", (hold,)), BUTTON, pointer),
        ("key", lambda hold: ("key_press", (30, hold)), KEY, keyboard),
    ):
        # Before the press is acknowledged, while it is held (the release then
        # goes out on a dead connection), and at the release.
        yield from method_point(f"{what}-press", call(0), request, interface=interface)
        yield from method_point(f"{what}-press-sync", call(0), SYNC, FIRST_METHOD_SYNC)
        yield from method_point(f"{what}-hold", call(HOLD_MS), request, delay_ms=DELAY_MS, interface=interface)
        yield from method_point(f"{what}-release", call(0), request, 2, interface=interface)
        yield from method_point(f"{what}-release-sync", call(0), SYNC, FIRST_METHOD_SYNC + 1)
    manager, frame = "zwlr_screencopy_manager_v1", "zwlr_screencopy_frame_v1"
    yield from method_point("capture", shot, CAPTURE, interface=manager)
    yield from method_point("capture-sync", shot, SYNC, FIRST_METHOD_SYNC)
    # No buffer is announced and the announcement never ends, so the capture
    # waits for one until the fault.
    yield from method_point(
        "buffer-wait",
        shot,
        CAPTURE,
        delay_ms=DELAY_MS,
        interface=manager,
        screencopy=[{"buffers": [], "buffer_done": False}],
    )
    yield from method_point("pool", shot, POOL, interface="wl_shm")
    yield from method_point("pool-sync", shot, SYNC, FIRST_METHOD_SYNC + 1)
    yield from method_point("buffer", shot, BUFFER, interface="wl_shm_pool")
    yield from method_point("buffer-sync", shot, SYNC, FIRST_METHOD_SYNC + 2)
    yield from method_point("ready-wait", shot, COPY, interface=frame)


class TestMethods:
    @pytest.mark.parametrize("call, triggers, fields, fault, interface", list(method_cases()))
    def test_fault_fails_the_call_and_every_later_one(self, fake, capfd, call, triggers, fields, fault, interface):
        compositor = fake(scenario([SMALL], triggers=triggers, **fields))
        before = descriptors()
        k = Kestrin(compositor.socket_path)
        with_session = descriptors()
        method, arguments = call
        with pytest.raises(RuntimeError) as caught:
            getattr(k, method)(*arguments)
        assert type(caught.value) is RuntimeError
        text = str(caught.value)
        assert_says_what_happened(text, fault, triggers[0]["actions"][0].get("message"), interface)
        # Nothing of the failed call stays open: no shared-memory file.
        assert descriptors() == with_session
        for method, arguments in WIRE_CALLS * 2:
            with pytest.raises(RuntimeError) as again:
                getattr(k, method)(*arguments)
            assert type(again.value) is RuntimeError
            assert str(again.value) == text
        assert descriptors() == with_session
        # Instances take no part in cyclic garbage collection: the last
        # reference going frees the session at once.
        del k, caught, again
        assert descriptors() == before
        disconnected(compositor)
        assert capfd.readouterr().err == ""


DISPLAY_CODES = [
    pytest.param(code, id=name)
    for code, name in ((0, "invalid-object"), (1, "invalid-method"), (2, "no-memory"), (3, "implementation"),
                       (9, "unknown"))
]


class TestErrorsOnTheDisplay:
    """libwayland-client files an error on wl_display under an errno of its
    own for codes 0 (invalid object), 1 (invalid method), 2 (no memory) and
    any unknown code; only code 3 (implementation) comes as EPROTO. The
    compositor's message must reach the text whatever the code, as it does
    for every other object."""

    @pytest.mark.parametrize("code", DISPLAY_CODES)
    def test_in_construction(self, fake, code):
        compositor = fake(scenario(triggers=[protocol_error_on(SYNC, "display says no", 2, code=code)]))
        with pytest.raises(BaseException) as caught:
            Kestrin(compositor.socket_path)
        assert type(caught.value).__name__ == "InternalFault"
        assert str(caught.value) == f"{RESULT_WAS_AN_ERROR}{PROTOCOL_ERROR}wl_display@1: error {code}: display says no"

    @pytest.mark.parametrize("code", DISPLAY_CODES)
    def test_in_a_method(self, fake, code):
        compositor = fake(scenario(triggers=[protocol_error_on(SYNC, "display says no", FIRST_METHOD_SYNC, code=code)]))
        k = Kestrin(compositor.socket_path)
        expected = f"{PROTOCOL_ERROR}wl_display@1: error {code}: display says no"
        for method, arguments in WIRE_CALLS:
            with pytest.raises(RuntimeError) as caught:
                getattr(k, method)(*arguments)
            assert str(caught.value) == expected
