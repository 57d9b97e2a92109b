"""The protocol every call follows: binding errors, exclusive use, how core
errors and internal faults reach Python, and that failing calls leak
nothing."""

import gc
import json
import os
import subprocess
import sys

import pytest

import kestrin
from kestrin import Kestrin
from interpreter import run_python
from leak_check import descriptors
from wire_support import BUTTON, MOTION, SYNC, Watch

NO_SEAT = {
    "globals": [
        {"interface": "wl_shm", "version": 1},
        {"interface": "wl_output", "version": 4, "name": "HEADLESS-1"},
        {"interface": "zwp_virtual_keyboard_manager_v1", "version": 1},
        {"interface": "zwlr_virtual_pointer_manager_v1", "version": 2},
        {"interface": "zwlr_screencopy_manager_v1", "version": 3},
    ]
}


def type_error(call):
    with pytest.raises(TypeError) as caught:
        call()
    return str(caught.value)


class TestBindingOfMethods:
    def test_surplus_positional_arguments(self, k):
        assert type_error(lambda: k.left_click(1, 2, 3)) == (
            "Kestrin.left_click() takes from 1 to 2 positional arguments but 3 were given"
        )
        assert type_error(lambda: k.move_mouse(1, 2, 3, 4, 5, 6, 7)) == (
            "Kestrin.move_mouse() takes from 4 to 6 positional arguments but 7 were given"
        )
        assert type_error(lambda: k.screenshot("a", "b")) == (
            "Kestrin.screenshot() takes from 0 to 1 positional arguments but 2 were given"
        )
        assert type_error(lambda: k.key_press(1, 2, 3, 4)) == (
            "Kestrin.key_press() takes from 2 to 3 positional arguments but 4 were given"
        )

    def test_unexpected_keyword(self, k):
        assert type_error(lambda: k.left_click(duration=5)) == (
            "Kestrin.left_click() got an unexpected keyword argument 'duration'"
        )
        assert type_error(lambda: k.right_click(5, **{"dürätion": 5})) == (
            "Kestrin.right_click() got an unexpected keyword argument 'dürätion'"
        )

    def test_multiple_values(self, k):
        assert type_error(lambda: k.left_click(5, duration_ms=5)) == (
            "Kestrin.left_click() got multiple values for argument 'duration_ms'"
        )
        assert type_error(lambda: k.screenshot(None, screen_name=None)) == (
            "Kestrin.screenshot() got multiple values for argument 'screen_name'"
        )

    def test_missing_required_lists(self, k):
        assert type_error(lambda: k.left_click()) == (
            "Kestrin.left_click() missing 1 required positional argument: 'duration_ms'"
        )
        assert type_error(lambda: k.move_mouse(1, 2)) == (
            "Kestrin.move_mouse() missing 2 required positional arguments: 'x' and 'y'"
        )
        assert type_error(lambda: k.move_mouse(1, 2, 3)) == (
            "Kestrin.move_mouse() missing 1 required positional argument: 'y'"
        )
        assert type_error(lambda: k.move_mouse()) == (
            "Kestrin.move_mouse() missing 4 required positional arguments: 'x_extent', 'y_extent', 'x', and 'y'"
        )
        assert type_error(lambda: k.move_mouse(1, y=2, x_max=3)) == (
            "Kestrin.move_mouse() missing 2 required positional arguments: 'y_extent' and 'x'"
        )
        assert type_error(lambda: k.key_press(duration_ms_max=1)) == (
            "Kestrin.key_press() missing 2 required positional arguments: 'key' and 'duration_ms'"
        )

    def test_binding_order(self, k):
        # Surplus positionals first, then keywords in the order given, then
        # what is missing; nothing is converted before binding succeeded.
        assert "positional arguments but 3 were given" in type_error(lambda: k.left_click("a", 2, 3, bogus=1))
        assert "unexpected keyword argument 'bogus'" in type_error(lambda: k.move_mouse(bogus=1))
        assert "unexpected keyword argument 'first'" in type_error(
            lambda: k.left_click(1, first=1, duration_ms=2)
        )
        assert "multiple values for argument 'duration_ms'" in type_error(
            lambda: k.left_click(1, duration_ms=2, later=3)
        )
        assert "unexpected keyword argument 'a'" in type_error(lambda: k.key_press(a="x"))
        assert "missing 1 required" in type_error(lambda: k.key_press("not a number"))

    def test_every_parameter_can_be_given_by_keyword(self, k):
        assert k.move_mouse(y_max=None, x_max=None, y=2, x=1, y_extent=100, x_extent=100) is None
        assert k.left_click(duration_ms=0, duration_ms_max=None) is None
        assert k.right_click(duration_ms_max=0, duration_ms=0) is None
        assert k.key_press(duration_ms=0, key=30) is None


class TestBindingOfConstructor:
    def test_messages(self):
        assert type_error(lambda: Kestrin(1, 2)) == (
            "Kestrin.__new__() takes from 0 to 1 positional arguments but 2 were given"
        )
        assert type_error(lambda: Kestrin(display="x")) == (
            "Kestrin.__new__() got an unexpected keyword argument 'display'"
        )
        assert type_error(lambda: Kestrin(None, wayland_display=None)) == (
            "Kestrin.__new__() got multiple values for argument 'wayland_display'"
        )
        assert type_error(lambda: Kestrin.__new__(Kestrin, 1, 2, 3)) == (
            "Kestrin.__new__() takes from 0 to 1 positional arguments but 3 were given"
        )

    def test_wrong_type_fails_before_any_connection(self, fake, monkeypatch):
        compositor = fake()
        # Were the argument ignored, the environment would lead to the fake.
        monkeypatch.setenv("WAYLAND_DISPLAY", compositor.socket_path)
        assert type_error(lambda: Kestrin(wayland_display=5)) == (
            "argument 'wayland_display': 'int' object cannot be converted to 'PyString'"
        )
        assert type_error(lambda: Kestrin(b"wayland-0")) == (
            "argument 'wayland_display': 'bytes' object cannot be converted to 'PyString'"
        )
        assert compositor.records() == []

    def test_none_is_like_no_argument(self, fake, monkeypatch):
        compositor = fake()
        monkeypatch.setenv("WAYLAND_DISPLAY", compositor.socket_path)
        Kestrin(None)
        Kestrin()
        Kestrin(wayland_display=None)
        names = compositor.names()
        assert names.count("wl_display.get_registry") == 3


class TestErrorReports:
    def test_one_cause(self, monkeypatch):
        monkeypatch.delenv("XDG_RUNTIME_DIR", raising=False)
        with pytest.raises(RuntimeError) as caught:
            Kestrin("wayland-x")
        assert str(caught.value) == "no XDG_RUNTIME_DIR set\n\nCaused by:\n    environment variable not found"
        assert type(caught.value) is RuntimeError

    def test_no_cause(self, k):
        with pytest.raises(RuntimeError) as caught:
            k.screenshot("no-such-output")
        assert str(caught.value) == "no WLOutput with name no-such-output"

    def test_connect_failure_names_the_path(self, tmp_path):
        path = str(tmp_path / "no-compositor-here")
        with pytest.raises(RuntimeError) as caught:
            Kestrin(path)
        assert str(caught.value).startswith(f'failed to connect to unix stream "{path}"\n\nCaused by:\n    ')


class TestFailedCalls:
    def test_core_error_leaves_the_object_usable(self, k):
        for _ in range(3):
            with pytest.raises(RuntimeError):
                k.screenshot("no-such-output")
            assert k.left_click(0) is None

    def test_argument_errors_leave_the_object_usable(self, k):
        with pytest.raises(TypeError):
            k.left_click("x")
        with pytest.raises(OverflowError):
            k.move_mouse(1, 2, 3, 4, y_max=-1)
        with pytest.raises(TypeError):
            k.left_click(1, 2, 3)
        assert k.left_click(0) is None

    def test_compositor_gone(self, fake):
        compositor = fake({"triggers": [{"on": "zwlr_virtual_pointer_v1.button", "nth": 1, "actions": [{"do": "close"}]}]})
        k = Kestrin(compositor.socket_path)
        with pytest.raises(RuntimeError):
            k.left_click(0)
        # Still accepted (no "Already borrowed"); the lookup fails on its own.
        with pytest.raises(RuntimeError) as caught:
            k.screenshot("no-such-output")
        assert str(caught.value) == "no WLOutput with name no-such-output"


class TestInternalFault:
    def test_compositor_without_seat(self, fake, capfd):
        path = fake(NO_SEAT).socket_path
        with pytest.raises(BaseException) as caught:
            Kestrin(path)
        fault = caught.value
        assert not isinstance(fault, Exception)
        assert type(fault).__name__ == "InternalFault"
        assert type(fault).__bases__ == (BaseException,)
        assert type(fault).__doc__ and "BaseException" in type(fault).__doc__
        assert not hasattr(kestrin, "InternalFault")
        assert len(fault.args) == 1 and fault.args[0] == str(fault)
        assert str(fault).startswith("an expected value was absent")
        err = capfd.readouterr().err
        assert "internal fault at src/kestrin_lib/" in err
        assert str(fault) in err

    def test_is_not_caught_by_except_exception(self, fake):
        path = fake(NO_SEAT).socket_path

        def swallow():
            try:
                Kestrin(path)
            except Exception:
                return "caught"

        with pytest.raises(BaseException) as caught:
            swallow()
        assert type(caught.value).__name__ == "InternalFault"

    def test_one_type_per_process(self, fake):
        path = fake(NO_SEAT).socket_path
        types = set()
        for _ in range(2):
            try:
                Kestrin(path)
            except BaseException as fault:
                types.add(type(fault))
        assert len(types) == 1


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# A leak of one small object per call shows as growth well above this over
# 10,000 calls; allocator noise after a warm-up run stays far below it.
RESIDENT_TOLERANCE = 1 << 20


class BadIndex:
    def __index__(self):
        raise TypeError("no index") from ValueError("root")


@pytest.mark.stress
class TestNoLeaks:
    def repeat_failing(self, calls, count=10_000):
        for _ in range(count):
            for call, exception in calls:
                try:
                    call()
                except exception:
                    pass

    def test_failing_calls(self, k, monkeypatch):
        monkeypatch.delenv("XDG_RUNTIME_DIR", raising=False)
        # Built at run time: literals would be immortal and hide a leak.
        text, name = "".join(["fi", "ve"]), "-".join(["no", "such", "output"])
        number, float_value, bad = 2**40, float("5.5"), BadIndex()
        big = 2**70
        calls = [
            (lambda: k.left_click(text), TypeError),
            (lambda: k.left_click(float_value), TypeError),
            (lambda: k.left_click(bad), TypeError),
            (lambda: k.move_mouse(1, 2, 3, 4, y_max=number), OverflowError),
            (lambda: k.move_mouse(1, 2, 3, 4, x_max=big), OverflowError),
            (lambda: k.key_press(number, text, bogus=text), TypeError),
            (lambda: k.screenshot(name), RuntimeError),
            (lambda: k.screenshot(number), TypeError),
            (lambda: Kestrin(number), TypeError),
            (lambda: Kestrin(name), RuntimeError),
        ]
        watched = [text, number, float_value, bad, name, big, k]
        self.repeat_failing(calls, 1_000)
        gc.collect()
        counts = [sys.getrefcount(o) for o in watched]
        before = resident_bytes()
        self.repeat_failing(calls)
        gc.collect()
        assert [sys.getrefcount(o) for o in watched] == counts
        assert resident_bytes() - before < RESIDENT_TOLERANCE

    def test_internal_faults(self, fake):
        path = fake(NO_SEAT).socket_path

        def fault():
            try:
                Kestrin(path)
            except BaseException as caught:
                if isinstance(caught, Exception):
                    raise

        for _ in range(50):
            fault()
        gc.collect()
        before_descriptors, count, before = descriptors(), sys.getrefcount(path), resident_bytes()
        for _ in range(500):
            fault()
        gc.collect()
        assert descriptors() == before_descriptors
        assert sys.getrefcount(path) == count
        assert resident_bytes() - before < RESIDENT_TOLERANCE

    def test_freed_objects_release_their_connection(self, fake):
        path = fake().socket_path
        Kestrin(path)
        gc.collect()
        before = descriptors()
        for _ in range(100):
            Kestrin(path)
        gc.collect()
        assert descriptors() == before


REENTER = """
import json, logging, sys
import kestrin

outcomes = []
target = other = None

class Reenter(logging.Handler):
    busy = False

    def emit(self, record):
        if target is None or self.busy:
            return
        self.busy = True
        try:
            calls = [
                lambda: target.left_click(1),
                lambda: target.left_click("not a number"),
                lambda: target.screenshot(5),
                lambda: other.screenshot("no-such-output"),
            ]
            for call in calls:
                try:
                    call()
                    outcomes.append("returned")
                except Exception as error:
                    outcomes.append(f"{type(error).__name__}: {error}")
        finally:
            self.busy = False

logger = logging.getLogger("kestrin")
logger.setLevel(logging.INFO)
logger.addHandler(Reenter())
k = kestrin.Kestrin(sys.argv[1])
other = kestrin.Kestrin(sys.argv[2])
target = k
array = k.screenshot()
target = None
after = k.left_click(0)
print(json.dumps({"outcomes": outcomes, "shape": list(array.shape), "after": after}))
"""


class TestExclusiveUse:
    def test_reentering_from_a_logging_handler(self, fake):
        result = run_python(REENTER, fake().socket_path, fake().socket_path)
        assert result.returncode == 0, result.stderr
        report = json.loads(result.stdout)
        outcomes = report["outcomes"]
        assert outcomes, "no record reached the handler during the call"
        assert len(outcomes) % 4 == 0
        for i in range(0, len(outcomes), 4):
            # Taken before conversion: bad arguments make no difference.
            assert outcomes[i : i + 3] == ["RuntimeError: Already borrowed"] * 3
            # Another object is free.
            assert outcomes[i + 3] == "RuntimeError: no WLOutput with name no-such-output"
        assert len(report["shape"]) == 3 and report["shape"][2] == 4
        assert report["after"] is None


# A forked child shares the parent's connection. Its calls are refused
# before anything is sent, and dropping the objects there sends nothing (no
# release of the held button, no buffers given back), so the parent's
# session goes on as if the child had never been. The parent pauses twice
# for the test to read the compositor's records.
FORK = """
import gc, json, os, sys
import kestrin

def pause(report):
    print(json.dumps(report), flush=True)
    sys.stdin.readline()

k = kestrin.Kestrin(sys.argv[1])
k.button_down("left")
capture = k.capture()
capture.grab()
# A roundtrip: what the grab left on its way is in before the child starts.
k.move_to(1, 1)
pause({"parent": os.getpid()})
read_end, write_end = os.pipe()
child = os.fork()
if child == 0:
    outcomes = []
    calls = (lambda: k.left_click(0), lambda: k.move_to(1, 1), lambda: k.drag(1, 1, 2, 2), lambda: k.capture(),
             lambda: capture.grab(), lambda: capture.close(), lambda: k.button_up("left"))
    for call in calls:
        try:
            call()
            outcomes.append("done")
        except BaseException as error:
            outcomes.append(f"{type(error).__name__}: {error}")
    del capture, k
    gc.collect()
    os.write(write_end, json.dumps(outcomes).encode())
    os._exit(0)
os.close(write_end)
_, status = os.waitpid(child, 0)
with os.fdopen(read_end) as pipe:
    outcomes = json.load(pipe)
# Behind anything the child sent, on the same stream.
k.move_to(2, 2)
pause({"status": status, "outcomes": outcomes})
frame = capture.grab()
k.button_up("left")
pause({"frame": list(frame.shape)})
"""


def test_a_forked_child_neither_calls_nor_tears_down(fake):
    compositor = fake()
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    parent = subprocess.Popen([sys.executable, "-c", FORK, compositor.socket_path], env=environment,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def paused() -> dict:
        line = parent.stdout.readline()
        assert line, parent.stderr.read()
        return json.loads(line)

    def resume() -> None:
        parent.stdin.write("\n")
        parent.stdin.flush()

    try:
        parent_pid = paused()["parent"]
        watch = Watch(compositor)
        resume()
        report = paused()
        during_the_child = watch.names()
        resume()
        assert paused() == {"frame": [1080, 1920, 4]}
        resume()
        assert parent.wait(timeout=60) == 0, parent.stderr.read()
    finally:
        parent.kill()
        parent.wait()
    refused = f"RuntimeError: made in process {parent_pid}; make a new Kestrin after fork"
    assert report == {"status": 0, "outcomes": [refused] * 7}
    # Only the parent's own move: the child sent nothing, not even as its
    # objects went.
    assert during_the_child == [MOTION, SYNC]
    # The parent's session went on: its capture and its held button.
    assert watch.args(BUTTON) == [[0, 272, 0]]
