"""Odd and hostile compositors: buffer announcements in unusual orders, keymaps
of absurd sizes, hundreds of globals, output names that are very long or not
UTF-8, protocol error texts that are not UTF-8, and events for objects the
module has already let go of. None of it may crash the module or make it
misbehave; where a call cannot succeed it says why.

(Buffer sizes that do not fit, one at a time, are in test_screenshot_wire.py.)"""

import json
import os
import stat
import subprocess
from pathlib import Path

import pytest

from fake_compositor import pattern
from interpreter import run_python
from kestrin import Kestrin
from leak_check import descriptors
from wire_support import (
    BUFFER,
    BUFFER_DESTROY,
    CAPTURE,
    COPY,
    FRAME_DESTROY,
    KEYBOARD_MANAGER,
    MOTION,
    POINTER_MANAGER,
    POOL,
    SCREENCOPY_MANAGER,
    SEAT,
    SHM,
    SYNC,
    Watch,
    bound_versions,
    client_library_version,
    keymap_scenario,
    name_of,
    output,
    scenario,
)

np = pytest.importorskip("numpy")

FRAME = "zwlr_screencopy_frame_v1"

FAILED_CAPTURE = "the compositor failed the capture"
PROTOCOL_ERROR = "the compositor reported a protocol error: "
# A Wayland message holds at most 4096 bytes: the longest name an output
# event can carry, after the header (8 bytes), the length (4) and the NUL.
LONGEST_NAME = 4083
# Only guards against a hang: a construction or capture takes milliseconds.
HANG_GUARD_S = 5

SMALL = output(width=64, height=48)



pytestmark = pytest.mark.usefixtures("collector_paused")


def event(name: str, *args, interface: str | None = None) -> dict:
    """Sends an event on the object of the triggering request, or on every
    object of `interface` the client has."""
    action = {"do": "event", "event": name, "args": list(args)}
    if interface is not None:
        action["interface"] = interface
    return action


def on(request: str, *actions, nth: int = 1) -> dict:
    return {"on": request, "nth": nth, "actions": list(actions)}


def target(record) -> str:
    """The object a recorded request went to."""
    return f"{record['interface']}@{record['id']}"


def capture_is_right(k, width=64, height=48, name=None):
    return np.array_equal(k.screenshot(name), pattern(width, height))


def ends_within_the_guard(code: str, *args: str):
    """Runs `code` in a fresh interpreter; None if it is still running when
    the hang guard runs out."""
    try:
        return run_python(code, *args, timeout=HANG_GUARD_S)
    except subprocess.TimeoutExpired:
        return None


# --- announced buffers ---------------------------------------------------------


class TestAnnouncedBuffers:
    @pytest.mark.parametrize(
        "buffers",
        [
            pytest.param([{"width": 0, "height": 0, "stride": 0}, {}], id="empty-then-good"),
            pytest.param([{"width": 2**32 - 1, "height": 2**32 - 1, "stride": 2**32 - 1}, {}], id="huge-then-good"),
            pytest.param([{"width": 64, "height": 48, "stride": 3}, {}], id="short-stride-then-good"),
        ],
    )
    def test_a_good_announcement_after_a_bad_one_wins(self, fake, buffers):
        compositor = fake(scenario([SMALL], screencopy=[{"buffers": buffers}]))
        k = Kestrin(compositor.socket_path)
        assert capture_is_right(k)

    @pytest.mark.parametrize(
        "bad",
        [
            pytest.param({"width": 0}, id="empty"),
            pytest.param({"height": 2**31}, id="height-2^31"),
            pytest.param({"stride": 2**32 - 1}, id="stride-max"),
            pytest.param({"stride": 255}, id="stride-short-by-one"),
        ],
    )
    def test_a_bad_announcement_after_a_good_one_is_refused(self, fake, bad):
        compositor = fake(scenario([SMALL], screencopy=[{"buffers": [{}, bad]}, {}]))
        k = Kestrin(compositor.socket_path)
        before = descriptors()
        watch = Watch(compositor)
        with pytest.raises(RuntimeError) as caught:
            k.screenshot()
        assert type(caught.value) is RuntimeError
        assert str(caught.value).startswith("the compositor announced") or "too large" in str(caught.value)
        assert watch.wait_for_count(FRAME_DESTROY, 1) == [CAPTURE, SYNC, FRAME_DESTROY]
        assert descriptors() == before
        assert capture_is_right(k)

    @pytest.mark.parametrize("request_name", [POOL, BUFFER, COPY])
    def test_a_late_announcement_does_not_change_a_capture_under_way(self, fake, request_name):
        # Parameters taken are kept: a buffer event that comes once the pool
        # is made (or with the copy's answer) announces a frame far larger
        # than the buffer the compositor is about to fill.
        late = event("buffer", 1, 2**32 - 1, 2**32 - 1, 2**32 - 1, interface=FRAME)
        compositor = fake(scenario([SMALL], triggers=[on(request_name, late)]))
        k = Kestrin(compositor.socket_path)
        assert capture_is_right(k)
        assert capture_is_right(k)

    def test_ready_before_the_copy_does_not_end_the_wait_for_the_copy(self, fake):
        compositor = fake(scenario([SMALL], triggers=[on(BUFFER, event("ready", 0, 0, 0, interface=FRAME))]))
        k = Kestrin(compositor.socket_path)
        assert capture_is_right(k)

    def test_failed_along_with_ready_fails_the_capture(self, fake):
        compositor = fake(scenario([SMALL], triggers=[on(COPY, event("failed"))]))
        k = Kestrin(compositor.socket_path)
        with pytest.raises(RuntimeError) as caught:
            k.screenshot()
        assert str(caught.value) == FAILED_CAPTURE
        assert capture_is_right(k)

    def test_a_frame_without_a_shared_memory_buffer_ends_the_capture(self, fake):
        dmabuf_only = {"buffers": [], "linux_dmabuf": {"format": 875713112, "width": 64, "height": 48}}
        compositor = fake(scenario([SMALL], screencopy=[dmabuf_only]))
        result = ends_within_the_guard(
            """
            import sys
            from kestrin import Kestrin
            k = Kestrin(sys.argv[1])
            try:
                k.screenshot()
            except RuntimeError as error:
                print(error)
            """,
            compositor.socket_path,
        )
        assert result is not None, "screenshot() did not return"
        assert result.returncode == 0, result.stderr
        assert result.stdout == "the compositor offers no shared-memory buffer for the capture\n"


# --- keymaps -------------------------------------------------------------------


# A new process's session on a socket, and what became of it.
NEW_SESSION = '''
import sys, kestrin
try:
    kestrin.Kestrin(sys.argv[1]).key_press(30, 0)
    print("ok")
except BaseException as error:
    print(type(error).__name__, error)
'''


def with_keymaps(keymaps, **fields) -> dict:
    return {"globals": [SHM, {**SEAT, "keymaps": keymaps}, SMALL, KEYBOARD_MANAGER, POINTER_MANAGER], **fields}


class TestKeymaps:
    @pytest.mark.parametrize(
        "keymap, declared",
        [
            pytest.param({"size": 0}, 0, id="size-0"),
            pytest.param({"size": 2**31}, 2**31, id="size-2^31"),
            pytest.param({"size": 2**32 - 1}, 2**32 - 1, id="size-max"),
            pytest.param({"content": "", "format": 0}, 1, id="empty-no-keymap-format"),
            pytest.param({"format": 2**32 - 1, "size": 2**32 - 1}, 2**32 - 1, id="unknown-format"),
        ],
    )
    def test_any_keymap_is_passed_on_as_it_came(self, fake, keymap, declared):
        compositor = fake(with_keymaps([keymap]))
        before = set(descriptors())
        k = Kestrin(compositor.socket_path)
        (forwarded,) = [r["args"] for r in compositor.requests() if name_of(r) == "zwp_virtual_keyboard_v1.keymap"]
        file_size = len(keymap.get("content", "xkb_keymap { kestrin fake keymap };")) + 1
        assert forwarded[0] == 1 and forwarded[1]["size"] == file_size and forwarded[2] == declared
        # Only the connection stays open: the keymap's descriptor went with
        # the request that carried it.
        with_session = set(descriptors())
        assert before < with_session and len(with_session - before) == 1
        k.key_press(30, 0)
        # Only what needs the keymap itself fails, and says why.
        with pytest.raises(RuntimeError, match="^the seat's keymap could not be read\n\nCaused by:\n    .+"):
            k.type_text("a")
        k.key_down(30)
        k.key_up(30)

    def test_a_seat_that_sends_no_keymap_gets_the_one_sent_before(self, fake):
        # Only the first client's keyboard gets the keymap, as from sway after
        # the session holding the active keyboard went away.
        compositor = fake(keymap_scenario(keymap_clients=1))
        first = Kestrin(compositor.socket_path)
        del first
        before = descriptors()
        second = Kestrin(compositor.socket_path)
        sent = [r for r in compositor.requests() if name_of(r) == "zwp_virtual_keyboard_v1.keymap"]
        assert [(r["client"], r["args"]) for r in sent] == [(1, sent[0]["args"]), (2, sent[0]["args"])]
        watch = Watch(compositor)
        second.type_text("A")
        assert [name_of(r) for r in watch.requests()].count("zwp_virtual_keyboard_v1.key") == 2
        del second
        assert descriptors() == before
        # A seat that never sent a keymap to anyone still ends in the fault.
        never = fake(keymap_scenario(keymap_clients=0))
        result = run_python(NEW_SESSION, never.socket_path)
        assert result.stdout.startswith("InternalFault an expected value was absent: the seat's keyboard sent no keymap (")

    def test_a_later_process_gets_the_keymap_the_seat_sent_before(self, fake):
        compositor = fake(keymap_scenario(keymap_clients=1))
        Kestrin(compositor.socket_path)
        carried = Path(compositor.socket_path + ".kestrin-keymap")
        status = carried.lstat()
        assert stat.S_IMODE(status.st_mode) == 0o600 and status.st_uid == os.geteuid()
        assert run_python(NEW_SESSION, compositor.socket_path).stdout == "ok\n"
        sent = [r for r in compositor.requests() if name_of(r) == "zwp_virtual_keyboard_v1.keymap"]
        assert [r["client"] for r in sent] == [1, 2] and sent[0]["args"] == sent[1]["args"]

    @pytest.mark.parametrize("tamper", ["link", "foreign-owner", "readable-by-others", "second-name", "not-a-keymap"])
    def test_a_carried_keymap_is_believed_only_as_the_users_own_private_file(self, fake, tmp_path, tamper):
        compositor = fake(keymap_scenario(keymap_clients=1))
        Kestrin(compositor.socket_path)
        carried = Path(compositor.socket_path + ".kestrin-keymap")
        elsewhere = tmp_path / "elsewhere"
        elsewhere.write_bytes(carried.read_bytes())
        elsewhere.chmod(0o600)
        if tamper == "link":
            carried.unlink()
            carried.symlink_to(elsewhere)
        elif tamper == "foreign-owner":
            os.chown(carried, 12345, 12345)
        elif tamper == "readable-by-others":
            carried.chmod(0o644)
        elif tamper == "second-name":
            os.link(carried, tmp_path / "second")
        else:
            carried.write_bytes(b"xkb_keymap { not one };\0")
        result = run_python(NEW_SESSION, compositor.socket_path)
        assert result.stdout.startswith("InternalFault an expected value was absent: the seat's keyboard sent no keymap (")

    def test_hundreds_of_keymaps_leave_no_descriptor_behind(self, fake):
        # At construction, and later: a later keymap is kept until the next
        # one replaces it, so one descriptor at most stays with the session.
        keymap = {"do": "keymap", "keymap": {"content": "later"}}
        later = [on(MOTION, *[keymap] * 10, nth=n) for n in range(1, 31)]
        compositor = fake(with_keymaps([{"content": f"keymap {n}"} for n in range(300)], triggers=later))
        before = set(descriptors())
        k = Kestrin(compositor.socket_path)
        (forwarded,) = [r["args"] for r in compositor.requests() if name_of(r) == "zwp_virtual_keyboard_v1.keymap"]
        assert forwarded[2] == len("keymap 299") + 1
        with_session = set(descriptors())
        assert before < with_session and len(with_session - before) == 1
        for _ in range(30):
            k.move_mouse(10, 10, 1, 1)
        later = set(descriptors())
        assert with_session < later and len(later - with_session) == 1


# --- globals -------------------------------------------------------------------


class TestManyGlobals:
    def test_hundreds_of_globals_at_construction(self, fake):
        # libwayland-server 1.21 drops a client whose socket cannot take the
        # whole registry at once, so the registry stays well below its
        # buffer (here some 60 kB).
        outputs = [output(f"OUT-{n}", 8 + n, 4) for n in range(200)]
        unknown = [{"interface": f"x_unknown_{n}_v1"} for n in range(600)]
        # Names of interfaces nobody knows, nearly as long as a message allows.
        long_named = [{"interface": f"{n}" + "q" * 4000} for n in range(5)]
        repeated = [SEAT, SCREENCOPY_MANAGER, KEYBOARD_MANAGER, POINTER_MANAGER, SHM]
        globals_ = unknown[:300] + long_named + outputs + repeated * 50 + unknown[300:]
        compositor = fake({"globals": globals_})
        k = Kestrin(compositor.socket_path)
        requests = compositor.requests()
        versions = bound_versions(requests)
        assert {name: len(bound) for name, bound in versions.items()} == {
            "wl_output": 200,
            "wl_seat": 50,
            "zwlr_screencopy_manager_v1": 50,
            "zwp_virtual_keyboard_manager_v1": 50,
            "zwlr_virtual_pointer_manager_v1": 50,
            "wl_shm": 50,
        }
        # Each later global of a kind replaces the one before.
        last_bound = {}
        for record in requests:
            if name_of(record) == "wl_registry.bind":
                last_bound[record["args"][1]] = record["args"][3]
        makers = ("get_keyboard", "create_virtual_keyboard", "create_virtual_pointer")
        used = {r["interface"]: target(r) for r in requests if r["request"] in makers}
        for interface in ("wl_seat", "zwp_virtual_keyboard_manager_v1", "zwlr_virtual_pointer_manager_v1"):
            assert used[interface] == last_bound[interface]
        watch = Watch(compositor)
        assert capture_is_right(k, 8 + 157, 4, "OUT-157")
        capture = {name_of(r): target(r) for r in watch.requests()}
        assert capture[CAPTURE] == last_bound["zwlr_screencopy_manager_v1"]
        assert capture[POOL] == last_bound["wl_shm"]
        with pytest.raises(RuntimeError) as caught:
            k.screenshot()
        assert str(caught.value) == "more that one WLOuput set. Please specify the name of the one to use"
        k.left_click(0)

    def test_hundreds_of_globals_come_and_go_during_calls(self, fake):
        added = [{"do": "add_global", "global": output(f"LATE-{n}", 10 + n, 2)} for n in range(300)]
        removed = [{"do": "remove_global", "index": n} for n in range(306)]
        compositor = fake(scenario([SMALL], triggers=[on(MOTION, *added), on(MOTION, *removed, nth=2)]))
        k = Kestrin(compositor.socket_path)
        # The first call binds them, the second brings their names and
        # takes every global away again; bound objects keep working.
        k.move_mouse(10, 10, 1, 1)
        k.move_mouse(10, 10, 1, 1)
        assert capture_is_right(k, 10 + 299, 2, "LATE-299")
        assert capture_is_right(k, name="HEADLESS-1")
        k.key_press(30, 0)

    def test_versions_far_beyond_the_known_ones(self, fake):
        # The highest version libwayland can advertise.
        top = 2**31 - 1
        every = (SHM, SEAT, SMALL, SCREENCOPY_MANAGER, KEYBOARD_MANAGER, POINTER_MANAGER)
        compositor = fake({"globals": [{**g, "version": top} for g in every]})
        k = Kestrin(compositor.socket_path)
        versions = bound_versions(compositor.requests())
        assert versions == {
            "wl_shm": [1],
            "wl_seat": [min(9, client_library_version("wl_seat"))],
            "wl_output": [4],
            "zwlr_screencopy_manager_v1": [3],
            "zwp_virtual_keyboard_manager_v1": [1],
            "zwlr_virtual_pointer_manager_v1": [2],
        }
        assert capture_is_right(k, name="HEADLESS-1")
        k.right_click(0)
        k.key_press(30, 0)


# --- output names --------------------------------------------------------------

NOT_UTF8 = [0xFF, 0xFE, 0x41, 0xC3]  # two bytes never in UTF-8, "A", a truncated sequence


class TestOutputNames:
    def test_the_longest_name_a_message_can_carry(self, fake):
        name = "".join(chr(0x41 + n % 26) for n in range(LONGEST_NAME))
        compositor = fake(scenario([output(name, 16, 8), output("DP-1", 8, 4)]))
        k = Kestrin(compositor.socket_path)
        assert capture_is_right(k, 16, 8, name)
        with pytest.raises(RuntimeError) as caught:
            k.screenshot(name[:-1])
        assert str(caught.value) == f"no WLOutput with name {name[:-1]}"

    def test_a_name_too_long_for_a_message_ends_construction_clearly(self, fake):
        # libwayland-server cannot send it and drops the client instead.
        compositor = fake(scenario([output("N" * (LONGEST_NAME + 1))]))
        with pytest.raises(BaseException) as caught:
            Kestrin(compositor.socket_path)
        assert type(caught.value).__name__ == "InternalFault"
        assert str(caught.value) == (
            "a result was an error: the connection to the compositor failed: Broken pipe (os error 32)"
        )

    def test_a_name_that_is_not_utf8(self, fake):
        compositor = fake(scenario([output(NOT_UTF8, 16, 8), output("DP-1", 8, 4)]))
        k = Kestrin(compositor.socket_path)
        assert capture_is_right(k, 8, 4, "DP-1")
        # No str names those bytes: as Latin-1 text they are other bytes.
        latin1 = bytes(NOT_UTF8).decode("latin-1")
        with pytest.raises(RuntimeError) as caught:
            k.screenshot(latin1)
        assert str(caught.value) == f"no WLOutput with name {latin1}"
        with pytest.raises(UnicodeEncodeError):
            k.screenshot(bytes(NOT_UTF8).decode("utf-8", "surrogateescape"))

    def test_the_only_output_is_captured_whatever_its_name(self, fake):
        rename = {"do": "output_name", "name": [0x80] * 300}
        compositor = fake(scenario([output(NOT_UTF8, 16, 8)], triggers=[on(MOTION, rename)]))
        k = Kestrin(compositor.socket_path)
        assert capture_is_right(k, 16, 8)
        k.move_mouse(10, 10, 1, 1)
        assert capture_is_right(k, 16, 8)

    def test_a_name_that_is_not_utf8_is_logged_with_replacement_characters(self, fake):
        compositor = fake(scenario([output(NOT_UTF8, 16, 8)]))
        # Loggers keep the level of their first record: a fresh interpreter.
        result = run_python(
            """
            import json, logging, sys
            import kestrin
            messages = []
            class Collect(logging.Handler):
                def emit(self, record):
                    messages.append(record.getMessage())
            logging.getLogger().addHandler(Collect())
            logging.getLogger("kestrin").setLevel(logging.INFO)
            k = kestrin.Kestrin(sys.argv[1])
            print(json.dumps([m for m in messages if ": Name {" in m and "WlOutput" in m]))
            print(k.screenshot().shape)
            """,
            compositor.socket_path,
        )
        assert result.returncode == 0, result.stderr
        names, shape = result.stdout.splitlines()
        assert json.loads(names) == ['WlOutput event for 3: Name { name: "\ufffd\ufffdA\ufffd" }']
        assert shape == "(8, 16, 4)"

    def test_an_empty_name_and_a_name_given_twice(self, fake):
        compositor = fake(scenario([output("", 16, 8), output("TWIN", 8, 4), output("TWIN", 24, 2)]))
        k = Kestrin(compositor.socket_path)
        assert capture_is_right(k, 16, 8, "")
        # Of two outputs with one name, one or the other.
        twin = k.screenshot("TWIN")
        assert any(np.array_equal(twin, pattern(width, height)) for width, height in ((8, 4), (24, 2)))

    def test_an_output_that_never_says_its_name(self, fake):
        compositor = fake(scenario([output(None, 16, 8)]))
        result = ends_within_the_guard(
            """
            import sys
            from kestrin import Kestrin
            try:
                Kestrin(sys.argv[1])
                print("constructed")
            except RuntimeError:
                print("RuntimeError")
            """,
            compositor.socket_path,
        )
        assert result is not None, "Kestrin() did not return"
        assert result.returncode == 0, result.stderr
        assert result.stdout == "constructed\n"


# --- texts from the compositor -------------------------------------------------


class TestProtocolErrorTexts:
    @pytest.mark.parametrize(
        "message, shown",
        [
            pytest.param([0x6E, 0x6F, 0xFF, 0x21], "no\ufffd!", id="not-utf8"),
            # libwayland-server keeps 127 bytes of a message: here it cuts the
            # last character in two.
            pytest.param("x" * 126 + "é and more", "x" * 126 + "\ufffd", id="cut-in-a-character"),
            pytest.param("y" * 5000, "y" * 127, id="thousands-of-bytes"),
            pytest.param("line one\nline two\ttab", "line one\nline two\ttab", id="control-characters"),
        ],
    )
    def test_text_is_shown_as_far_as_it_arrives(self, fake, message, shown):
        action = {"do": "protocol_error", "code": 4, "message": message}
        compositor = fake(scenario([SMALL], triggers=[on("zwlr_virtual_pointer_v1.button", action)]))
        k = Kestrin(compositor.socket_path)
        for call in (lambda: k.left_click(0), lambda: k.move_mouse(1, 1, 1, 1)):
            with pytest.raises(RuntimeError) as caught:
                call()
            text = str(caught.value)
            assert text.startswith(PROTOCOL_ERROR + "zwlr_virtual_pointer_v1@"), text
            assert text.endswith(f": error 4: {shown}"), text


# --- released objects -----------------------------------------------------------

EVERY_FRAME_EVENT = [
    event("buffer", 1, 2**32 - 1, 2**32 - 1, 2**32 - 1),
    event("flags", 1),
    event("damage", 0, 0, 2**32 - 1, 2**32 - 1),
    event("linux_dmabuf", 0, 1, 1),
    event("buffer_done"),
    event("failed"),
    event("ready", 0, 0, 0),
]


class TestReleasedObjects:
    """Events for objects the module has released arrive after it let go of
    them: sent by the compositor as the destroy request comes in (before it
    destroys its side), or to objects the module dropped without a request."""

    @pytest.mark.parametrize("first_outcome", ["ready", "failed"])
    def test_frame_and_buffer_events_after_their_destroy(self, fake, first_outcome):
        triggers = [on(FRAME_DESTROY, *EVERY_FRAME_EVENT, nth=n) for n in range(1, 4)]
        triggers += [on(BUFFER_DESTROY, event("release"), nth=n) for n in range(1, 4)]
        compositor = fake(scenario([SMALL], screencopy=[{"outcome": first_outcome}, {}], triggers=triggers))
        k = Kestrin(compositor.socket_path)
        if first_outcome == "ready":
            assert capture_is_right(k)
        else:
            with pytest.raises(RuntimeError) as caught:
                k.screenshot()
            assert str(caught.value) == FAILED_CAPTURE
        before = descriptors()
        # The stale events arrive during these calls and change nothing.
        assert capture_is_right(k)
        assert capture_is_right(k)
        k.move_mouse(10, 10, 1, 1)
        k.key_press(30, 0)
        assert descriptors() == before
        # Every destroy came, so every stale event was sent.
        compositor.wait_for(lambda records: [name_of(r) for r in records if "request" in r].count(FRAME_DESTROY) == 3)

    def test_events_for_seats_and_shared_memory_it_replaced(self, fake):
        # With several globals of a kind the module keeps the last and drops
        # the others without a request, so the compositor keeps sending.
        stale = [
            event("capabilities", 7, interface="wl_seat"),
            event("name", [0xFF] * 100, interface="wl_seat"),
            event("format", 2**32 - 1, interface="wl_shm"),
        ]
        compositor = fake(
            {
                "globals": [SHM, SEAT, SMALL, SHM, SEAT, SCREENCOPY_MANAGER, KEYBOARD_MANAGER, POINTER_MANAGER, SEAT],
                "triggers": [on(MOTION, *stale, nth=n) for n in range(1, 4)],
            }
        )
        k = Kestrin(compositor.socket_path)
        before = descriptors()
        for _ in range(3):
            k.move_mouse(10, 10, 1, 1)
            k.key_press(30, 0)
            assert capture_is_right(k)
        assert descriptors() == before
