"""Frame interval and client CPU of Capture.grab() beside screenshot(), and
the CPU an idle wait_for_change costs, against a private headless sway at
1280x720, 1920x1080 and 3840x2160. Run with the project's interpreter:
.venv/bin/python benchmarks/capture_bench.py [frames]"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "support"))

from headless import HeadlessSway  # noqa: E402

import kestrin  # noqa: E402

SIZES = [(1280, 720), (1920, 1080), (3840, 2160)]


def cpu() -> float:
    times = os.times()
    return times.user + times.system


def loop(step, frames: int) -> tuple[float, float]:
    """Median interval (ms) and client CPU per frame (ms)."""
    step()
    intervals = []
    started_cpu = cpu()
    last = time.perf_counter()
    for _ in range(frames):
        step()
        now = time.perf_counter()
        intervals.append((now - last) * 1000)
        last = now
    return statistics.median(intervals), (cpu() - started_cpu) * 1000 / frames


def measure(width: int, height: int, frames: int) -> None:
    with HeadlessSway(width, height) as sway:
        keyboard = subprocess.Popen([str(ROOT / "build/tests/bin/kestrin-seat-keyboard")], env=sway.env(),
                                    stdout=subprocess.PIPE, stdin=subprocess.PIPE, text=True)
        try:
            assert keyboard.stdout is not None and keyboard.stdout.readline().strip() == "ready"
            k = kestrin.Kestrin(sway.socket_path)
            shot = loop(k.screenshot, frames)
            with k.capture() as cap:
                grab = loop(cap.grab, frames)
                into = cap.grab()
                grab_into = loop(lambda: cap.grab_into(into), frames)
                frames_of = iter(cap)
                iterated = loop(lambda: next(frames_of), frames)
                cap.wait_for_change(timeout_ms=200)  # the first reports the whole output
                started = cpu()
                woke = time.perf_counter()
                result = cap.wait_for_change(timeout_ms=2000)
                idle_share = (cpu() - started) / (time.perf_counter() - woke)
            print(f"{width}x{height}: screenshot() {shot[0]:.2f} ms/frame, CPU {shot[1]:.2f} ms; "
                  f"grab() {grab[0]:.2f} ms ({grab[0] / 16.667:.3f}x 16.67 ms), CPU {grab[1]:.2f} ms; "
                  f"grab_into() {grab_into[0]:.2f} ms, CPU {grab_into[1]:.2f} ms; "
                  f"for frame in cap: {iterated[0]:.2f} ms ({iterated[0] / 16.667:.3f}x), CPU {iterated[1]:.2f} ms; "
                  f"idle 2 s wait_for_change: {idle_share * 100:.2f}% of a core "
                  f"({'timed out' if result is None else 'woke'})", flush=True)
        finally:
            keyboard.terminate()
            keyboard.wait()


def main() -> None:
    frames = int(sys.argv[1]) if len(sys.argv) > 1 else 120
    for width, height in SIZES:
        measure(width, height, frames)


if __name__ == "__main__":
    main()
