"""Running code in a fresh interpreter: the logging bridge remembers each
logger's level for the life of the process, and some behaviour only shows on
a first import, so such tests need a process of their own."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap


def run_python(code: str, *args: str, timeout: float = 120, **env: str) -> subprocess.CompletedProcess:
    """Runs `code` with `args` in a fresh interpreter that imports the module
    under test from where this one does, with `env` added to the environment.
    The timeout only guards against a hang."""
    environment = dict(os.environ)
    environment["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    environment.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        env=environment,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
