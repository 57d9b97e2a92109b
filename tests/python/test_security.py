"""What a session leaves open to others: the shared-memory file of a capture
is created exclusively, with mode 0600, and has no name by the time the
compositor could use it; no capture, failed or not, leaves a name in
/dev/shm or a descriptor behind; and every descriptor the module opens is
close-on-exec, so a program started during a session inherits none of them.

The looks inside a call come from a logging handler, which runs in the middle
of the construction and of a capture (at each event record); those tests run
in a fresh interpreter because the bridge fixes logger levels per process."""

import json

import pytest

from fake_compositor import FakeCompositor
from kestrin import Kestrin
from interpreter import run_python
from leak_check import descriptors, shm_names
from wire_support import close_on, output, protocol_error_on, scenario

WIDTH, HEIGHT = 64, 48


def small_scenario(**fields) -> dict:
    return scenario(outputs=[output("HEADLESS-1", WIDTH, HEIGHT)], **fields)


def run_json(code: str, *args: str) -> dict:
    result = run_python(code, *args, timeout=60)
    assert result.returncode == 0, f"status {result.returncode}\n{result.stderr}"
    assert "Traceback" not in result.stderr, result.stderr
    return json.loads(result.stdout)


# Helpers of the child interpreters: descriptors, /dev/shm (both from
# tests/support/leak_check.py), and the descriptors a started program finds
# open.
HELPERS = r"""
import fcntl, json, logging, os, stat, subprocess, sys
import kestrin
from leak_check import descriptors, shm_names

PROBE = "import os\nfds = []\nfor fd in range(1024):\n    try:\n        os.fstat(fd)\n    except OSError:\n        continue\n" \
    "    fds.append(fd)\nprint(fds)"

def inherited():
    # Both ways a program is started: fork and exec, and posix_spawn (which
    # closes nothing by itself).
    forked = subprocess.run([sys.executable, "-I", "-S", "-c", PROBE], close_fds=False,
                            capture_output=True, text=True, check=True).stdout
    reader, writer = os.pipe()
    pid = os.posix_spawn(sys.executable, [sys.executable, "-I", "-S", "-c", PROBE], os.environ,
                         file_actions=[(os.POSIX_SPAWN_DUP2, writer, 1)])
    os.close(writer)
    with os.fdopen(reader) as pipe:
        spawned = pipe.read()
    os.waitpid(pid, 0)
    return {"forked": json.loads(forked), "spawned": json.loads(spawned)}
"""

OBSERVE = HELPERS + r"""
baseline = descriptors()
shm_before = sorted(shm_names())
children_before = inherited()
# With no mask, the mode the module asks for is the mode the file gets.
os.umask(0)
observations = []

class Observe(logging.Handler):
    def emit(self, record):
        message = record.getMessage()
        fresh = {}
        for fd, target in descriptors().items():
            if fd in baseline:
                continue
            info = os.fstat(fd)
            fresh[fd] = {
                "target": target,
                "cloexec": bool(fcntl.fcntl(fd, fcntl.F_GETFD) & fcntl.FD_CLOEXEC),
                "mode": stat.S_IMODE(info.st_mode) if stat.S_ISREG(info.st_mode) else None,
                "links": info.st_nlink,
                "size": info.st_size,
            }
        seen = {"message": message, "fresh": fresh, "shm": sorted(shm_names())}
        if message.startswith("Keyboard event: Keymap") or message.startswith("Screencopy event: Ready"):
            seen["children"] = inherited()
        observations.append(seen)

logger = logging.getLogger("kestrin")
logger.setLevel(logging.INFO)
logger.addHandler(Observe())
k = kestrin.Kestrin(sys.argv[1])
between = inherited()
shape = list(k.screenshot().shape)
after = {fd: target for fd, target in descriptors().items() if fd not in baseline}
print(json.dumps({
    "observations": observations,
    "shm_before": shm_before,
    "shm_after": sorted(shm_names()),
    "children_before": children_before,
    "between": between,
    "after_capture": inherited(),
    "after": after,
    "shape": shape,
}))
"""


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    """What one session (construction, a capture) showed from inside."""
    with FakeCompositor(small_scenario(), tmp_path_factory.mktemp("observe")) as compositor:
        return run_json(OBSERVE, compositor.socket_path)


class TestDescriptorsDuringASession:
    def test_every_descriptor_is_close_on_exec(self, report):
        observations = report["observations"]
        assert observations
        targets = set()
        for seen in observations:
            for fd, info in seen["fresh"].items():
                assert info["cloexec"], f"descriptor {fd} ({info['target']}) at {seen['message']!r}"
                targets.add(info["target"])
        # The socket, the seat's keymap and the capture's file were all seen.
        assert any(target.startswith("socket:") for target in targets)
        assert any("keymap" in target for target in targets)
        assert any(target.startswith("/dev/shm/wl_shm-") for target in targets)

    def test_started_programs_inherit_nothing(self, report):
        before = report["children_before"]
        children = [seen["children"] for seen in report["observations"] if "children" in seen]
        # Inside the construction (keymap) and the capture (ready), between
        # calls and after the capture.
        assert len(children) == 2
        for inherited in children + [report["between"], report["after_capture"]]:
            assert inherited == before

    def test_capture_file_is_private_and_nameless(self, report):
        ready = [seen for seen in report["observations"] if seen["message"].startswith("Screencopy event: Ready")]
        assert len(ready) == 1
        files = [info for info in ready[0]["fresh"].values() if info["target"].startswith("/dev/shm/")]
        assert len(files) == 1
        (file,) = files
        assert file["target"].endswith(" (deleted)")
        assert file["links"] == 0
        assert file["mode"] == 0o600
        assert file["size"] == WIDTH * HEIGHT * 4
        # At no record of the session did /dev/shm hold a name of ours.
        for seen in report["observations"]:
            assert seen["shm"] == report["shm_before"], seen["message"]
        assert report["shm_after"] == report["shm_before"]

    def test_capture_closes_its_file(self, report):
        assert report["shape"] == [HEIGHT, WIDTH, 4]
        # Only the connection stays open.
        assert [target.split(":")[0] for target in report["after"].values()] == ["socket"]


# Takes the names the module tries, before it tries them: with exclusive
# creation it must leave those files alone and try further names.
TAKE_NAMES = HELPERS + r"""
taken, attempts = [], []
take = int(sys.argv[2])
marker = b"not yours"

class TakeName(logging.Handler):
    def emit(self, record):
        prefix = "Trying to create shm file: /"
        message = record.getMessage()
        if not message.startswith(prefix):
            return
        name = message[len(prefix):]
        attempts.append(name)
        if len(attempts) > take:
            return
        try:
            fd = os.open("/dev/shm/" + name, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o644)
        except OSError as error:
            # Beyond 255 bytes no file can have the name.
            assert error.errno == 36, error
            return
        os.write(fd, marker)
        os.close(fd)
        taken.append(name)

logger = logging.getLogger("kestrin.kestrin_lib.shm")
logger.setLevel(logging.INFO)
logger.addHandler(TakeName())
k = kestrin.Kestrin(sys.argv[1])
baseline = descriptors()
try:
    try:
        outcome = list(k.screenshot().shape)
    except RuntimeError as error:
        outcome = str(error)
    left = {}
    for name in taken:
        info = os.stat("/dev/shm/" + name)
        with open("/dev/shm/" + name, "rb") as file:
            left[name] = {"mode": stat.S_IMODE(info.st_mode), "content": file.read().decode()}
    leaked = sorted(set(descriptors()) - set(baseline))
    others = sorted(set(shm_names()) - set(taken))
    first_attempts = len(attempts)
    take = 0
    again = list(k.screenshot().shape)
finally:
    for name in taken:
        os.unlink("/dev/shm/" + name)
print(json.dumps({"outcome": outcome, "attempts": attempts[:first_attempts], "taken": taken, "left": left,
                  "leaked": leaked, "others": others, "again": again}))
"""


class TestExclusiveCreation:
    def check_names(self, attempts):
        assert attempts[0].startswith("wl_shm-") and len(attempts[0]) == len("wl_shm-") + 6
        for shorter, longer in zip(attempts, attempts[1:]):
            assert longer.startswith(shorter) and len(longer) == len(shorter) + 6

    def check_left_alone(self, report):
        for name in report["taken"]:
            assert report["left"][name] == {"mode": 0o644, "content": "not yours"}, name
        assert report["leaked"] == []
        assert report["others"] == []
        assert report["again"] == [HEIGHT, WIDTH, 4]

    def test_taken_names_are_skipped(self, fake):
        report = run_json(TAKE_NAMES, fake(small_scenario()).socket_path, "3")
        assert report["outcome"] == [HEIGHT, WIDTH, 4]
        assert len(report["attempts"]) == 4
        assert report["taken"] == report["attempts"][:3]
        self.check_names(report["attempts"])
        self.check_left_alone(report)

    def test_every_name_taken(self, fake):
        report = run_json(TAKE_NAMES, fake(small_scenario()).socket_path, "100")
        assert report["outcome"].startswith("Failed to create shm file")
        assert len(report["attempts"]) == 100
        # Every name short enough to be a file name was taken.
        assert len(report["taken"]) == 41
        self.check_names(report["attempts"])
        self.check_left_alone(report)


# Captures that fail at each stage, before and after the file exists; with
# `recovers` the compositor's next capture succeeds on the same connection.
FAILED = "the compositor failed the capture"
GONE = "the connection to the compositor failed"
FAILING_CAPTURES = {
    "failed after the copy": ({"screencopy": [{"outcome": "failed"}, {}]}, FAILED, True),
    "failed at once": ({"screencopy": [{"outcome": "failed_at_capture"}, {}]}, FAILED, True),
    "unusable stride": ({"screencopy": [{"buffers": [{"stride": 4}]}, {}]}, "the compositor announced a stride", True),
    "closed at create_pool": ({"triggers": [close_on("wl_shm.create_pool")]}, GONE, False),
    "closed at copy": ({"triggers": [close_on("zwlr_screencopy_frame_v1.copy")]}, GONE, False),
    "protocol error at create_buffer": (
        {"triggers": [protocol_error_on("wl_shm_pool.create_buffer", "no buffers today")]},
        "the compositor reported a protocol error",
        False,
    ),
    "protocol error at copy": (
        {"triggers": [protocol_error_on("zwlr_screencopy_frame_v1.copy", "invalid buffer format")]},
        "the compositor reported a protocol error",
        False,
    ),
    "format it cannot read": (
        {"screencopy": [{"buffers": [{"format": 0x3231564E}]}, {}]},
        "the compositor offers the capture only in pixel format Nv12",
        True,
    ),
}


@pytest.mark.parametrize("case", list(FAILING_CAPTURES))
def test_failed_capture_leaves_nothing(fake, case):
    fields, message, recovers = FAILING_CAPTURES[case]
    k = Kestrin(fake(small_scenario(**fields)).socket_path)
    before_descriptors, before_names = descriptors(), shm_names()
    with pytest.raises(RuntimeError) as caught:
        k.screenshot()
    assert str(caught.value).startswith(message)
    assert descriptors() == before_descriptors
    assert shm_names() == before_names
    if recovers:
        assert k.screenshot().shape == (HEIGHT, WIDTH, 4)
    else:
        with pytest.raises(RuntimeError):
            k.screenshot()
    assert descriptors() == before_descriptors
    assert shm_names() == before_names
