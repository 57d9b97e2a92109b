"""A private headless desktop for the demo: sway with no monitor and no input
devices, one terminal window (foot running cat, so that what is typed shows
up twice: once as the terminal echoes it and once as cat prints the line),
and a keyboard on the seat.

Nothing here is seen on a real screen: wlroots' headless backend draws into
memory, which is what kestrin's screenshots read. Everything lives in a
runtime directory of its own; stop() ends every process it started and
removes the directory.

sway will not run as root. As root, sway and foot run as the system user
kestrin-sway (scripts/bootstrap.sh makes it); root can still use the sockets.
"""

from __future__ import annotations

import json
import os
import pwd
import select
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Any, Callable

SWAY_USER = "kestrin-sway"
OUTPUT = "HEADLESS-1"
APP_ID = "kestrin-demo"
BANNER = "kestrin demo: this terminal runs cat; a typed line shows once as typed, once as cat prints it"

# focus_follows_mouse off: the demo's pointer motion must not move the focus.
SWAY_CONFIG = """\
output {output} mode {width}x{height}@60Hz position 0 0
xwayland disable
default_border none
focus_follows_mouse no
mouse_warping none
"""


class DesktopError(RuntimeError):
    """Something did not start; the message carries the logs there are."""


def _tree_of(pid: int) -> set[int]:
    """`pid`'s descendants and the members of its session (sway and foot put
    the programs they start in sessions of their own)."""
    children: dict[int, list[int]] = {}
    in_session: set[int] = set()
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            stat = Path(f"/proc/{entry}/stat").read_text()
        except OSError:
            continue
        # The command name may hold spaces and parentheses.
        fields = stat[stat.rfind(")") + 2 :].split()
        children.setdefault(int(fields[1]), []).append(int(entry))
        if int(fields[3]) == pid:
            in_session.add(int(entry))
    found, todo = set(), [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            if child not in found:
                found.add(child)
                todo.append(child)
    return (found | in_session) - {pid}


def _alive(pid: int) -> bool:
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return False
    return stat[stat.rfind(")") + 2] != "Z"


def _signal(pids: set[int], signum: int) -> None:
    for pid in pids:
        try:
            os.kill(pid, signum)
        except ProcessLookupError:
            pass


class PrivateDesktop:
    """start() returns once the terminal window is mapped and has the
    keyboard focus; client_env() is the environment for kestrin programs."""

    def __init__(self, seat_keyboard: Path, width: int = 1280, height: int = 720, timeout: float = 10.0) -> None:
        self.seat_keyboard = Path(seat_keyboard).resolve()  # the programs run elsewhere
        self.width, self.height = width, height
        self.timeout = timeout
        self.runtime_dir: Path | None = None
        self.socket_path: Path | None = None
        self.ipc_path: Path | None = None
        self._processes: list[tuple[str, subprocess.Popen]] = []

    def __enter__(self) -> "PrivateDesktop":
        try:
            self.start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    # --- starting ----------------------------------------------------------

    def start(self) -> None:
        for program in ("sway", "swaymsg", "foot"):
            if shutil.which(program) is None:
                raise DesktopError(f"{program} is not installed (scripts/bootstrap.sh installs it)")
        if not self.seat_keyboard.is_file():
            raise DesktopError(f"{self.seat_keyboard} is missing (scripts/bootstrap.sh builds it)")
        self._make_runtime_dir()
        self._start_sway()
        self._start_seat_keyboard()
        self._start_terminal()

    def _as_user(self) -> list[str]:
        """The command prefix that drops root to kestrin-sway; empty otherwise."""
        if os.getuid() != 0:
            return []
        # If this process dies without stopping them, they go too.
        return ["setpriv", f"--reuid={SWAY_USER}", f"--regid={SWAY_USER}", "--init-groups", "--pdeathsig=TERM"]

    def _make_runtime_dir(self) -> None:
        self.runtime_dir = Path(tempfile.mkdtemp(prefix="kestrin-demo-"))
        (self.runtime_dir / "home").mkdir()
        (self.runtime_dir / "config").write_text(
            SWAY_CONFIG.format(output=OUTPUT, width=self.width, height=self.height))
        if os.getuid() == 0:
            try:
                user = pwd.getpwnam(SWAY_USER)
            except KeyError:
                raise DesktopError(f"sway cannot run as root and the user {SWAY_USER} does not exist "
                                   "(scripts/bootstrap.sh makes it)") from None
            for path in (self.runtime_dir, self.runtime_dir / "home", self.runtime_dir / "config"):
                os.chown(path, user.pw_uid, user.pw_gid)

    def _base_env(self) -> dict[str, str]:
        assert self.runtime_dir is not None
        return {
            "PATH": "/usr/local/bin:/usr/bin:/bin",
            "HOME": str(self.runtime_dir / "home"),
            "XDG_RUNTIME_DIR": str(self.runtime_dir),
            # foot refuses to start without a UTF-8 locale; C.UTF-8 is always there.
            "LANG": "C.UTF-8",
        }

    def _spawn(self, name: str, command: list[str], env: dict[str, str], **kwargs: Any) -> subprocess.Popen:
        assert self.runtime_dir is not None
        with open(self.runtime_dir / f"{name}.log", "wb") as log:
            process = subprocess.Popen(command, env=env, cwd=self.runtime_dir / "home", stderr=log,
                                       stdout=kwargs.pop("stdout", log), start_new_session=True, **kwargs)
        self._processes.append((name, process))
        return process

    def _start_sway(self) -> None:
        assert self.runtime_dir is not None
        env = self._base_env() | {
            "WLR_BACKENDS": "headless",
            "WLR_RENDERER": "pixman",
            "WLR_LIBINPUT_NO_DEVICES": "1",
        }
        self._spawn("sway", [*self._as_user(), "sway", "-c", str(self.runtime_dir / "config")], env,
                    stdin=subprocess.DEVNULL)
        self._wait_for(self._find_sockets, "sway's sockets")
        self._wait_for(self._output_is_up, f"{OUTPUT} to come up at {self.width}x{self.height}")

    def _start_seat_keyboard(self) -> None:
        # The headless seat has no keyboard, and kestrin needs one with a
        # keymap. stdin stays open: the tool ends when it closes.
        tool = self._spawn("seat-keyboard", [str(self.seat_keyboard)], self.client_env(),
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert tool.stdout is not None
        answered, _, _ = select.select([tool.stdout], [], [], self.timeout)
        if not answered or tool.stdout.readline().strip() != b"ready":
            raise DesktopError(self._with_logs("kestrin-seat-keyboard did not get ready"))

    def _start_terminal(self) -> None:
        env = self._base_env() | {"WAYLAND_DISPLAY": str(self.socket_path)}
        # kestrin-sway's login shell is nologin, so foot gets its command.
        command = ["foot", "--config=/dev/null", f"--app-id={APP_ID}", "--font=monospace:size=16",
                   "sh", "-c", f"echo '{BANNER}'; exec cat"]
        self._spawn("foot", [*self._as_user(), *command], env, stdin=subprocess.DEVNULL)
        self._wait_for(self._terminal_has_focus, "the terminal window to appear with the keyboard focus")

    # --- waiting -----------------------------------------------------------

    def _wait_for(self, condition: Callable[[], bool], what: str) -> None:
        deadline = time.monotonic() + self.timeout
        while not condition():
            for name, process in self._processes:
                if process.poll() is not None:
                    raise DesktopError(self._with_logs(f"{name} ended while waiting for {what}"))
            if time.monotonic() > deadline:
                raise DesktopError(self._with_logs(f"timed out waiting for {what}"))
            time.sleep(0.02)

    def _find_sockets(self) -> bool:
        assert self.runtime_dir is not None
        names = os.listdir(self.runtime_dir)
        wayland = sorted(n for n in names if n.startswith("wayland-") and not n.endswith(".lock"))
        ipc = [n for n in names if n.startswith("sway-ipc.") and n.endswith(".sock")]
        if not wayland or not ipc:
            return False
        self.socket_path = self.runtime_dir / wayland[0]
        self.ipc_path = self.runtime_dir / ipc[0]
        return True

    def swaymsg(self, *args: str) -> Any:
        """sway's reply to an IPC message, parsed; None when sway does not answer yet."""
        result = subprocess.run(["swaymsg", "-s", str(self.ipc_path), "-r", *args], capture_output=True)
        try:
            return json.loads(result.stdout) if result.returncode == 0 else None
        except json.JSONDecodeError:
            return None

    def _output_is_up(self) -> bool:
        for output in self.swaymsg("-t", "get_outputs") or []:
            mode = output.get("current_mode") or {}
            if output["name"] == OUTPUT and output.get("active"):
                return (mode.get("width"), mode.get("height")) == (self.width, self.height)
        return False

    def _terminal_has_focus(self) -> bool:
        todo = [self.swaymsg("-t", "get_tree") or {}]
        while todo:
            node = todo.pop()
            if node.get("app_id") == APP_ID:
                return bool(node.get("focused") and node.get("visible"))
            todo += node.get("nodes", []) + node.get("floating_nodes", [])
        return False

    # --- using and stopping ------------------------------------------------

    def client_env(self) -> dict[str, str]:
        """This process's environment, pointed at the private sway only."""
        env = dict(os.environ)
        env["WAYLAND_DISPLAY"] = str(self.socket_path)
        env["XDG_RUNTIME_DIR"] = str(self.runtime_dir)
        env["SWAYSOCK"] = str(self.ipc_path)
        env.pop("WAYLAND_SOCKET", None)
        env.pop("DISPLAY", None)
        return env

    def _with_logs(self, message: str) -> str:
        assert self.runtime_dir is not None
        parts = [message]
        for name, _ in self._processes:
            try:
                text = (self.runtime_dir / f"{name}.log").read_text(errors="replace").strip()
            except OSError:
                continue
            if text:
                parts.append(f"--- {name} log ---\n{text}")
        return "\n".join(parts)

    def stop(self) -> None:
        """Ends everything start() started, newest first, and removes the
        runtime directory. Safe to call more than once."""
        started = set()
        for _, process in self._processes:
            started |= _tree_of(process.pid)
        for _, process in reversed(self._processes):
            if process.stdin is not None:
                process.stdin.close()
            if process.poll() is None:
                process.terminate()
            try:
                process.wait(timeout=3)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            if process.stdout is not None:
                process.stdout.close()
        self._processes.clear()
        # Whatever they started themselves (cat below foot) goes as well.
        _signal({pid for pid in started if _alive(pid)}, signal.SIGTERM)
        deadline = time.monotonic() + 2
        while any(_alive(pid) for pid in started) and time.monotonic() < deadline:
            time.sleep(0.02)
        _signal({pid for pid in started if _alive(pid)}, signal.SIGKILL)
        if self.runtime_dir is not None:
            shutil.rmtree(self.runtime_dir, ignore_errors=True)
            self.runtime_dir = None
