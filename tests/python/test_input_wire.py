"""What the input methods put on the wire: the virtual-pointer and
virtual-keyboard requests with their arguments, the sync after each, and how
a call ends when the compositor goes away or objects to a request."""

import threading

import pytest

from kestrin import Kestrin
from interpreter import run_python
from signals import slowed
from wire_support import (
    ALTGR,
    BUTTON,
    CONTROL,
    KEY,
    KEYBOARD_MANAGER,
    KEYMAP,
    LOCK,
    MODIFIERS,
    MOTION,
    POINTER_MANAGER,
    SEAT,
    SHIFT,
    SHM,
    SYNC,
    Watch,
    bound_versions,
    client_library_version,
    close_on,
    keymap_scenario,
    name_of,
    output,
    protocol_error_on,
    scenario,
)

LEFT, RIGHT = 272, 273
CLICKS = [pytest.param("left_click", LEFT, id="left"), pytest.param("right_click", RIGHT, id="right")]


class TestMotion:
    def test_one_motion_and_one_sync(self, k, compositor):
        watch = Watch(compositor)
        assert k.move_mouse(1920, 1080, 100, 200) is None
        assert watch.names() == [MOTION, SYNC]
        assert watch.args(MOTION) == [[0, 100, 200, 1920, 1080]]

    @pytest.mark.parametrize(
        "arguments",
        [
            pytest.param((100, 100, 500, 700), id="beyond-extent"),
            pytest.param((0, 0, 5, 6), id="zero-extents"),
            pytest.param((0, 1080, 1920, 0), id="zero-x-extent"),
        ],
    )
    def test_values_go_out_unchanged(self, k, compositor, arguments):
        x_extent, y_extent, x, y = arguments
        watch = Watch(compositor)
        k.move_mouse(x_extent, y_extent, x, y)
        assert watch.names() == [MOTION, SYNC]
        assert watch.args(MOTION) == [[0, x, y, x_extent, y_extent]]

    @pytest.mark.parametrize(
        "x, x_max, y, y_max",
        [
            pytest.param(10, 20, 300, None, id="x-range"),
            pytest.param(300, None, 10, 20, id="y-range"),
            # Disjoint ranges: a swap of the draws would show.
            pytest.param(10, 20, 1000, 1100, id="both"),
        ],
    )
    def test_each_range_is_drawn_for_its_coordinate(self, k, compositor, x, x_max, y, y_max):
        watch = Watch(compositor)
        calls = 40
        for _ in range(calls):
            k.move_mouse(1920, 1080, x, y, x_max, y_max)
        assert watch.names() == [MOTION, SYNC] * calls
        motions = watch.args(MOTION)
        for value, low, high, index in ((x, x, x_max, 1), (y, y, y_max, 2)):
            drawn = [args[index] for args in motions]
            if high is None:
                assert set(drawn) == {value}
            else:
                assert all(low <= v <= high for v in drawn), drawn
                # Drawn anew on every call, not once.
                assert len(set(drawn)) > 1, drawn
        assert {(args[0], args[3], args[4]) for args in motions} == {(0, 1920, 1080)}

    @pytest.mark.parametrize(
        "x, x_max, y, y_max, expected",
        [
            pytest.param(500, 400, 600, None, (400, 600), id="x-max-below"),
            pytest.param(500, None, 600, 300, (500, 300), id="y-max-below"),
            pytest.param(500, 5, 600, 0, (5, 0), id="both-below"),
            pytest.param(70, 70, 80, 81, (70, 80), id="degenerate-ranges"),
        ],
    )
    def test_ranges_that_allow_one_value(self, k, compositor, x, x_max, y, y_max, expected):
        watch = Watch(compositor)
        for _ in range(10):
            k.move_mouse(1920, 1080, x, y, x_max, y_max)
        assert watch.args(MOTION) == [[0, *expected, 1920, 1080]] * 10


class TestClicks:
    @pytest.mark.parametrize("method, code", CLICKS)
    def test_press_sync_release_sync(self, k, compositor, method, code):
        watch = Watch(compositor)
        assert getattr(k, method)(0) is None
        assert watch.names() == [BUTTON, SYNC, BUTTON, SYNC]
        assert watch.args(BUTTON) == [[0, code, 1], [0, code, 0]]

    @pytest.mark.parametrize("method, code", CLICKS)
    def test_ranged_hold_sends_the_same(self, k, compositor, method, code):
        watch = Watch(compositor)
        for _ in range(5):
            getattr(k, method)(0, 3)
        assert watch.names() == [BUTTON, SYNC, BUTTON, SYNC] * 5
        assert watch.args(BUTTON) == [[0, code, 1], [0, code, 0]] * 5


class TestKeyPress:
    # 30 is A in the keymap; the others are codes it does not define.
    @pytest.mark.parametrize("key", [30, 0, 600, 0xFFFF])
    def test_press_sync_release_sync(self, k, compositor, key):
        watch = Watch(compositor)
        assert k.key_press(key, 0) is None
        assert watch.names() == [KEY, SYNC, KEY, SYNC]
        assert watch.args(KEY) == [[0, key, 1], [0, key, 0]]

    def test_ranged_hold_sends_the_same(self, k, compositor):
        watch = Watch(compositor)
        for _ in range(5):
            k.key_press(30, 0, 3)
        assert watch.names() == [KEY, SYNC, KEY, SYNC] * 5
        assert watch.args(KEY) == [[0, 30, 1], [0, 30, 0]] * 5


def key_wire(watch) -> list[tuple]:
    """The key and modifiers requests as (name, *args), syncs as ("sync",)."""
    short = {KEY: "key", MODIFIERS: "mods"}
    wire = []
    for r in watch.requests():
        if name_of(r) == SYNC:
            wire.append(SYNCED)
        elif name_of(r) == KEYMAP:
            # Which file: the seat's own or one of kestrin's, told by its hash.
            wire.append(("keymap", r["args"][1]["hash"]))
        else:
            wire.append((short[name_of(r)], *r["args"]))
    return wire


def seat_keymap_hash(compositor):
    """The hash of the keymap the virtual keyboard got at construction: the
    seat's own."""
    return [r["args"][1]["hash"] for r in compositor.requests() if name_of(r) == KEYMAP][0]


def bursts(wire):
    """The key presses between one sync and the next."""
    counts = [0]
    for request in wire:
        if request == SYNCED:
            counts.append(0)
        elif request[0] == "key" and request[3] == 1:
            counts[-1] += 1
    return counts[:-1]


SYNCED = ("sync",)


def down(key):
    return ("key", 0, key, 1)


def up(key):
    return ("key", 0, key, 0)


def mods(depressed=0, latched=0, locked=0, group=0):
    return ("mods", depressed, latched, locked, group)


@pytest.fixture
def kk(fake):
    """A session whose seat sends SMALL_KEYMAP, and its compositor."""
    compositor = fake(keymap_scenario())
    return Kestrin(compositor.socket_path), compositor


class TestTypingAndHeldKeys:
    @pytest.mark.parametrize(
        "text, expected",
        [
            pytest.param("a", [down(30), up(30)], id="plain"),
            pytest.param("A", [mods(SHIFT), down(30), up(30), mods()], id="shifted"),
            pytest.param("@", [mods(ALTGR), down(16), up(16), mods()], id="altgr"),
            pytest.param("Ω", [mods(SHIFT | ALTGR), down(16), up(16), mods()], id="shift-altgr"),
            # Modifiers change only between characters that need different ones.
            pytest.param("TAa\n", [mods(SHIFT), down(20), up(20), down(30), up(30), mods(), down(30), up(30),
                                   down(28), up(28)], id="runs"),
        ],
    )
    def test_exact_wire_of_a_text(self, kk, text, expected):
        k, compositor = kk
        watch = Watch(compositor)
        assert k.type_text(text) is None
        assert key_wire(watch) == expected + [SYNCED]

    def test_held_modifiers_come_back_after_each_character(self, kk):
        k, compositor = kk
        k.key_down("ctrl")
        watch = Watch(compositor)
        k.type_text("aA", 0, 1)
        assert key_wire(watch) == [
            mods(0), down(30), up(30), mods(CONTROL), SYNCED,
            mods(SHIFT), down(30), up(30), mods(CONTROL), SYNCED,
        ]

    @pytest.mark.parametrize(
        "call, error, message",
        [
            pytest.param(lambda k: k.type_text("aa\x01ß"), ValueError,
                         r"^no key can type '\\x01' \(U\+0001\), the character at index 2$", id="text"),
            pytest.param(lambda k: k.type_text("a\x00"), ValueError, r"'\\x00' \(U\+0000\), the character at index 1", id="nul"),
            pytest.param(lambda k: k.press_keys("ctrl+nokey+a+Ctrl_L"), ValueError,
                         r"^unknown key names: 'nokey', 'Ctrl_L' \(", id="names"),
            pytest.param(lambda k: k.press_keys(["a", 30]), ValueError, r"^key 30 is given twice$", id="twice"),
            pytest.param(lambda k: k.press_keys([]), ValueError, r"^no keys to press$", id="none"),
            pytest.param(lambda k: k.key_down("return"), ValueError, r"^unknown key name: 'return' \(", id="case"),
            pytest.param(lambda k: k.key_up("a"), ValueError, r"^key 'a' is not held$", id="not-held"),
            pytest.param(lambda k: k.key_up(42), ValueError, r"^key 42 is not held$", id="code-not-held"),
        ],
    )
    def test_a_refused_call_sends_nothing_and_the_object_stays_usable(self, kk, call, error, message):
        k, compositor = kk
        watch = Watch(compositor)
        with pytest.raises(error, match=message):
            call(k)
        assert watch.names() == []
        k.type_text("a")
        assert key_wire(watch) == [down(30), up(30), SYNCED]

    def test_held_keys_set_modifiers_and_all_released_clears_them(self, kk):
        k, compositor = kk
        watch = Watch(compositor)
        k.key_down("shift")
        k.key_down("altgr")
        k.key_down("q")
        with pytest.raises(ValueError, match="^key 42 is already held$"):
            k.key_down(42)
        k.key_up("shift")
        k.key_up(16)
        k.key_up("altgr")
        assert key_wire(watch) == [
            down(42), mods(SHIFT), SYNCED,
            down(100), mods(SHIFT | ALTGR), SYNCED,
            down(16), SYNCED,
            up(42), mods(ALTGR), SYNCED,
            up(16), SYNCED,
            up(100), mods(), SYNCED,
        ]

    @pytest.mark.parametrize(
        "name, code, held, let_go",
        [
            pytest.param("Caps_Lock", 58, mods(LOCK, 0, LOCK), mods(0, 0, LOCK), id="locks"),
            pytest.param("ISO_Level2_Latch", 54, mods(SHIFT), mods(0, SHIFT), id="latches"),
        ],
    )
    def test_held_keys_that_lock_or_latch_leave_their_modifier(self, kk, name, code, held, let_go):
        k, compositor = kk
        watch = Watch(compositor)
        k.key_down(name)
        k.key_up(name)
        assert key_wire(watch) == [down(code), held, SYNCED, up(code), let_go, SYNCED]

    @pytest.mark.parametrize("keys", ["ctrl+shift+t", " ctrl + Shift_L +t", ["ctrl", 42, "t"], ("Control_L", "shift", 20)])
    def test_shortcut_presses_in_order_and_releases_in_reverse(self, kk, keys):
        k, compositor = kk
        watch = Watch(compositor)
        k.press_keys(keys, 0, 2)
        assert key_wire(watch) == [
            down(29), mods(CONTROL), down(42), mods(CONTROL | SHIFT), down(20), SYNCED,
            up(20), up(42), mods(CONTROL), up(29), mods(), SYNCED,
        ]

    def test_teardown_releases_held_keys_newest_first(self, fake):
        compositor = fake(keymap_scenario())
        k = Kestrin(compositor.socket_path)
        k.key_down("ctrl")
        k.key_down("a")
        watch = Watch(compositor)
        del k
        watch.wait_for_count(MODIFIERS, 1)
        assert key_wire(watch) == [up(30), up(29), mods()]

    def test_an_unreadable_keymap_leaves_key_codes_working(self, k, compositor):
        # The default fake keymap is no keymap libxkbcommon can read.
        watch = Watch(compositor)
        k.key_down(30)
        k.key_up(30)
        k.press_keys([29, 30])
        for call in (lambda: k.type_text("a"), lambda: k.key_down("a"), lambda: k.press_keys("ctrl+a")):
            with pytest.raises(RuntimeError, match="^the seat's keymap could not be read\n\nCaused by:\n    "):
                call()
        assert key_wire(watch) == [down(30), SYNCED, up(30), SYNCED, down(29), down(30), SYNCED, up(30), up(29), SYNCED]

    @pytest.mark.parametrize(
        "call, keys",
        [
            pytest.param(lambda k: k.type_text("aAtT@q\n" * 700), 4900, id="type_text"),
            pytest.param(lambda k: k.press_keys(list(range(1, 301))), 300, id="press_keys"),
        ],
    )
    def test_many_keys_go_out_in_bursts_each_waited_for(self, kk, call, keys):
        # Sent at once they would overflow what the compositor queues for a
        # client that is not reading at that moment.
        k, compositor = kk
        watch = Watch(compositor)
        call(k)
        wire = key_wire(watch)
        assert wire[-1] == SYNCED
        assert sum(bursts(wire)) == keys
        assert max(bursts(wire)) <= 32
        assert len(bursts(wire)) >= keys // 32

    def test_the_burst_order_is_the_texts(self, kk):
        k, compositor = kk
        watch = Watch(compositor)
        k.type_text("aq\n" * 200)
        presses = [w[2] for w in key_wire(watch) if w[0] == "key" and w[3] == 1]
        assert presses == [30, 16, 28] * 200


class TestCharactersBeyondTheLayout:
    def test_a_keymap_of_its_own_then_the_seats_back(self, kk):
        k, compositor = kk
        seat = seat_keymap_hash(compositor)
        watch = Watch(compositor)
        k.type_text("aé€t")
        wire = [w for w in key_wire(watch) if w != SYNCED]
        own = wire[2]
        assert own[0] == "keymap" and own[1] != seat
        # é and € on keys 1 and 2 of one keymap of kestrin's own, without
        # modifiers; the seat's keymap is back before t.
        assert wire == [
            down(30), up(30),
            own, mods(), down(1), up(1), down(2), up(2),
            ("keymap", seat), mods(), down(20), up(20),
        ]

    @pytest.mark.parametrize(
        "text",
        [pytest.param("éa" * 3, id="alternating"), pytest.param("€", id="only-foreign")],
    )
    def test_every_run_switches_and_the_seats_keymap_comes_back(self, kk, text):
        k, compositor = kk
        seat = seat_keymap_hash(compositor)
        watch = Watch(compositor)
        k.type_text(text)
        switches = [w[1] for w in key_wire(watch) if w[0] == "keymap"]
        runs = sum(1 for i, c in enumerate(text) if c != "a" and (i == 0 or text[i - 1] == "a"))
        assert len(switches) == 2 * runs
        assert switches[1::2] == [seat] * runs and seat not in switches[0::2]

    def test_held_modifiers_come_back_with_the_seats_keymap(self, kk):
        k, compositor = kk
        seat = seat_keymap_hash(compositor)
        k.key_down("ctrl")
        watch = Watch(compositor)
        k.type_text("é")
        wire = key_wire(watch)
        # A new keymap resets the compositor's modifiers: they are sent again.
        assert wire[wire.index(("keymap", seat)) + 1] == mods(CONTROL)
        assert wire[-1] == SYNCED

    def test_held_keys_are_no_keys_of_its_own(self, kk):
        k, compositor = kk
        k.key_down(1)
        watch = Watch(compositor)
        k.type_text("é")
        presses = [w[2] for w in key_wire(watch) if w[0] == "key"]
        assert presses == [2, 2]


HOLDS = """
import sys
from kestrin import Kestrin
k = Kestrin(sys.argv[1])
# A maximum below the value is the hold: taking the value would sleep an hour.
k.left_click(3_600_000, 0)
k.right_click(3_600_000, 0)
k.key_press(30, 3_600_000, 0)
# Draws within a short range: anything outside it would be far longer.
for _ in range(10):
    k.left_click(0, 20)
    k.key_press(31, 0, 20)
print("done")
"""


def test_holds_are_drawn_within_their_bounds(compositor):
    watch = Watch(compositor)
    # The timeout only turns an hour-long hold into a failure.
    result = run_python(HOLDS, compositor.socket_path, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "done\n"
    presses = [(r["interface"], r["args"]) for r in watch.requests() if r["request"] in ("button", "key")]
    expected = [
        ("zwlr_virtual_pointer_v1", [0, LEFT, 1]),
        ("zwlr_virtual_pointer_v1", [0, LEFT, 0]),
        ("zwlr_virtual_pointer_v1", [0, RIGHT, 1]),
        ("zwlr_virtual_pointer_v1", [0, RIGHT, 0]),
        ("zwp_virtual_keyboard_v1", [0, 30, 1]),
        ("zwp_virtual_keyboard_v1", [0, 30, 0]),
    ] + [
        ("zwlr_virtual_pointer_v1", [0, LEFT, 1]),
        ("zwlr_virtual_pointer_v1", [0, LEFT, 0]),
        ("zwp_virtual_keyboard_v1", [0, 31, 1]),
        ("zwp_virtual_keyboard_v1", [0, 31, 0]),
    ] * 10
    assert presses == expected


def every_call(k):
    return [
        lambda: k.move_mouse(100, 100, 1, 2),
        lambda: k.left_click(0),
        lambda: k.right_click(0, 1),
        lambda: k.key_press(30, 0),
        lambda: k.screenshot(),
        lambda: k.screenshot("HEADLESS-1"),
        lambda: k.outputs(),
        lambda: k.move_to(1, 2),
        lambda: k.button_down(),
        lambda: k.drag(1, 2, 3, 4),
        lambda: k.scroll(1),
    ]


class TestCompositorGone:
    @pytest.mark.parametrize(
        "call, trigger, sent",
        [
            pytest.param(lambda k: k.move_mouse(10, 10, 1, 2), close_on(MOTION), [MOTION], id="motion"),
            pytest.param(lambda k: k.left_click(0), close_on(BUTTON), [BUTTON], id="left-press"),
            pytest.param(lambda k: k.left_click(0), close_on(BUTTON, 2), [BUTTON, SYNC, BUTTON], id="left-release"),
            pytest.param(lambda k: k.right_click(0, 5), close_on(BUTTON), [BUTTON], id="right-press"),
            pytest.param(lambda k: k.right_click(0), close_on(BUTTON, 2), [BUTTON, SYNC, BUTTON], id="right-release"),
            pytest.param(lambda k: k.key_press(30, 0), close_on(KEY), [KEY], id="key-press"),
            pytest.param(lambda k: k.key_press(30, 0, 5), close_on(KEY, 2), [KEY, SYNC, KEY], id="key-release"),
            pytest.param(lambda k: k.move_to(1, 2), close_on(MOTION), ["zwlr_virtual_pointer_manager_v1"
                         ".create_virtual_pointer_with_output", MOTION], id="move-to"),
            pytest.param(lambda k: k.button_down(), close_on(BUTTON), [BUTTON], id="button-down"),
            pytest.param(lambda k: k.drag(1, 2, 3, 4, steps=1), close_on(BUTTON, 2),
                         ["zwlr_virtual_pointer_manager_v1.create_virtual_pointer_with_output", MOTION, BUTTON,
                          SYNC, MOTION, BUTTON], id="drag-release"),
            pytest.param(lambda k: k.scroll(1, 1), close_on(SYNC, 5),
                         ["zwlr_virtual_pointer_v1." + r for r in ("axis_source", "axis_discrete", "frame") * 2]
                         + [SYNC], id="scroll"),
        ],
    )
    def test_call_fails_and_later_calls_fail_cleanly(self, fake, call, trigger, sent):
        compositor = fake(scenario(triggers=[trigger]))
        k = Kestrin(compositor.socket_path)
        watch = Watch(compositor)
        with pytest.raises(RuntimeError) as caught:
            call(k)
        assert type(caught.value) is RuntimeError
        assert str(caught.value)
        # A press that was not acknowledged is not followed by its release.
        assert watch.names() == sent
        for later in every_call(k) * 2:
            with pytest.raises(RuntimeError) as again:
                later()
            assert type(again.value) is RuntimeError
        assert watch.names() == sent


class TestProtocolError:
    @pytest.mark.parametrize(
        "call, trigger, sent",
        [
            pytest.param(lambda k: k.left_click(0), protocol_error_on(BUTTON, "no buttons today"), [BUTTON], id="press"),
            pytest.param(
                lambda k: k.right_click(0),
                protocol_error_on(BUTTON, "no buttons today", nth=2, code=7),
                [BUTTON, SYNC, BUTTON],
                id="release",
            ),
            pytest.param(lambda k: k.key_press(30, 0), protocol_error_on(KEY, "no buttons today"), [KEY], id="key"),
        ],
    )
    def test_text_carries_the_compositors_message(self, fake, call, trigger, sent):
        compositor = fake(scenario(triggers=[trigger]))
        k = Kestrin(compositor.socket_path)
        watch = Watch(compositor)
        with pytest.raises(RuntimeError) as caught:
            call(k)
        assert "no buttons today" in str(caught.value)
        assert watch.names() == sent
        for later in every_call(k):
            with pytest.raises(RuntimeError) as again:
                later()
            assert "no buttons today" in str(again.value)

    def test_later_calls_report_their_own_connections_error(self, fake):
        first = Kestrin(fake(scenario(triggers=[protocol_error_on(BUTTON, "first says no")])).socket_path)
        second = Kestrin(fake(scenario(triggers=[protocol_error_on(BUTTON, "second says no")])).socket_path)
        for k in (first, second):
            with pytest.raises(RuntimeError):
                k.left_click(0)
        with pytest.raises(RuntimeError) as caught:
            first.left_click(0)
        assert "first says no" in str(caught.value)

    def test_message_survives_a_call_from_another_thread(self, fake):
        k = Kestrin(fake(scenario(triggers=[protocol_error_on(BUTTON, "no buttons today")])).socket_path)
        with pytest.raises(RuntimeError):
            k.left_click(0)
        outcome = []

        def call():
            try:
                k.left_click(0)
            except RuntimeError as error:
                outcome.append(str(error))

        thread = threading.Thread(target=call)
        thread.start()
        thread.join()
        assert len(outcome) == 1
        assert "no buttons today" in outcome[0]


class TestBoundVersions:
    def test_newer_globals_are_bound_at_the_known_versions(self, fake):
        compositor = fake(
            {
                "globals": [
                    SHM,
                    {**SEAT, "version": 9},
                    output(),
                    {**KEYBOARD_MANAGER, "version": 2},
                    {**POINTER_MANAGER, "version": 3},
                ]
            }
        )
        k = Kestrin(compositor.socket_path)
        versions = bound_versions(compositor.requests())
        assert versions["wl_seat"] == [min(9, client_library_version("wl_seat"))]
        assert versions["zwp_virtual_keyboard_manager_v1"] == [1]
        assert versions["zwlr_virtual_pointer_manager_v1"] == [2]
        watch = Watch(compositor)
        k.left_click(0)
        k.key_press(30, 0)
        assert watch.names() == [BUTTON, SYNC, BUTTON, SYNC, KEY, SYNC, KEY, SYNC]

    def test_older_globals_are_bound_as_advertised(self, fake):
        compositor = fake(
            {"globals": [SHM, {**SEAT, "version": 5}, output(), KEYBOARD_MANAGER, {**POINTER_MANAGER, "version": 1}]}
        )
        k = Kestrin(compositor.socket_path)
        versions = bound_versions(compositor.requests())
        assert versions["wl_seat"] == [5]
        assert versions["zwlr_virtual_pointer_manager_v1"] == [1]
        watch = Watch(compositor)
        k.move_mouse(10, 10, 3, 4)
        k.right_click(0)
        assert watch.names() == [MOTION, SYNC, BUTTON, SYNC, BUTTON, SYNC]


# --- Aiming at an output's pixels, held buttons, drags and scrolling -----------

from wire_support import (  # noqa: E402
    AXIS,
    AXIS_DISCRETE,
    AXIS_SOURCE,
    AXIS_STOP,
    FRAME,
    POINTER_WITH_OUTPUT,
    XDG_OUTPUT_MANAGER,
    trigger,
)


def two_outputs(pointer_version=2, xdg=True, second=None):
    """HEADLESS-1 1920x1080 at scale 1, and HEADLESS-2 1280x720 at scale 2
    to its right (as xdg-output and wl_output's geometry say)."""
    second = second or {"scale": 2, "x": 1920}
    globals_ = [SHM, SEAT, output(), {**output("HEADLESS-2", 1280, 720), **second}, KEYBOARD_MANAGER,
                {**POINTER_MANAGER, "version": pointer_version}]
    if xdg:
        globals_.append(XDG_OUTPUT_MANAGER)
    return {"globals": globals_}


class TestOutputs:
    def test_geometry_from_xdg_output(self, fake):
        k = Kestrin(fake(two_outputs(second={"scale": 2, "x": 1920, "transform": 1, "refresh": 59940})).socket_path)
        assert [tuple(o) for o in k.outputs()] == [
            ("HEADLESS-1", "kestrin fake output", 0, 0, 1920, 1080, 1920, 1080, 1.0, "normal", 60000),
            ("HEADLESS-2", "kestrin fake output", 1920, 0, 1280, 720, 360, 640, 2.0, "90", 59940),
        ]

    def test_a_fractional_scale_shows_in_the_logical_size(self, fake):
        k = Kestrin(fake(two_outputs(second={"scale": 2, "logical": [1920, 0, 853, 480]})).socket_path)
        assert k.outputs()[1].scale == pytest.approx(1.5, abs=1 / 120)

    def test_without_xdg_output_the_size_is_derived(self, fake):
        k = Kestrin(fake(two_outputs(xdg=False, second={"scale": 2, "transform": 7, "x": 5, "y": 6})).socket_path)
        second = k.outputs()[1]
        assert (second.x, second.y, second.logical_width, second.logical_height, second.transform) == (
            5, 6, 360, 640, "flipped-270")

    def test_construction_stays_as_it_was_and_xdg_output_is_bound_on_first_use(self, fake):
        compositor = fake(two_outputs())
        k = Kestrin(compositor.socket_path)
        assert "zxdg_output_manager_v1" not in bound_versions(compositor.requests())
        watch = Watch(compositor)
        k.outputs()
        k.outputs()
        assert watch.names() == ["wl_registry.bind"] + ["zxdg_output_manager_v1.get_xdg_output"] * 2 + [SYNC, SYNC]

    def test_added_and_removed_outputs_show_at_the_next_call(self, fake):
        added = {"interface": "wl_output", "version": 4, "name": "HEADLESS-3"}
        compositor = fake({**two_outputs(), "triggers": [
            trigger(SYNC, {"do": "add_global", "global": added}, nth=6),
            trigger(SYNC, {"do": "remove_global", "index": 2}, nth=7)]})
        k = Kestrin(compositor.socket_path)
        names = [[o.name for o in k.outputs()] for _ in range(3)]
        assert names[0] == ["HEADLESS-1", "HEADLESS-2"]
        assert names[-1] == ["HEADLESS-2", "HEADLESS-3"]
        # The withdrawn output is still named to the compositor by a capture.
        with pytest.raises(RuntimeError, match="more that one WLOuput"):
            k.screenshot()
        k.move_to(0, 0, "HEADLESS-3")
        with pytest.raises(RuntimeError, match="no WLOutput with name HEADLESS-1"):
            k.move_to(0, 0, "HEADLESS-1")


class TestMoveTo:
    def test_a_pointer_per_output_made_once_with_the_picture_in_half_pixels(self, fake):
        compositor = fake(two_outputs())
        k = Kestrin(compositor.socket_path)
        k.outputs()
        watch = Watch(compositor)
        k.move_to(100, 50, "HEADLESS-2")
        k.move_to(1279, 719, "HEADLESS-2")
        k.move_to(7, 8, "HEADLESS-1")
        assert watch.names() == [POINTER_WITH_OUTPUT, MOTION, SYNC, MOTION, SYNC, POINTER_WITH_OUTPUT, MOTION, SYNC]
        created = watch.args(POINTER_WITH_OUTPUT)
        assert len({args[1] for args in created}) == 2
        assert watch.args(MOTION) == [[0, 201, 101, 2560, 1440], [0, 2559, 1439, 2560, 1440],
                                      [0, 15, 17, 3840, 2160]]

    def test_version_1_manager_aims_in_the_layout(self, fake):
        compositor = fake(two_outputs(pointer_version=1))
        k = Kestrin(compositor.socket_path)
        k.outputs()
        watch = Watch(compositor)
        k.move_to(100, 50, "HEADLESS-2")
        k.move_to(0, 1079, "HEADLESS-1")
        assert watch.names() == [MOTION, SYNC, MOTION, SYNC]
        # The layout is 2560 x 1080 logical units, in 256ths.
        assert watch.args(MOTION) == [[0, (1920 + 50.25) * 256, 25.25 * 256, 2560 * 256, 1080 * 256],
                                      [0, 0.5 * 256, 1079.5 * 256, 2560 * 256, 1080 * 256]]

    @pytest.mark.parametrize(
        "transform, shown_at",
        [
            # Pixel (100, 50) is (50.25, 25.25) of the picture's 640 x 360
            # logical units; turned by 90° or 270° the output is 360 x 640.
            pytest.param(0, (50.25, 25.25), id="normal"),
            pytest.param(1, (334.75, 50.25), id="90"),
            pytest.param(2, (589.75, 334.75), id="180"),
            pytest.param(3, (25.25, 589.75), id="270"),
            pytest.param(4, (589.75, 25.25), id="flipped"),
            pytest.param(5, (25.25, 50.25), id="flipped-90"),
            pytest.param(6, (50.25, 334.75), id="flipped-180"),
            pytest.param(7, (334.75, 589.75), id="flipped-270"),
        ],
    )
    def test_version_1_manager_turns_as_the_output_is_turned(self, fake, transform, shown_at):
        # Where wlroots shows the pixel on the turned output in the layout.
        compositor = fake(two_outputs(pointer_version=1, second={"scale": 2, "x": 1920, "transform": transform}))
        k = Kestrin(compositor.socket_path)
        watch = Watch(compositor)
        k.move_to(100, 50, "HEADLESS-2")
        layout_width = 1920 + (360 if transform % 2 else 640)
        assert watch.args(MOTION)[-1] == [0, (1920 + shown_at[0]) * 256, shown_at[1] * 256, layout_width * 256,
                                          1080 * 256]

    def test_version_1_manager_aims_in_a_layout_at_the_ends_of_32_bits(self, fake):
        def at(name, x, y):
            return {**output(name, 100, 100), "logical": [x, y, 100, 100]}

        low, high = -(2**31), 2**31 - 1
        compositor = fake({"globals": [SHM, SEAT, at("LOW", low, low), at("HIGH", high - 100, high - 100),
                                       KEYBOARD_MANAGER, {**POINTER_MANAGER, "version": 1}, XDG_OUTPUT_MANAGER]})
        k = Kestrin(compositor.socket_path)
        watch = Watch(compositor)
        k.move_to(0, 0, "LOW")
        k.move_to(50, 50, "HIGH")
        # 2^32 - 1 logical units wide and high: one unit each.
        edge = 2**32 - 1
        assert watch.args(MOTION) == [[0, 1, 1, edge, edge], [0, edge - 49, edge - 49, edge, edge]]

    def test_version_1_manager_aims_in_a_layout_wider_than_32_bits(self, fake):
        # The last output reaches beyond the largest position a compositor
        # can send: the layout is counted in units of a little more than one.
        beyond = {**output("BEYOND", 100, 100), "logical": [2**31 - 1, 0, 100, 100]}
        compositor = fake({"globals": [SHM, SEAT, {**output("LOW", 100, 100), "logical": [-(2**31), 0, 100, 100]},
                                       beyond, KEYBOARD_MANAGER, {**POINTER_MANAGER, "version": 1},
                                       XDG_OUTPUT_MANAGER]})
        k = Kestrin(compositor.socket_path)
        watch = Watch(compositor)
        for x in (0, 99):
            k.move_to(x, 0, "LOW")
            k.move_to(x, 0, "BEYOND")
        motions = watch.args(MOTION)
        assert [args[3:] for args in motions] == [[2**32 - 1, 100]] * 4
        xs = [args[1] for args in motions]
        assert xs[0] < xs[2] < xs[1] < xs[3] < 2**32 - 1

    @pytest.mark.parametrize(
        "call, error, text",
        [
            pytest.param(lambda k: k.move_to(1280, 0, "HEADLESS-2"), ValueError,
                         "x=1280 is outside the picture of HEADLESS-2, which is 1280x720 pixels", id="x"),
            pytest.param(lambda k: k.move_to(0, 720, "HEADLESS-2"), ValueError,
                         "y=720 is outside the picture of HEADLESS-2, which is 1280x720 pixels", id="y"),
            pytest.param(lambda k: k.move_to(0, 0), RuntimeError,
                         "more that one WLOuput set. Please specify the name of the one to use", id="no-name"),
            pytest.param(lambda k: k.move_to(0, 0, "DP-1"), RuntimeError, "no WLOutput with name DP-1", id="unknown"),
            pytest.param(lambda k: k.drag(0, 0, 1280, 0, "HEADLESS-2"), ValueError, "x=1280 is outside", id="drag-end"),
            pytest.param(lambda k: k.drag(0, 0, 1, 1, "HEADLESS-2", steps=0), ValueError, "steps=0", id="drag-steps"),
            pytest.param(lambda k: k.button_up("middle"), ValueError, "button middle (274) is not held", id="up"),
            pytest.param(lambda k: k.button_down("wheel"), ValueError, "unknown button 'wheel'", id="name"),
            pytest.param(lambda k: k.button_down(1.0), TypeError, "argument 'button'", id="type"),
            pytest.param(lambda k: k.scroll(559241), ValueError, "dy=559241 is beyond the 559240 wheel steps",
                         id="wheel"),
            pytest.param(lambda k: k.scroll(0, -559241), ValueError, "dx=-559241", id="wheel-dx"),
            pytest.param(lambda k: k.scroll(2**31), OverflowError, "out of range", id="int32"),
            pytest.param(lambda k: k.scroll_smooth(8388608), ValueError, "8388607 pixels", id="smooth"),
        ],
    )
    def test_refused_calls_send_nothing_and_leave_the_object_usable(self, fake, call, error, text):
        compositor = fake(two_outputs())
        k = Kestrin(compositor.socket_path)
        k.outputs()
        watch = Watch(compositor)
        with pytest.raises(error, match=text.replace("(", r"\(").replace(")", r"\)")):
            call(k)
        assert watch.names() == []
        k.move_to(0, 0, "HEADLESS-1")
        assert watch.names() == [POINTER_WITH_OUTPUT, MOTION, SYNC]


class TestButtonsDragScroll:
    def test_held_buttons_and_their_release(self, k, compositor):
        watch = Watch(compositor)
        k.button_down()
        k.button_down(300)
        with pytest.raises(ValueError, match=r"button left \(272\) is already held"):
            k.button_down("left")
        k.button_up("left")
        assert watch.names() == [BUTTON, SYNC, BUTTON, SYNC, BUTTON, SYNC]
        assert watch.args(BUTTON) == [[0, LEFT, 1], [0, 300, 1], [0, LEFT, 0]]

    def test_buttons_held_at_teardown_are_released_then(self, fake):
        compositor = fake()
        k = Kestrin(compositor.socket_path)
        k.button_down("side")
        k.button_down("extra")
        watch = Watch(compositor)
        del k
        # Read by the compositor before it sees the hang-up, newest first.
        assert watch.wait_for_count(BUTTON, 2) == [BUTTON, BUTTON]
        assert watch.args(BUTTON) == [[0, 276, 0], [0, 275, 0]]

    def test_drag(self, fake):
        compositor = fake(two_outputs())
        k = Kestrin(compositor.socket_path)
        k.outputs()
        watch = Watch(compositor)
        k.drag(10, 20, 110, 70, "HEADLESS-1", button="right", steps=4)
        assert watch.names() == [POINTER_WITH_OUTPUT, MOTION, BUTTON, SYNC] + [MOTION] * 4 + [BUTTON, SYNC]
        xs_ys = [(args[1], args[2]) for args in watch.args(MOTION)]
        assert xs_ys == [(21, 41), (71, 67), (121, 91), (171, 117), (221, 141)]
        assert watch.args(BUTTON) == [[0, RIGHT, 1], [0, RIGHT, 0]]

    def test_long_drag_into_a_compositor_that_reads_slowly(self, compositor, k):
        """Far more motions than the socket holds: the drag waits for room
        rather than failing, and the connection goes on."""
        watch = Watch(compositor)
        with slowed(compositor.pid, compositor.socket_path):
            k.drag(10, 10, 600, 400, steps=20_000)
        k.left_click(0)
        names = watch.names()
        assert names.count(MOTION) == 20_001
        assert watch.args(BUTTON) == [[0, LEFT, 1], [0, LEFT, 0]] * 2
        assert names[-7:] == [MOTION] + [BUTTON, SYNC] * 3

    def test_a_paced_drag_sends_each_motion_in_its_time(self, fake):
        compositor = fake(two_outputs())
        watch = Watch(compositor)
        # In a child, so that nothing here waits on the call's interpreter lock.
        code = "import sys, kestrin\nkestrin.Kestrin(sys.argv[1]).drag(0, 0, 10, 10, 'HEADLESS-1', steps=2, duration_ms=2000)"
        done = []
        child = threading.Thread(target=lambda: done.append(run_python(code, compositor.socket_path)))
        child.start()
        try:
            # The first step's motion arrives alone, while the drag waits for the second step's time.
            seen = watch.wait_for_count(MOTION, 2)[-5:]
        finally:
            child.join()
        assert done[0].returncode == 0, done[0].stderr
        assert seen == [POINTER_WITH_OUTPUT, MOTION, BUTTON, SYNC, MOTION]
        names = watch.names()
        start = names.index(POINTER_WITH_OUTPUT)
        assert names[start:start + 8] == [POINTER_WITH_OUTPUT, MOTION, BUTTON, SYNC, MOTION, MOTION, BUTTON, SYNC]

    def test_scroll_two_down_one_left(self, k, compositor):
        watch = Watch(compositor)
        k.scroll(2, -1)
        assert watch.names() == [AXIS_SOURCE, AXIS_DISCRETE, FRAME, AXIS_SOURCE, AXIS_DISCRETE, FRAME, SYNC]
        assert watch.args(AXIS_DISCRETE) == [[0, 0, 30.0, 2], [0, 1, -15.0, -1]]
        assert watch.args(AXIS_SOURCE) == [[0], [0]]

    def test_scroll_smooth_ends_with_a_stop(self, k, compositor):
        watch = Watch(compositor)
        k.scroll_smooth(0, 40)
        k.scroll(0)
        assert watch.names() == [AXIS, AXIS_SOURCE, FRAME, AXIS_STOP, AXIS_SOURCE, FRAME, SYNC]
        assert (watch.args(AXIS), watch.args(AXIS_STOP), watch.args(AXIS_SOURCE)) == (
            [[0, 1, 40.0]], [[0, 1]], [[1], [1]])
