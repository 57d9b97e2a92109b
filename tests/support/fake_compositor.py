"""The fake compositor from Python: starts the fake-compositor executable
with a scenario, reads what it recorded, and stops it.

    with FakeCompositor({"globals": [...]}, tmp_path) as compositor:
        Kestrin(compositor.socket_path)
        assert "wl_display.get_registry" in compositor.names()

Records are the JSON objects described in
tests/support/fake_compositor/README.md. A request is recorded before the
compositor answers it, so every request whose answer a client has seen is in
records() already; for requests nothing answers, use wait_for().

Also here: the compositor's test pattern (pattern) and content hash
(fnv1a64_hex), mirroring fake_compositor/pattern.hpp.
"""

from __future__ import annotations

import itertools
import json
import os
import pathlib
import runpy
import selectors
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable

_ROOT_CONFTEST = pathlib.Path(__file__).resolve().parent.parent / "conftest.py"
_STARTUP_TIMEOUT = 10.0
_STOP_TIMEOUT = 10.0
# sockaddr_un holds 108 bytes including the terminating NUL.
_MAX_SOCKET_PATH = 107
_numbers = itertools.count(1)


def default_executable() -> pathlib.Path:
    """fake-compositor in conftest.BIN_DIR (the conftest.py of tests/)."""
    # Under pytest every conftest.py is a module named "conftest", so the
    # root one is found by its file.
    for module in list(sys.modules.values()):
        file = getattr(module, "__file__", None)
        if file is not None and pathlib.Path(file).resolve() == _ROOT_CONFTEST:
            return pathlib.Path(module.BIN_DIR) / "fake-compositor"
    return pathlib.Path(runpy.run_path(str(_ROOT_CONFTEST))["BIN_DIR"]) / "fake-compositor"


class FakeCompositorError(RuntimeError):
    pass


class FakeCompositor:
    """A running fake-compositor process, listening at `socket_path` (a str,
    usable as WAYLAND_DISPLAY). Its scenario, record file and error output
    are kept in `workdir`."""

    def __init__(self, scenario: dict | None, workdir: os.PathLike | str, executable: os.PathLike | str | None = None):
        self.workdir = pathlib.Path(workdir)
        self.workdir.mkdir(parents=True, exist_ok=True)
        number = next(_numbers)
        stem = f"fake-compositor-{os.getpid()}-{number}"
        self.scenario_path = self.workdir / f"{stem}.scenario.json"
        self.record_path = self.workdir / f"{stem}.records.jsonl"
        self.stderr_path = self.workdir / f"{stem}.stderr"
        self.scenario_path.write_text(json.dumps(scenario if scenario is not None else {}))
        self.record_path.touch()

        self._socket_dir: str | None = None
        socket_path = str(self.workdir.resolve() / f"{stem}.socket")
        if len(socket_path.encode()) > _MAX_SOCKET_PATH:
            self._socket_dir = tempfile.mkdtemp(prefix="kfc-")
            socket_path = os.path.join(self._socket_dir, "wayland-0")
        self.socket_path: str = socket_path

        executable = pathlib.Path(executable) if executable is not None else default_executable()
        if not executable.is_file():
            self._remove_socket_dir()
            raise FakeCompositorError(f"{executable} does not exist; build the test programs first")
        with open(self.stderr_path, "wb") as stderr:
            self._process: subprocess.Popen | None = subprocess.Popen(
                [
                    str(executable),
                    "--socket",
                    self.socket_path,
                    "--scenario",
                    str(self.scenario_path),
                    "--record",
                    str(self.record_path),
                ],
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=stderr,
            )
        try:
            self._wait_until_ready()
        except BaseException:
            self._end_process()
            self._remove_socket_dir()
            raise
        self.returncode: int | None = None

    def _wait_until_ready(self) -> None:
        deadline = time.monotonic() + _STARTUP_TIMEOUT
        output = b""
        with selectors.DefaultSelector() as selector:
            selector.register(self._process.stdout, selectors.EVENT_READ)
            while b"\n" not in output:
                left = deadline - time.monotonic()
                if left <= 0 or not selector.select(left):
                    raise FakeCompositorError(f"fake-compositor did not get ready:\n{self.stderr()}")
                chunk = os.read(self._process.stdout.fileno(), 4096)
                if not chunk:
                    self._process.wait()
                    raise FakeCompositorError(
                        f"fake-compositor exited with status {self._process.returncode}:\n{self.stderr()}"
                    )
                output += chunk
        if output.split(b"\n", 1)[0] != b"ready":
            raise FakeCompositorError(f"fake-compositor said {output!r} instead of ready:\n{self.stderr()}")

    @property
    def pid(self) -> int:
        """The compositor's process, e.g. to stop it with SIGSTOP so that it
        answers nothing until SIGCONT."""
        assert self._process is not None, "the compositor has been stopped"
        return self._process.pid

    def stderr(self) -> str:
        """What the compositor wrote to its error output so far."""
        try:
            return self.stderr_path.read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def records(self) -> list[dict[str, Any]]:
        """Everything recorded so far, in order."""
        with open(self.record_path, "rb") as file:
            data = file.read()
        # A line is complete once its newline is written.
        complete = data[: data.rfind(b"\n") + 1]
        return [json.loads(line) for line in complete.splitlines() if line]

    def requests(self) -> list[dict[str, Any]]:
        """The request records alone."""
        return [record for record in self.records() if "request" in record]

    def names(self) -> list[str]:
        """"interface.request" of every request record, in order."""
        return [f"{record['interface']}.{record['request']}" for record in self.requests()]

    def wait_for(self, predicate: Callable[[list[dict[str, Any]]], Any], timeout: float = 5) -> list[dict[str, Any]]:
        """Polls the records until predicate(records) is true and returns
        them; raises TimeoutError after `timeout` seconds (a guard against a
        hang, not a measure of speed)."""
        deadline = time.monotonic() + timeout
        while True:
            records = self.records()
            if predicate(records):
                return records
            if time.monotonic() >= deadline:
                raise TimeoutError(f"records never satisfied the predicate; they are:\n{json.dumps(records, indent=1)}")
            time.sleep(0.01)

    def stop(self) -> int:
        """Stops the compositor (SIGTERM) and returns its exit status. Raises
        FakeCompositorError if it did not exit cleanly or left its socket
        behind. Calling it again does nothing."""
        if self._process is None:
            return self.returncode
        try:
            self.returncode = self._end_process()
        finally:
            self._remove_socket_dir()
        if self.returncode != 0:
            raise FakeCompositorError(f"fake-compositor exited with status {self.returncode}:\n{self.stderr()}")
        if os.path.exists(self.socket_path):
            raise FakeCompositorError(f"fake-compositor left its socket {self.socket_path} behind")
        return self.returncode

    def _end_process(self) -> int:
        process, self._process = self._process, None
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=_STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        process.stdout.close()
        return process.returncode

    def _remove_socket_dir(self) -> None:
        if self._socket_dir is not None:
            shutil.rmtree(self._socket_dir, ignore_errors=True)
            self._socket_dir = None

    def __enter__(self) -> FakeCompositor:
        return self

    def __exit__(self, *exc_info) -> None:
        self.stop()


def fnv1a64_hex(data: bytes) -> str:
    """FNV-1a 64 of `data` as 16 lowercase hexadecimal digits: the "hash" of
    a descriptor argument in the records."""
    value = 0xCBF29CE484222325
    for byte in data:
        value = ((value ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return f"{value:016x}"


_TEN_BIT_FORMATS = {0x30335258, 0x30335241, 0x30334258, 0x30334241}  # x/a rgb, x/a bgr 2101010


def pattern(width: int, height: int, format: int = 1):
    """The picture a screenshot of the fake compositor shows: a uint8 array
    of shape (height, width, 4) holding, for column x of row y, the bytes
    B = x % 256, G = y % 256, R = (1 + x // 256 + 16 * (y // 256)) % 256,
    X = (7 * x + 13 * y) % 256. When the compositor wrote it in a 2:10:10:10
    `format`, the fourth byte keeps only its top two bits, spread over
    0, 0x55, 0xAA, 0xFF."""
    import numpy

    x = numpy.arange(width, dtype=numpy.int64)[numpy.newaxis, :]
    y = numpy.arange(height, dtype=numpy.int64)[:, numpy.newaxis]
    picture = numpy.empty((height, width, 4), dtype=numpy.uint8)
    picture[..., 0] = x % 256
    picture[..., 1] = y % 256
    picture[..., 2] = (1 + x // 256 + 16 * (y // 256)) % 256
    picture[..., 3] = (7 * x + 13 * y) % 256
    if format in _TEN_BIT_FORMATS:
        picture[..., 3] = (picture[..., 3] >> 6) * 0x55
    return picture
