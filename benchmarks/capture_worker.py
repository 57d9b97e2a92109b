"""The Python half of the capture rows of the benchmark suite, in an
interpreter of its own (run by benchmarks/run.py, not by hand).

    capture_worker.py loops FRAMES
        screenshot() in a loop, Capture.grab() in a loop, grab_into() and
        iteration: the interval from one frame's return to the next one's,
        and the process's CPU per frame over each loop.
    capture_worker.py latency WAITS
        wait_for_change against the probe changing its picture: before each
        wait the line "paint I" asks the driver to have the probe paint; after
        it, "returned T" gives time.monotonic_ns() at the return, and the
        driver answers with a line when the next may start. Then one idle
        wait_for_change of 2 seconds on the still screen and its CPU share.

The last line on stdout is "result " and a JSON object, times in nanoseconds.
"""

from __future__ import annotations

import gc
import json
import sys
import time
from collections.abc import Callable

IDLE_WAIT_MS = 2000


def loop(step: Callable[[], object], frames: int) -> tuple[list[int], int]:
    """Intervals between returns and the CPU per frame, the first call not
    counted (first-use costs)."""
    step()
    intervals = []
    cpu0 = time.process_time_ns()
    last = time.perf_counter_ns()
    for _ in range(frames):
        step()
        now = time.perf_counter_ns()
        intervals.append(now - last)
        last = now
    return intervals, (time.process_time_ns() - cpu0) // frames


def loops(frames: int) -> dict:
    import kestrin

    k = kestrin.Kestrin()
    result: dict[str, list[int]] = {}

    def record(name: str, measured: tuple[list[int], int]) -> None:
        result[name] = measured[0]
        result["cpu_" + name] = [measured[1]]

    record("screenshot", loop(k.screenshot, frames))
    with k.capture() as cap:
        record("grab", loop(cap.grab, frames))
        into = cap.grab()
        record("grab_into", loop(lambda: cap.grab_into(into), frames))
        frames_of = iter(cap)
        record("iterate", loop(lambda: next(frames_of), frames))
    return result


def latency(waits: int) -> dict:
    import kestrin

    k = kestrin.Kestrin()
    returned: list[int] = []
    with k.capture() as cap:
        # The first wait of a connection reports the whole output.
        cap.wait_for_change(timeout_ms=500)
        for i in range(waits):
            print(f"paint {i}", flush=True)
            changed = cap.wait_for_change(timeout_ms=2000)
            returned.append(time.monotonic_ns() if changed is not None else -1)
            print(f"returned {returned[-1]}", flush=True)
            if not sys.stdin.readline():
                raise SystemExit("capture_worker: the driver closed stdin")
        cpu0 = time.process_time_ns()
        wall0 = time.monotonic_ns()
        still = cap.wait_for_change(timeout_ms=IDLE_WAIT_MS)
        idle_share = (time.process_time_ns() - cpu0) / (time.monotonic_ns() - wall0)
    return {"returned": returned, "idle_cpu_ppm": [round(idle_share * 1e6)], "idle_woke": [int(still is not None)]}


def main() -> None:
    import numpy  # noqa: F401  imported before timing: the first capture would import it

    mode, count = sys.argv[1], int(sys.argv[2])
    gc.disable()  # a collection in a timed loop would be charged to one frame
    result = loops(count) if mode == "loops" else latency(count)
    print("result " + json.dumps(result), flush=True)


if __name__ == "__main__":
    main()
