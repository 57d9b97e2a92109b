"""The Python half of the benchmark suite: times kestrin's Python calls in an
interpreter of their own, so that nothing else in the process (the driver's
threads, its bookkeeping) runs beside them.

It speaks the same line protocol as kestrin-bench: before every new session it
writes "activate" and waits for a line on stdin, while the driver makes the
seat's keyboard active again; the last line is "result " and a JSON object of
samples in nanoseconds. Run by benchmarks/run.py, not by hand.
"""

from __future__ import annotations

import argparse
import gc
import json
import resource
import sys
import time

KEY_A = 30  # evdev KEY_A


def typed_text() -> str:
    """1,000 characters of printable ASCII, the same on every run; it starts
    with a letter, so that wtype does not take it for an option."""
    import random
    import string

    rng = random.Random(13)
    return "x" + "".join(rng.choice(string.ascii_letters + string.digits + string.punctuation + " ") for _ in range(999))


def ask_for_active_keyboard() -> None:
    print("activate", flush=True)
    if not sys.stdin.readline():
        raise SystemExit("py_worker: the driver closed stdin")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sessions", type=int, default=5)
    parser.add_argument("--blocks", type=int, default=10)
    parser.add_argument("--block-size", type=int, default=200)
    parser.add_argument("--captures", type=int, default=30)
    parser.add_argument("--texts", type=int, default=3)
    args = parser.parse_args()

    import numpy  # noqa: F401  imported before timing: the first capture would import it

    import kestrin

    clock = time.perf_counter_ns
    construction: list[int] = []
    k = None
    for _ in range(args.sessions):
        # The old session must be gone before the keyboard is made active
        # again, or its departure would take the active keyboard along.
        k = None
        gc.collect()
        ask_for_active_keyboard()
        t0 = clock()
        k = kestrin.Kestrin()
        construction.append(clock() - t0)
    assert k is not None

    # A collection in the middle of a timed call would be charged to it.
    gc.disable()

    move = k.move_mouse
    left = k.left_click
    right = k.right_click
    key = k.key_press
    move_to = k.move_to
    scroll = k.scroll
    move_to(0, 0)  # not counted: its first call makes the output's pointer
    # The same kinds, in the same order and with the same arguments, as in
    # kestrin-bench, each timed in turn within every block.
    actions = [
        ("move_mouse", lambda i: move(1920, 1080, 900 + i % 2 * 20, 500)),
        ("left_click", lambda i: left(0)),
        ("right_click", lambda i: right(0)),
        ("key_press", lambda i: key(KEY_A, 0)),
        # Python only, set beside move_mouse.
        ("move_to", lambda i: move_to(900 + i % 2 * 20, 500)),
        ("scroll", lambda i: scroll(1 - i % 2 * 2)),
    ]
    # The cost of the timing loop and the lambda around the call, to be taken
    # off every sample.
    noop = lambda i: None  # noqa: E731
    input_samples: dict[str, list[int]] = {name: [] for name, _ in actions}
    loop_overhead: list[int] = []
    # This thread's CPU time per call, over a block: what a call costs the
    # client itself, whatever the compositor and the scheduler add to its wall
    # time.
    cpu = time.thread_time_ns
    cpu_samples: dict[str, list[int]] = {name: [] for name, _ in actions}
    cpu_overhead: list[int] = []
    for _ in range(args.blocks):
        for name, action in actions:
            samples = input_samples[name]
            cpu0 = cpu()
            for i in range(args.block_size):
                t0 = clock()
                action(i)
                samples.append(clock() - t0)
            cpu_samples[name].append((cpu() - cpu0) // args.block_size)
        cpu0 = cpu()
        for i in range(args.block_size):
            t0 = clock()
            noop(i)
            loop_overhead.append(clock() - t0)
        cpu_overhead.append((cpu() - cpu0) // args.block_size)
    overhead = sorted(loop_overhead)[len(loop_overhead) // 2]
    input_samples = {name: [s - overhead for s in samples] for name, samples in input_samples.items()}
    per_call_cpu_overhead = sorted(cpu_overhead)[len(cpu_overhead) // 2]
    for name, samples in cpu_samples.items():
        input_samples["cpu_" + name] = [s - per_call_cpu_overhead for s in samples]

    # The whole text with interval 0: its wall time, and the client's CPU
    # time per character.
    text = typed_text()
    k.type_text(text[:10])  # not counted: the keymap is compiled on first use
    typing: list[int] = []
    typing_cpu: list[int] = []
    for _ in range(args.texts):
        cpu0 = cpu()
        t0 = clock()
        k.type_text(text)
        typing.append(clock() - t0)
        typing_cpu.append((cpu() - cpu0) // len(text))
    input_samples["type_text"] = typing
    input_samples["cpu_type_text_char"] = typing_cpu

    capture: list[int] = []
    picture = k.screenshot()  # not counted: first-use costs
    shape = picture.shape
    del picture
    client_faults: list[int] = []
    for _ in range(args.captures):
        faults0 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        t0 = clock()
        picture = k.screenshot()
        capture.append(clock() - t0)
        client_faults.append(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults0)
        del picture
    gc.enable()

    result = {
        "construction": {"construct": construction},
        "input": input_samples,
        "capture": {"screenshot": capture, "client_faults": client_faults},
        "loop_overhead_ns": overhead,
        "shape": list(shape),
    }
    print("result " + json.dumps(result), flush=True)


if __name__ == "__main__":
    main()
