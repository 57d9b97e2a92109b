"""Headless compositors started privately: the base of ``HeadlessDesktop``
and of the project's own real-compositor tests.

``HeadlessCompositor`` starts a compositor in a directory of its own and
stops it with everything it started; subclasses say which compositor and
how. ``HeadlessSway`` starts sway with the headless wlroots backend and the
pixman renderer, on one output HEADLESS-1 of 1920x1080 at 60 Hz by default.
Nothing is shared between instances: each has its own Wayland socket and IPC
socket, so several may run side by side.

sway refuses to run as root. As root, a compositor runs as ``user`` (an
existing unprivileged user), with ``create_user=True`` as the system user
``kestrin-sway`` (made if it does not exist), and with neither as an
unprivileged identity that has no account: the first uid (with the same gid)
from 65533 down with neither a passwd nor a group entry. Nothing is added to
the system for that; sway needs of it only a HOME and an XDG_RUNTIME_DIR of
its own, which it gets. Any other user runs it as itself.

The private directory (``private_dir``) belongs to the caller and only the
caller may change it: the configuration and every log live there, in
``logs``. The compositor's user owns only ``runtime_dir`` inside it (its
XDG_RUNTIME_DIR, with its HOME, its sockets), which the caller never writes
into, so nothing that user does can point the caller's writes or reads
elsewhere.

Nothing outlives the Python that started it: every child gets SIGKILL when
this process ends (a parent-death signal, set by setpriv after it changed
identity), a compositor dropped without ``stop()`` is stopped when it is
collected or at exit, and a small watcher (a shell in a session of its own,
sent SIGTERM as this process ends) removes the private directory once this
process is gone, however it ended. Process ids are read before the process
is reaped, so a signal never reaches a process that merely got a reused id.

Only the standard library is used here.
"""

from __future__ import annotations

import errno
import json
import os
import pwd
import grp
import queue
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import weakref
from pathlib import Path
from typing import Any, Callable, Self, Sequence

SWAY_USER = "kestrin-sway"
FIRST_OUTPUT = "HEADLESS-1"
# As root with no user named: the first of these ids that no account or group
# has. 65534 is nobody's; going down from just below it keeps clear of the
# ranges that distributions and systemd hand out from the bottom.
FREE_IDS = range(65533, 60000, -1)

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

# Waits, holding nothing of this process's, for the SIGTERM that this
# process's end (a parent-death signal) or stop() sends it, then removes the
# private directory. rm -rf follows no link; it is tried again while the
# compositor's user may still be writing there.
WATCHER = ("trap 'kill $s 2>/dev/null; n=0; while [ -e \"$1\" ] && [ $n -lt 50 ]; do "
           "rm -rf -- \"$1\" 2>/dev/null; [ -e \"$1\" ] && sleep 0.1; n=$((n + 1)); done; exit 0' TERM; "
           "sleep 2147483647 & s=$!; wait $s")


class CompositorError(RuntimeError):
    """The compositor did not start, died, or refused a command. The message
    carries its log where there is one."""


class RootWithoutUser(CompositorError):
    """Running as root, with neither a user to run the compositor as nor
    leave to make one. Kept for callers that catch it: as root with no
    options, the compositor now runs as an identity without an account."""


# The name the sway-only tests and tools know it by.
SwayError = CompositorError


def _with_log(message: str, log: str, name: str = "sway") -> str:
    log = log.strip()
    return f"{message}\n--- {name} log ---\n{log}" if log else f"{message} ({name} logged nothing)"


def read_log(path: Path) -> str:
    """A log's text; never through a link, never blocking on a FIFO."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return ""
    with open(fd, "rb") as log:
        return log.read().decode(errors="replace")


def open_log(directory: Path, name: str) -> int:
    """A new log file in ``directory``, made there by this call (never an
    existing file, never through a link): its descriptor."""
    return os.open(directory / name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)


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


def child_ended(process: subprocess.Popen[Any]) -> bool:
    """Whether a child has ended, without reaping it: until it is reaped its
    id stays its own, and so do those of its session."""
    if process.returncode is not None:
        return True
    try:
        return os.waitid(os.P_PID, process.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None
    except ChildProcessError:
        return True


def _wait_unreaped(process: subprocess.Popen[Any], timeout: float | None) -> bool:
    """Waits up to ``timeout`` seconds (None: for good) for a child to end,
    leaving it unreaped; whether it ended."""
    deadline = None if timeout is None else time.monotonic() + timeout
    while not child_ended(process):
        if deadline is not None and time.monotonic() >= deadline:
            return False
        time.sleep(POLL_INTERVAL)
    return True


def end_child(process: subprocess.Popen[Any], grace: float = 5.0, signum: int = signal.SIGTERM) -> int:
    """Ends a child of this process (``signum``, SIGKILL after ``grace``
    seconds) and everything in its session or below it, and reaps it; its
    exit status. The ids of what it started are read while it is still
    unreaped."""
    started: set[int] = set()
    if process.returncode is None:
        started = _descendants(process.pid)
        if not child_ended(process):
            # os.kill, not Popen's, which would reap it first if it ended.
            os.kill(process.pid, signum)
            if not _wait_unreaped(process, grace):
                os.kill(process.pid, signal.SIGKILL)
                _wait_unreaped(process, None)
        started |= _descendants(process.pid)
    end_processes(started)
    return process.wait()


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


def _mapped(id_map: str, value: int) -> bool:
    # A container maps only some ids; setpriv fails on one outside its map.
    try:
        lines = Path(id_map).read_text().splitlines()
    except OSError:
        return True
    return any(int(first) <= value < int(first) + int(count) for first, _, count in (l.split() for l in lines))


def free_identity() -> int:
    """The uid (and gid) that a compositor runs as under root when no user is
    named: the first of ``FREE_IDS`` with neither an account nor a group."""
    for candidate in FREE_IDS:
        try:
            pwd.getpwuid(candidate)
            continue
        except KeyError:
            pass
        try:
            grp.getgrgid(candidate)
            continue
        except KeyError:
            pass
        if _mapped("/proc/self/uid_map", candidate) and _mapped("/proc/self/gid_map", candidate):
            return candidate
    raise CompositorError(f"no uid from {FREE_IDS.start} down to {FREE_IDS.stop + 1} is free of an account and "
                          "a group: pass user='NAME' or create_user=True")


def process_alive(pid: int) -> bool:
    """Whether `pid` is a process that has not ended (zombies count as ended)."""
    try:
        state = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return False
    return state[state.rfind(")") + 2] != "Z"


# A parent-death signal fires when the THREAD that forked the child ends, not
# the process: children are forked by the main thread, which lasts as long as
# the process, or, from other threads, by one thread kept for the purpose.
_forker_lock = threading.Lock()
_forker: tuple[int, "queue.SimpleQueue[Callable[[], None]]"] | None = None


def _forker_jobs() -> "queue.SimpleQueue[Callable[[], None]]":
    global _forker
    with _forker_lock:
        # A forked copy of this process has no such thread of its own.
        if _forker is None or _forker[0] != os.getpid():
            jobs: queue.SimpleQueue[Callable[[], None]] = queue.SimpleQueue()
            threading.Thread(target=_serve, args=(jobs,), name="kestrin-testing-forker", daemon=True).start()
            _forker = (os.getpid(), jobs)
        return _forker[1]


def _serve(jobs: "queue.SimpleQueue[Callable[[], None]]") -> None:
    while True:
        jobs.get()()


def launch(argv: list[str], *, identity: Sequence[str] = (), death_signal: str = "KILL",
           **popen: Any) -> subprocess.Popen[bytes]:
    """``subprocess.Popen(argv, **popen)``, the child sent ``death_signal``
    when this process ends; ``identity``: setpriv's options to run it as
    another user. ``pid`` is the program's own: setpriv execs it."""
    setpriv = shutil.which("setpriv") or "/usr/bin/setpriv"
    command = [setpriv, *identity, "--pdeathsig", death_signal, "--", *argv]
    if threading.current_thread() is threading.main_thread():
        process = subprocess.Popen(command, **popen)
    else:
        outcome: list[Any] = []
        done = threading.Event()

        def fork() -> None:
            try:
                outcome.append(subprocess.Popen(command, **popen))
            except BaseException as error:  # handed to the caller
                outcome.append(error)
            done.set()

        _forker_jobs().put(fork)
        done.wait()
        if isinstance(outcome[0], BaseException):
            raise outcome[0]
        process = outcome[0]
    _wait_past_setpriv(process)
    return process


def _wait_past_setpriv(process: subprocess.Popen[bytes]) -> None:
    # A parent that dies before setpriv has set the signal sends none: until
    # setpriv has made way for the program, this process must not end. The
    # command name, unlike /proc/PID/exe, is readable without ptrace rights.
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            stat = Path(f"/proc/{process.pid}/stat").read_text()
        except OSError:
            return
        if stat[stat.index("(") + 1 : stat.rfind(")")] != "setpriv" or child_ended(process):
            return
        time.sleep(0.0005)


class _Owned:
    """What one compositor started: its children, ended newest first, and its
    private directory with the watcher that removes it should this process
    end first. ``release()`` is both the end of ``stop()`` and the finalizer
    of a compositor dropped without it (at collection or at exit); it holds
    no reference to the compositor."""

    def __init__(self) -> None:
        self.children: list[subprocess.Popen[Any]] = []
        self.private_dir: Path | None = None
        self.watcher: subprocess.Popen[bytes] | None = None

    def make_private_dir(self, prefix: str) -> Path:
        self.private_dir = Path(tempfile.mkdtemp(prefix=prefix))
        self.watcher = launch(["sh", "-c", WATCHER, "kestrin-watcher", str(self.private_dir)], death_signal="TERM",
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              start_new_session=True)
        return self.private_dir

    def adopt(self, process: subprocess.Popen[Any]) -> subprocess.Popen[Any]:
        self.children.append(process)
        return process

    def release(self) -> None:
        try:
            while self.children:
                end_child(self.children.pop())
        finally:
            if self.private_dir is not None:
                shutil.rmtree(self.private_dir, ignore_errors=True)
            watcher, self.watcher = self.watcher, None
            if watcher is not None:
                end_child(watcher)


class HeadlessCompositor:
    """One headless compositor; subclasses say which and how it starts.

    ``start()`` returns once the outputs are up and the Wayland socket accepts
    connections; ``stop()`` ends the compositor and whatever it started and
    removes its directories. Both are idempotent, and the object is a
    context manager. A compositor never stopped is stopped when it is
    collected, at exit, or (by the watcher and the parent-death signal) when
    this process ends in any other way.

    Attributes, valid after ``start()``:

    - ``private_dir``: the caller's own directory (configuration, ``logs``).
    - ``runtime_dir``: the compositor's XDG_RUNTIME_DIR (mode 0700) inside it.
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
        self.private_dir: str | None = None
        self.runtime_dir: str | None = None
        self.socket_path: str | None = None
        self.pid: int | None = None
        self._process: subprocess.Popen[bytes] | None = None
        self._owned = _Owned()
        self._release: weakref.finalize | None = None
        self._logs_dir: Path | None = None
        self._clients_dir: Path | None = None
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
        identity, uid, gid = self._identity()
        self._owned = _Owned()
        self._release = weakref.finalize(self, self._owned.release)
        try:
            self._start(executable, identity, uid, gid)
            self._wait_until_up()
        except BaseException:
            self.stop()
            raise
        return self

    def _start(self, executable: str, identity: list[str], uid: int, gid: int) -> None:
        private = self._owned.make_private_dir(f"kestrin-{self.name}-")
        self.private_dir = str(private)
        # The others may pass through to the runtime directory, no further.
        private.chmod(0o711)
        self._logs_dir = private / "logs"
        self._logs_dir.mkdir(mode=0o700)
        runtime_dir = private / "run"
        runtime_dir.mkdir(mode=0o700)
        self.runtime_dir = str(runtime_dir)
        # The clients' own, where the compositor runs as another user: what
        # they keep in XDG_RUNTIME_DIR (dconf, sockets, locks) stays out of
        # that user's reach. They find the compositor by its absolute path.
        self._clients_dir = private / "clients" if uid != os.getuid() else runtime_dir
        self._clients_dir.mkdir(mode=0o700, exist_ok=True)
        home = runtime_dir / "home"
        home.mkdir()
        files = self._write_config(private)
        for path in files:
            path.chmod(0o644)
        if uid != os.getuid():
            # Handed over last: until then only this process can reach it.
            os.chown(home, uid, gid)
            os.chown(runtime_dir, uid, gid)

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
        log = open_log(self._logs_dir, f"{self.name}.log")
        try:
            self._process = self._owned.adopt(launch(
                [executable, *self._arguments(private)],
                identity=identity,
                env=env,
                cwd=home,
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=subprocess.STDOUT,
                # Its own session, so that nothing it starts outlives stop().
                start_new_session=True,
            ))
        finally:
            os.close(log)
        self.pid = self._process.pid

    def stop(self) -> None:
        """Ends the compositor and everything it started, removes its
        directories. The log stays readable through ``log()``."""
        self._process = None
        if self._logs_dir is not None:
            self._final_log = self.log()
            self._logs_dir = None
        if self._release is not None:
            self._release()

    @property
    def running(self) -> bool:
        return self._process is not None and not child_ended(self._process)

    def log(self) -> str:
        """What the compositor has written to stdout and stderr so far."""
        if self._logs_dir is not None:
            return read_log(self._logs_dir / f"{self.name}.log")
        return self._final_log

    # --- clients ----------------------------------------------------------

    def env(self, base: dict[str, str] | None = None) -> dict[str, str]:
        """An environment for clients of this compositor: ``base`` (by
        default this process's environment) with WAYLAND_DISPLAY (the absolute
        socket path) and XDG_RUNTIME_DIR set, and WAYLAND_SOCKET, DISPLAY and
        SWAYSOCK removed so that clients cannot end up anywhere else.
        XDG_RUNTIME_DIR is the compositor's own where it runs as this
        process's user, and otherwise one private to this process's user."""
        if self.socket_path is None:
            raise CompositorError(f"{self.name} is not running")
        env = dict(os.environ if base is None else base)
        env["WAYLAND_DISPLAY"] = self.socket_path
        env["XDG_RUNTIME_DIR"] = str(self._clients_dir)
        for name in ("WAYLAND_SOCKET", "DISPLAY", "SWAYSOCK"):
            env.pop(name, None)
        return env

    # --- what subclasses say ----------------------------------------------

    def _write_config(self, private_dir: Path) -> list[Path]:
        """Writes the compositor's configuration into ``private_dir`` (the
        caller's own) and returns the files written, which the compositor
        may then read."""
        return []

    def _arguments(self, private_dir: Path) -> list[str]:
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

    def _identity(self) -> tuple[list[str], int, int]:
        """setpriv's options to run the compositor as its user, and that
        user's uid and gid."""
        if os.getuid() != 0:
            return [], os.getuid(), os.getgid()
        if self.user is None and not self.create_user:
            uid = free_identity()
            return [f"--reuid={uid}", f"--regid={uid}", "--clear-groups"], uid, uid
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
        return ([f"--reuid={entry.pw_uid}", f"--regid={entry.pw_gid}", "--init-groups"], entry.pw_uid,
                entry.pw_gid)

    def _poll(self, condition: Callable[[], Any], deadline: float, what: str) -> Any:
        while True:
            if not self.running:
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
        assert self.socket_path is not None and self._clients_dir is not None
        # Where the clients' XDG_RUNTIME_DIR is their own, the socket's name
        # there still leads to it, for clients given WAYLAND_DISPLAY by name.
        name = os.path.basename(self.socket_path)
        if str(self._clients_dir) != self.runtime_dir and not os.path.lexists(self._clients_dir / name):
            os.symlink(self.socket_path, self._clients_dir / name)
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

    def _write_config(self, private_dir: Path) -> list[Path]:
        config = private_dir / "config"
        config.write_text(
            CONFIG_TEMPLATE.format(
                first_output=FIRST_OUTPUT, width=self.width, height=self.height, refresh=self.refresh
            )
        )
        return [config]

    def _arguments(self, private_dir: Path) -> list[str]:
        return ["-c", str(private_dir / "config")] + (["-d"] if self.debug else [])

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
