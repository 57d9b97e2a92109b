"""Helpers for the tests that check what the module puts on the wire: the
requests a call adds to the fake compositor's records, and scenarios built
from the default globals."""

from __future__ import annotations

from typing import Any

SEAT = {"interface": "wl_seat", "version": 7}
SHM = {"interface": "wl_shm", "version": 1}
SCREENCOPY_MANAGER = {"interface": "zwlr_screencopy_manager_v1", "version": 3}
KEYBOARD_MANAGER = {"interface": "zwp_virtual_keyboard_manager_v1", "version": 1}
POINTER_MANAGER = {"interface": "zwlr_virtual_pointer_manager_v1", "version": 2}
XDG_OUTPUT_MANAGER = {"interface": "zxdg_output_manager_v1", "version": 3}
IMAGE_COPY_GLOBALS = [
    {"interface": "ext_output_image_capture_source_manager_v1", "version": 1},
    {"interface": "ext_image_copy_capture_manager_v1", "version": 1},
]

# The requests the module sends, as the fake compositor records them.
SYNC = "wl_display.sync"
MOTION = "zwlr_virtual_pointer_v1.motion_absolute"
BUTTON = "zwlr_virtual_pointer_v1.button"
KEY = "zwp_virtual_keyboard_v1.key"
MODIFIERS = "zwp_virtual_keyboard_v1.modifiers"
KEYMAP = "zwp_virtual_keyboard_v1.keymap"
CAPTURE = "zwlr_screencopy_manager_v1.capture_output"
POOL = "wl_shm.create_pool"
BUFFER = "wl_shm_pool.create_buffer"
COPY = "zwlr_screencopy_frame_v1.copy"
FRAME_DESTROY = "zwlr_screencopy_frame_v1.destroy"
BUFFER_DESTROY = "wl_buffer.destroy"
POOL_DESTROY = "wl_shm_pool.destroy"
POINTER_WITH_OUTPUT = "zwlr_virtual_pointer_manager_v1.create_virtual_pointer_with_output"
AXIS = "zwlr_virtual_pointer_v1.axis"
AXIS_SOURCE = "zwlr_virtual_pointer_v1.axis_source"
AXIS_DISCRETE = "zwlr_virtual_pointer_v1.axis_discrete"
AXIS_STOP = "zwlr_virtual_pointer_v1.axis_stop"
FRAME = "zwlr_virtual_pointer_v1.frame"


# A complete keymap small enough to read: a (30) and t (20) with capitals,
# q (16) with Shift, AltGr and both (q Q @ Ω), Return (28) and the modifier
# keys Control_L (29), Shift_L (42) and AltGr (100), Caps_Lock (58), which
# locks Lock, and ISO_Level2_Latch (54), which latches Shift. Shift is modifier
# bit 0 (mask 1), Lock bit 1 (2), Control bit 2 (4), AltGr's LevelThree is
# Mod5 (0x80).
SMALL_KEYMAP = """\
xkb_keymap {
xkb_keycodes "kestrin" {
    minimum = 8;
    maximum = 255;
    <RTRN> = 36;
    <LCTL> = 37;
    <AC01> = 38;
    <AD01> = 24;
    <AD05> = 28;
    <LFSH> = 50;
    <RALT> = 108;
    <CAPS> = 66;
    <RTSH> = 62;
};
xkb_types "kestrin" {
    virtual_modifiers LevelThree;
    type "ONE_LEVEL" { modifiers = none; level_name[Level1] = "Any"; };
    type "TWO_LEVEL" { modifiers = Shift; map[Shift] = Level2; level_name[Level1] = "Base"; level_name[Level2] = "Shift"; };
    type "ALPHABETIC" {
        modifiers = Shift+Lock;
        map[Shift] = Level2;
        map[Lock] = Level2;
        level_name[Level1] = "Base"; level_name[Level2] = "Caps";
    };
    type "FOUR_LEVEL" {
        modifiers = Shift+LevelThree;
        map[Shift] = Level2;
        map[LevelThree] = Level3;
        map[Shift+LevelThree] = Level4;
        level_name[Level1] = "Base"; level_name[Level2] = "Shift";
        level_name[Level3] = "AltGr"; level_name[Level4] = "Shift AltGr";
    };
};
xkb_compatibility "kestrin" {
    virtual_modifiers LevelThree;
    interpret Shift_L { action = SetMods(modifiers = Shift); };
    interpret Control_L { action = SetMods(modifiers = Control); };
    interpret ISO_Level3_Shift { virtualModifier = LevelThree; action = SetMods(modifiers = LevelThree); };
    interpret Caps_Lock { action = LockMods(modifiers = Lock); };
    interpret ISO_Level2_Latch { action = LatchMods(modifiers = Shift); };
};
xkb_symbols "kestrin" {
    key <RTRN> { [ Return ] };
    key <LCTL> { [ Control_L ] };
    key <AC01> { [ a, A ] };
    key <AD05> { [ t, T ] };
    key <AD01> { type = "FOUR_LEVEL", [ q, Q, at, Greek_OMEGA ] };
    key <LFSH> { [ Shift_L ] };
    key <RALT> { [ ISO_Level3_Shift ] };
    key <CAPS> { [ Caps_Lock ] };
    key <RTSH> { [ ISO_Level2_Latch ] };
    modifier_map Shift { <LFSH> };
    modifier_map Control { <LCTL> };
    modifier_map Mod5 { <RALT> };
    modifier_map Lock { <CAPS> };
};
};
"""
SHIFT, LOCK, CONTROL, ALTGR = 0x1, 0x2, 0x4, 0x80


def keymap_scenario(**seat_fields) -> dict:
    """The default globals with a seat that sends SMALL_KEYMAP."""
    seat = {**SEAT, "keymaps": [{"content": SMALL_KEYMAP}], **seat_fields}
    return {**scenario(), "globals": [seat if g is SEAT else g for g in scenario()["globals"]]}


def output(
    name: str | None = "HEADLESS-1", width: int = 1920, height: int = 1080, version: int = 4, done: bool = True
) -> dict:
    """`done=False`: the output is never fully described (no done event)."""
    return {"interface": "wl_output", "version": version, "name": name, "width": width, "height": height, "done": done}


def scenario(outputs=(None,), shm=True, screencopy_manager=True, image_copy_managers=False, **fields) -> dict:
    """The default globals with the given outputs (None: one default
    output), without wl_shm or the screencopy manager when asked, with the
    two globals of ext-image-copy-capture when asked, plus any further
    scenario fields (screencopy, image_copy, triggers). `shm` may also be the
    list of formats wl_shm offers."""
    globals_ = [SHM] if shm is True else [{**SHM, "formats": list(shm)}] if shm else []
    globals_.append(SEAT)
    globals_ += [output() if entry is None else entry for entry in outputs]
    if screencopy_manager:
        globals_.append(SCREENCOPY_MANAGER)
    if image_copy_managers:
        globals_ += IMAGE_COPY_GLOBALS
    globals_ += [KEYBOARD_MANAGER, POINTER_MANAGER]
    return {"globals": globals_, **fields}


def trigger(request: str, action: dict, nth: int = 1, delay_ms: int = 0) -> dict:
    """`action` when the `nth` `request` arrives, `delay_ms` later."""
    if delay_ms:
        action = {**action, "delay_ms": delay_ms}
    return {"on": request, "nth": nth, "actions": [action]}


def close_on(request: str, nth: int = 1, delay_ms: int = 0) -> dict:
    return trigger(request, {"do": "close"}, nth, delay_ms)


def protocol_error_on(request: str, message: str, nth: int = 1, code: int = 0, delay_ms: int = 0) -> dict:
    return trigger(request, {"do": "protocol_error", "code": code, "message": message}, nth, delay_ms)


def stall_on(request: str, nth: int = 1) -> dict:
    return trigger(request, {"do": "stall"}, nth)


def name_of(record: dict[str, Any]) -> str:
    return f"{record['interface']}.{record['request']}"


class Watch:
    """The requests a compositor records from the moment the watch starts."""

    def __init__(self, compositor):
        self.compositor = compositor
        self.start = len(compositor.requests())

    def requests(self) -> list[dict[str, Any]]:
        return self.compositor.requests()[self.start :]

    def names(self) -> list[str]:
        return [name_of(record) for record in self.requests()]

    def args(self, name: str) -> list[list]:
        return [record["args"] for record in self.requests() if name_of(record) == name]

    def wait_for_count(self, name: str, count: int) -> list[str]:
        """Waits for requests that nothing answers (and so may still be on
        their way) and returns the names."""
        start = self.start

        def enough(records):
            requests = [r for r in records if "request" in r][start:]
            return sum(1 for r in requests if name_of(r) == name) >= count

        self.compositor.wait_for(enough)
        return self.names()


def client_library_version(interface: str) -> int:
    """The highest version of a core interface that the Wayland client
    library in this process describes."""
    import ctypes

    class Interface(ctypes.Structure):
        _fields_ = [("name", ctypes.c_char_p), ("version", ctypes.c_int)]

    library = ctypes.CDLL("libwayland-client.so.0")
    return Interface.in_dll(library, f"{interface}_interface").version


def bound_versions(requests: list[dict[str, Any]]) -> dict[str, list[int]]:
    """Interface name -> the versions it was bound at, in order."""
    versions: dict[str, list[int]] = {}
    for record in requests:
        if name_of(record) == "wl_registry.bind":
            _, interface, version, _ = record["args"]
            versions.setdefault(interface, []).append(version)
    return versions
