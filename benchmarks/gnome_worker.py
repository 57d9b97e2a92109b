"""Times kestrin.gnome's calls on a headless Mutter, or kestrin.Kestrin's same
calls on a headless sway, in this one process, and prints the samples
(nanoseconds) as one JSON object: benchmarks/run.py's GNOME rows, with the
holds of a click and of a key press as the recorder receives them.

    python benchmarks/gnome_worker.py gnome|sway --sessions N --calls N --holds N

The desktop is started here, each at 1280x720 with a recorder showing its
picture, so that both compositors redraw the same window."""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "support"))

from headless import SWAY_USER, HeadlessMutter  # noqa: E402

from kestrin.testing import HeadlessDesktop  # noqa: E402
from kestrin.testing._recorder import Recorder  # noqa: E402

WIDTH, HEIGHT = 1280, 720
TEXT = "the quick brown fox jumps over the lazy dog"
HOLD_MS = 50


def timed(samples: list[int], call) -> None:
    t0 = time.perf_counter_ns()
    call()
    samples.append(time.perf_counter_ns() - t0)


def measure(connect, sessions: int, calls: int) -> dict[str, list[int]]:
    result: dict[str, list[int]] = {name: [] for name in (
        "construct", "first_screenshot", "screenshot", "move_mouse", "move_to", "left_click", "key_press",
        "key_down_up", "scroll", "type_text_char")}
    for _ in range(sessions):
        t0 = time.perf_counter_ns()
        k = connect()
        result["construct"].append(time.perf_counter_ns() - t0)
        timed(result["first_screenshot"], k.screenshot)
        for i in range(calls):
            timed(result["screenshot"], k.screenshot)
            timed(result["move_mouse"], lambda: k.move_mouse(WIDTH, HEIGHT, 100 + i % 2, 100))
            timed(result["move_to"], lambda: k.move_to(200 + i % 2, 200))
            timed(result["left_click"], lambda: k.left_click(0))
            timed(result["key_press"], lambda: k.key_press(42, 0))
            timed(result["key_down_up"], lambda: k.key_down("shift"))
            timed(result["key_down_up"], lambda: k.key_up("shift"))
            timed(result["scroll"], lambda: k.scroll(1 - 2 * (i % 2)))
        t0 = time.perf_counter_ns()
        k.type_text(TEXT)
        result["type_text_char"].append((time.perf_counter_ns() - t0) // len(TEXT))
        del k
    return result


def holds(k, recorder, count: int) -> dict[str, list[int]]:
    """From press to release of left_click(HOLD_MS) and key_press(30,
    HOLD_MS), as the recorder received them."""
    result: dict[str, list[int]] = {"hold_click": [], "hold_key": []}
    k.move_to(WIDTH // 2, HEIGHT // 2)
    for name, kind, call in (("hold_click", "button", lambda: k.left_click(HOLD_MS)),
                             ("hold_key", "key", lambda: k.key_press(30, HOLD_MS))):
        for _ in range(count):
            recorder.clear()
            call()
            press, release = recorder.wait_for_count(kind, 2)
            result[name].append(round((release["t"] - press["t"]) * 1e6))
    return result


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("desktop", choices=("gnome", "sway"))
    parser.add_argument("--sessions", type=int, default=3)
    parser.add_argument("--calls", type=int, default=100)
    parser.add_argument("--holds", type=int, default=10)
    parser.add_argument("--probe", type=Path, default=ROOT / "build" / "tests" / "bin" / "kestrin-probe")
    args = parser.parse_args()
    if args.desktop == "gnome":
        import kestrin.gnome

        desktop = HeadlessMutter(WIDTH, HEIGHT).start()
        os.environ.update({name: desktop.env()[name] for name in ("DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR")})
        connect = kestrin.gnome.Kestrin
    else:
        desktop = HeadlessDesktop(outputs=[(WIDTH, HEIGHT)], user=SWAY_USER).start()
        connect = desktop.connect
    recorder = Recorder(desktop, args.probe).start()
    try:
        recorder.wait_ready()
        samples = measure(connect, args.sessions, args.calls)
        samples.update(holds(connect(), recorder, args.holds))
        print(json.dumps(samples))
    finally:
        recorder.stop()
        desktop.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
