"""``HeadlessDesktop``: a private headless sway with a keyboard on its seat,
for tests of applications that run on Wayland."""

from __future__ import annotations

import json
import os
import select
import shutil
import socket
import struct
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterable, Mapping, Self, Sequence, Union

from ._compositor import CompositorError, HeadlessSway, child_ended, end_child, launch, open_log, read_log
from ._compositor import _wait_unreaped as wait_unreaped

if TYPE_CHECKING:
    import kestrin

    from ._recorder import Recorder

# Beside the extension module, which is the package's __init__.
BIN_DIR = Path(__file__).parent.parent / "_bin"
SEAT_KEYBOARD = "kestrin-seat-keyboard"
RECORDER = "kestrin-probe"


# The desktop, one of its programs, or a command to it failed; the message
# carries the logs there are. One class with the compositors' own.
DesktopError = CompositorError


class SwayMissing(DesktopError):
    """sway (or swaymsg) is not installed."""


MISSING_SWAY = ("kestrin.testing needs sway, which is not installed: install the Debian package sway "
                "(apt-get install sway; it brings swaymsg)")


def program(name: str) -> Path:
    """The path of one of the programs installed with the module
    (kestrin-seat-keyboard, kestrin-probe)."""
    path = BIN_DIR / name
    if not path.is_file():
        raise DesktopError(f"{path} is missing: this kestrin was installed without its programs")
    return path


def run_seat_keyboard() -> int:
    """The ``kestrin-seat-keyboard`` command that pip puts on the
    environment's PATH: runs the program of that name from ``_bin``."""
    import sys

    try:
        path = program(SEAT_KEYBOARD)
    except DesktopError as error:
        print(f"{SEAT_KEYBOARD}: {error}", file=sys.stderr)
        return 1
    # Replaced by the program itself: its signals, stdin and exit status are
    # the caller's, with no Python left in between.
    os.execv(path, [SEAT_KEYBOARD, *sys.argv[1:]])


@dataclass(frozen=True)
class OutputSpec:
    """One output of a desktop: its mode in pixels, its scale, and its place
    in the layout (None: to the right of the outputs before it)."""

    width: int
    height: int
    scale: float = 1.0
    position: tuple[int, int] | None = None
    refresh: int = 60


OutputLike = Union[OutputSpec, Sequence[Any]]


def _output_spec(value: OutputLike) -> OutputSpec:
    if isinstance(value, OutputSpec):
        return value
    if isinstance(value, Mapping):
        return OutputSpec(**value)
    values = tuple(value)
    if not 2 <= len(values) <= 3:
        raise ValueError(f"an output is (width, height) or (width, height, scale), not {value!r}")
    return OutputSpec(*values)


class App:
    """A program started with ``HeadlessDesktop.spawn``; its stdout and
    stderr go to one log, read with ``output()``."""

    def __init__(self, argv: list[str], process: subprocess.Popen[bytes], log_path: Path) -> None:
        self.argv = argv
        self.process = process
        self._log_path = log_path
        self._final_output: str | None = None

    @property
    def pid(self) -> int:
        return self.process.pid

    @property
    def running(self) -> bool:
        # Not reaped here: stop() still finds what it started by its id.
        return not child_ended(self.process)

    def output(self) -> str:
        """What the program has written to stdout and stderr so far."""
        if self._final_output is not None:
            return self._final_output
        return read_log(self._log_path)

    def stop(self, timeout: float = 3.0) -> int | None:
        """Ends the program and whatever it started; returns its exit status."""
        status = end_child(self.process, grace=timeout)
        if self._final_output is None:
            self._final_output = self.output()
        return status


_IPC_MAGIC = b"i3-ipc"
_IPC_GET_TREE = 4
_IPC_GET_OUTPUTS = 3


class HeadlessDesktop(HeadlessSway):
    """A private headless Wayland desktop: sway with the headless backend and
    the pixman renderer, outputs of the sizes asked for, and a keyboard on its
    seat so that ``kestrin.Kestrin()`` works there.

    ``outputs``: the outputs HEADLESS-1, HEADLESS-2, ..., each
    ``(width, height)``, ``(width, height, scale)`` or an ``OutputSpec``;
    side by side unless given positions. ``layout``, ``variant`` and
    ``options``: the XKB keymap of the seat's keyboard (default "us").
    ``config``: further lines for sway's configuration. ``env``: variables
    for the programs started with ``spawn`` and ``recorder``.

    sway refuses to run as root. As root, it runs as ``user`` (an existing
    unprivileged user), with ``create_user=True`` as the system user
    kestrin-sway (made if it does not exist), and with neither as a uid of
    its own that has no account (see ``kestrin.testing._compositor``):
    nothing is added to the system unasked. That identity owns only the
    runtime directory (XDG_RUNTIME_DIR, mode 0700); the configuration and the
    logs are in a directory only this process's user may change.

    ``start()`` returns once the Wayland socket accepts connections, every
    output is named and has its mode, and the seat has a keyboard. ``stop()``
    ends every process the desktop started, by process id, and removes its
    directories; it runs also when the ``with`` block ends with an exception
    or Ctrl-C, and for a desktop never stopped when it is collected or at
    exit. If this process is killed, every program of the desktop gets
    SIGKILL and its directories are removed all the same.
    """

    def __init__(
        self,
        outputs: Iterable[OutputLike] = ((1920, 1080),),
        *,
        layout: str = "us",
        variant: str = "",
        options: str = "",
        config: Iterable[str] = (),
        env: Mapping[str, str] | None = None,
        user: str | None = None,
        create_user: bool = False,
        start_timeout: float = 10.0,
        debug: bool = False,
    ) -> None:
        self.output_specs = [_output_spec(o) for o in outputs]
        if not self.output_specs:
            raise ValueError("a desktop needs at least one output")
        first = self.output_specs[0]
        super().__init__(first.width, first.height, first.refresh, outputs=len(self.output_specs), user=user,
                         create_user=create_user, debug=debug, start_timeout=start_timeout)
        self.layout, self.variant, self.options = layout, variant, options
        self.extra_config = list(config)
        self.app_env = dict(env or {})
        self._holder: subprocess.Popen[bytes] | None = None
        self._holders = 0
        self._apps: list[App] = []
        self._recorders: list[Recorder] = []

    # --- life cycle -------------------------------------------------------

    def start(self) -> Self:
        if self._process is not None:
            return self
        if shutil.which("sway") is None or shutil.which("swaymsg") is None:
            raise SwayMissing(MISSING_SWAY)
        holder = program(SEAT_KEYBOARD)
        super().start()
        try:
            self._start_holder(holder)
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self) -> None:
        """Ends the recorders, the programs started with ``spawn``, the
        keyboard holder and sway, and removes the runtime directory."""
        try:
            self._stop_since(0, 0, settle=False)
            holder, self._holder = self._holder, None
            if holder is not None:
                _stop_holder(holder)
        finally:
            super().stop()

    # --- what it offers ---------------------------------------------------

    @property
    def socket(self) -> str:
        """The absolute path of the Wayland socket (WAYLAND_DISPLAY)."""
        if self.socket_path is None:
            raise DesktopError("the desktop is not running")
        return self.socket_path

    def env(self, base: Mapping[str, str] | None = None) -> dict[str, str]:
        """The environment to run programs in this desktop: ``base`` (default
        this process's environment) with the desktop's ``env`` option,
        WAYLAND_DISPLAY, XDG_RUNTIME_DIR and SWAYSOCK set, and DISPLAY and
        WAYLAND_SOCKET removed."""
        env = dict(os.environ if base is None else base)
        env.update(self.app_env)
        return super().env(env)

    def connect(self) -> "kestrin.Kestrin":
        """A ``kestrin.Kestrin`` session on this desktop. Makes the holder's
        keyboard the seat's active one first: wlroots forgets the active
        keyboard when the keyboard of an earlier session goes away."""
        import kestrin

        self.activate_keyboard()
        session = kestrin.Kestrin(self.socket)
        # The seat has a pointer while some session's virtual pointer is
        # there; sway sends pointer input only to a client that holds a
        # wl_pointer by then, so the recorders take theirs (or still hold the
        # one an earlier session brought) before the session is used.
        for recorder in self._recorders:
            if recorder.returncode is None:
                recorder.wait_holding(pointer=True, keyboard=True)
        return session

    def set_keymap(self, layout: str = "us", variant: str = "", options: str = "") -> None:
        """Gives the seat's keyboard another XKB keymap; sessions made by
        ``connect()`` from then on type with it."""
        if self._holder is None:
            raise DesktopError("the desktop is not running")
        if (layout, variant, options) == (self.layout, self.variant, self.options):
            return
        holder, self._holder = self._holder, None
        _stop_holder(holder)
        self.layout, self.variant, self.options = layout, variant, options
        self._start_holder(program(SEAT_KEYBOARD))

    def activate_keyboard(self, timeout: float = 5.0) -> None:
        holder = self._holder
        if holder is None or holder.stdin is None or holder.stdout is None:
            raise DesktopError("the desktop is not running")
        holder.stdin.write(b"activate\n")
        holder.stdin.flush()
        if _read_line(holder, timeout) != b"activated":
            raise DesktopError(self._with_logs("kestrin-seat-keyboard did not make its keyboard active again"))

    def spawn(self, argv: Sequence[str], env: Mapping[str, str] | None = None,
              cwd: str | os.PathLike[str] | None = None) -> App:
        """Starts ``argv`` in this desktop (with ``env()``, updated by
        ``env``) as this process's user, its stdout and stderr captured; it
        and whatever it starts are ended at ``stop()``."""
        if self._logs_dir is None:
            raise DesktopError("the desktop is not running")
        argv = [os.fspath(a) for a in argv]
        name = f"app-{len(self._apps) + 1}.log"
        log = open_log(self._logs_dir, name)
        try:
            process = self._owned.adopt(launch(argv, env={**self.env(), **(env or {})}, cwd=cwd,
                                               stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                               start_new_session=True))
        finally:
            os.close(log)
        app = App(argv, process, self._logs_dir / name)
        self._apps.append(app)
        return app

    def recorder(self, output: str | None = None, timeout: float = 10.0) -> "Recorder":
        """Shows the recorder, a window that reports all input it receives,
        fullscreen on ``output`` (default: the focused one), and returns it
        once it holds the keyboard, and the pointer if the seat has one. It
        has the keyboard focus until another window takes it."""
        from ._recorder import Recorder

        if output is not None:
            self.swaymsg("focus", "output", output)
        recorder = Recorder(self.env(), program(RECORDER))
        self._recorders.append(recorder)
        recorder.start()
        assert recorder.process is not None
        self._owned.adopt(recorder.process)
        try:
            recorder.wait_ready(timeout)
            # A seat has a pointer only while some client (a kestrin session)
            # holds a virtual pointer.
            pointer = recorder.events_so_far("capabilities")[-1]["pointer"]
            recorder.wait_input_ready(pointer=pointer, keyboard=True, timeout=timeout)
        except BaseException:
            recorder.stop()
            raise
        recorder.clear()
        return recorder

    def _started(self) -> tuple[int, int]:
        """How many applications and recorders were started so far, for
        ``_stop_since``."""
        return len(self._apps), len(self._recorders)

    def _stop_since(self, apps: int, recorders: int, settle: bool = True) -> None:
        """Ends the applications and recorders started after ``_started()``
        gave ``apps`` and ``recorders``: what one test of a shared desktop
        started, which the next test must not find on its screen. With
        ``settle``, returns once sway has taken their windows away."""
        ended: set[int] = set()
        try:
            while len(self._recorders) > recorders:
                recorder = self._recorders.pop()
                ended.add(recorder.pid or 0)
                recorder.stop()
        finally:
            while len(self._apps) > apps:
                app = self._apps.pop()
                ended.add(app.pid)
                app.stop()
        # sway takes their windows away once it has read that they went.
        if settle and ended and self.running:
            self._poll(lambda: not any(node["pid"] in ended for node in self.windows()), time.monotonic() + 5,
                       "the windows of ended programs to go")

    def tree(self) -> dict[str, Any]:
        """sway's layout tree (get_tree)."""
        return self.ipc(_IPC_GET_TREE)

    def windows(self) -> list[dict[str, Any]]:
        """The tree's windows: nodes with a pid, in tree order."""
        found, todo = [], [self.tree()]
        while todo:
            node = todo.pop(0)
            if node.get("pid") and node.get("type") in ("con", "floating_con"):
                found.append(node)
            todo += node.get("nodes", []) + node.get("floating_nodes", [])
        return found

    def wait_for_window(self, app_id: str | None = None, title: str | None = None,
                        timeout: float = 10.0) -> dict[str, Any]:
        """The first window whose app_id and title are the ones given, once
        it is mapped and visible; its node of sway's tree (with "rect",
        "focused", "pid", ...). Raises DesktopError after ``timeout``."""

        def match() -> dict[str, Any] | None:
            for node in self.windows():
                if ((app_id is None or node.get("app_id") == app_id)
                        and (title is None or node.get("name") == title) and node.get("visible")):
                    return node
            return None

        wanted = " and ".join(f"{k} {v!r}" for k, v in (("app_id", app_id), ("title", title)) if v is not None)
        return self._poll(match, time.monotonic() + timeout, f"a window with {wanted or 'any app_id'}")

    def ipc(self, message_type: int, payload: str = "") -> Any:
        """One message to sway's IPC socket; its reply, parsed."""
        if self.ipc_socket_path is None:
            raise DesktopError("the desktop is not running")
        body = payload.encode()
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as connection:
            connection.settimeout(10)
            connection.connect(self.ipc_socket_path)
            connection.sendall(_IPC_MAGIC + struct.pack("=II", len(body), message_type) + body)
            header = _receive(connection, len(_IPC_MAGIC) + 8)
            (length, _) = struct.unpack("=II", header[len(_IPC_MAGIC):])
            return json.loads(_receive(connection, length))

    # --- internals --------------------------------------------------------

    def _write_config(self, private_dir: Path) -> list[Path]:
        lines = [
            "xwayland disable",
            "default_border none",
            "default_floating_border none",
            "focus_follows_mouse no",
            "mouse_warping none",
        ]
        x = 0
        for n, spec in enumerate(self.output_specs, start=1):
            position = spec.position or (x, 0)
            lines.append(f"output HEADLESS-{n} mode {spec.width}x{spec.height}@{spec.refresh}Hz "
                         f"position {position[0]} {position[1]} scale {spec.scale}")
            x = max(x, position[0] + round(spec.width / spec.scale))
        config = private_dir / "config"
        config.write_text("\n".join([*lines, *self.extra_config]) + "\n")
        return [config]

    def _outputs_up(self) -> bool:
        try:
            outputs = {o["name"]: o for o in self.ipc(_IPC_GET_OUTPUTS)}
        except (OSError, ValueError):
            return False  # the IPC socket's file exists a moment before sway listens
        for n, spec in enumerate(self.output_specs, start=1):
            output = outputs.get(f"HEADLESS-{n}")
            mode = (output or {}).get("current_mode") or {}
            if not output or not output.get("active") or (mode.get("width"), mode.get("height")) != (
                    spec.width, spec.height):
                return False
        return True

    def _start_holder(self, path: Path) -> None:
        argv = [str(path), "--layout", self.layout]
        if self.variant:
            argv += ["--variant", self.variant]
        if self.options:
            argv += ["--options", self.options]
        assert self._logs_dir is not None
        # A holder started again (another keymap) logs beside the first.
        self._holders += 1
        log = open_log(self._logs_dir, "seat-keyboard.log" if self._holders == 1 else
                       f"seat-keyboard-{self._holders}.log")
        try:
            self._holder = self._owned.adopt(launch(argv, env=self.env(), stdin=subprocess.PIPE,
                                                    stdout=subprocess.PIPE, stderr=log, start_new_session=True))
        finally:
            os.close(log)
        if _read_line(self._holder, self.start_timeout) != b"ready":
            raise DesktopError(self._with_logs("kestrin-seat-keyboard did not get ready"))

    def _with_logs(self, message: str) -> str:
        parts = [message]
        if self._logs_dir is not None:
            for name in sorted(os.listdir(self._logs_dir)):
                text = read_log(self._logs_dir / name).strip()
                if text and name != f"{self.name}.log":
                    parts.append(f"--- {name.removesuffix('.log')} log ---\n{text}")
        parts.append(f"--- sway log ---\n{self.log().strip()}")
        return "\n".join(parts)


def _receive(connection: socket.socket, size: int) -> bytes:
    data = b""
    while len(data) < size:
        chunk = connection.recv(size - len(data))
        if not chunk:
            raise OSError("sway closed its IPC connection")
        data += chunk
    return data


def _read_line(process: subprocess.Popen[bytes], timeout: float) -> bytes:
    assert process.stdout is not None
    ready, _, _ = select.select([process.stdout], [], [], timeout)
    return process.stdout.readline().strip() if ready else b""


def _stop_holder(holder: subprocess.Popen[bytes]) -> None:
    # It ends when its stdin closes.
    for stream in (holder.stdin, holder.stdout):
        if stream is not None:
            stream.close()
    wait_unreaped(holder, 3.0)
    end_child(holder)
