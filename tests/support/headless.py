"""The headless compositors of the tests that run against a real one.

sway is the testing kit's (kestrin.testing); phoc, weston and cage are the
tests' own, on the kit's base class. ``HeadlessPhoc`` starts phoc, a wlroots
compositor with its own seat, output and protocol code, which runs the whole
module. ``HeadlessWeston`` and ``HeadlessCage`` start compositors that lack
the virtual-input protocols, for the tests of what construction says there.
``COMPOSITORS`` maps the names "sway", "phoc", "weston" and "cage" to the
classes.

As root, every compositor of the tests runs as the system user kestrin-sway,
which scripts/bootstrap.sh makes.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

from kestrin.testing import _compositor as kit
from kestrin.testing._compositor import (  # noqa: F401  (what the tests import from here)
    FIRST_OUTPUT,
    SWAY_USER,
    CompositorError,
    HeadlessCompositor,
    SwayError,
    process_alive,
)


class _AsProjectUser:
    def __init__(self, *args: Any, user: str | None = SWAY_USER, **kwargs: Any) -> None:
        super().__init__(*args, user=user, **kwargs)  # type: ignore[call-arg]


class HeadlessSway(_AsProjectUser, kit.HeadlessSway):
    """The kit's sway, as the tests run it."""


class HeadlessPhoc(_AsProjectUser, HeadlessCompositor):
    """One headless phoc with ``outputs`` outputs HEADLESS-1, HEADLESS-2, ...
    side by side, each at this instance's mode. phoc makes no outputs at run
    time: a test that needs two starts an instance with two."""

    name = "phoc"
    # phoc's headless output shows a fullscreen window black in every
    # capture; an ordinary window, which phoc maximizes, shows its picture.
    probe_arguments = ("--windowed",)

    # phoc sets its seat up together with its (lazily started) Xwayland; with
    # Xwayland absent or disabled it offers no wl_seat at all.
    requires = ("Xwayland",)

    def _write_config(self, runtime_dir: Path) -> list[Path]:
        config = runtime_dir / "phoc.ini"
        config.write_text("".join(
            f"[output:HEADLESS-{n + 1}]\nmode = {self.width}x{self.height}@{self.refresh}Hz\n"
            f"scale = 1\nx = {n * self.width}\ny = 0\n"
            for n in range(self.outputs_at_start)
        ))
        return [config]

    def _arguments(self, runtime_dir: Path) -> list[str]:
        return ["-C", str(runtime_dir / "phoc.ini")]

    def _outputs_up(self) -> bool:
        # phoc listens before its backend has made the outputs, and has no
        # IPC to ask; it logs each one it adds.
        log = self.log()
        return all(f"Output 'HEADLESS-{n + 1}' added" in log for n in range(self.outputs_at_start))


class HeadlessWeston(_AsProjectUser, HeadlessCompositor):
    """One weston with its headless backend and the pixman renderer. It has no
    input devices and so no seat, and offers neither virtual-input protocol."""

    name = "weston"

    def _arguments(self, runtime_dir: Path) -> list[str]:
        return ["--backend=headless-backend.so", "--use-pixman", f"--width={self.width}",
                f"--height={self.height}", "--socket=wayland-1"]


class HeadlessCage(_AsProjectUser, HeadlessCompositor):
    """One cage, a kiosk compositor on the headless wlroots backend: its seat
    has no keyboard, and it offers no virtual-keyboard manager for a client to
    make one. Its kiosk application is a sleep, for cage ends with it."""

    name = "cage"

    def _arguments(self, runtime_dir: Path) -> list[str]:
        return ["--", "sleep", "infinity"]


COMPOSITORS: dict[str, type[HeadlessCompositor]] = {
    compositor.name: compositor for compositor in (HeadlessSway, HeadlessPhoc, HeadlessWeston, HeadlessCage)
}
