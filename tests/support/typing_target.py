"""Applications that receive typed text the way a user's do, for the tests
and benchmarks of typing into them.

``Foot`` runs foot with ``stty raw -echo; exec cat > FILE`` on a headless
compositor: every key foot turns into bytes lands in the file unchanged, and
whether foot is still connected is whether it still runs. ``ZenityText`` is
GTK's text view (``zenity --text-info --editable``), which prints its text
when it is closed. ``ready()`` types a marker with a session until the
application shows it, so that the keyboard focus is known to be there.
"""

from __future__ import annotations

import os
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Any

MARKER = "#"


class TypingTarget:
    command: list[str] = []

    def __init__(self, compositor: Any) -> None:
        self.compositor = compositor
        self.directory = Path(tempfile.mkdtemp(prefix="kestrin-typing-"))
        self.file = self.directory / "typed"
        env = compositor.env(dict(os.environ))
        env.update(LANG="C.UTF-8", LC_ALL="C.UTF-8", GDK_BACKEND="wayland", NO_AT_BRIDGE="1")
        env.pop("DISPLAY", None)
        self.log = open(self.directory / "log", "wb")
        self.process = subprocess.Popen(self.arguments(), env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.log, start_new_session=True)
        self.offset = 0

    def arguments(self) -> list[str]:
        raise NotImplementedError

    def contents(self) -> str:
        raise NotImplementedError

    def alive(self) -> bool:
        return self.process.poll() is None

    def ready(self, session: Any, timeout: float = 20.0) -> None:
        """Types the marker until it arrives; what came before the marker
        (nothing) and the marker itself are left out of ``text()``."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if not self.alive():
                raise RuntimeError(f"{self.command[0]} ended: {self.stderr()}")
            session.type_text(MARKER)
            settle = time.monotonic() + 1.0
            while time.monotonic() < settle:
                seen = self.contents()
                if MARKER in seen:
                    time.sleep(0.3)  # a second marker typed before the first showed
                    self.offset = len(self.contents())
                    return
                time.sleep(0.05)
        raise RuntimeError(f"{self.command[0]} never received a key: {self.stderr()}")

    def text(self) -> str:
        return self.contents()[self.offset:]

    def wait_for(self, length: int, timeout: float) -> str:
        """The text once it holds ``length`` characters, it stops growing, or
        the application ended, whichever comes first (within ``timeout``)."""
        deadline = time.monotonic() + timeout
        last, still_since = None, time.monotonic()
        while time.monotonic() < deadline:
            text = self.text()
            if len(text) >= length or not self.alive():
                return text
            if text != last:
                last, still_since = text, time.monotonic()
            elif time.monotonic() - still_since > 5.0:
                return text
            time.sleep(0.05)
        return self.text()

    def stderr(self) -> str:
        self.log.flush()
        return (self.directory / "log").read_text(errors="replace")[-2000:]

    def stop(self) -> None:
        if self.alive():
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for stream in (self.process.stdin, self.process.stdout):
            if stream is not None:
                stream.close()
        self.log.close()

    def __enter__(self) -> "TypingTarget":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()


class Foot(TypingTarget):
    command = ["foot"]

    def arguments(self) -> list[str]:
        return ["foot", "--app-id=kestrin-typing", "sh", "-c", f"stty raw -echo; exec cat > '{self.file}'"]

    def contents(self) -> str:
        try:
            return self.file.read_bytes().decode("utf-8", errors="replace")
        except FileNotFoundError:
            return ""


def _focused_app(node: dict) -> str | None:
    if node.get("focused"):
        return node.get("app_id")
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        found = _focused_app(child)
        if found is not None:
            return found
    return None


class ZenityText(TypingTarget):
    """GTK's text view, editable. What it holds is known only when it is
    closed with OK, so ``ready()`` waits for the window instead and
    ``finish()`` closes it and returns the text. On sway only (the window is
    found through swaymsg)."""

    command = ["zenity"]

    def arguments(self) -> list[str]:
        return ["zenity", "--text-info", "--editable", "--width=800", "--height=600"]

    def contents(self) -> str:
        return ""

    def ready(self, session: Any, timeout: float = 20.0) -> None:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if not self.alive():
                raise RuntimeError(f"zenity ended: {self.stderr()}")
            if _focused_app(self.compositor.swaymsg("-t", "get_tree")) == "zenity":
                time.sleep(0.5)
                return
            time.sleep(0.1)
        raise RuntimeError("zenity showed no window")

    def finish(self, session: Any, timeout: float = 60.0) -> str:
        """Leaves the text view (Ctrl+Tab), presses OK (Return on the default
        button) and returns what zenity printed."""
        session.press_keys("ctrl+Tab")
        session.press_keys("Return")
        out, _ = self.process.communicate(timeout=timeout)
        return out.decode("utf-8", errors="replace").removesuffix("\n")
