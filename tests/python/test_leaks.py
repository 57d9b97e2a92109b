"""Long loops of every method and the constructor, succeeding and failing:
after a warm-up, 10,000 further calls must leave the process's descriptors,
the named shared-memory files, resident memory, the C heap in use, the
interpreter's allocated blocks and the reference counts of the arguments
(and of the object and its type) where they were. One leaked descriptor
shows at once; one leaked small allocation or object per call shows as
growth far above the tolerances below."""

import ctypes
import gc
import os
import sys
from dataclasses import dataclass

import pytest

from kestrin import Kestrin
from leak_check import descriptors, shm_names
from wire_support import close_on, keymap_scenario, output, scenario

pytestmark = pytest.mark.stress

ITERATIONS = 10_000
WARM_UP = 300
WIDTH, HEIGHT = 64, 48
OUTPUT_NAME = "HEADLESS-1"
METHODS = ["move_mouse", "left_click", "right_click", "key_press", "screenshot"]

# 10,000 leaked allocations of the smallest size (32 bytes) are 320 KB, and
# 10,000 leaked objects are 10,000 blocks; after a warm-up the noise of a
# loop stays below a few hundred bytes and a dozen blocks.
HEAP_TOLERANCE = 64 * 1024
RESIDENT_TOLERANCE = 256 * 1024
BLOCK_TOLERANCE = 1_000


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost"
        )
    ]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = MallInfo2


def heap_in_use() -> int:
    """Bytes the C allocator has handed out (all arenas, mmapped chunks too)."""
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@dataclass
class Footprint:
    descriptors: dict[int, str]
    shm: set[str]
    resident: int
    heap: int
    blocks: int
    references: list[int]

    @classmethod
    def take(cls, watched) -> "Footprint":
        gc.collect()
        return cls(
            descriptors(),
            shm_names(),
            resident_bytes(),
            heap_in_use(),
            sys.getallocatedblocks(),
            [sys.getrefcount(o) for o in watched],
        )


def repeat(call, error, count):
    """`error`: the exception every call must raise, () for none."""
    for _ in range(count):
        try:
            call()
        except error:
            continue
        if error != ():
            raise AssertionError(f"{call} did not raise {error}")


def measure(call, error=(), watched=(), iterations=ITERATIONS) -> tuple[Footprint, Footprint, dict]:
    repeat(call, error, WARM_UP)
    before = Footprint.take(watched)
    repeat(call, error, iterations)
    after = Footprint.take(watched)
    deltas = {
        "descriptors": len(after.descriptors) - len(before.descriptors),
        "shm": len(after.shm) - len(before.shm),
        "resident": after.resident - before.resident,
        "heap": after.heap - before.heap,
        "blocks": after.blocks - before.blocks,
        "references": [a - b for a, b in zip(after.references, before.references)],
    }
    print(f"{iterations} iterations: {deltas}")
    return before, after, deltas


def assert_flat(call, error=(), watched=(), iterations=ITERATIONS):
    before, after, deltas = measure(call, error, watched, iterations)
    assert after.descriptors == before.descriptors
    assert after.shm == before.shm
    assert after.references == before.references, "a reference to an argument leaked or was lost"
    assert deltas["resident"] < RESIDENT_TOLERANCE, deltas
    assert deltas["blocks"] < BLOCK_TOLERANCE, deltas
    assert deltas["heap"] < HEAP_TOLERANCE, deltas


class Number(int):
    """Its instances have a reference count of their own (small int
    literals are immortal and would hide a leak)."""


class Text(str):
    pass


class RefusedIndex:
    def __index__(self):
        raise TypeError("refused") from ValueError("the root")


def small_scenario(**fields) -> dict:
    return scenario(outputs=[output(OUTPUT_NAME, WIDTH, HEIGHT)], **fields)


@pytest.fixture
def session(fake):
    return Kestrin(fake(small_scenario()).socket_path)


class TestSucceeding:
    def test_move_mouse(self, session):
        extent, x, y, x_max, y_max = Number(1000), Number(10), Number(20), Number(30), Number(40)
        assert_flat(
            lambda: session.move_mouse(extent, extent, x, y, x_max, y_max=y_max),
            watched=[extent, x, y, x_max, y_max, session, Kestrin],
        )

    @pytest.mark.parametrize("method", ["left_click", "right_click"])
    def test_clicks(self, session, method):
        # A range of width 1 always holds for its lower end: 0 ms.
        hold, hold_max = Number(0), Number(1)
        click = getattr(session, method)
        assert_flat(lambda: click(hold, duration_ms_max=hold_max), watched=[hold, hold_max, session])

    def test_key_press(self, session):
        key, hold, hold_max = Number(30), Number(0), Number(1)
        assert_flat(lambda: session.key_press(key, hold, hold_max), watched=[key, hold, hold_max, session])

    def test_keyboard(self, fake):
        # Every new keyboard method in one loop, with the keymap understood.
        session = Kestrin(fake(keymap_scenario()).socket_path)
        name, code, combination, text = Text("shift"), Number(30), Text("ctrl+t"), Text("aA@")
        keys = [Text("Control_L"), Number(20)]

        def type_and_press():
            session.key_down(name)
            session.key_down(code)
            session.key_up(code)
            session.key_up(name)
            session.press_keys(combination)
            session.press_keys(keys)
            session.type_text(text)

        assert_flat(type_and_press, watched=[name, code, combination, text, *keys, session], iterations=3_000)

    def test_typing_beyond_the_layout(self, fake):
        # Each call makes the files of kestrin's own keymap and of the seat's
        # given back; every one is closed.
        session = Kestrin(fake(keymap_scenario()).socket_path)
        text = Text("aé😀t")
        assert_flat(lambda: session.type_text(text), watched=[text, session], iterations=300)

    def test_screenshot(self, session):
        name = Text(OUTPUT_NAME)
        calls = [lambda: session.screenshot(), lambda: session.screenshot(name)]

        def capture():
            calls.reverse()
            assert calls[0]().shape == (HEIGHT, WIDTH, 4)

        assert_flat(capture, watched=[name, session])

    def test_pointer_methods(self, session):
        name, left, x, y, dy, dx, steps = Text(OUTPUT_NAME), Text("left"), Number(10), Number(20), Number(2), Number(-1), Number(2)
        calls = [
            lambda: session.outputs(),
            lambda: session.move_to(x, y, name),
            lambda: session.button_down(left) or session.button_up(left),
            lambda: session.drag(x, y, y, x, name, left, steps),
            lambda: session.scroll(dy, dx),
            lambda: session.scroll_smooth(dy, dx),
        ]

        def one_of_each():
            calls.append(calls.pop(0))
            calls[0]()

        assert_flat(one_of_each, watched=[name, left, x, y, dy, dx, steps, session])

    def test_constructor(self, fake):
        # Half the iterations: a construction costs several roundtrips, and
        # 5,000 leaked allocations are still well above the tolerance.
        path = Text(fake(small_scenario()).socket_path)
        assert_flat(lambda: Kestrin(path), watched=[path, Kestrin], iterations=5_000)

    def test_one_session_on_each_of_many_desktops(self, fake):
        # Every desktop of the test kit has a socket path of its own, and
        # each sends the same keymap of some 64 KB; kept once per path, 30
        # desktops grew the process by 1.9 MB.
        keymap = {"content": "xkb_keymap { };\n" + "// padding to the size of a real keymap\n" * 1600}
        scenario_ = keymap_scenario(keymaps=[keymap])

        # All started first: only what the sessions leave behind is measured.
        paths = [fake(scenario_).socket_path for _ in range(33)]
        for path in paths[:3]:
            Kestrin(path)
        before = Footprint.take(())
        for path in paths[3:]:
            Kestrin(path)
        after = Footprint.take(())
        grown = {"resident": after.resident - before.resident, "heap": after.heap - before.heap}
        print(f"30 desktops: {grown}")
        assert grown["resident"] < 600 * 1024 and grown["heap"] < 600 * 1024, grown

    def test_keymaps_arriving_during_calls(self, fake):
        # The seat sends a new keymap (a descriptor) at every button request:
        # each one replaces the one kept before, which must be closed.
        iterations = 2_000
        resend = [{"do": "keymap"}]
        triggers = [
            {"on": "zwlr_virtual_pointer_v1.button", "nth": nth, "actions": resend}
            for nth in range(1, 2 * (WARM_UP + iterations) + 1)
        ]
        k = Kestrin(fake(small_scenario(triggers=triggers)).socket_path)
        assert_flat(lambda: k.left_click(0), watched=[k], iterations=iterations)


class TestFailing:
    @pytest.mark.parametrize(
        "case",
        [
            "move_mouse wrong type",
            "move_mouse out of range",
            "left_click refused index",
            "right_click unexpected keyword",
            "key_press too large",
            "screenshot wrong type",
            "screenshot unknown output",
            "screenshot surrogate",
            "move_to outside",
            "button_up not held",
            "button_down unknown name",
            "scroll too far",
            "type_text untypeable",
            "press_keys unknown names",
            "key_up not held",
            "press_keys wrong item",
        ],
    )
    def test_argument_and_lookup_errors(self, fake, case):
        # A seat with a keymap the module reads, so that names and text are
        # looked up.
        small = small_scenario()
        seat = next(g for g in keymap_scenario()["globals"] if g["interface"] == "wl_seat")
        small["globals"] = [seat if g["interface"] == "wl_seat" else g for g in small["globals"]]
        session = Kestrin(fake(small).socket_path)
        text, big, huge = Text("".join(["fi", "ve"])), Number(2**40), Number(2**70)
        refused, name = RefusedIndex(), Text("no-such-output")
        surrogate = Text("\ud800")
        outside, far = Number(WIDTH + 5), Number(600_000)
        calls = {
            "move_mouse wrong type": (lambda: session.move_mouse(1, 2, 3, text), TypeError),
            "move_mouse out of range": (lambda: session.move_mouse(1, 2, 3, 4, y_max=big), OverflowError),
            "left_click refused index": (lambda: session.left_click(refused), TypeError),
            "right_click unexpected keyword": (lambda: session.right_click(0, bogus=text), TypeError),
            "key_press too large": (lambda: session.key_press(huge, 0), OverflowError),
            "screenshot wrong type": (lambda: session.screenshot(big), TypeError),
            "screenshot unknown output": (lambda: session.screenshot(name), RuntimeError),
            "screenshot surrogate": (lambda: session.screenshot(surrogate), UnicodeEncodeError),
            "move_to outside": (lambda: session.move_to(outside, 0, OUTPUT_NAME), ValueError),
            "button_up not held": (lambda: session.button_up(outside), ValueError),
            "button_down unknown name": (lambda: session.button_down(text), ValueError),
            "scroll too far": (lambda: session.scroll(-far), ValueError),
            "type_text untypeable": (lambda: session.type_text(Text("aaé\x01")), ValueError),
            "press_keys unknown names": (lambda: session.press_keys([text, Text("ctrl"), name]), ValueError),
            "key_up not held": (lambda: session.key_up(text), ValueError),
            "press_keys wrong item": (lambda: session.press_keys([name, refused]), TypeError),
        }
        call, error = calls[case]
        assert_flat(call, error, watched=[text, big, huge, refused, name, surrogate, session])

    @staticmethod
    def gone_call(fake, method):
        """A call of `method` on an object whose compositor has gone."""
        compositor = fake(small_scenario())
        k = Kestrin(compositor.socket_path)
        compositor.stop()
        hold, hold_max = Number(0), Number(1)
        calls = {
            "move_mouse": lambda: k.move_mouse(hold, hold, hold, hold, hold_max),
            "left_click": lambda: k.left_click(hold, hold_max),
            "right_click": lambda: k.right_click(hold),
            "key_press": lambda: k.key_press(hold_max, hold, hold_max),
            "screenshot": lambda: k.screenshot(),
        }
        return calls[method], [hold, hold_max, k]

    @pytest.mark.parametrize("method", METHODS)
    def test_compositor_gone(self, fake, method):
        call, watched = self.gone_call(fake, method)
        assert_flat(call, RuntimeError, watched=watched)

    @pytest.mark.parametrize(
        "capture",
        [{"outcome": "failed"}, {"outcome": "failed_at_capture"}, {"buffers": [{"stride": 4}]}],
        ids=["failed after the copy", "failed at once", "unusable buffer"],
    )
    def test_failed_captures(self, fake, capture):
        k = Kestrin(fake(small_scenario(screencopy=[capture])).socket_path)
        assert_flat(k.screenshot, RuntimeError, watched=[k])

    def test_constructor_errors(self, fake, tmp_path, monkeypatch):
        monkeypatch.delenv("XDG_RUNTIME_DIR", raising=False)
        missing, relative, number = Text(str(tmp_path / "nothing-here")), Text("wayland-9"), Number(5)
        calls = [
            (lambda: Kestrin(missing), RuntimeError),
            (lambda: Kestrin(relative), RuntimeError),
            (lambda: Kestrin(number), TypeError),
        ]
        for call, error in calls:
            assert_flat(call, error, watched=[missing, relative, number, Kestrin])

    def test_connection_lost_during_construction(self, fake, capfd):
        # The compositor hangs up at the first roundtrip: an internal fault,
        # after the session was half built.
        path = Text(fake(small_scenario(triggers=[close_on("wl_display.sync")])).socket_path)
        try:
            Kestrin(path)
        except BaseException as fault:
            internal_fault = type(fault)
        assert internal_fault.__name__ == "InternalFault"
        assert_flat(lambda: Kestrin(path), internal_fault, watched=[path, Kestrin], iterations=2_000)
        capfd.readouterr()
