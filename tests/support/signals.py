"""Signals for the tests of waits on a compositor: stopping a compositor's
process so that it answers nothing, and a SIGALRM that the kernel delivers
while a call holds the interpreter lock (no Python thread could send one
then)."""

from __future__ import annotations

import contextlib
import os
import signal
import socket
import subprocess
import time
from typing import Iterator


def stop_process(pid: int) -> None:
    """SIGSTOP, and wait until every thread of the process has stopped:
    until then, one of them could still answer."""
    os.kill(pid, signal.SIGSTOP)
    deadline = time.monotonic() + 10
    while True:
        states = set()
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/stat") as stat:
                states.add(stat.read().rsplit(")", 1)[1].split()[0])
        if states <= {"T", "t"}:
            return
        if time.monotonic() > deadline:
            raise TimeoutError(f"process {pid} did not stop: {states}")
        time.sleep(0.001)


@contextlib.contextmanager
def frozen(pid: int) -> Iterator[None]:
    """The process runs nothing until the block ends."""
    stop_process(pid)
    try:
        yield
    finally:
        os.kill(pid, signal.SIGCONT)


@contextlib.contextmanager
def alarm(seconds: float, handler=signal.default_int_handler, interval: float = 0.0) -> Iterator[None]:
    """SIGALRM after `seconds` (then every `interval`), handled by `handler`;
    the default raises KeyboardInterrupt, as Ctrl-C would."""
    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, seconds, interval)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


@contextlib.contextmanager
def slowed(pid: int, socket_path: str) -> Iterator[None]:
    """The compositor `pid` runs in short bursts (a fifth of the time), and
    this process's connections to `socket_path` send into a small socket
    buffer: a long run of requests cannot be written in one go, as to a
    compositor that is busy or descheduled."""
    for fd in map(int, os.listdir("/proc/self/fd")):
        try:
            if not os.readlink(f"/proc/self/fd/{fd}").startswith("socket:"):
                continue
        except OSError:
            continue
        with socket.socket(fileno=os.dup(fd)) as connection:
            try:
                if connection.getpeername() == socket_path:
                    connection.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
            except OSError:
                pass
    cycle = subprocess.Popen(["sh", "-c", f"while kill -STOP {pid}; do sleep 0.02; kill -CONT {pid}; sleep 0.005; done"])
    try:
        yield
    finally:
        cycle.kill()
        cycle.wait()
        os.kill(pid, signal.SIGCONT)
