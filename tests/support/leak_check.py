"""What a test may leave behind in this process: open descriptors, and the
named shared-memory files the module makes for captures (/dev/shm/wl_shm-*).

tests/conftest.py checks every test with ``Snapshot``, as libwayland's own
test runner does around each of its tests; the functions here serve tests
that look closer (in the middle of a call, or in a child interpreter, which
imports this module too).

Only the standard library is used here.
"""

from __future__ import annotations

import gc
import os
import time
from dataclasses import dataclass

SHM_DIR = "/dev/shm"
SHM_PREFIX = "wl_shm-"

# Other processes on the machine (other test runs, compositors, grim) make
# and unlink names with the same prefix; theirs go within a capture (a test
# of exclusive creation holds some for the length of one), one of ours that
# leaked stays. A new name counts once it is still there this long.
SHM_SETTLE_SECONDS = 2.0
SHM_POLL_SECONDS = 0.02


def descriptors() -> dict[int, str]:
    """This process's open descriptors and what each refers to."""
    found = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            found[int(name)] = os.readlink(f"/proc/self/fd/{name}")
        except FileNotFoundError:
            pass  # the one that listed the directory
    return found


def shm_names() -> set[str]:
    """The names of the module's kind in /dev/shm, whoever made them."""
    return {name for name in os.listdir(SHM_DIR) if name.startswith(SHM_PREFIX)}


@dataclass(frozen=True)
class Snapshot:
    descriptors: dict[int, str]
    shm: frozenset[str]

    @classmethod
    def take(cls) -> "Snapshot":
        return cls(descriptors(), frozenset(shm_names()))

    def _new_in(self, later: "Snapshot") -> tuple[dict[int, str], set[str]]:
        # A number closed and opened again for something else counts as new.
        opened = {fd: target for fd, target in later.descriptors.items() if self.descriptors.get(fd) != target}
        return opened, set(later.shm - self.shm)

    def leaks(self) -> list[str]:
        """What is open or named now that was not when this snapshot was
        taken, one line each; empty when nothing is."""
        opened, named = self._new_in(Snapshot.take())
        if opened:
            # Objects of the test caught in reference cycles (an exception's
            # traceback holding the test's frame) close theirs when
            # collected.
            gc.collect()
            opened, _ = self._new_in(Snapshot.take())
        deadline = time.monotonic() + SHM_SETTLE_SECONDS
        while named and time.monotonic() < deadline:
            time.sleep(SHM_POLL_SECONDS)
            named &= shm_names()
        return [f"descriptor {fd} -> {target}" for fd, target in sorted(opened.items())] + [
            f"{SHM_DIR}/{name}" for name in sorted(named)
        ]


__all__ = ["Snapshot", "descriptors", "shm_names"]
