"""kestrin's benchmark suite: one run against a private headless sway, one
table.

    .venv/bin/python benchmarks/run.py [--quick] [--rounds N] [--wait-idle SECONDS] [--bin-dir DIR]

Starts a headless sway (tests/support/headless.py) with kestrin-probe on it,
then measures, all in this one run:

- the start-up of a kestrin.testing.HeadlessDesktop (sway, the seat
  keyboard holder, the output named at its mode), one at a time;
- the import of kestrin in fresh interpreters, and the construction of
  Kestrin() from Python (py_worker.py) and of a core session (kestrin-bench);
- input calls from Python (py_worker.py) and the same actions in the core
  (kestrin-bench), beside a bare wl_display.sync roundtrip on a core session,
  and wtype typing one key per process and a long string in one;
- type_text of 1,000 characters with interval 0 beside wtype typing the same
  text in one process; and, once per run, type_text of 50,000 characters into
  foot (a raw ``cat`` writing a file) on a desktop of its own with a busy loop
  on every core: its rate beside wtype's, and whether foot got them exactly;
- screenshot() from Python and kestrin::screenshot in the core, a capture
  timed phase by phase, the same capture into a buffer kept across captures,
  and grim -t ppm, one process per capture; and both once more on a second
  sway that shows nothing (an empty desktop, as a user would try it), with
  grim writing a file there.
- the capture's last step, reading a frame out of its file, in each pixel
  format a compositor may announce (kestrin-bench, no compositor involved);
- wait_for_change against the probe changing its picture, from the probe's
  commit to the return, and the CPU of an idle wait (capture_worker.py);
- after the rounds, on a sway of each size in turn (1280x720, 1920x1080,
  3840x2160) showing nothing: screenshot(), Capture.grab(), grab_into() and
  iteration in loops (capture_worker.py) beside the C reuse floor, a client
  that keeps one buffer for all its frames (kestrin-capture-floor);
- in a table of its own, kestrin.gnome's calls on a headless Mutter beside
  the same calls on a headless sway, both 1280x720 (gnome_worker.py;
  ``--gnome-only`` measures just these).

The run is made of rounds, and every round measures every row (the core and
the Python calls each in a process of its own), so that a slow stretch of the
machine does not fall on some rows only. The machine's other load before and during the run is measured and
printed with the table. The table goes to stdout; progress goes to stderr.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "support"))

from headless import SWAY_USER, HeadlessSway  # noqa: E402
from py_worker import typed_text  # noqa: E402

from kestrin.testing import HeadlessDesktop  # noqa: E402

FRAME_RATE_HZ = 60
CAPTURE_SIZES = [(1280, 720), (1920, 1080), (3840, 2160)]
# How kestrin-capture-floor takes each frame out: not at all (the
# compositor's pace alone), and by memcpy out of a mapping made once.
FLOOR_READS = ("none", "mmap")
WIDTH, HEIGHT = 1920, 1080
TYPED_TEXT = "the quick brown fox jumps over the lazy dog " * 5  # 220 keys


def progress(message: str) -> None:
    print(f"[bench] {message}", file=sys.stderr, flush=True)


# --- the probe ---------------------------------------------------------------


class QuietProbe:
    """kestrin-probe with its event lines going to a file that nobody reads
    while the clock runs.

    kestrin.testing._recorder reads the probe's events on a thread of
    this process and parses every line as it comes. On a 2-core machine that
    thread competes with the compositor, the probe and the measured process
    for every input event the probe receives: with it, a core move_mouse took
    98 µs and a key press 204 µs, without it 40 µs and 85 µs. Here the lines
    go to a file and are only looked at while waiting for the probe to get
    ready or to activate its keyboard."""

    POLL = 0.005

    def __init__(self, sway: HeadlessSway, executable: Path) -> None:
        self._events = tempfile.NamedTemporaryFile(prefix="kestrin-probe-", suffix=".jsonl", delete=False)
        self._offset = 0
        self._stderr = tempfile.TemporaryFile()
        self._lines: list[dict] = []
        self._process = subprocess.Popen(
            [str(executable)], env=sway.env(), stdin=subprocess.PIPE, stdout=self._events, stderr=self._stderr
        )

    def _read(self) -> None:
        with open(self._events.name, "rb") as events:
            events.seek(self._offset)
            data = events.read()
        complete = data.rfind(b"\n") + 1
        self._offset += complete
        for raw in data[:complete].splitlines():
            # Only the few lines that are waited for are worth parsing.
            if b'"ready"' not in raw and b'"keyboard_activated"' not in raw and b'"painted"' not in raw:
                continue
            try:
                self._lines.append(json.loads(raw))
            except json.JSONDecodeError:
                pass

    def _count(self, name: str) -> int:
        self._read()
        return sum(1 for event in self._lines if event.get("event") == name)

    def _check_running(self) -> None:
        if self._process.poll() is not None:
            self._stderr.seek(0)
            raise RuntimeError(f"kestrin-probe ended with status {self._process.returncode}: "
                               f"{self._stderr.read().decode(errors='replace').strip()}")

    def _wait(self, name: str, count: int, timeout: float) -> dict:
        deadline = time.monotonic() + timeout
        while self._count(name) < count:
            self._check_running()
            if time.monotonic() > deadline:
                raise RuntimeError(f"kestrin-probe sent no {name} event within {timeout} s")
            time.sleep(self.POLL)
        return [event for event in self._lines if event.get("event") == name][count - 1]

    def wait_ready(self, timeout: float = 10.0) -> None:
        self._wait("ready", 1, timeout)

    def activate_keyboard(self, timeout: float = 5.0) -> None:
        self._check_running()
        done = self._count("keyboard_activated")
        assert self._process.stdin is not None
        self._process.stdin.write(b"activate-keyboard\n")
        self._process.stdin.flush()
        if not self._wait("keyboard_activated", done + 1, timeout)["ok"]:
            raise RuntimeError("kestrin-probe could not activate its keyboard")

    def paint(self, x: int, y: int, width: int, height: int, timeout: float = 5.0) -> int:
        """Has the probe paint a rectangle white; returns the CLOCK_MONOTONIC
        time in nanoseconds at which it committed the change."""
        self._check_running()
        done = self._count("painted")
        assert self._process.stdin is not None
        self._process.stdin.write(f"paint {x} {y} {width} {height}\n".encode())
        self._process.stdin.flush()
        return round(self._wait("painted", done + 1, timeout)["t"] * 1e6)

    def stop(self) -> None:
        assert self._process.stdin is not None
        try:
            self._process.stdin.close()
        except BrokenPipeError:
            pass
        try:
            self._process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self._process.terminate()
            self._process.wait()
        self._events.close()
        self._stderr.close()
        os.unlink(self._events.name)


class SeatKeyboard:
    """kestrin-seat-keyboard on a sway that shows no window: the seat's
    keyboard for sessions on an empty desktop."""

    def __init__(self, sway: HeadlessSway, executable: Path) -> None:
        self._process = subprocess.Popen([str(executable)], env=sway.env(), stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, text=True)
        self._expect("ready")

    def _expect(self, line: str) -> None:
        assert self._process.stdout is not None
        answer = self._process.stdout.readline().strip()
        if answer != line:
            raise RuntimeError(f"kestrin-seat-keyboard said {answer!r} instead of {line!r} "
                               f"(status {self._process.poll()})")

    def activate_keyboard(self) -> None:
        assert self._process.stdin is not None
        self._process.stdin.write("activate\n")
        self._process.stdin.flush()
        self._expect("activated")

    def stop(self) -> None:
        assert self._process.stdin is not None
        self._process.stdin.close()
        self._process.wait(timeout=5)


# --- running the measuring processes ------------------------------------------


def run_measurer(command: list[str], env: dict[str, str], probe: QuietProbe | SeatKeyboard,
                 other_line: Callable[[str, IO[str]], None] | None = None) -> dict:
    """Runs kestrin-bench, py_worker.py or capture_worker.py, answers its
    "activate" lines, hands any other line to `other_line` with the program's
    stdin, and returns its result object."""
    process = subprocess.Popen(command, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert process.stdin is not None and process.stdout is not None
    result = None
    for line in process.stdout:
        if line.startswith("activate"):
            probe.activate_keyboard()
            process.stdin.write("ok\n")
            process.stdin.flush()
        elif line.startswith("result "):
            result = json.loads(line[len("result ") :])
        elif other_line is not None:
            other_line(line, process.stdin)
    if process.wait() != 0 or result is None:
        raise RuntimeError(f"{' '.join(command[:3])} failed with status {process.returncode}")
    return result


def run_latency(python: str, env: dict[str, str], probe: QuietProbe, waits: int) -> tuple[list[int], dict]:
    """Runs capture_worker.py latency: has the probe paint whenever the
    worker is about to wait, and returns the times from the probe's commit to
    wait_for_change's return, with the worker's result object."""
    committed = 0
    latencies: list[int] = []

    def on_line(line: str, stdin: IO[str]) -> None:
        nonlocal committed
        if line.startswith("paint "):
            # A different square each time, so that every paint changes pixels.
            i = int(line.split()[1])
            committed = probe.paint(100 + i % 16 * 60, 100 + i // 16 % 8 * 60, 40, 40)
        elif line.startswith("returned "):
            returned = int(line.split()[1])
            if returned < 0:
                raise RuntimeError("wait_for_change timed out although the probe changed its picture")
            latencies.append(returned - committed)
            stdin.write("next\n")
            stdin.flush()

    probe.activate_keyboard()
    command = [python, str(ROOT / "benchmarks" / "capture_worker.py"), "latency", str(waits)]
    return latencies, run_measurer(command, env, probe, on_line)


def capture_loops(plan: "Plan", python: str, floor: Path, seat_keyboard: Path) -> dict[tuple[int, int], dict]:
    """The capture loops at each size, on a sway of that size showing nothing:
    kestrin-capture-floor in each way of reading and capture_worker.py loops,
    taking turns within every round."""
    found: dict[tuple[int, int], dict] = {}
    for width, height in CAPTURE_SIZES:
        samples: dict[str, list[int]] = {}
        with HeadlessSway(width, height, FRAME_RATE_HZ) as sway:
            keyboard = SeatKeyboard(sway, seat_keyboard)
            try:
                for round_ in range(plan.rounds):
                    progress(f"capture loops at {width}x{height}, round {round_ + 1} of {plan.rounds}")
                    for read in FLOOR_READS:
                        keyboard.activate_keyboard()
                        result = run_measurer([str(floor), "--frames", str(plan.capture_frames), "--read", read],
                                              sway.env(), keyboard)
                        for name, values in result.items():
                            samples.setdefault(f"floor_{read}_{name}", []).extend(values)
                    keyboard.activate_keyboard()
                    result = run_measurer([python, str(ROOT / "benchmarks" / "capture_worker.py"), "loops",
                                           str(plan.capture_frames)], sway.env(), keyboard)
                    for name, values in result.items():
                        samples.setdefault(name, []).extend(values)
                if not sway.running:
                    raise RuntimeError(f"sway at {width}x{height} died during the capture loops")
            finally:
                keyboard.stop()
        found[(width, height)] = samples
    return found


def wall_times(command: list[str], runs: int, env: dict[str, str] | None = None, stdout=subprocess.DEVNULL) -> list[int]:
    samples = []
    for _ in range(runs):
        t0 = time.perf_counter_ns()
        subprocess.run(command, env=env, stdout=stdout, stderr=subprocess.DEVNULL, check=True)
        samples.append(time.perf_counter_ns() - t0)
    return samples


def desktop_start_times(runs: int) -> list[int]:
    samples = []
    for _ in range(runs):
        desktop = HeadlessDesktop(outputs=[(WIDTH, HEIGHT)], user=SWAY_USER)
        t0 = time.perf_counter_ns()
        try:
            desktop.start()
            samples.append(time.perf_counter_ns() - t0)
        finally:
            desktop.stop()
    return samples


FOOT_CHARACTERS = 50_000


def foot_typing(characters: int, busy_loops: int) -> tuple[int, str]:
    """type_text of ``characters`` random printable ASCII characters into foot
    running a raw ``cat`` on a desktop of its own, with ``busy_loops`` shell
    loops spinning meanwhile: the call's wall time, and what foot showed of
    it ("exact", or what went wrong)."""
    import random
    import string

    from typing_target import Foot

    printable = string.ascii_letters + string.digits + string.punctuation + " "
    text = "".join(random.Random(characters).choice(printable) for _ in range(characters))
    with HeadlessDesktop(outputs=[(WIDTH, HEIGHT)], user=SWAY_USER) as desktop:
        session = desktop.connect()
        with Foot(desktop) as foot:
            foot.ready(session)
            loops = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(busy_loops)]
            try:
                t0 = time.perf_counter_ns()
                session.type_text(text)
                elapsed = time.perf_counter_ns() - t0
            finally:
                for loop in loops:
                    loop.kill()
                    loop.wait()
            got = foot.wait_for(len(text), timeout=120)
            if not foot.alive():
                return elapsed, f"foot disconnected after {len(got):,} characters"
            return elapsed, "exact" if got == text else f"{len(got):,} characters arrived, not exact"


def import_times(python: str, runs: int, module: str = "kestrin") -> list[int]:
    code = f"import time; t = time.perf_counter_ns(); import {module}; print(time.perf_counter_ns() - t)"
    samples = []
    for _ in range(runs):
        out = subprocess.run([python, "-c", code], capture_output=True, text=True, check=True, cwd="/")
        samples.append(int(out.stdout.strip()))
    return samples


# --- statistics and the table -------------------------------------------------


def median(samples: list[int]) -> float:
    return float(statistics.median(samples))


def percentile(samples: list[int], q: float) -> float:
    ordered = sorted(samples)
    return float(ordered[min(len(ordered) - 1, int(q * len(ordered)))])


def fmt_time(ns: float) -> str:
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    return f"{ns / 1e3:.1f} µs"


def fmt_rate(ns: float) -> str:
    rate = 1e9 / ns
    return f"{rate:,.0f}" if rate >= 100 else f"{rate:.1f}"


@dataclass
class Row:
    name: str
    samples: list[int] | None = None
    against: str = ""
    ratio: str = ""
    python_vs_core: str = ""
    target: str = ""
    section: bool = False
    rate: bool = True
    count: bool = False  # samples are counts, not nanoseconds


@dataclass
class Table:
    rows: list[Row] = field(default_factory=list)

    def add(self, row: Row) -> None:
        self.rows.append(row)

    def render(self) -> str:
        header = ["Measurement", "Median", "p90", "Per second", "Against", "Ratio", "Python ÷ core", "Target"]
        lines = []
        for row in self.rows:
            if row.section:
                lines.append([f"**{row.name}**"] + [""] * (len(header) - 1))
                continue
            assert row.samples is not None
            m = median(row.samples)
            show = (lambda v: f"{v:,.0f}") if row.count else fmt_time
            lines.append(
                [
                    row.name,
                    show(m),
                    show(percentile(row.samples, 0.9)),
                    fmt_rate(m) if row.rate and not row.count else "",
                    row.against,
                    row.ratio,
                    row.python_vs_core,
                    row.target,
                ]
            )
        widths = [max(len(header[i]), *(len(line[i]) for line in lines)) for i in range(len(header))]

        def fmt(cells: list[str]) -> str:
            return "| " + " | ".join(cell.ljust(width) for cell, width in zip(cells, widths)) + " |"

        out = [fmt(header), "|" + "|".join("-" * (width + 2) for width in widths) + "|"]
        out += [fmt(line) for line in lines]
        return "\n".join(out)


def add_capture_loop_rows(t: Table, loops: dict[tuple[int, int], dict], latencies: list[int],
                          idle_cpu: list[int]) -> None:
    interval = 1e9 / FRAME_RATE_HZ
    for (width, height), found in loops.items():
        floor = median(found["floor_mmap_interval"])
        t.add(Row(f"Capture in a loop, {width}x{height}: frame interval (Ratio: to {fmt_time(interval)}; "
                  f"last column: to the C floor with memcpy)", section=True))
        kinds = [
            ("screenshot", "screenshot() in a loop (Python)", False),
            ("grab", "Capture.grab() in a loop (Python)", True),
            ("grab_into", "Capture.grab_into(array) in a loop (Python)", True),
            ("iterate", "for frame in capture (Python)", True),
            ("floor_none_interval", "C floor: one buffer kept, pixels not read", False),
            ("floor_mmap_interval", "C floor: one buffer kept, memcpy out of a mapping", False),
        ]
        for name, label, targeted in kinds:
            samples = found[name]
            cpu_name = f"{name.removesuffix('_interval')}_cpu" if name.startswith("floor_") else f"cpu_{name}"
            ratio = median(samples) / interval
            t.add(Row(label, samples,
                      against=f"upper quartile {fmt_time(percentile(samples, 0.75))}; client CPU "
                              f"{fmt_time(median(found[cpu_name]))}/frame",
                      ratio=f"{ratio:.3f}×", python_vs_core=f"{median(samples) / floor:.3f}×",
                      target=f"≤ 1.05×: {verdict(ratio, 1.05)}" if targeted else ""))
    t.add(Row("Waiting for a change, 1920x1080 (the probe paints a square)", section=True))
    frames = median(latencies) / interval
    t.add(Row("wait_for_change: probe's commit until the wait returns (Python)", latencies, rate=False,
              against=f"frame interval {fmt_time(interval)}", ratio=f"{frames:.2f} frames",
              target=f"≤ 2 frames: {verdict(frames, 2.0)}"))
    share = median(idle_cpu) / 1e9
    t.add(Row("idle wait_for_change(timeout_ms=2000): CPU per second waited", idle_cpu, rate=False,
              against=f"{share:.3%} of a core", target=f"< 5%: {verdict(share, 0.05)}"))


def verdict(ratio: float, limit: float, at_most: bool = True) -> str:
    ok = ratio <= limit if at_most else ratio >= limit
    return "met" if ok else "MISSED"


# --- the machine --------------------------------------------------------------


def machine_cpu_seconds() -> tuple[float, float]:
    """CPU time the whole machine has spent busy, and time stolen by the
    hypervisor, since boot, from /proc/stat."""
    values = [int(v) for v in Path("/proc/stat").read_text().splitlines()[0].split()[1:]]
    user, nice, system, _idle, _iowait, irq, softirq, steal = values[:8]
    tick = os.sysconf("SC_CLK_TCK")
    return (user + nice + system + irq + softirq) / tick, steal / tick


def own_cpu_seconds() -> float:
    """CPU time of this process and of every child it has waited for."""
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def busy_share(seconds: float = 1.0) -> float:
    """The share of all CPUs that was busy over the next `seconds`."""
    before, _ = machine_cpu_seconds()
    time.sleep(seconds)
    after, _ = machine_cpu_seconds()
    return (after - before) / (seconds * (os.cpu_count() or 1))


def wait_until_idle(limit: float) -> float:
    """Waits up to `limit` seconds for a second in which the machine is less
    than 15% busy; returns the last share seen."""
    deadline = time.monotonic() + limit
    share = busy_share()
    while share > 0.15 and time.monotonic() < deadline:
        progress(f"the machine is {share:.0%} busy; waiting for it to settle")
        share = busy_share()
    return share



def machine_description(python: str) -> list[str]:
    cpu = "unknown"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    memory = ""
    for line in Path("/proc/meminfo").read_text().splitlines():
        if line.startswith("MemTotal"):
            memory = f"{int(line.split()[1]) / 1024 / 1024:.1f} GiB"
    debian = Path("/etc/debian_version").read_text().strip() if Path("/etc/debian_version").exists() else "?"
    py = subprocess.run([python, "-c", "import sys, numpy; print(sys.version.split()[0], numpy.__version__)"],
                        capture_output=True, text=True).stdout.split()
    sway = subprocess.run(["sway", "--version"], capture_output=True, text=True).stdout.strip()

    def package(name: str) -> str:
        out = subprocess.run(["dpkg-query", "-W", "-f=${Version}\n", name], capture_output=True, text=True)
        return next((line for line in out.stdout.splitlines() if line.strip()), "?")

    return [
        f"CPU: {cpu}, {os.cpu_count()} cores; memory {memory}",
        f"Kernel: {platform.release()}; Debian {debian}",
        f"Python {py[0] if py else '?'} (NumPy {py[1] if len(py) > 1 else '?'}); {sway} "
        f"(wlroots {package('libwlroots*')}); grim {package('grim')}; wtype {package('wtype')}",
        f"Compositor: headless backend, pixman renderer, one output {WIDTH}x{HEIGHT} at {FRAME_RATE_HZ} Hz, "
        f"kestrin-probe fullscreen on it; a second one alike with nothing shown (the empty desktop)",
    ]


# --- the run --------------------------------------------------------------------


@dataclass
class Plan:
    """What one round measures; every round measures everything, so that a
    slow stretch of the machine falls on all rows alike."""

    rounds: int
    sessions: int  # per process
    blocks: int  # per process, each with block_size calls of every input kind
    block_size: int
    captures: int  # per process and capture kind
    imports: int  # fresh interpreters per round, for each of the three
    wtype_keys: int  # wtype processes per round
    grims: int  # grim processes per round
    wtype_string_every: int  # one wtype string every so many rounds
    desktops: int  # HeadlessDesktop start-ups per round
    capture_frames: int  # frames per capture loop, per kind, size and round
    latency_waits: int  # wait_for_change latencies per round


FULL = Plan(rounds=10, sessions=2, blocks=2, block_size=150, captures=12, imports=2, wtype_keys=3, grims=4,
            wtype_string_every=2, desktops=1, capture_frames=40, latency_waits=10)
QUICK = Plan(rounds=1, sessions=2, blocks=2, block_size=50, captures=5, imports=3, wtype_keys=5, grims=5,
             wtype_string_every=1, desktops=3, capture_frames=8, latency_waits=3)


def merge(into: dict, result: dict) -> None:
    for section in ("construction", "input", "capture", "phases", "formats"):
        for name, samples in result.get(section, {}).items():
            into.setdefault(section, {}).setdefault(name, []).extend(samples)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="few iterations: checks that the suite runs")
    parser.add_argument("--rounds", type=int, help=f"rounds (default {FULL.rounds})")
    parser.add_argument("--wait-idle", type=float, default=0, metavar="SECONDS",
                        help="first wait up to this long for the machine to be idle")
    parser.add_argument("--bin-dir", type=Path, default=ROOT / "build" / "tests" / "bin",
                        help="where kestrin-bench and kestrin-probe are")
    parser.add_argument("--gnome-only", action="store_true", help="only the GNOME rows (kestrin.gnome on Mutter)")
    args = parser.parse_args()
    if args.gnome_only:
        print(gnome_table(sys.executable, args.bin_dir / "kestrin-probe", args.quick))
        return 0
    plan = QUICK if args.quick else FULL
    if args.rounds:
        plan.rounds = args.rounds
    python = sys.executable
    bench = args.bin_dir / "kestrin-bench"
    probe_executable = args.bin_dir / "kestrin-probe"
    seat_keyboard = args.bin_dir / "kestrin-seat-keyboard"
    floor = args.bin_dir / "kestrin-capture-floor"
    for program in (bench, probe_executable, seat_keyboard, floor):
        if not program.is_file():
            raise SystemExit(f"{program} is missing: build it with scripts/bootstrap.sh")
    idle_share = wait_until_idle(args.wait_idle) if args.wait_idle > 0 else busy_share()
    started = time.monotonic()
    machine_before, steal_before = machine_cpu_seconds()
    own_before = own_cpu_seconds()

    machine = machine_description(python)

    imports: list[int] = []
    logging_imports: list[int] = []
    startup: list[int] = []
    desktop_startup: list[int] = []
    core: dict = {}
    py: dict = {}
    wtype_key: list[int] = []
    wtype_text: list[int] = []
    wtype_long: list[int] = []
    grim: list[int] = []
    empty_py: dict = {}
    empty_grim: list[int] = []
    latencies: list[int] = []
    idle_cpu: list[int] = []
    with HeadlessSway(WIDTH, HEIGHT, FRAME_RATE_HZ) as sway, HeadlessSway(WIDTH, HEIGHT, FRAME_RATE_HZ) as empty, \
            tempfile.TemporaryDirectory(prefix="kestrin-bench-") as scratch:
        env = sway.env()
        empty_env = empty.env()
        probe = QuietProbe(sway, probe_executable)
        keyboard = SeatKeyboard(empty, seat_keyboard)
        try:
            probe.wait_ready()
            counts = ["--sessions", str(plan.sessions), "--blocks", str(plan.blocks),
                      "--block-size", str(plan.block_size), "--captures", str(plan.captures)]
            for round_ in range(plan.rounds):
                progress(f"round {round_ + 1} of {plan.rounds}")
                merge(core, run_measurer([str(bench), *counts], env, probe))
                merge(py, run_measurer([python, str(ROOT / "benchmarks" / "py_worker.py"), *counts], env, probe))
                grim += wall_times(["grim", "-t", "ppm", "-"], plan.grims, env)
                merge(empty_py, run_measurer([python, str(ROOT / "benchmarks" / "py_worker.py"), "--sessions", "1",
                                              "--blocks", "1", "--block-size", "1", "--captures", str(plan.captures)],
                                             empty_env, keyboard))
                empty_grim += wall_times(["grim", "-t", "ppm", os.path.join(scratch, "grim.ppm")], plan.grims,
                                         empty_env)
                wtype_key += wall_times(["wtype", "a"], plan.wtype_keys, env)
                if round_ % plan.wtype_string_every == 0:
                    wtype_text += [t // len(TYPED_TEXT) for t in wall_times(["wtype", TYPED_TEXT], 1, env)]
                    wtype_long += wall_times(["wtype", typed_text()], 1, env)
                desktop_startup += desktop_start_times(plan.desktops)
                waited, result = run_latency(python, env, probe, plan.latency_waits)
                latencies += waited
                # CPU nanoseconds per second of an idle wait.
                idle_cpu += [ppm * 1000 for ppm in result["idle_cpu_ppm"]]
                if any(result["idle_woke"]):
                    raise RuntimeError("an idle wait_for_change woke on a still screen")
                for _ in range(plan.imports):
                    imports += import_times(python, 1)
                    logging_imports += import_times(python, 1, "logging")
                    startup += wall_times([python, "-c", "pass"], 1)
            if not sway.running or not empty.running:
                raise RuntimeError("sway died during the run")
        except BaseException:
            print("--- the end of sway's log ---\n" + sway.log()[-4000:], file=sys.stderr)
            raise
        finally:
            probe.stop()
            keyboard.stop()
    progress(f"typing {FOOT_CHARACTERS:,} characters into foot, both cores busy")
    into_foot = foot_typing(FOOT_CHARACTERS, busy_loops=os.cpu_count() or 2)
    loops = capture_loops(plan, python, floor, seat_keyboard)
    wall = time.monotonic() - started
    machine_after, steal_after = machine_cpu_seconds()
    others = (machine_after - machine_before) - (own_cpu_seconds() - own_before)
    cores = os.cpu_count() or 1

    table = build_table(plan, imports, logging_imports, startup, desktop_startup, core, py, wtype_key, wtype_text,
                        wtype_long, grim,
                        empty_py["capture"]["screenshot"], empty_grim, loops, latencies, idle_cpu, into_foot)
    print("kestrin benchmarks, " + time.strftime("%Y-%m-%d %H:%M"))
    for line in machine:
        print(line)
    print(f"Samples: {len(core['input']['roundtrip'])} calls of each input kind and "
          f"{len(core['capture']['screenshot'])} captures of each kind, core and Python each, "
          f"{len(core['construction']['construct'])} sessions each; {len(imports)} imports; "
          f"{len(wtype_key)} wtype processes and {len(wtype_text)} wtype strings of {len(TYPED_TEXT)} keys; "
          f"{len(grim)} grim processes; on the empty desktop {len(empty_py['capture']['screenshot'])} captures "
          f"and {len(empty_grim)} grim processes; {len(loops[CAPTURE_SIZES[0]]['grab'])} frames of each capture loop "
          f"at each size; {len(latencies)} waits for a change; in {plan.rounds} rounds")
    print(f"Other load: {idle_share:.0%} of the CPUs busy in the second before the run; during the run's "
          f"{wall:.0f} s, other processes used {max(others, 0):.1f} CPU-s ({max(others, 0) / (wall * cores):.0%} of "
          f"the {cores} CPUs) and the hypervisor stole {steal_after - steal_before:.1f} CPU-s")
    if idle_share > 0.15 or others / (wall * cores) > 0.1:
        print("WARNING: the machine was busy with other work; expect slower and noisier numbers")
    print()
    print(table)
    print()
    print(gnome_table(python, probe_executable, args.quick))
    return 0


def build_table(plan: Plan, imports, logging_imports, startup, desktop_startup, core, py, wtype_key, wtype_text,
                wtype_long, grim,
                empty_shot, empty_grim, loops, latencies, idle_cpu, into_foot) -> str:
    t = Table()
    ci, pi = core["input"], py["input"]
    floor = median(ci["roundtrip"])

    t.add(Row("Start-up", section=True))
    t.add(Row("HeadlessDesktop start() (sway, seat keyboard, output named)", desktop_startup, rate=False,
              target=f"< 300 ms: {verdict(median(desktop_startup) / 300e6, 1.0)}"))
    t.add(Row("import kestrin (fresh interpreter)", imports, rate=False,
              against=f"interpreter start-up {fmt_time(median(startup))}",
              ratio=f"{median(imports) / median(startup):.2f}×"))
    t.add(Row("… import logging alone, which kestrin imports", logging_imports, rate=False,
              against=f"{median(logging_imports) / median(imports) * 100:.0f}% of import kestrin"))
    core_construct = core["construction"]["construct"]
    py_construct = py["construction"]["construct"]
    t.add(Row("Kestrin() (Python)", py_construct, rate=False,
              against=f"roundtrip floor {fmt_time(floor)}", ratio=f"{median(py_construct) / floor:.0f}×",
              python_vs_core=f"{median(py_construct) / median(core_construct):.2f}×"))
    t.add(Row("connect + wait_for_output_names (core)", core_construct, rate=False,
              against=f"roundtrip floor {fmt_time(floor)}", ratio=f"{median(core_construct) / floor:.0f}×"))
    ph = core["phases"]
    connect_total = median(ph["connect_total"])
    for name, label in [
        ("connect_total", "… the same steps, timed one by one (core)"),
        ("connect_socket", "… socket, display, queue, get_registry"),
        ("connect_registry", "… roundtrip: globals bound"),
        ("connect_keymap", "… get_keyboard + roundtrip: the seat's keymap"),
        ("connect_keyboard", "… virtual keyboard + its keymap + roundtrip"),
        ("connect_pointer", "… virtual pointer + roundtrip"),
        ("connect_names", "… waiting for output names"),
    ]:
        share = "" if name == "connect_total" else f"{median(ph[name]) / connect_total * 100:.0f}% of the whole"
        t.add(Row(label, ph[name], rate=False, against=share))

    t.add(Row("Input, hold 0", section=True))
    t.add(Row("bare wl_display.sync roundtrip (core)", ci["roundtrip"], against="the floor", ratio="1.00×"))
    for name, label, trips in [
        ("move_mouse", "move_mouse", 1),
        ("left_click", "left_click(0)", 2),
        ("right_click", "right_click(0)", 2),
        ("key_press", "key_press(30, 0)", 2),
    ]:
        against = f"{trips} roundtrip{'s' if trips > 1 else ''} {fmt_time(trips * floor)}"
        py_ratio = median(pi[name]) / (trips * floor)
        t.add(Row(f"{label} (Python)", pi[name], against=against, ratio=f"{py_ratio:.2f}×",
                  python_vs_core=f"{median(pi[name]) / median(ci[name]):.2f}×",
                  target=f"≤ 1.2×: {verdict(py_ratio, 1.2)}"))
        t.add(Row(f"{label} (core)", ci[name], against=against,
                  ratio=f"{median(ci[name]) / (trips * floor):.2f}×"))
    for name, label in [
        ("move_mouse", "move_mouse"),
        ("left_click", "left_click(0)"),
        ("right_click", "right_click(0)"),
        ("key_press", "key_press(30, 0)"),
    ]:
        py_cpu, core_cpu = pi["cpu_" + name], ci["cpu_" + name]
        t.add(Row(f"{label}: client CPU per call (Python)", py_cpu, rate=False,
                  against=f"core {fmt_time(median(core_cpu))}",
                  python_vs_core=f"{median(py_cpu) / median(core_cpu):.2f}×"))
    move_py = median(pi["move_mouse"])
    move_to_ratio = median(pi["move_to"]) / move_py
    t.add(Row("move_to(x, y) on the output's pixels (Python)", pi["move_to"],
              against=f"move_mouse (Python) {fmt_time(move_py)}", ratio=f"{move_to_ratio:.2f}×",
              target=f"≤ 1.1×: {verdict(move_to_ratio, 1.1)}"))
    t.add(Row("scroll(±1) (Python)", pi["scroll"], against=f"1 roundtrip {fmt_time(floor)}",
              ratio=f"{median(pi['scroll']) / floor:.2f}×"))
    t.add(Row("move_mouse to the point it is at (core)", ci["move_mouse_same_point"], against="1 roundtrip",
              ratio=f"{median(ci['move_mouse_same_point']) / floor:.2f}×"))
    for name, label in [
        ("button_press_half", "button press + roundtrip (core)"),
        ("button_release_half", "button release + roundtrip (core)"),
        ("key_press_half", "key press + roundtrip (core)"),
        ("key_release_half", "key release + roundtrip (core)"),
    ]:
        t.add(Row(label, ci[name], against="1 roundtrip", ratio=f"{median(ci[name]) / floor:.2f}×"))
    key_py = median(pi["key_press"])
    t.add(Row("wtype a (one process per key)", wtype_key, against="key_press (Python)",
              ratio=f"{median(wtype_key) / key_py:.0f}× slower"))
    t.add(Row(f"wtype, {len(TYPED_TEXT)}-key string, per key", wtype_text, against="key_press (Python)",
              ratio=f"{median(wtype_text) / key_py:.0f}× slower"))

    chars = len(typed_text())
    typing, typing_cpu = pi["type_text"], pi["cpu_type_text_char"]
    chars_per_cpu_second = 1e9 / median(typing_cpu)
    t.add(Row(f"Text, {chars:,} printable ASCII characters", section=True))
    t.add(Row("type_text(text) (Python, interval 0)", typing, rate=False,
              against=f"{chars * 1e9 / median(typing):,.0f} characters/s"))
    t.add(Row("type_text: client CPU per character (Python)", typing_cpu, rate=False,
              against=f"{chars_per_cpu_second:,.0f} characters per CPU-second",
              target=f"≥ 20,000/s: {verdict(chars_per_cpu_second, 20_000, False)}"))
    speedup = median(wtype_long) / median(typing)
    t.add(Row("wtype, the same text in one process", wtype_long, rate=False, against="type_text (Python)",
              ratio=f"type_text {speedup:.0f}× faster", target=f"≥ 10× faster: {verdict(speedup, 10.0, False)}"))

    foot_ns, foot_outcome = into_foot
    foot_rate = FOOT_CHARACTERS * 1e9 / foot_ns
    wtype_rate = chars * 1e9 / median(wtype_long)
    t.add(Row(f"type_text, {FOOT_CHARACTERS:,} characters into foot (raw cat), all cores busy", [foot_ns],
              rate=False, against=f"{foot_rate:,.0f} characters/s, {foot_outcome}; wtype {wtype_rate:,.0f}/s",
              ratio=f"{foot_rate / wtype_rate:.0f}× wtype",
              target=f"≥ 2,300/s and exact: "
                     f"{verdict(foot_rate, 2_300, False) if foot_outcome == 'exact' else 'MISSED'}"))

    t.add(Row(f"Capture {WIDTH}x{HEIGHT}", section=True))
    interval = 1e9 / FRAME_RATE_HZ
    shot_py = py["capture"]["screenshot"]
    shot_core = core["capture"]["screenshot"]
    frames = median(shot_py) / interval
    t.add(Row("screenshot() (Python)", shot_py, against=f"frame interval {fmt_time(interval)}",
              ratio=f"{frames:.2f} frames", python_vs_core=f"{median(shot_py) / median(shot_core):.2f}×",
              target=f"≤ 2 frames: {verdict(frames, 2.0)}"))
    t.add(Row("kestrin::screenshot (core)", shot_core, against=f"frame interval {fmt_time(interval)}",
              ratio=f"{median(shot_core) / interval:.2f} frames"))
    t.add(Row("our own minor page faults per screenshot() (Python)", py["capture"]["client_faults"], count=True,
              against=f"core {median(core['capture']['client_faults']):,.0f}; a frame is "
                      f"{WIDTH * HEIGHT * 4 // 4096:,} pages"))
    speedup = median(grim) / median(shot_py)
    t.add(Row("grim -t ppm - (one process per capture)", grim, against="screenshot() (Python)",
              ratio=f"screenshot {speedup:.2f}× faster", target=f"≥ 2× faster: {verdict(speedup, 2.0, False)}"))
    t.add(Row("screenshot() (Python), empty desktop", empty_shot, against=f"frame interval {fmt_time(interval)}",
              ratio=f"{median(empty_shot) / interval:.2f} frames"))
    t.add(Row("grim -t ppm FILE, empty desktop (one process per capture)", empty_grim,
              against="screenshot() (Python), empty desktop",
              ratio=f"screenshot {median(empty_grim) / median(empty_shot):.2f}× faster"))

    fresh_total = median(ph["fresh_total"])
    t.add(Row("Capture phases (core, kestrin::screenshot's steps)", section=True))
    for name, label in [
        ("total", "whole capture, timed phase by phase"),
        ("capture_request", "capture_output + roundtrip (buffer event)"),
        ("shm_file", "create_shm_file + allocating its pages (8,294,400 bytes)"),
        ("create_pool", "create_pool + roundtrip"),
        ("create_buffer", "create_buffer + roundtrip"),
        ("copy_to_ready", "copy until ready"),
        ("copy_to_commit", "… of it, until the compositor's output commit"),
        ("commit_to_ready", "… of it, output commit until ready received"),
        ("read", "malloc + pread of the pixels"),
        ("release", "destroy buffer and pool, flush, close file"),
    ]:
        samples = ph["fresh_" + name]
        share = "" if name == "total" else f"{median(samples) / fresh_total * 100:.0f}% of the whole"
        t.add(Row(label, samples, rate=name == "total", against=share))
    if "fresh_compositor_faults" in ph:
        t.add(Row("compositor's minor page faults during a capture", ph["fresh_compositor_faults"], count=True,
                  against=f"{WIDTH * HEIGHT * 4 // 4096:,} pages in a frame"))
    kept_total = ph["kept_total"]
    t.add(Row("Diagnostic: buffer kept across captures (core)", section=True))
    t.add(Row("whole capture, buffer kept", kept_total, against=f"frame interval {fmt_time(interval)}",
              ratio=f"{median(kept_total) / interval:.2f} frames"))
    for name, label in [
        ("capture_request", "capture_output + roundtrip (buffer event)"),
        ("copy_to_commit", "copy until the compositor's output commit"),
        ("commit_to_ready", "output commit until ready received"),
        ("read", "malloc + pread of the pixels"),
    ]:
        samples = ph["kept_" + name]
        fresh = median(ph["fresh_" + name])
        t.add(Row(label, samples, rate=False, against=f"fresh buffer {fmt_time(fresh)}",
                  ratio=f"{median(samples) / fresh:.2f}×"))
    if "kept_compositor_faults" in ph:
        t.add(Row("compositor's minor page faults during a capture", ph["kept_compositor_faults"], count=True,
                  against=f"fresh buffer {median(ph['fresh_compositor_faults']):,.0f}"))

    add_capture_loop_rows(t, loops, latencies, idle_cpu)

    formats = core["formats"]
    plain = median(formats["read_xrgb8888"])
    t.add(Row(f"Pixel formats (core, client CPU to read one {WIDTH}x{HEIGHT} frame into the array)", section=True))
    for name in ("xrgb8888", "argb8888", "xbgr8888", "abgr8888",
                 "xrgb2101010", "argb2101010", "xbgr2101010", "abgr2101010"):
        samples = formats["read_" + name]
        extra = median(samples) - plain
        if name == "xrgb8888":
            t.add(Row(name, samples, rate=False, against="a plain read"))
            continue
        t.add(Row(name, samples, rate=False, against=f"xrgb8888 {fmt_time(plain)}",
                  ratio=f"{'+' if extra >= 0 else '−'}{fmt_time(abs(extra))}",
                  target=f"≤ +1 ms: {verdict(extra, 1e6)}"))
    return t.render()


# --- GNOME: kestrin.gnome on Mutter beside kestrin.Kestrin on sway ---------------


HOLDS = {"hold_click": "left_click(50), press to release at the recorder",
         "hold_key": "key_press(30, 50), press to release at the recorder"}


def gnome_table(python: str, probe: Path, quick: bool) -> str:
    """kestrin.gnome's calls on a headless Mutter beside the same calls of
    kestrin.Kestrin on a headless sway, both 1280x720 with the recorder shown,
    from Python (benchmarks/gnome_worker.py, one process per desktop)."""
    counts = ["--sessions", "2" if quick else "5", "--calls", "20" if quick else "200", "--holds", "3" if quick else "10",
              "--probe", str(probe)]
    worker = str(ROOT / "benchmarks" / "gnome_worker.py")
    samples = {}
    for desktop in ("gnome", "sway"):
        progress(f"GNOME rows: {desktop}")
        out = subprocess.run([python, worker, desktop, *counts], capture_output=True, text=True, check=True)
        samples[desktop] = json.loads(out.stdout.strip().splitlines()[-1])
    gnome, sway = samples["gnome"], samples["sway"]
    interval = 1e9 / FRAME_RATE_HZ
    t = Table()
    t.add(Row("GNOME: kestrin.gnome on Mutter beside kestrin.Kestrin on sway, 1280x720 (Python)", section=True))

    def beside(name: str, label: str, target: str = "") -> None:
        ratio = median(gnome[name]) / median(sway[name])
        t.add(Row(f"{label} (Mutter)", gnome[name], rate=name not in ("construct", "first_screenshot", *HOLDS),
                  against=f"sway {fmt_time(median(sway[name]))}", ratio=f"{ratio:.2f}×", target=target))

    first = median(gnome["first_screenshot"])
    beside("construct", "Kestrin()")
    beside("first_screenshot", "first screenshot() of a session",
           f"< 300 ms: {verdict(first / 300e6, 1.0)}")
    later = median(gnome["screenshot"]) / interval
    beside("screenshot", "screenshot() after the first", f"≤ 1.2 frames: {verdict(later, 1.2)}")
    for name, label in [("move_mouse", "move_mouse"), ("move_to", "move_to"), ("left_click", "left_click(0)"),
                        ("key_press", "key_press(42, 0)"), ("key_down_up", "key_down, key_up (each)"),
                        ("scroll", "scroll(±1)"), ("type_text_char", "type_text, per character")]:
        beside(name, label, f"< 300 µs: {verdict(median(gnome[name]) / 300e3, 1.0)}")
    # What the tests leave out: they check the order of a press and its
    # release, not the time between.
    for name, label in HOLDS.items():
        beside(name, label, f"≥ 45 ms: {verdict(median(gnome[name]) / 45e6, 1.0, at_most=False)}")
        t.add(Row(f"{label} (sway)", sway[name], rate=False, against="the hold asked, 50 ms",
                  target=f"≥ 45 ms: {verdict(median(sway[name]) / 45e6, 1.0, at_most=False)}"))
    return t.render()


if __name__ == "__main__":
    sys.exit(main())
