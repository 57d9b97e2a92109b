#!/usr/bin/env python3
"""Runs demo.py on a private headless desktop (kestrin.testing), for machines
with no Wayland session, and stops the desktop afterwards, also when the demo
fails or Ctrl-C comes. The desktop shows one terminal window (foot running
cat, so that what is typed shows up twice: once as the terminal echoes it and
once as cat prints the line). As root, sway runs as the system user
kestrin-sway, which is made if it does not exist.

    python examples/headless_demo.py [--size 1280x720] [demo.py's options...]

Options it does not know itself (--word, --output, --screen) go to demo.py.
"""

from __future__ import annotations

import argparse
import signal
import subprocess
import sys
from pathlib import Path

from kestrin.testing import DesktopError, HeadlessDesktop

EXAMPLES = Path(__file__).resolve().parent
SIZES = {"1280x720": (1280, 720), "1920x1080": (1920, 1080)}
APP_ID = "kestrin-demo"
BANNER = "kestrin demo: this terminal runs cat; a typed line shows once as typed, once as cat prints it"
TERMINAL = ["foot", "--config=/dev/null", f"--app-id={APP_ID}", "--font=monospace:size=16",
            "sh", "-c", f"echo '{BANNER}'; exec cat"]


def _stop_on_signal(signum: int, frame: object) -> None:
    # Unwinds like Ctrl-C does, so that the desktop is stopped on the way out.
    raise KeyboardInterrupt


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", choices=SIZES, default="1280x720", help="the screen's size (default: %(default)s)")
    args, demo_args = parser.parse_known_args()

    signal.signal(signal.SIGTERM, _stop_on_signal)
    signal.signal(signal.SIGHUP, _stop_on_signal)
    # foot refuses to start without a UTF-8 locale; C.UTF-8 is always there.
    desktop = HeadlessDesktop(outputs=[SIZES[args.size]], env={"LANG": "C.UTF-8"}, create_user=True)
    try:
        print(f"starting a private headless sway ({args.size}) with a terminal window", flush=True)
        desktop.start()
        desktop.spawn(TERMINAL)
        window = desktop.wait_for_window(app_id=APP_ID)
        if not window["focused"]:
            raise DesktopError("the terminal window does not have the keyboard focus")
        print(f"sway is up, its sockets are in {desktop.runtime_dir}", flush=True)
        demo = subprocess.run([sys.executable, str(EXAMPLES / "demo.py"), *demo_args], env=desktop.env())
        return demo.returncode
    except DesktopError as error:
        print(f"the headless desktop did not start: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130
    finally:
        # A second Ctrl-C must not cut the clean-up short.
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, signal.SIG_IGN)
        desktop.stop()
        print("stopped the headless desktop", flush=True)


if __name__ == "__main__":
    sys.exit(main())
