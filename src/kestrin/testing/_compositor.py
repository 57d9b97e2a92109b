"""Headless compositors started privately: the base of ``HeadlessDesktop``
and of the project's own real-compositor tests.

``HeadlessCompositor`` starts a compositor in a runtime directory of its own
and stops it with everything it started; subclasses say which compositor and
how. ``HeadlessSway`` starts sway with the headless wlroots backend and the
pixman renderer, on one output HEADLESS-1 of 1920x1080 at 60 Hz by default.
Nothing is shared between instances: each has its own Wayland socket and IPC
socket, so several may run side by side.

sway refuses to run as root. As root, a compositor runs as ``user`` (an
existing unprivileged user) or, with ``create_user=True``, as the system user
``kestrin-sway``, made if it does not exist; with neither, ``start()`` says
so. The runtime directory then belongs to that user; root can still connect
to the sockets. Any other user runs it as itself.

Only the standard library is used here.
"""

from __future__ import annotations

import atexit
import json
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import weakref
from pathlib import Path
from typing import Any, Callable, Self

SWAY_USER = "kestrin-sway"
FIRST_OUTPUT = "HEADLESS-1"

# The compositor draws its cursor in software on headless outputs, straight
# into the pictures that screencopy hands out. Nothing here can turn that off;
# kestrin-probe hides the cursor over its window instead. focus_follows_mouse
# and mouse_warping are off so that pointer motion never moves keyboard focus
# away from the probe and focus changes never move the pointer.
CONFIG_TEMPLATE = """\
output {first_output} mode {width}x{height}@{refresh}Hz position 0 0
xwayland disable
default_border none
default_floating_border none
gaps inner 0
gaps outer 0
focus_follows_mouse no
mouse_warping none
"""

POLL_INTERVAL = 0.005

ROOT_WITHOUT_USER = (
    "{name} refuses to run as root: pass user='NAME' (an existing unprivileged user to run it as) or "
    "create_user=True (runs it as the system user {user}, made if it does not exist)"
)


class CompositorError(RuntimeError):
    """The compositor did not start, died, or refused a command. The message
    carries its log where there is one."""


class RootWithoutUser(CompositorError):
    """Running as root, with neither a user to run the compositor as nor
    leave to make one."""


# The name the sway-only tests and tools know it by.
SwayError = CompositorError


def _with_log(message: str, log: str, name: str = "sway") -> str:
    log = log.strip()
    return f"{message}\n--- {name} log ---\n{log}" if log else f"{message} ({name} logged nothing)"


def _descendants(pid: int) -> set[int]:
    """Every process below ``pid`` and every process in its session, which
    sway gives the programs it starts."""
    children: dict[int, list[int]] = {}
    in_session: set[int] = set()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path(f"/proc/{entry}/stat").read_text()
        except OSError:
            continue
        # The command name may hold spaces and parentheses; the fields that
        # matter come after the last ")".
        fields = stat[stat.rfind(")") + 2 :].split()
        parent, session = int(fields[1]), int(fields[3])
        children.setdefault(parent, []).append(int(entry))
        if session == pid and int(entry) != pid:
            in_session.add(int(entry))
    found: set[int] = set()
    todo = [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            if child not in found:
                found.add(child)
                todo.append(child)
    return found | in_session


def _signal_all(pids: set[int], signum: int) -> None:
    for pid in pids:
        try:
            os.kill(pid, signum)
        except ProcessLookupError:
            pass


def end_processes(pids: set[int], grace: float = 2.0) -> None:
    """SIGTERM to each of ``pids`` still there, SIGKILL to those still there
    after ``grace`` seconds."""
    _signal_all({pid for pid in pids if process_alive(pid)}, signal.SIGTERM)
    deadline = time.monotonic() + grace
    while any(process_alive(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(POLL_INTERVAL)
    _signal_all({pid for pid in pids if process_alive(pid)}, signal.SIGKILL)


def _ensure_system_user(name: str) -> None:
    try:
        pwd.getpwnam(name)
        return
    except KeyError:
        pass
    made = subprocess.run(["useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent",
                           "--shell", "/usr/sbin/nologin", name], capture_output=True, text=True)
    # Another process may have made it in the meantime.
    if made.returncode != 0 and made.returncode != 9:
        raise CompositorError(f"useradd could not make the system user {name!r}: {made.stderr.strip()}")


def process_alive(pid: int) -> bool:
    """Whether `pid` is a process that has not ended (zombies count as ended)."""
    try:
        state = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return False
    return state[state.rfind(")") + 2] != "Z"


_running: "weakref.WeakSet[HeadlessCompositor]" = weakref.WeakSet()


@atexit.register
def _stop_leftovers() -> None:
    # A test run that ends without tearing down still takes its compositors.
    for compositor in list(_running):
        compositor.stop()


class HeadlessCompositor:
    """One headless compositor; subclasses say which and how it starts.

    ``start()`` returns once the outputs are up and the Wayland socket accepts
    connections; ``stop()`` ends the compositor and whatever it started and
    removes the runtime directory. Both are idempotent, and the object is a
    context manager.

    Attributes, valid after ``start()``:

    - ``runtime_dir``: the private XDG_RUNTIME_DIR (mode 0700).
    - ``socket_path``: absolute path of the Wayland socket.
    - ``pid``: the compositor's process id.

    ``name`` is the compositor's name, ``probe_arguments`` what kestrin-probe
    needs to show its picture there.
    """

    name = ""
    probe_arguments: tuple[str, ...] = ()
    requires: tuple[str, ...] = ()  # further programs it needs

    def __init__(
        self,
        width: int = 1920,
        height: int = 1080,
        refresh: int = 60,
        *,
        outputs: int = 1,
        user: str | None = None,
        create_user: bool = False,
        debug: bool = False,
        start_timeout: float = 10.0,
    ) -> None:
        self.width = width
        self.height = height
        self.refresh = refresh
        self.outputs_at_start = outputs
        self.user = user
        self.create_user = create_user
        self.debug = debug
        self.start_timeout = start_timeout
        self.runtime_dir: str | None = None
        self.socket_path: str | None = None
        self.pid: int | None = None
        self._process: subprocess.Popen[bytes] | None = None
        self._log_path: Path | None = None
        self._final_log = ""

    # --- life cycle -------------------------------------------------------

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def start(self) -> Self:
        if self._process is not None:
            return self
        executable = shutil.which(self.name)
        if executable is None:
            raise CompositorError(f"{self.name} is not installed (scripts/bootstrap.sh installs it)")
        for program in self.requires:
            if shutil.which(program) is None:
                raise CompositorError(f"{self.name} needs {program}, which is not installed")
        uid, gid = self._identity()
        runtime_dir = Path(tempfile.mkdtemp(prefix=f"kestrin-{self.name}-"))
        self.runtime_dir = str(runtime_dir)
        home = runtime_dir / "home"
        home.mkdir()
        files = self._write_config(runtime_dir)
        self._log_path = runtime_dir / f"{self.name}.log"
        if uid != os.getuid():
            for path in (runtime_dir, home, *files):
                os.chown(path, uid, gid)
        runtime_dir.chmod(0o700)

        env = {
            "XDG_RUNTIME_DIR": str(runtime_dir),
            "HOME": str(home),
            "PATH": "/usr/local/bin:/usr/bin:/bin",
            "WLR_BACKENDS": "headless",
            "WLR_RENDERER": "pixman",
            "WLR_LIBINPUT_NO_DEVICES": "1",
            "WLR_HEADLESS_OUTPUTS": str(self.outputs_at_start),
            **self._environment(runtime_dir),
        }
        command = [executable, *self._arguments(runtime_dir)]
        if uid != os.getuid():
            setpriv = shutil.which("setpriv") or "/usr/bin/setpriv"
            command = [setpriv, f"--reuid={uid}", f"--regid={gid}", "--init-groups", *command]
        with open(self._log_path, "wb") as log:
            self._process = subprocess.Popen(
                command,
                env=env,
                cwd=home,
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=subprocess.STDOUT,
                # Its own session, so that nothing it starts outlives stop().
                start_new_session=True,
            )
        self.pid = self._process.pid
        _running.add(self)
        try:
            self._wait_until_up()
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self) -> None:
        """Ends the compositor and everything it started, removes the runtime
        directory. The log stays readable through ``log()``."""
        process, self._process = self._process, None
        if process is not None:
            _running.discard(self)
            started = _descendants(process.pid)
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
            started |= _descendants(process.pid)
            end_processes(started)
        if self._log_path is not None:
            try:
                self._final_log = self._log_path.read_text(errors="replace")
            except OSError:
                pass
            self._log_path = None
        if self.runtime_dir is not None:
            shutil.rmtree(self.runtime_dir, ignore_errors=True)

    @property
    def running(self) -> bool:
        return self._process is not None and self._process.poll() is None

    def log(self) -> str:
        """What the compositor has written to stdout and stderr so far."""
        if self._log_path is not None:
            try:
                return self._log_path.read_text(errors="replace")
            except OSError:
                return ""
        return self._final_log

    # --- clients ----------------------------------------------------------

    def env(self, base: dict[str, str] | None = None) -> dict[str, str]:
        """An environment for clients of this compositor: ``base`` (by
        default this process's environment) with WAYLAND_DISPLAY (the absolute
        socket path) and XDG_RUNTIME_DIR set, and WAYLAND_SOCKET, DISPLAY and
        SWAYSOCK removed so that clients cannot end up anywhere else."""
        if self.socket_path is None:
            raise CompositorError(f"{self.name} is not running")
        env = dict(os.environ if base is None else base)
        env["WAYLAND_DISPLAY"] = self.socket_path
        env["XDG_RUNTIME_DIR"] = str(self.runtime_dir)
        for name in ("WAYLAND_SOCKET", "DISPLAY", "SWAYSOCK"):
            env.pop(name, None)
        return env

    # --- what subclasses say ----------------------------------------------

    def _write_config(self, runtime_dir: Path) -> list[Path]:
        """Writes the compositor's configuration into ``runtime_dir`` and
        returns the files written."""
        return []

    def _arguments(self, runtime_dir: Path) -> list[str]:
        return []

    def _environment(self, runtime_dir: Path) -> dict[str, str]:
        """Variables the compositor needs beyond the common ones."""
        return {}

    def _find_sockets(self) -> bool:
        assert self.runtime_dir is not None
        wayland = [n for n in os.listdir(self.runtime_dir) if n.startswith("wayland-") and not n.endswith(".lock")]
        if not wayland:
            return False
        self.socket_path = os.path.join(self.runtime_dir, sorted(wayland)[0])
        return True

    def _outputs_up(self) -> bool:
        return True

    # --- internals --------------------------------------------------------

    def _identity(self) -> tuple[int, int]:
        if os.getuid() != 0:
            return os.getuid(), os.getgid()
        if self.user is None and not self.create_user:
            raise RootWithoutUser(ROOT_WITHOUT_USER.format(name=self.name, user=SWAY_USER))
        name = self.user or SWAY_USER
        if self.user is None:
            _ensure_system_user(name)
        try:
            entry = pwd.getpwnam(name)
        except KeyError:
            raise CompositorError(
                f"{self.name} cannot run as root and the user {name!r} does not exist; make it with: "
                f"useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin {name}"
            ) from None
        if entry.pw_uid == 0:
            raise CompositorError(f"{self.name} cannot run as root, and {name!r} is root")
        return entry.pw_uid, entry.pw_gid

    def _poll(self, condition: Callable[[], Any], deadline: float, what: str) -> Any:
        while True:
            if self._process is None or self._process.poll() is not None:
                raise CompositorError(_with_log(f"{self.name} ended while waiting for {what}", self.log(), self.name))
            value = condition()
            if value:
                return value
            if time.monotonic() > deadline:
                raise CompositorError(_with_log(f"timed out waiting for {what}", self.log(), self.name))
            time.sleep(POLL_INTERVAL)

    def _accepts(self) -> bool:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
            try:
                probe.connect(str(self.socket_path))
            except OSError:
                return False
        return True

    def _wait_until_up(self) -> None:
        deadline = time.monotonic() + self.start_timeout
        self._poll(self._find_sockets, deadline, "the Wayland socket")
        self._poll(self._accepts, deadline, "the Wayland socket to accept connections")
        self._poll(self._outputs_up, deadline, "the outputs to come up")


class HeadlessSway(HeadlessCompositor):
    """One headless sway; ``ipc_socket_path`` is its IPC socket (SWAYSOCK)."""

    name = "sway"

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.ipc_socket_path: str | None = None

    def env(self, base: dict[str, str] | None = None) -> dict[str, str]:
        """As for every compositor, with SWAYSOCK set."""
        env = super().env(base)
        env["SWAYSOCK"] = str(self.ipc_socket_path)
        return env

    def swaymsg(self, *args: str, timeout: float = 10.0) -> Any:
        """Runs swaymsg with ``args`` against this sway and returns its reply,
        parsed from JSON. A command that sway refuses raises SwayError."""
        if self.ipc_socket_path is None:
            raise SwayError("sway is not running")
        result = subprocess.run(
            ["swaymsg", "-s", self.ipc_socket_path, "-r", *args],
            capture_output=True,
            timeout=timeout,
        )
        out = result.stdout.decode(errors="replace")
        try:
            reply = json.loads(out) if out.strip() else None
        except json.JSONDecodeError:
            reply = None
        # Commands answer with a list of {"success": ...}, one per command.
        refused = isinstance(reply, list) and any(
            isinstance(r, dict) and not r.get("success", True) for r in reply
        )
        if result.returncode != 0 or refused or reply is None:
            raise SwayError(
                _with_log(
                    f"swaymsg {' '.join(args)} failed ({result.returncode}): {out.strip()} "
                    f"{result.stderr.decode(errors='replace').strip()}",
                    self.log(),
                )
            )
        return reply

    def outputs(self) -> list[dict[str, Any]]:
        """sway's get_outputs reply: one dict per output, with "name",
        "active", "rect", "current_mode" and so on."""
        return self.swaymsg("-t", "get_outputs")

    def output_names(self) -> list[str]:
        return [output["name"] for output in self.outputs()]

    def add_output(self, timeout: float = 10.0) -> str:
        """Adds a headless output (HEADLESS-2, HEADLESS-3, ...), gives it this
        instance's mode and returns its name once it is active at that mode.
        sway places it to the right of the outputs already there."""
        before = set(self.output_names())
        self.swaymsg("create_output")
        deadline = time.monotonic() + timeout
        new = self._poll(lambda: set(self.output_names()) - before, deadline, "the new output to appear")
        name = sorted(new)[0]
        self.swaymsg("output", name, "mode", f"{self.width}x{self.height}@{self.refresh}Hz")
        self._poll(lambda: self._has_mode(name), deadline, f"{name} to take its mode")
        return name

    # --- internals --------------------------------------------------------

    def _write_config(self, runtime_dir: Path) -> list[Path]:
        config = runtime_dir / "config"
        config.write_text(
            CONFIG_TEMPLATE.format(
                first_output=FIRST_OUTPUT, width=self.width, height=self.height, refresh=self.refresh
            )
        )
        return [config]

    def _arguments(self, runtime_dir: Path) -> list[str]:
        return ["-c", str(runtime_dir / "config")] + (["-d"] if self.debug else [])

    def _find_sockets(self) -> bool:
        assert self.runtime_dir is not None
        ipc = [n for n in os.listdir(self.runtime_dir) if n.startswith("sway-ipc.") and n.endswith(".sock")]
        if not ipc or not super()._find_sockets():
            return False
        self.ipc_socket_path = os.path.join(self.runtime_dir, ipc[0])
        return True

    def _outputs_up(self) -> bool:
        # The IPC socket's file exists a moment before sway listens on it.
        try:
            return self._has_mode(FIRST_OUTPUT)
        except CompositorError:
            return False

    def _has_mode(self, name: str) -> bool:
        for output in self.outputs():
            if output["name"] == name:
                mode = output.get("current_mode") or {}
                return bool(output.get("active")) and (mode.get("width"), mode.get("height")) == (
                    self.width,
                    self.height,
                )
        return False
