"""The harness itself, checked against the real compositor with tools that
are known to work: grim sees what the probe draws, wtype's keys reach the
probe with their meaning, outputs can be added, and nothing outlives a
compositor; and the leak check that runs around every test."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

from headless import FIRST_OUTPUT, HeadlessSway, process_alive
from kestrin.testing._recorder import Probe, ProbeError, probe_picture


def parse_ppm(data: bytes) -> np.ndarray:
    """A binary PPM (P6, maxval 255) as a (height, width, 3) RGB array."""
    header = re.match(rb"P6(?:\s+|#[^\n]*\n)+(\d+)(?:\s+|#[^\n]*\n)+(\d+)(?:\s+|#[^\n]*\n)+(\d+)\s", data)
    assert header is not None, f"not a binary PPM: {data[:20]!r}"
    width, height, maxval = (int(group) for group in header.groups())
    assert maxval == 255, f"PPM maxval {maxval}"
    pixels = data[header.end() :]
    assert len(pixels) == width * height * 3, f"{len(pixels)} bytes of pixels for {width}x{height}"
    return np.frombuffer(pixels, dtype=np.uint8).reshape(height, width, 3)


def grim(sway: HeadlessSway, *args: str) -> np.ndarray:
    result = subprocess.run(
        ["grim", "-t", "ppm", *args, "-"], env=sway.env(), capture_output=True, timeout=30
    )
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    return parse_ppm(result.stdout)


def assert_probe_picture(image: np.ndarray, width: int, height: int) -> None:
    expected = probe_picture(width, height)[..., 2::-1]  # B, G, R -> R, G, B
    assert image.shape == expected.shape
    wrong = np.argwhere((image != expected).any(axis=-1))
    if len(wrong):
        y, x = wrong[0]
        pytest.fail(
            f"{len(wrong)} pixels differ from the probe's picture; the first at x={x}, y={y}: "
            f"{image[y, x].tolist()} instead of {expected[y, x].tolist()}"
        )


def wtype(sway: HeadlessSway, *args: str) -> None:
    result = subprocess.run(["wtype", *args], env=sway.env(), capture_output=True, timeout=30)
    assert result.returncode == 0, result.stderr.decode(errors="replace")


def is_press(event: dict) -> bool:
    return event["event"] == "key" and event["state"] == 1


def is_release(event: dict) -> bool:
    return event["event"] == "key" and event["state"] == 0


class TestCapture:
    def test_grim_sees_the_probe_picture_pixel_for_pixel(self, sway, probe):
        assert (probe.width, probe.height) == (1920, 1080)
        assert_probe_picture(grim(sway), probe.width, probe.height)

    def test_the_picture_tells_coordinates_apart(self):
        # A picture that repeated itself would let a shifted capture pass.
        words = np.sort(probe_picture(1920, 1080).view(np.uint32).ravel())
        assert (np.diff(words) != 0).all()


class TestKeyboard:
    def test_probe_gives_the_seat_a_keyboard_with_a_keymap(self, sway, probe):
        # Everything up to ready: the seat has a keyboard, whose keymap reaches
        # clients and parses, and the probe holds it.
        events = probe.events()
        before_ready = events[: events.index(probe.ready)]
        assert any(e["event"] == "capabilities" and e["keyboard"] for e in before_ready)
        assert any(e["event"] == "keymap" and e["loaded"] for e in before_ready)
        assert any(e["event"] == "input_ready" and e["keyboard"] for e in before_ready)
        probe.wait_input_ready(pointer=False, keyboard=True)

    def test_typed_text_arrives_with_keysyms_and_text(self, sway, probe):
        text = "Hello, wörld! 42"
        probe.clear()
        wtype(sway, text)
        presses = probe.wait_for_count(is_press, len(text))
        releases = probe.wait_for_count(is_release, len(text))

        assert "".join(e["utf8"] for e in presses) == text
        assert [e["keysym"] for e in presses] == [
            "H", "e", "l", "l", "o", "comma", "space", "w", "odiaeresis", "r", "l", "d", "exclam", "space",
            "4", "2",
        ]  # fmt: skip
        assert [e["key"] for e in releases] == [e["key"] for e in presses]
        # Each key is released before the next is pressed.
        keys = [(e["key"], e["state"]) for e in probe.events("key")]
        assert keys == [(e["key"], state) for e in presses for state in (1, 0)]

    def test_keys_are_read_with_the_keymap_of_the_moment(self, sway, probe):
        # wtype numbers the characters of its text in order, in a keymap of its
        # own, so the same key code means another character each time.
        probe.clear()
        wtype(sway, "ab")
        first = probe.wait_for_count(is_press, 2)
        probe.clear()
        wtype(sway, "ba")
        second = probe.wait_for_count(is_press, 2)
        assert [e["utf8"] for e in first] == ["a", "b"]
        assert [e["utf8"] for e in second] == ["b", "a"]
        assert [e["key"] for e in first] == [e["key"] for e in second]
        assert probe.events("keymap") and all(e["loaded"] for e in probe.events("keymap"))

    def test_modifier_state_is_reported(self, sway, probe):
        probe.clear()
        wtype(sway, "-M", "shift", "-k", "a", "-m", "shift")
        held = probe.wait_for(lambda e: e["event"] == "modifiers" and e["depressed"] != 0)
        probe.wait_for(lambda e: e["event"] == "modifiers" and e["depressed"] == 0 and e["t"] > held["t"])


class TestOutputs:
    def test_added_outputs_come_up_beside_the_first(self, fresh_sway, fresh_probe):
        second = fresh_sway.add_output()
        third = fresh_sway.add_output()
        assert fresh_sway.output_names() == [FIRST_OUTPUT, second, third]
        assert len({FIRST_OUTPUT, second, third}) == 3

        outputs = {output["name"]: output for output in fresh_sway.outputs()}
        for name in (second, third):
            assert outputs[name]["active"]
            mode = outputs[name]["current_mode"]
            assert (mode["width"], mode["height"]) == (1920, 1080)
            assert grim(fresh_sway, "-o", name).shape == (1080, 1920, 3)
        assert outputs[second]["rect"]["x"] >= 1920 and outputs[third]["rect"]["x"] >= 1920

        # The probe stays where it was, whole.
        assert_probe_picture(grim(fresh_sway, "-o", FIRST_OUTPUT), fresh_probe.width, fresh_probe.height)


class TestLifeCycle:
    @pytest.mark.parametrize("ending", ["stdin", "sigterm"])
    def test_probe_ends_cleanly(self, sway, start_probe, ending):
        probe = start_probe(sway)
        if ending == "sigterm":
            probe.terminate()
        assert probe.stop() == 0, probe.stderr()

    def test_probe_without_compositor_fails_with_a_reason(self, probe_executable, tmp_path):
        env = {"XDG_RUNTIME_DIR": str(tmp_path), "WAYLAND_DISPLAY": str(tmp_path / "no-such-socket")}
        probe = Probe(env, probe_executable).start()
        try:
            with pytest.raises(ProbeError, match="cannot connect"):
                probe.wait_ready()
        finally:
            assert probe.stop() == 1

    def test_stop_leaves_no_process_socket_or_shm_file(self, probe_executable):
        shm_before = set(os.listdir("/dev/shm"))
        sway = HeadlessSway().start()
        try:
            with Probe(sway, probe_executable) as probe:
                probe.wait_ready()
                grim(sway)
                held_shm = _open_shm_files(sway.pid) | _open_shm_files(probe.pid)
            pid = sway.pid
            paths = [sway.socket_path, sway.ipc_socket_path, sway.runtime_dir]
            sway_uid = os.stat(sway.runtime_dir).st_uid
        finally:
            sway.stop()

        assert not process_alive(pid)
        assert not _session_members(pid)
        assert [path for path in paths if os.path.exists(path)] == []
        assert [path for path in held_shm if os.path.exists(path)] == []
        left = [
            name
            for name in set(os.listdir("/dev/shm")) - shm_before
            if _owner(Path("/dev/shm") / name) == sway_uid
        ]
        assert left == []


# Tests that the leak check of tests/conftest.py must fail, and tests it must
# let pass, run by a pytest of their own that loads that check.
LEAK_CHECK_CONFTEST = """
import importlib.util, sys
sys.path.insert(0, {support!r})
spec = importlib.util.spec_from_file_location("root_conftest", {conftest!r})
root = importlib.util.module_from_spec(spec)
spec.loader.exec_module(root)
no_leaks, pytest_runtest_makereport = root.no_leaks, root.pytest_runtest_makereport
"""

LEAK_CHECK_TESTS = """
import gc, os, pytest

KEPT = []
SHM_NAME = {shm_name!r}

def test_leaks_a_descriptor():
    KEPT.append(os.open("/dev/null", os.O_RDONLY))

def test_leaks_a_shared_memory_name():
    os.close(os.open("/dev/shm/" + SHM_NAME, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o600))

@pytest.mark.keeps_descriptors
def test_marked_may_keep_one():
    KEPT.append(os.open("/dev/null", os.O_RDONLY))

def test_a_failing_test_is_not_checked_as_well():
    KEPT.append(os.open("/dev/null", os.O_RDONLY))
    assert False

@pytest.fixture
def held():
    return open("/dev/null")  # closed when freed, as a session is

def test_a_fixture_value_freed_after_the_test(held):
    pass

def test_a_cycle_freed_by_the_collector():
    gc.disable()
    try:
        cycle = [open("/dev/null")]
        cycle.append(cycle)
    finally:
        gc.enable()
"""


class TestLeakCheck:
    def test_it_fails_exactly_the_tests_that_leave_something(self, tmp_path):
        shm_name = f"wl_shm-leak-check-{os.getpid()}"
        support = Path(__file__).resolve().parents[1] / "support"
        (tmp_path / "conftest.py").write_text(
            LEAK_CHECK_CONFTEST.format(support=str(support), conftest=str(support.parent / "conftest.py"))
        )
        (tmp_path / "test_inner.py").write_text(textwrap.dedent(LEAK_CHECK_TESTS.format(shm_name=shm_name)))
        try:
            run = subprocess.run(
                [sys.executable, "-m", "pytest", "-q", "-rfE", "-p", "no:cacheprovider", "-W", "ignore",
                 "--rootdir", str(tmp_path), "-c", os.devnull, str(tmp_path)],
                capture_output=True, text=True, timeout=60,
            )
        finally:
            if os.path.exists(f"/dev/shm/{shm_name}"):
                os.unlink(f"/dev/shm/{shm_name}")
        out = run.stdout
        assert "1 failed, 5 passed, 2 errors" in out, out
        errors = re.findall(r"^ERROR \S+::(\w+)", out, re.MULTILINE)
        assert sorted(errors) == ["test_leaks_a_descriptor", "test_leaks_a_shared_memory_name"], out
        assert f"/dev/shm/{shm_name}" in out and "-> /dev/null" in out, out


def _session_members(sid: int) -> list[int]:
    members = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                stat = Path(f"/proc/{entry}/stat").read_text()
            except OSError:
                continue
            if int(stat[stat.rfind(")") + 2 :].split()[3]) == sid:
                members.append(int(entry))
    return members


def _open_shm_files(pid: int) -> set[str]:
    files = set()
    for fd in Path(f"/proc/{pid}/fd").iterdir():
        try:
            target = os.readlink(fd)
        except OSError:
            continue
        if target.startswith("/dev/shm/") and not target.endswith(" (deleted)"):
            files.add(target)
    return files


def _owner(path: Path) -> int | None:
    try:
        return path.stat().st_uid
    except OSError:
        return None
