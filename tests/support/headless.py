"""The headless compositors of the tests that run against a real one.

sway is the testing kit's (kestrin.testing); phoc, weston and cage are the
tests' own, on the kit's base class. ``HeadlessPhoc`` starts phoc, a wlroots
compositor with its own seat, output and protocol code, which runs the whole
module. ``HeadlessWeston`` and ``HeadlessCage`` start compositors that lack
the virtual-input protocols, for the tests of what construction says there.
``HeadlessMutter`` starts the GNOME desktop of kestrin.gnome's tests: Mutter
on a private session bus with PipeWire and WirePlumber. ``COMPOSITORS`` maps
the names "sway", "phoc", "weston", "cage" and "mutter" to the classes.

As root, every compositor of the tests but Mutter runs as the system user
kestrin-sway, which scripts/bootstrap.sh makes.
"""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path
from typing import Any

from kestrin.testing import _compositor as kit
from kestrin.testing._recorder import ProbeError
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

    def _write_config(self, private_dir: Path) -> list[Path]:
        config = private_dir / "phoc.ini"
        config.write_text("".join(
            f"[output:HEADLESS-{n + 1}]\nmode = {self.width}x{self.height}@{self.refresh}Hz\n"
            f"scale = 1\nx = {n * self.width}\ny = 0\n"
            for n in range(self.outputs_at_start)
        ))
        return [config]

    def _arguments(self, private_dir: Path) -> list[str]:
        return ["-C", str(private_dir / "phoc.ini")]

    def _outputs_up(self) -> bool:
        # phoc listens before its backend has made the outputs, and has no
        # IPC to ask; it logs each one it adds.
        log = self.log()
        return all(f"Output 'HEADLESS-{n + 1}' added" in log for n in range(self.outputs_at_start))


class HeadlessWeston(_AsProjectUser, HeadlessCompositor):
    """One weston with its headless backend and the pixman renderer. It has no
    input devices and so no seat, and offers neither virtual-input protocol."""

    name = "weston"

    def _arguments(self, private_dir: Path) -> list[str]:
        return ["--backend=headless-backend.so", "--use-pixman", f"--width={self.width}",
                f"--height={self.height}", "--socket=wayland-1"]


class HeadlessCage(_AsProjectUser, HeadlessCompositor):
    """One cage, a kiosk compositor on the headless wlroots backend: its seat
    has no keyboard, and it offers no virtual-keyboard manager for a client to
    make one. Its kiosk application is a sleep, for cage ends with it."""

    name = "cage"

    def _arguments(self, private_dir: Path) -> list[str]:
        return ["--", "sleep", "infinity"]


# Nothing is activated on the private bus: Mutter needs no other service, and
# the session's own would start portals, dconf and a11y behind its back.
BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={path}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""
SETTINGS = """[org/gnome/desktop/interface]
enable-animations=false
"""
MUTTER_SERVICES = ("org.gnome.Mutter.RemoteDesktop", "org.gnome.Mutter.ScreenCast", "org.gnome.Mutter.DisplayConfig")


class HeadlessMutter(HeadlessCompositor):
    """A GNOME desktop without a screen: a private session bus, Mutter with
    its headless backend and one virtual monitor Virtual-1 of this instance's
    size, PipeWire and WirePlumber, all in one runtime directory. Mutter runs
    as the caller, root included. Ready once Mutter's remote-desktop,
    screen-cast and display-config services are on the bus, its Wayland socket
    accepts and PipeWire listens.

    ``bus_address`` is the session bus; ``env()`` gives clients the bus too.
    ``stop_mutter()`` ends Mutter alone and ``start_mutter()`` starts it
    again, on the same bus and PipeWire."""

    name = "mutter"
    output = "Meta-0"
    # Mutter shows a fullscreen window unchanged in its screen casts.
    probe_arguments = ()
    requires = ("dbus-daemon", "pipewire", "wireplumber", "busctl")

    def __init__(self, width: int = 1280, height: int = 720, *args: Any,
                 services: tuple[str, ...] = ("dbus-daemon", "pipewire", "wireplumber"), **kwargs: Any) -> None:
        super().__init__(width, height, *args, **kwargs)
        # Which of the bus, PipeWire and WirePlumber to start: the tests of a
        # desktop that lacks one leave it out.
        self.services = services
        self.bus_address: str | None = None
        self._services: list[subprocess.Popen[bytes]] = []

    def start(self) -> "HeadlessMutter":
        if self._process is not None:
            return self
        try:
            return super().start()
        finally:
            if self._process is None:
                self._stop_services()

    def stop(self) -> None:
        self.stop_mutter()
        super().stop()
        self._stop_services()

    def stop_mutter(self) -> None:
        """Ends Mutter (and whatever it started), leaving the bus and PipeWire.
        Mutter 43 does not end on SIGTERM while a remote-desktop session is
        open, so it gets SIGKILL soon after."""
        process, self._process = self._process, None
        if process is None:
            return
        kit.end_child(process, grace=0.2)

    def start_mutter(self) -> None:
        """Starts Mutter again after ``stop_mutter()``, in the same runtime
        directory, and waits until it is ready."""
        assert self.runtime_dir is not None and self.private_dir is not None and self._process is None
        runtime_dir = Path(self.runtime_dir)
        for name in os.listdir(runtime_dir):
            if name.startswith("wayland-"):
                (runtime_dir / name).unlink(missing_ok=True)
        self._process = self._spawn([shutil.which("mutter") or "mutter", *self._arguments(Path(self.private_dir))],
                                    "mutter-again.log")
        self.pid = self._process.pid
        self._wait_until_up()

    def env(self, base: dict[str, str] | None = None) -> dict[str, str]:
        env = super().env(base)
        env["DBUS_SESSION_BUS_ADDRESS"] = str(self.bus_address)
        return env

    def _environment(self, runtime_dir: Path) -> dict[str, str]:
        return {"DBUS_SESSION_BUS_ADDRESS": str(self.bus_address), "GSETTINGS_BACKEND": "keyfile",
                "XDG_CONFIG_HOME": str(Path(str(self.private_dir)) / "config")}

    def _arguments(self, private_dir: Path) -> list[str]:
        return ["--headless", "--wayland", "--no-x11", "--virtual-monitor", f"{self.width}x{self.height}"]

    def _write_config(self, private_dir: Path) -> list[Path]:
        # The bus listens before Mutter starts, which claims its names on it
        # at once; PipeWire is needed only when a screen cast starts.
        bus = private_dir / "bus"
        config = private_dir / "bus.conf"
        config.write_text(BUS_CONFIG.format(path=bus))
        # No animations: a window is in place, and in every frame, as soon as
        # it is mapped.
        settings = private_dir / "config" / "glib-2.0" / "settings"
        settings.mkdir(parents=True)
        (settings / "keyfile").write_text(SETTINGS)
        self.bus_address = f"unix:path={bus}"
        commands = {"dbus-daemon": ["dbus-daemon", "--nofork", "--nopidfile", f"--config-file={config}"],
                    "pipewire": ["pipewire"], "wireplumber": ["wireplumber"]}
        for service in self.services:
            self._services.append(self._spawn(commands[service], f"{service}.log"))
        return [config]

    def _spawn(self, command: list[str], log_name: str) -> subprocess.Popen[bytes]:
        runtime_dir = Path(str(self.runtime_dir))
        env = {"XDG_RUNTIME_DIR": str(runtime_dir), "HOME": str(runtime_dir / "home"),
               "PATH": "/usr/local/bin:/usr/bin:/bin", **self._environment(runtime_dir)}
        # Mutter may be started again: its log then goes on.
        assert self._logs_dir is not None
        with open(self._logs_dir / log_name, "ab") as log:
            return self._owned.adopt(kit.launch(command, env=env, cwd=runtime_dir, stdin=subprocess.DEVNULL,
                                                stdout=log, stderr=subprocess.STDOUT, start_new_session=True))

    def _stop_services(self) -> None:
        services, self._services = self._services, []
        for service in reversed(services):
            kit.end_child(service)

    def _outputs_up(self) -> bool:
        assert self.runtime_dir is not None
        if "pipewire" in self.services and not os.path.exists(os.path.join(self.runtime_dir, "pipewire-0")):
            return False
        listed = subprocess.run(["busctl", f"--address={self.bus_address}", "list", "--no-legend", "--acquired"],
                                capture_output=True, text=True)
        names = {line.split()[0] for line in listed.stdout.splitlines() if line.strip()}
        return all(service in names for service in MUTTER_SERVICES)

    def log(self) -> str:
        text = super().log()
        if self._logs_dir is not None:
            for name in ("mutter-again.log", "pipewire.log", "wireplumber.log", "dbus-daemon.log"):
                extra = kit.read_log(self._logs_dir / name).strip()
                if extra:
                    text += f"\n--- {name} ---\n{extra}"
        return text

    def _identity(self) -> tuple[list[str], int, int]:
        return [], os.getuid(), os.getgid()


def held_alone(probe: Any, kind: str) -> tuple[list[tuple[int, int]], list[str]]:
    """The probe's first two ``kind`` events ("button" or "key"), a press and
    its release, as (code, state), and the names of the events between them
    other than pointer frames. Their order, not their times: how long a hold
    lasts is measured in benchmarks/run.py."""
    press, release = probe.wait_for_count(kind, 2)
    events = probe.events()
    between = events[events.index(press) + 1 : events.index(release)]
    return [(e[kind], e["state"]) for e in (press, release)], [e["event"] for e in between if e["event"] != "frame"]


def pointer_ready(session: Any, probe: Any) -> None:
    """Waits until ``probe`` holds the seat's pointer and keyboard. A headless
    Mutter's seat gains its keyboard with the session and its pointer only
    with the session's first pointer event, which the probe therefore does
    not see."""
    session.move_to(0, 0)
    probe.wait_input_ready(pointer=True, keyboard=True)
    # Mutter animates a new window into place and lets the pointer enter it
    # only once it is there: move until it does.
    for attempt in range(100):
        session.move_to(attempt % 2, 0)
        try:
            probe.wait_for("pointer_enter", timeout=0.05)
            break
        except ProbeError:
            pass
    # While Mutter still settles the window, it may lie a fraction of a pixel
    # off the monitor's corner, and the pointer's surface positions with it:
    # move until a motion lands where it was aimed. Its arrival also says
    # that every motion before it has arrived.
    for attempt in range(100):
        x = 2 + attempt % 2
        session.move_to(x, x)
        try:
            probe.wait_for(lambda e: e["event"] == "motion" and (e["x"], e["y"]) == (x + 0.5, x + 0.5), timeout=0.05)
            return
        except ProbeError:
            pass
    raise ProbeError(f"the pointer never landed where it was aimed: {probe.events()[-10:]}")


COMPOSITORS: dict[str, type[HeadlessCompositor]] = {
    compositor.name: compositor
    for compositor in (HeadlessSway, HeadlessPhoc, HeadlessWeston, HeadlessCage, HeadlessMutter)
}
